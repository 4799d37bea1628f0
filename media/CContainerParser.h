// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the recordings of other cameras (MP4, MOV, MPEG-TS and Matroska files) through
// libavformat, as the player engine reads a VEX recording: the pictures of the recording's front
// camera as "00dc", those of one other camera (the second pane's) as "01dc", each an access unit
// in start-code form, and its sound as "02wb": decoded, mixed down to one channel and resampled
// to 16-bit samples by libswresample, in blocks the sound feeder takes whole. One recording is one
// file per camera; the packets of both files come in the order of their times, each file's times
// counted from its own start, so that cameras whose files start apart still play as one.
//
// The files are untrusted: they are opened as the card listing opens them (ContainerProbe.h), a
// packet larger than the player's buffer is passed over, and a file that cannot be read further
// ends its camera's stream. What was passed over makes the recording Damaged.
//
// Threads: one thread at a time (the engine's worker); Stop may come from another and makes a
// read in progress give up.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cards/ContainerProbe.h"
#include "media/VMediaParser.h"
#include "metadata/TextRecords.h"

struct AVBSFContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// The name a recording of other cameras is opened by: its files' paths (the front camera's first,
// then the second pane's), each on a line of its own after "files:". Empty when a path holds a
// line break or there is none.
std::string ContainerRecordingName(const std::vector<std::string>& paths);
bool IsContainerRecordingName(const char* name);
// The paths a name holds; at most kMaxContainerFiles.
inline constexpr int kMaxContainerFiles = 2;
std::vector<std::string> ContainerRecordingFiles(const char* name);

// Whether a camera whose file's first picture comes at otherMs (on its file's clock) is timed
// from the front camera's first picture at frontMs (on its own), and so stays as late as it
// started. The cameras' files start on one clock: an MP4 or MOV file's zero is the moment the
// recording began (a camera that starts late says so in an edit list), a transport stream's is
// the camera's own clock, shared by its files. A file that starts before the front camera's, or
// more than 2 s after it, keeps a clock of its own and starts at its own first picture.
inline bool TimedFromFrontStart(std::int64_t frontMs, std::int64_t otherMs) {
  if (otherMs <= frontMs) return false;
  // otherMs - frontMs overflows only for a front time below zero and an other one far above.
  if (frontMs < 0 && otherMs > std::numeric_limits<std::int64_t>::max() + frontMs) return false;
  return otherMs - frontMs <= 2000;
}

class CContainerParser final : public VMediaParser {
 public:
  // Sound leaves as blocks of at most this many bytes (the feeder's block).
  static constexpr int kSoundBlockBytes = 3840;
  // The rates sound is played at: the recording's own within these bounds.
  static constexpr int kMinSoundRate = 8000;
  static constexpr int kMaxSoundRate = 48000;
  // Picture rates believed; another is taken as 30.
  static constexpr int kMinFrameRate = 1;
  static constexpr int kMaxFrameRate = 240;

  CContainerParser();
  ~CContainerParser() override;
  CContainerParser(const CContainerParser&) = delete;
  CContainerParser& operator=(const CContainerParser&) = delete;

