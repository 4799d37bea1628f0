// SPDX-License-Identifier: GPL-3.0-or-later
// The player engine: turns a recording into pictures, sound and telemetry at the recording's
// pace. One worker thread reads packets from a parser, waits for a key picture after every open
// and seek, prebuffers 700 ms of front pictures, hands sound to the audio feeder, and presents
// pictures (through the decoder, onto the front and rear surfaces) and text records (through a
// callback) in file order, each front picture paced by the sound played so far.
//
// The owner plugs in the parser, decoder and sound output (not owned), calls Run once, drives the
// engine with OpenMedia, Pause, Resume, SeekToMs and StopMedia, and calls Shutdown once.
//
// The owner's calls never wait on the card: opening, describing, seeking and closing a recording
// happen on the worker, in the order they were asked for, and the owner hears of an opened
// recording through the event callback (kEventOpened). A call waits at most for a picture that is
// being decoded at that moment, so that no picture of a paused or stopped recording appears after
// Pause or StopMedia has returned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "media/CThreadQueue.h"
#include "media/VMediaParser.h"
#include "platform/Threads.h"
#include "playback/CMediaSync.h"
#include "playback/TimeStretch.h"
#include "playback/VAudio.h"
#include "playback/VMediaDecoder.h"
#include "playback/VideoSurface.h"

class CNOVMediaPlayer {
 public:
  enum RunState : int { kIdle = 0, kPlaying = 1, kShowOne = 10 };
  enum ShowStatus : int { kShowPlaying = 0, kShowTwoShown = 1, kShowStopped = 2 };
  // Event codes: the end of a recording (or of its reading failing), a = b = 0; and a recording
  // opened and described, a = the open's serial (OpenSerial at the OpenMedia call), b = its
  // duration in ms.
  static constexpr int kEventEnded = 1;
  static constexpr int kEventOpened = 2;
  // Front pictures gathered before the first is shown, in ms of recording.
  static constexpr int kPrebufferMs = 700;
  // Rear pictures waiting beside the front ones while those are gathered, at most: three seconds
  // at 30 a second (twice the 700 ms of a 60-picture camera), and in bytes. A front stream that
  // stops (a damaged front camera) would otherwise hold the whole rear stream in memory.
  static constexpr int kMaxGatheredRearPictures = 90;
  static constexpr int kMaxGatheredRearBytes = 32 << 20;
  // Playback speeds, in quarters of the recording's own pace: 1/4, 1/2, 1, 2, 4, 8 and 16 times.
  static constexpr int kSpeeds[] = {1, 2, 4, 8, 16, 32, 64};
  static constexpr int kNormalSpeed = 4;
  // Sound plays (its pitch kept) from half to twice the normal speed and is silent beyond.
  static bool SoundAtSpeed(int quarters) { return quarters >= 2 && quarters <= 8; }
  // From eight times up only the key pictures (the first of each second on the camera's cards)
  // are decoded and shown: decoding every picture of a large recording at that pace would take
  // more than a computer has, and 8 to 16 pictures a second follow the drive well enough.
  static bool KeyPicturesOnly(int quarters) { return quarters >= 32; }

  // Called on the worker with the engine lock held, for each text record as its turn comes:
  // the record's bytes and a terminating zero, the length counting that zero, and the media time
  // (current front picture x 1000 / front frame rate). It must not call the engine.
  using TextCallback = void (*)(void* user, const char* bytes, int length, int timeMs);
  // Called on the worker, without the lock, with the event codes above.
  using EventCallback = void (*)(void* user, int code, int a, int b);

  CNOVMediaPlayer();
  ~CNOVMediaPlayer();
  CNOVMediaPlayer(const CNOVMediaPlayer&) = delete;
  CNOVMediaPlayer& operator=(const CNOVMediaPlayer&) = delete;

  // Set before Run; the objects stay the caller's. Sound may be null (pictures then follow the
  // frame rate).
  void SetParser(VMediaParser* parser) { parser_ = parser; }
  void SetDecoder(VMediaDecoder* decoder) { decoder_ = decoder; }
  void SetAudio(VAudio* audio) { audio_ = audio; }
  void SetTextCallback(TextCallback callback, void* user);
  void SetEventCallback(EventCallback callback, void* user);

