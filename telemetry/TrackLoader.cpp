// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/TrackLoader.h"

#include <utility>

TrackLoader::~TrackLoader() { Stop(); }

void TrackLoader::Request(VexHandle library, std::vector<std::string> names, Done done) {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopping_) return;
  pending_ = Job{library, std::move(names), std::move(done)};
  cancel_ = true;  // the job being read, if any, is out of date
  if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
  wake_.notify_one();
}

void TrackLoader::Cancel() {
  std::lock_guard<std::mutex> hold(lock_);
  pending_.reset();
  cancel_ = true;
}

void TrackLoader::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    pending_.reset();
    cancel_ = true;
    wake_.notify_one();
  }
  if (worker_.joinable()) worker_.join();
}

void TrackLoader::Run() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold, [this] { return stopping_ || pending_.has_value(); });
      if (stopping_) return;
      job = std::move(*pending_);
      pending_.reset();
      cancel_ = false;
    }
    std::vector<RecordingTelemetry> recordings;
    recordings.reserve(job.names.size());
    TrackReadResult result = TrackReadResult::kOk;
    for (const auto& name : job.names) {
      RecordingTelemetry telemetry;
      const TrackReadResult read =
          ReadRecordingTelemetry(job.library, name.c_str(), &telemetry, &cancel_);
      if (read == TrackReadResult::kCancelled || cancel_) break;
      if (read != TrackReadResult::kOk && result == TrackReadResult::kOk) result = read;
      if (telemetry.track.name.empty()) telemetry.track.name = name;
      recordings.push_back(std::move(telemetry));
    }
    // A request that came meanwhile replaces this one: its answer is out of date.
    if (cancel_ || recordings.size() != job.names.size()) continue;
    if (job.done) job.done(std::move(recordings), result);
  }
}