  bool Start() override;
  void Stop() override;
  int Open(const char* name, RecordingInfo* info) override;
  void Close() override;
  MediaPacketType ReadPacketDirect(void* buffer, int* size) override;
  int ReadPacket(char tag[8], void* buffer, int* size) override;
  bool OpenIndexed(const char*, RecordingInfo*) override { return false; }
  void Reserved(int) override {}
  int* GetVideoSize(int out[2], int stream) override;
  int GetFrameRate(int stream) override;
  void GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) override;
  int ReadRaw(void*, int) override { return 0; }
  int SeekRaw(int, int) override { return 0; }
  int TellRaw() override { return 0; }
  int SeekTime(float seconds) override;
  bool SeeksToWholeSeconds() override { return false; }
  int LastPacketTimeMs() override { return lastTimeMs_; }
  bool ReadFailed() const override { return readFailed_.load(std::memory_order_acquire); }
  VideoCodec GetVideoCodec(int stream) override;
  int LastPacketKey() const override { return lastKey_; }
  bool TimesPictures() const override { return true; }
  int SeekToKeyMs(int ms) override;
  bool HasSound() const override { return audio_.decoder != nullptr; }
  bool Damaged() const override { return damaged_.load(std::memory_order_acquire); }

  // How many cameras' files the open recording plays (1 or 2), 0 when none is open.
  int Cameras() const;
  // The clock the open recording's fixes were read by ("camera clock UTC+9"); empty when it has
  // no fixes.
  std::string ClockText() const;

 private:
  struct PacketFree {
    void operator()(AVPacket* p) const;
  };
  struct FrameFree {
    void operator()(AVFrame* f) const;
  };
  struct BsfFree {
    void operator()(AVBSFContext* b) const;
  };
  struct CodecFree {
    void operator()(AVCodecContext* c) const;
  };
  struct SwrFree {
    void operator()(SwrContext* s) const;
  };
  using PacketRef = std::unique_ptr<AVPacket, PacketFree>;

  struct Queued {
    PacketRef packet;
    int ms = 0;
  };
  // One camera's file.
  struct Source {
    cards::ContainerRef input;
    int video = -1;  // stream index of its pictures
    int audio = -1;  // stream index of the sound taken from it, -1 none
    VideoCodec codec = VideoCodec::kH264;
    std::unique_ptr<AVBSFContext, BsfFree> annexB;  // length-prefixed pictures to start codes
    std::int64_t startMs = 0;                       // the file's own start
    int width = 0, height = 0, rate = 30, frames = 0;
    PacketRef head;        // the next packet of interest, read ahead; null: read one
    int headMs = 0;        // its time
    bool ended = false;    // nothing more comes from it
    bool indexed = false;  // an MP4 or MOV file: libavformat seeks by its index
    int lastVideoMs = -1;
    int lastReadMs = 0;
    // Packets read ahead of the head, in file order, by stream.
    std::deque<Queued> videoQueue, audioQueue;
  };

  // The camera's own data (GPS, G-sensor, a car's state) as text records, read at open from the
  // front camera's file or those beside it, and the next to go out.
  std::vector<metadata::TextRecord> texts_;
  std::size_t textNext_ = 0;
  std::string clockText_;
  mutable std::mutex clockLock_;
  bool TakeText(int beforeMs, char tag[8], void* buffer, int* size);

  struct Sound {
    std::unique_ptr<AVCodecContext, CodecFree> decoder;
    std::unique_ptr<SwrContext, SwrFree> resampler;
    std::unique_ptr<AVFrame, FrameFree> frame;
    int outRate = 0;
    // The resampler was made for this input.
    int inRate = 0, inFormat = -1, inChannels = 0;
    // Samples made and not yet sent, and the time of the first of them.
    std::vector<std::int16_t> building;
    int buildingMs = -1;
    long long samplesSinceAnchor = 0;
    int anchorMs = -1;
  };
  struct Block {
    std::vector<std::int16_t> samples;
    int timeMs = 0;
  };

  // Times the other cameras' files from the front camera's start where they share its clock
  // (TimedFromFrontStart).
  void AlignCameraClocks();
  bool OpenSource(const std::string& path, Source* source, bool wantSound);
  void CloseAll();
  // Puts the source's earliest packet read ahead into its head; false at its end.
  bool FillHead(Source& source);
  // Reads the file's next packet of interest into its stream's queue; false at its end.
  bool ReadOne(Source& source);
  void ClearQueued(Source& source);
  // Turns the head picture into start-code form into buffer; false when it cannot be given.
  bool TakePicture(Source& source, void* buffer, int* size);
  void DecodeSound(const AVPacket* packet, std::int64_t fileStartMs, int streamIndex,
                   Source& source);
  void TakeSamples(const std::int16_t* samples, int count, int timeMs);
  void FinishBlock();
  void FlushSound();
  // Reads up to the source's first key picture from where it stands; false at its end.
  bool FindKeyPicture(Source& source);
  // Moves one camera to its last key picture at or before target ms; false when it cannot.
  bool SeekSource(Source& source, int target);
  int PacketMs(const Source& source, const AVPacket* packet) const;

  Source sources_[kMaxContainerFiles];
  int sourceCount_ = 0;
  Sound audio_;
  int soundSource_ = -1;
  std::deque<Block> blocks_;
  int lastTimeMs_ = -1;
  int lastKey_ = -1;
  int soundFromMs_ = 0;  // sound before this time is not played
  bool open_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<bool> damaged_{false};
  std::atomic<bool> readFailed_{false};
  std::atomic<int> cameras_{0};
};