  // ---- Called by the owner's thread ----
  // Starts the parser, the decoder, the sound feeder (which opens the sound device on its own
  // thread) and the worker. Once.
  bool Run(VideoSurface* front, VideoSurface* rear);
  // Stops the worker, the feeder and the parser and closes the sound output. Once; also done by
  // the destructor.
  void Shutdown();
  // Opens a recording and plays it; a recording that cannot be opened ends at once with the end
  // event. Returns at once (true); kEventOpened follows when the recording has been described.
  bool OpenMedia(const char* name);
  void StopMedia();
  void Pause();
  void Resume();
  // Playing: the worker seeks at its next step. Idle: the worker seeks and shows the picture
  // there (both pictures of a two-camera recording), then goes idle again. Nothing happens
  // without an open recording. Always true.
  bool SeekToMs(int ms);
  int GetPositionMs() const;
  // The speed in quarters (kSpeeds); others are refused (false). Takes effect at once, from the
  // picture on screen: the recording is read again from that picture's block, so that sound and
  // pictures start together at the new pace.
  bool SetSpeed(int quarters);
  int GetSpeed() const { return speed_.load(std::memory_order_acquire); }
  // Shows front picture `index` (0-based; clamped to the recording) and, on a two-camera
  // recording, the rear picture of the same time, and stays paused there. The pictures are
  // decoded from the key picture that starts their block. False without an open recording or
  // while playing (pause first).
  bool ShowPicture(int index);
  // Shows the picture `delta` pictures from the one on screen (see ShowPicture).
  bool StepPictures(int delta);
  // The front picture on screen (0-based), -1 before one; and its recording time in ms.
  int GetShownPicture() const { return shownPicture_.load(std::memory_order_acquire); }
  int GetShownPictureMs() const;
  int GetFrontRate() const { return FrontRate(); }
  // Idle only: shows the last pictures again (after the surfaces changed size).
  void RefreshPictures();
  // Keeping time when the computer cannot keep up (off by default): at the normal speed, a front
  // picture that comes more than a picture period after its sound is decoded (the pictures after
  // it need it) but not shown, and while the front pictures are that far behind the rear ones are
  // decoded unseen too; never in the first second after the pictures were
  // gathered (an open, a seek, playing on). The sound is never left out.
  void SetDropLatePictures(bool drop) { dropLate_.store(drop, std::memory_order_release); }
  // The pictures of the open recording decoded unseen so, front (channel 0) or rear.
  int GetDroppedPictures(int channel) const {
    return (channel == 0 ? droppedFront_ : droppedRear_).load(std::memory_order_acquire);
  }
  // Saves the channel's current picture, with the evidence as EXIF tags when given; false while
  // stopped and from an open until the worker has opened the recording (errno ENODATA), else the
  // decoder's answer (errno telling why it failed: ENODATA when the camera has shown no picture
  // of this recording yet). Each open and stop forgets the pictures before it.
  bool SavePicture(int channel, const char* path, const SnapshotEvidence* evidence = nullptr);
  // The channel's current picture: its size, and a part of it scaled (see
  // VMediaDecoder::CopyRegion). The decoder's own lock keeps these apart from its drawing.
  bool GetPictureSize(int channel, int* width, int* height);
  bool CopyPictureRegion(int channel, int x, int y, int w, int h, unsigned char* dst, int stride,
                         int width, int height);
  // 2 for a recording with a rear (or second) camera, else 1. For another camera's recording,
  // once it has been opened (kEventOpened), the cameras whose files could be read.
  int GetChannelCount() const;
  void SetBrightness(int channel, int value);
  int GetShowStatus() const { return showStatus_; }
  int GetDurationMs() const { return durationMs_; }
  int GetRunState() const { return runState_; }
  // Counts the OpenMedia calls; kEventOpened carries the count of the open it answers, so that
  // the owner can tell an answer to an earlier open.
  int OpenSerial() const { return openSerial_; }
  // True while an open or stop asked for has not been carried out by the worker yet.
  bool CommandsPending() const { return commandsPending_.load(std::memory_order_acquire); }

