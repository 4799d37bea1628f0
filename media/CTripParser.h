// SPDX-License-Identifier: GPL-3.0-or-later
// A trip played as one recording: the reader the engine is given reads a trip's recordings one
// after another as a single stream, so that the engine's timeline, seeks, speeds and picture steps
// run over the whole trip and nothing at a join waits, gathers again or repeats a picture.
//
// A trip's name (TripRecordingName) lists its recordings' own names, as the engine would open them
// one by one. Each recording's packets come with their times moved by the pictures of the
// recordings before it (its place on the trip's timeline); a gap between recordings on the
// camera's clock is passed over. Two readers take turns: while one streams a recording, the other
// opens the next one on the trip's opener thread, so that the join costs nothing but a swap. At a
// join the sound is made as long as the recording's pictures (silence added, or the surplus left
// out of the next recording's first sound, at most a second either way), so that pictures and
// sound stay together over any number of joins.
//
// Names that are not trips go to the first reader alone, as before.
//
// Threads: the engine's worker makes every call (as for any reader); the opener thread touches only
// the reader that is not streaming. Segments() may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "media/VMediaParser.h"
#include "platform/Threads.h"

// The most recordings a trip plays: a day's driving in one-minute recordings, and some.
inline constexpr int kMaxTripRecordings = 1440;

// The name a trip is opened by: "trip:" and each recording's name after a record separator
// (0x1E). Empty when there is none, more than kMaxTripRecordings, or a name that holds the
// separator or is empty.
std::string TripRecordingName(const std::vector<std::string>& names);
bool IsTripRecordingName(const char* name);
// The recordings' names a trip's name holds; empty for a name that is not a trip's.
std::vector<std::string> TripRecordings(const char* name);

// One recording's place on a trip's timeline.
struct TripSegment {
  std::string name;      // as the engine would open it alone
  int firstPicture = 0;  // the trip's front picture its first one is
  int pictures = 0;      // its front pictures
  int startMs = 0;       // firstPicture's time on the trip's timeline
  int durationMs = 0;    // its pictures' length
};

class CTripParser final : public VMediaParser {
 public:
  // Both readers read every kind of recording (CRecordingParser); they stay the owner's. They must
  // not share a stream: a VEX card's readers each have a library handle of their own.
  CTripParser(VMediaParser* first, VMediaParser* second);
  ~CTripParser() override;
  CTripParser(const CTripParser&) = delete;
  CTripParser& operator=(const CTripParser&) = delete;

  // The open trip's recordings that play (empty for a single recording): those that open, up to
  // the first whose pictures or sound differ in rate or coding from the first one's.
  std::vector<TripSegment> Segments() const;

  bool Start() override;
  void Stop() override;
  int Open(const char* name, RecordingInfo* info) override;
  void Close() override;
  MediaPacketType ReadPacketDirect(void* buffer, int* size) override {
    return Active()->ReadPacketDirect(buffer, size);
  }
  int ReadPacket(char tag[8], void* buffer, int* size) override;
  bool OpenIndexed(const char* name, RecordingInfo* info) override;
  void Reserved(int value) override { Active()->Reserved(value); }
  int* GetVideoSize(int out[2], int stream) override { return Active()->GetVideoSize(out, stream); }
  int GetFrameRate(int stream) override;
  void GetAudioFormat(int* bits, int* rate) override;
  int ReadRaw(void* buffer, int count) override { return Active()->ReadRaw(buffer, count); }
  int SeekRaw(int offset, int origin) override { return Active()->SeekRaw(offset, origin); }
  int TellRaw() override { return Active()->TellRaw(); }
  int SeekTime(float seconds) override;
  bool SeeksToWholeSeconds() override { return trip_ ? false : Active()->SeeksToWholeSeconds(); }
  int LastPacketTimeMs() override;
  bool ReadFailed() const override { return Active()->ReadFailed(); }
  VideoCodec GetVideoCodec(int stream) override { return Active()->GetVideoCodec(stream); }
  int LastPacketKey() const override { return Active()->LastPacketKey(); }
  bool TimesPictures() const override { return Active()->TimesPictures(); }
  int SeekToKeyMs(int ms) override;
  bool HasSound() const override { return Active()->HasSound(); }
  bool Damaged() const override { return Active()->Damaged(); }

 private:
  VMediaParser* Active() const { return readers_[active_.load(std::memory_order_acquire)]; }
  VMediaParser* Idle() const { return readers_[1 - active_.load(std::memory_order_acquire)]; }
  // Asks the opener thread to open segment `index` in the idle reader (nothing past the last).
  void OpenAhead(int index);
  // Waits until the opener thread has done what it was asked; true when the idle reader holds
  // segment `index` open.
  bool WaitAhead(int index);
  // Makes segment `index` the streaming one, from the idle reader when it holds it open, else
  // opened by the active reader now; false when it cannot be opened.
  bool Enter(int index);
  // The sound bytes of `ms` of sound in the trip's format, whole samples.
  long long SoundBytes(long long ms) const;
  static bool OpenerStep(void* self);

  VMediaParser* readers_[2];
  std::atomic<int> active_{0};

  // The open trip (worker only, but segments_ under segmentsLock_ for Segments()).
  bool trip_ = false;
  mutable std::mutex segmentsLock_;
  std::vector<TripSegment> segments_;
  int current_ = 0;
  int frontRate_ = 0, rearRate_ = 0, soundBits_ = 0, soundRate_ = 0;
  bool hasSound_ = false;
  // Sound of the current segment: from which of its times it was counted, and how much came.
  long long soundFromMs_ = 0;
  long long soundBytes_ = 0;
  // At a join: silence still to deliver, or bytes of the new segment's first sound to leave out.
  long long padBytes_ = 0;
  long long dropBytes_ = 0;
  // The packet delivered last was silence, or sound of which the first lastShiftMs_ were left out.
  bool lastSilence_ = false;
  int lastShiftMs_ = 0;
  char soundTag_[8] = {'0', '2', 'w', 'b'};

  // The opener thread: opens the segment asked for (ask_) in the idle reader; opened_ tells which
  // one it holds (-1 none). Both under openLock_.
  std::mutex openLock_;
  std::condition_variable openChanged_;
  int ask_ = -1;
  int opening_ = -1;
  int opened_ = -1;
  bool stopping_ = false;
  CSingleThread opener_{"TripOpener"};
};
