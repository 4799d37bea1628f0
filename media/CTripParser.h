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
// sound stay together over any number of joins. A camera whose pictures run on past the front
// camera's end (one that started late and stays that late) has its last pictures held at the join
// and handed on among the next recording's first packets, in time order, so that it stays late
// across the join rather than racing ahead of the front camera and waiting for it after.
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
  int LastPacketKey() const override;
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
  // The next packet of the segments in turn, its sound made as long as the pictures at each join.
  int ReadSegments(char tag[8], void* buffer, int* size);
  // Whether the packet just read is another camera's picture past the current segment's front
  // pictures, with a segment after it: one to hold for the join.
  bool RunsPastJoin(const char* tag) const;
  // A packet kept back at a join, with its time on the trip's timeline.
  struct HeldPacket {
    char tag[8] = {};
    std::vector<char> bytes;
    int timeMs = -1;
    int key = -1;
  };
  // Keeps the packet just read (with its time and key flag) in *to.
  void Hold(HeldPacket* to, const char tag[8], const void* data, int size) const;
  // Hands on a kept packet as the one read: from, or the oldest held picture.
  int Deliver(const HeldPacket& from, char tag[8], void* buffer, int* size);
  int DeliverHeld(char tag[8], void* buffer, int* size);
  void DropHeld();
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
  char soundTag_[8] = {'0', '2', 'w', 'b'};
  // The pictures held at a join (oldest first, at most kMaxHeldPackets and kMaxHeldBytes), and
  // the next segment's packet read while one of them was due first.
  std::vector<HeldPacket> held_;
  long long heldBytes_ = 0;
  HeldPacket waiting_;
  bool hasWaiting_ = false;
  // The time and key flag of the packet delivered last (-1: none, or silence).
  int deliveredMs_ = -1;
  int deliveredKey_ = -1;

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
