// SPDX-License-Identifier: GPL-3.0-or-later
// How long the sound our SDL device has handed on waits in the PulseAudio server before it is
// heard. SDL2 counts a sample as played when its audio callback gives it to the server; the server
// then holds it in our stream's buffer and the sink's own buffer. SDL does not tell that delay, so
// this asks the server beside SDL: our stream is the sink input whose application.process.id is
// this process (the first of our format), and its buffer_usec + sink_usec is how long sound waits
// there before it is heard. The server asks for each device buffer as it needs one, so the
// stream's buffer reads the same whenever it is asked (25 ms on a PulseAudio 16 null sink) and the
// figure is the delay of the sound at the output's play position: on that sink about 29 ms, where
// the clock without it was measured 30.7 ms ahead of what the sink played.
//
// The query runs on libpulse's threaded main loop (a thread of its own, asleep between queries):
// four times a second for the first two seconds, while the server settles the stream's latency,
// then once a second. LatencyMicros is the median of the last five answers: the sink's part moves
// by a few ms with the block it is in. Where there is no server, no such stream or no libpulse in
// the build, there is no figure (-1) and the clock is left as SDL sees it. PipeWire's Pulse server
// (0.3.65) answers 0 for both parts, so there the clock is left as it was too.
//
// Start and Stop on the output's owner threads (one at a time); LatencyMicros from any thread.
// Nothing here blocks the caller on the server but WaitForFirstAnswer: Start only begins the
// connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

class CPulseLatency {
 public:
  // Refresh periods of the query, in ms: while the stream settles, and after.
  static constexpr unsigned kSettleRefreshMs = 250;
  static constexpr unsigned kRefreshMs = 1000;
  // Queries made at the settling period before the slower one takes over.
  static constexpr int kSettleQueries = 8;
  // Figures the median is taken of.
  static constexpr int kFigures = 5;
  // A figure above this (2 s) is no latency of a working stream and is ignored, in µs.
  static constexpr int kMaxLatencyMicros = 2000000;

  CPulseLatency();
  ~CPulseLatency();
  CPulseLatency(const CPulseLatency&) = delete;
  CPulseLatency& operator=(const CPulseLatency&) = delete;

  // True when the build can ask a PulseAudio server.
  static bool Supported();

  // Starts watching this process's stream of the given format on the server libpulse picks
  // (PULSE_SERVER, else the user's). A running watch is stopped first. False when it cannot start
  // (no libpulse in the build, no main loop); a server that does not answer is tried again at
  // each refresh.
  bool Start(int rate, int channels);
  // Stops the watch and forgets the figures; returns once the query thread has ended.
  void Stop();
  // While the output is paused nothing is asked (the thread sleeps) and the last figure stays;
  // going on, the queries start again at the settling pace.
  void SetPaused(bool paused);
  // The latency between the output's play position and the sound heard, in µs; -1 when none is
  // known.
  int LatencyMicros() const { return latency_.load(std::memory_order_acquire); }
  // Waits at most maxMs for the server's first answer since Start (a figure, or none: no such
  // stream, no server), so that the first sound of a recording is already placed by it. True when
  // it came.
  bool WaitForFirstAnswer(unsigned maxMs);

 private:
  void NoteAnswer(bool answered);

  struct Impl;
  std::unique_ptr<Impl> impl_;  // the running watch: made by Start, ended by Stop
  std::atomic<int> latency_{-1};
  std::mutex answerLock_;
  std::condition_variable answerCame_;
  bool answered_ = true;  // no watch waits for one
};
