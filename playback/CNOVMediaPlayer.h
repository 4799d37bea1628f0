// The player engine: turns a recording into pictures, sound and telemetry at the recording's
// pace. One worker thread reads packets from a parser, waits for a key picture after every open
// and seek, prebuffers 700 ms of front pictures, hands sound to the audio feeder, and presents
// pictures (through the decoder, onto the front and rear surfaces) and text records (through a
// callback) in file order, each front picture paced by the sound played so far.
//
// The owner plugs in the parser, decoder and sound output (not owned), calls Run once, drives the
// engine with OpenMedia, Pause, Resume, SeekToMs and StopMedia, and calls Shutdown once.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "media/CThreadQueue.h"
#include "media/VMediaParser.h"
#include "platform/Threads.h"
#include "playback/CMediaSync.h"
#include "playback/VAudio.h"
#include "playback/VMediaDecoder.h"
#include "playback/VideoSurface.h"

class CNOVMediaPlayer {
 public:
  enum RunState : int { kIdle = 0, kPlaying = 1, kShowOne = 10 };
  enum ShowStatus : int { kShowPlaying = 0, kShowTwoShown = 1, kShowStopped = 2 };
  // Event code of the end of a recording (or of its reading failing).
  static constexpr int kEventEnded = 1;
  // Front pictures gathered before the first is shown, in ms of recording.
  static constexpr int kPrebufferMs = 700;

  // Called on the worker with the engine lock held, for each text record as its turn comes:
  // the record's bytes and a terminating zero, the length counting that zero, and the media time
  // (current front picture x 1000 / front frame rate). It must not call the engine's locking
  // operations.
  using TextCallback = void (*)(void* user, const char* bytes, int length, int timeMs);
  // Called on the worker, without the lock, with kEventEnded when a recording has been played
  // to its end.
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
  // Starts the parser, the decoder, the sound output and feeder, and the worker. Once.
  bool Run(VideoSurface* front, VideoSurface* rear);
  // Stops the worker, the feeder and the parser and closes the sound output. Once; also done by
  // the destructor.
  void Shutdown();
  // Opens a recording and plays it; a recording that cannot be opened ends at once with the end
  // event. Always true.
  bool OpenMedia(const char* name);
  void StopMedia();
  void Pause() {
    runState_ = kIdle;
    sync_.CancelWaits();  // a picture waiting for its time is let go: the worker stops soon
  }
  void Resume() { runState_ = kPlaying; }
  // Playing: the worker seeks at its next step. Idle: seeks now and shows the picture there
  // (both pictures of a two-camera recording), then goes idle again. Always true.
  bool SeekToMs(int ms);
  int GetPositionMs() const;
  // Idle only: shows the last pictures again (after the surfaces changed size).
  void RefreshPictures();
  // Saves the channel's current picture; false while stopped.
  bool SavePicture(int channel, const char* path);
  int GetChannelCount() const;
  void SetBrightness(int channel, int value);
  int GetShowStatus() const { return showStatus_; }
  int GetDurationMs() const { return durationMs_; }
  int GetRunState() const { return runState_; }

 private:
  static bool WorkerRoutine(void* self);
  bool WorkerStep();
  // The worker's loop over packets, engine lock held. True: it left to give the lock up for a
  // moment (or the run state went idle); false: the recording has ended.
  bool Loop();
  // Presents the oldest queued picture, passing text records on the way. False: queue empty.
  bool Drain();
  // Engine lock held.
  void SeekLocked(int picture);
  void ResetStreamPosition();
  int FrontRate() const {
    int rate = frontRate_;
    return rate > 0 ? rate : 30;
  }

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

  // Shared between the owner's thread and the worker without the lock: single words.
  std::atomic<int> runState_{kIdle};
  std::atomic<int> showStatus_{kShowStopped};
  std::atomic<int> pendingSeek_{-1};
  std::atomic<int> currentPicture_{0};
  std::atomic<int> durationMs_{0};

  // Under the engine lock (the worker holds it for each loop run; open, stop, idle seek,
  // refresh and save take it).
  CSync lock_{"none"};
  std::atomic<int> frontRate_{0};
  std::atomic<int> rearRate_{0};
  int totalPictures_ = 0;
  bool prebuffering_ = true;
  int prebuffered_ = 0;
  bool waitFrontKey_ = false;
  bool waitRearKey_ = false;
  int audioBits_ = 16;
  int audioRate_ = 8000;
  std::string name_;  // of the open recording, at most 127 characters
  bool twoCameraName_ = false;
  DecodeQueue queue_;
  // Packet buffers, one byte over the largest packet for a text record's terminating zero.
  std::unique_ptr<char[]> read_;
  std::unique_ptr<char[]> present_;

  CMediaSync sync_;
  CSingleThread worker_{"MediaPlayer"};
  bool running_ = false;  // Run has been called and Shutdown not yet
};
