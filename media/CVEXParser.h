// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the card's recordings through the card library. A reader thread, "VEXParser", pulls
// packets from the library into a bounded queue; consumers take them with ReadPacket and the tags
// "00dc", "01dc", "02wb" and "03tx".
//
// Apart from streaming, a parser reads a recording's text records alone (the text scan): for
// reading the GPS track and G-sensor samples ahead of playback, fast, on a worker of the caller's.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "media/CThreadQueue.h"
#include "media/VMediaParser.h"
#include "platform/Threads.h"
#include "vexlib/vexlib.h"

// The name the engine and the download pass to Open: an optional leading "/", the recording's name
// (whose first letter, in either case, gives the kind: E event, M manual, P parking, R continuous),
// and optionally a comma or blank followed by a decimal index into that kind's listing.
struct RecordingId {
  int kind = 0;  // CVEXParser::Kind
  std::string name;
  bool hasIndex = false;
  int index = 0;
};

// What a text scan's read gave.
enum class TextScanStatus {
  kRecord,  // a text record
  kNotYet,  // part of the recording passed over with no record in it; read again
  kEnd,     // the recording's end (also of one cut short)
  kFailed,  // the card could not be read, or no scan is open
};

class CVEXParser final : public VMediaParser {
 public:
  // Recording kinds as the parser numbers them.
  enum Kind { kContinuous = 0, kEvent = 1, kManual = 2, kParking = 3 };

  CVEXParser();
  ~CVEXParser() override;
  CVEXParser(const CVEXParser&) = delete;
  CVEXParser& operator=(const CVEXParser&) = delete;

  // The library handle to read through; handed over before each open.
  void SetLibraryHandle(VexHandle handle) { library_.store(handle, std::memory_order_release); }

  // Splits an id; a first letter that names no kind keeps previousKind.
  static RecordingId ParseRecordingId(const char* id, int previousKind);
  static int ToVexKind(int kind);

  bool Start() override;
  void Stop() override;
  int Open(const char* name, RecordingInfo* info) override;
  void Close() override;
  MediaPacketType ReadPacketDirect(void* buffer, int* size) override;
  int ReadPacket(char tag[8], void* buffer, int* size) override;
  bool OpenIndexed(const char* name, RecordingInfo* info) override;
  void Reserved(int) override {}
  int* GetVideoSize(int out[2], int stream) override;
  int GetFrameRate(int stream) override;
  void GetAudioFormat(int* bitsPerSample, int* samplesPerSecond) override;
  int ReadRaw(void*, int) override { return 0; }
  int SeekRaw(int, int) override { return 0; }
  int TellRaw() override { return 0; }
  int SeekTime(float seconds) override;
  bool SeeksToWholeSeconds() override { return true; }
  int LastPacketTimeMs() override { return lastTimeMs_; }
  bool ReadFailed() const override { return readFailed_; }

  // The recording header values of the last open: [1] front width, [2] rear width, [3] front
  // height, [4] rear height, [5] front rate, [6] rear rate, [7] front count, [8] rear count,
  // [9] audio packets, [10] GPS records, [11] G-sensor records, [12] bits per sample,
  // [13] samples per second; [0] unused.
  int HeaderValue(int i) const { return (i >= 0 && i < kHeaderValues) ? header_[i] : 0; }
  int Kind() const { return kind_; }

  // --- Text scan: one thread at a time; needs no Start ---
  // The scan reads the file through a reader of its own, passing over pictures and sound without
  // reading their payloads, and leaves the library's stream alone: it may run on a worker while
  // another parser (the engine's) streams through the same library handle. A parser used for a
  // scan is best kept for scans, since Open's state and the scan's are apart anyway.
  // Opens the recording `name` as Open takes it (the handle set with SetLibraryHandle); false when
  // there is no such readable recording. Ends a scan already open.
  bool OpenTextScan(const char* name);
  // The next text record into buffer (capacity bytes; longer records are passed over), *size its
  // length and *timeMs its time from the recording's start. Each call reads at most one block of
  // the recording (a second of pictures), so a caller can check for a stop between calls.
  TextScanStatus ReadTextRecord(void* buffer, int capacity, int* size, int* timeMs);
  void CloseTextScan() { textScan_.reset(); }

 private:
  struct TextScanCloser {
    void operator()(VexTextScan* s) const { VexCloseTextScan(s); }
  };

  static constexpr int kHeaderValues = 14;

  static bool ReaderRoutine(void* self);
  bool ReaderStep();
  // Clears the running flag and waits until the reader thread is idle, so that the library is
  // not read while it is sought or reopened. Returns the flag as it was.
  bool ParkReader();
  // Sets the running flag; setting it wakes the idle reader.
  void SetRunning(bool running);

  // Set by the opening thread; read by the reader thread only while running.
  // Set by the owner's thread (the window hands it over at each open) while the reader thread may
  // be reading through the one before.
  std::atomic<VexHandle> library_{nullptr};
  VexHandle Library() const { return library_.load(std::memory_order_acquire); }
  int kind_ = kContinuous;
  int header_[kHeaderValues] = {};

  // Shared between the opening thread, the reader and the consumer.
  // Consumer's thread: the time of the packet ReadPacket delivered last.
  int lastTimeMs_ = -1;
  // Reader thread: the time the library gave with the packet ReadPacketDirect read last.
  int readTimeMs_ = -1;

  std::atomic<bool> running_{false};
  std::atomic<bool> ended_{false};
  // The end was a failed read (see ReadFailed).
  std::atomic<bool> readFailed_{false};
  // A recording is open for streaming (Open succeeded, no Close since).
  std::atomic<bool> opened_{false};
  CThreadQueue queue_;

  // The reader's idle state: while the running flag is clear it sleeps on stateChanged_ (an idle
  // card reader costs nothing) with readerIdle_ set, which ParkReader waits for. The flag is set
  // and the reader stopped under runLock_.
  std::mutex runLock_;
  std::condition_variable stateChanged_;
  bool readerIdle_ = false;
  bool stopping_ = false;

  // Reader thread and its work buffer (allocated by Start, freed by Stop after the thread ended).
  CSingleThread reader_{"VEXParser"};
  std::unique_ptr<unsigned char[]> work_;
  bool threaded_ = true;

  // The text scan's thread alone.
  std::unique_ptr<VexTextScan, TextScanCloser> textScan_;
};