 private:
  struct Command {
    enum Kind { kOpen, kStop } kind = kStop;
    std::string name;
    int serial = 0;
  };

  static bool WorkerRoutine(void* self);
  bool WorkerStep();
  // Worker: carries out an open or a stop.
  void Execute(const Command& command);
  // The worker's loop over packets, engine lock held. True: it left to give the lock up for a
  // moment (or the run state went idle, or the owner asked for something); false: the recording
  // has ended.
  bool Loop();
  // Presents the oldest queued picture, passing text records on the way. False: queue empty.
  bool Drain();
  // A front picture has been decoded (not drawn) while showing one picture: ends the show when no
  // rear picture is to follow.
  void FrontShownInShowOne(bool decoded);
  // Ends a single-picture show: draws the front picture (and the rear one when it came) and goes
  // idle with the given show status, unless another seek came meanwhile.
  void FinishShowOne(int status, bool rearShown);
  bool RearCanCome() const;
  // True when the owner asked for something else since a picture was taken to be presented
  // (drawn when draw is set): it is not presented now.
  bool Interrupted(bool draw) const;
  // Engine lock held. exact: lands on the picture itself (the block's pictures before it are
  // decoded without being shown, its sound before it left out) instead of the block's start.
  void SeekLocked(int picture, bool exact);
  // Names the channel's next queued picture to the decoder before the one held is decoded, so
  // that a decoder working on pictures in parallel does not hold the held one back.
  void DecodeAheadOf(int channel);
  // Holds a picture back until its time at a speed without sound: the pictures follow the steady
  // clock from an anchor set at the first picture after a seek, a pause or work that fell behind.
  void PaceAtSpeed(int pictureMs);
  // Queues a sound packet for the feeder at the current speed: as read at normal speed, through
  // the time-stretch at half to twice, not at all beyond; the part before an exact seek's
  // picture is left out.
  void PushSound(const char* data, int size, int timeMs);
  void ResetStreamPosition();
  // Keeps the rear pictures gathered within their bounds: the oldest go, those from the newest
  // rear key picture on stay (a picture needs the ones since its key picture); when that is the
  // oldest, all go and the rear camera waits for its next key picture.
  void BoundGatheredRear();
  // Lets the sound held since the stream position was reset go (once).
  void ReleaseSound();
  // Whether the next entry to present is a front picture.
  bool FrontPictureNext();
  int FrontRate() const {
    int rate = frontRate_;
    return rate > 0 ? rate : 30;
  }
  // Owner: waits until no picture is being decoded or presented.
  void WaitForPresent();
  void Wake();

  // Plugged in by the owner before Run.
  VMediaParser* parser_ = nullptr;
  VMediaDecoder* decoder_ = nullptr;
  VAudio* audio_ = nullptr;
  VideoSurface* front_ = nullptr;
  VideoSurface* rear_ = nullptr;
  TextCallback textCallback_ = nullptr;
  void* textUser_ = nullptr;
  EventCallback eventCallback_ = nullptr;
  void* eventUser_ = nullptr;

  // Read without a lock by any thread; the run state and show status change under control_.
  std::atomic<int> runState_{kIdle};
  std::atomic<int> showStatus_{kShowStopped};
  std::atomic<int> pendingSeek_{-1};
  std::atomic<int> currentPicture_{0};
  std::atomic<int> durationMs_{0};
  std::atomic<int> totalPictures_{0};
  std::atomic<int> frontRate_{0};
  std::atomic<int> rearRate_{0};
  std::atomic<int> openSerial_{0};
  // The cameras of another camera's recording whose files opened (0 until the worker has).
  std::atomic<int> openedCameras_{0};
  std::atomic<int> speed_{kNormalSpeed};
  std::atomic<int> shownPicture_{-1};
  std::atomic<bool> dropLate_{false};
  std::atomic<int> droppedFront_{0};
  std::atomic<int> droppedRear_{0};
  // The pending seek lands on its picture exactly (ShowPicture, a speed change).
  std::atomic<bool> pendingExact_{false};
  // Playing on starts with an exact seek to the picture after the one on screen: it came from an
  // exact single-picture show (the decoder stopped there), or the speed changed while paused.
  std::atomic<bool> resumeFromShown_{false};
  std::atomic<bool> commandsPending_{false};

