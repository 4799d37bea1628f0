// SPDX-License-Identifier: GPL-3.0-or-later
// Reads recordings stored as RIFF AVI files, in the layout the clip writer produces: the header
// lists give the video sizes, frame rates and sound format, the movie list's chunks are the
// packets, and the index gives the positions of the front pictures for seeking by time.
//
// Direct mode: packets are read from the file by the calling thread; Start and Stop do nothing.
// The file is untrusted input: every size read from it is checked before it is used.
#pragma once

#include <cstdint>
#include <cstdio>

#include "media/VMediaParser.h"
#include "platform/Threads.h"
#include "support/LumArray.h"

class CAVIExtractor final : public VMediaParser {
 public:
  CAVIExtractor();
  ~CAVIExtractor() override;
  CAVIExtractor(const CAVIExtractor&) = delete;
  CAVIExtractor& operator=(const CAVIExtractor&) = delete;

  bool Start() override { return true; }
  void Stop() override {}
  // With info: first builds the front-picture table (OpenIndexed), then opens for streaming.
  // Returns the movie list's size field, or 0 on failure.
  int Open(const char* name, RecordingInfo* info) override;
  void Close() override;
  // 0 front picture, 1 rear picture, 2 sound, 3 text, 5 end, failure or any other chunk.
  MediaPacketType ReadPacketDirect(void* buffer, int* size) override;
  // Reads the next chunk: the file offset of its header, or -1.
  int ReadPacket(char tag[8], void* buffer, int* size) override;
  // Opens, reads the index into the front-picture table and closes the file again.
  bool OpenIndexed(const char* name, RecordingInfo* info) override;
  void Reserved(int) override {}
  int* GetVideoSize(int out[2], int stream) override;
  // The header's frame rate, limited to 30.
  int GetFrameRate(int stream) override;
  void GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) override;
  // stdio read, seek and tell on the open file; 0 when no file is open.
  int ReadRaw(void* buffer, int count) override;
  int SeekRaw(int offset, int origin) override;
  int TellRaw() override;
  // Positions the file at the front picture of the given time: 0, or -1 (nothing moved).
  int SeekTime(float seconds) override;
  bool SeeksToWholeSeconds() override { return false; }

  // Video streams met in the header list of the last open.
  int VideoStreamCount() const { return videoCount_; }
  // The front-picture table of the last indexed open: header offsets with the top bit set.
  const CLumArrBase<std::uint32_t>& FrontFrames() const { return frontFrames_; }

 private:
  struct VideoStream {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t rate = 0;  // frames per second, as the header says
  };

  // Opens name and walks its headers up to the first chunk of the movie list. The movie list's
  // size, or 0 (and no file open) on failure.
  std::uint32_t OpenStream(const char* name);
  // One item of a header list, taking the bytes it reads from budget. depth: lists around it.
  bool ParseHeaderItem(std::int64_t& budget, int depth);
  bool ReadBytes(void* to, std::size_t n);
  bool ReadU32(std::uint32_t* value);
  // Moves forward by n bytes; false when that leaves the file.
  bool Skip(std::int64_t n);
  void CloseLocked();

  CSync lock_{"none"};  // guards file_ for open, close and the raw operations
  std::FILE* file_ = nullptr;
  std::int64_t fileSize_ = 0;  // the file's length when it was opened
  bool running_ = false;       // a successful open, no close since

  unsigned char mainHeader_[56] = {};
  unsigned char streamHeader_[56] = {};  // the last stream header met
  unsigned char videoFormat_[40] = {};   // the last video format met
  unsigned char audioFormat_[16] = {};

  VideoStream video_[2];
  int videoCount_ = 0;

  CLumArrBase<std::uint32_t> frontFrames_;
};
