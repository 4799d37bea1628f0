// SPDX-License-Identifier: GPL-3.0-or-later
// Reads recordings' telemetry (GPS track and G-sensor samples, TrackReader.h) on a worker thread
// of its own, so that neither the window nor the engine waits for the card. A newer request
// replaces one not yet started and cancels the one being read; the answer comes through the
// request's callback, on the worker.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "platform/LatestJob.h"
#include "telemetry/Track.h"
#include "telemetry/TrackReader.h"
#include "vexlib/vexlib.h"

class TrackLoader {
 public:
  // Called on the worker with each recording's telemetry (in the order asked, empty ones
  // included; each track named as asked) and the result of the first read that did not succeed
  // (kOk when all did). Not called for a request that a newer one replaced or cancelled, nor after
  // Stop.
  using Done =
      std::function<void(std::vector<RecordingTelemetry>&& recordings, TrackReadResult result)>;

  TrackLoader();
  ~TrackLoader();
  TrackLoader(const TrackLoader&) = delete;
  TrackLoader& operator=(const TrackLoader&) = delete;

  // Asks for the telemetry of `names`, read through `library`. Starts the worker at the first call.
  void Request(VexHandle library, std::vector<std::string> names, Done done);
  // Drops a waiting request and cancels the one being read; their callbacks are not called.
  void Cancel();
  // Cancels and ends the worker; returns once it has.
  void Stop();

 private:
  struct Job {
    VexHandle library = nullptr;
    std::vector<std::string> names;
    Done done;
  };
  static void Serve(Job& job, const std::atomic<bool>& cancel);

  platform::LatestJob<Job> worker_;
};