  // The owner's requests and the state changes both sides make, under control_. The worker
  // sleeps on wake_ while there is nothing to play and nothing asked.
  std::mutex control_;
  std::condition_variable wake_;
  std::deque<Command> commands_;
  bool stopping_ = false;

  // Owner's thread: the recording opened last (for GetChannelCount) and whether one is open.
  std::string name_;     // at most 127 characters
  int nameCameras_ = 0;  // the files another camera's recording name holds (0: a VEX name)
  bool opened_ = false;

  // Held by the worker while it decodes and presents a picture; Pause and StopMedia take it for a
  // moment so that no picture is presented after they return.
  std::mutex presentLock_;

  // Worker only (the engine lock is held for each loop run and each command).
  CSync lock_{"none"};
  bool prebuffering_ = true;
  int prebuffered_ = 0;
  bool waitFrontKey_ = false;
  bool waitRearKey_ = false;
  int rearCount_ = 0;
  // Rear pictures queued while the front ones are gathered, and their bytes.
  int gatheredRear_ = 0;
  long long gatheredRearBytes_ = 0;
  int audioBits_ = 16;
  int audioRate_ = 8000;
  bool twoCameraName_ = false;
  // What the reader said of the open recording: whether it has sound, whether it times every
  // picture, and the cameras' coding.
  bool hasSound_ = true;
  bool timesPictures_ = false;
  VideoCodec frontCodec_ = VideoCodec::kH264;
  VideoCodec rearCodec_ = VideoCodec::kH264;
  // A single-picture show of a two-camera recording: the front picture is decoded and the show
  // waits for the rear one, counting the front pictures read meanwhile.
  bool showOneFrontDone_ = false;
  int showOneFrontsSince_ = 0;
  // The speed the worker plays at, taken from speed_ at each seek and open.
  int playSpeed_ = kNormalSpeed;
  // An exact seek's front picture, until it is reached (-1 none); sound before soundFromMs_ is
  // left out.
  int seekTarget_ = -1;
  int soundFromMs_ = -1;
  // Rear pictures before this time (the front key picture's after a seek, where the reader times
  // its pictures) are decoded unseen; -1: soundFromMs_ tells.
  int rearFromMs_ = -1;
  // An exact single-picture show: the rear picture of the target's time has been decoded.
  bool showOneRearDone_ = false;
  // The single-picture show under way is an exact one whose front picture has been decoded.
  bool showOneExact_ = false;
  // How long, in µs, the last front pictures took from their release to their surface (a running
  // mean): at the normal speed a picture is released that much before its sound.
  std::int64_t presentLeadUs_ = 0;
  // How many ms after its sound the last front picture came (0: in time), and the first front
  // picture that may be dropped for it.
  int frontLateMs_ = 0;
  int dropFromPicture_ = 0;
  // PaceAtSpeed's anchor: a picture's recording time and when it was due (steady clock, us).
  bool paceAnchored_ = false;
  int anchorMediaMs_ = 0;
  long long anchorMicros_ = 0;
  TimeStretch stretch_;
  int stretchInMs_ = -1;           // recording time of the first sound put since the last clear
  long long stretchInFrames_ = 0;  // frames put since then
  std::unique_ptr<std::int16_t[]> stretched_;
  DecodeQueue queue_;
  // The entry taken from the decode queue and not presented yet (a pause came while it waited for
  // its turn): presented first when playing goes on.
  bool held_ = false;
  // The held front picture was decoded already (the first after the pictures were gathered):
  // it is shown with a redraw.
  bool heldDecoded_ = false;
  // The feeder is held since the stream position was reset.
  bool soundHeld_ = false;
  int heldLength_ = 0;
  int heldValue_ = 0;
  // Packet buffers, one byte over the largest packet for a text record's terminating zero.
  std::unique_ptr<char[]> read_;
  std::unique_ptr<char[]> present_;

  CMediaSync sync_;
  CSingleThread worker_{"MediaPlayer"};
  bool running_ = false;  // Run has been called and Shutdown not yet
};

// True when a recording's name carries the rear camera's mark "_D" (in either case).
bool HasRearCameraMark(const std::string& name);
