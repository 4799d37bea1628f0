// SPDX-License-Identifier: GPL-3.0-or-later
#include "telemetry/TrackLoader.h"

#include <utility>

TrackLoader::TrackLoader() : worker_(&TrackLoader::Serve) {}

TrackLoader::~TrackLoader() { Stop(); }

void TrackLoader::Request(VexHandle library, std::vector<std::string> names, Done done) {
  worker_.Post(Job{library, std::move(names), std::move(done)});
}

void TrackLoader::Cancel() { worker_.Cancel(); }

void TrackLoader::Stop() { worker_.Stop(); }

void TrackLoader::Serve(Job& job, const std::atomic<bool>& cancel) {
  std::vector<RecordingTelemetry> recordings;
  recordings.reserve(job.names.size());
  TrackReadResult result = TrackReadResult::kOk;
  for (const auto& name : job.names) {
    RecordingTelemetry telemetry;
    const TrackReadResult read =
        ReadRecordingTelemetry(job.library, name.c_str(), &telemetry, &cancel);
    if (read == TrackReadResult::kCancelled || cancel) break;
    if (read != TrackReadResult::kOk && result == TrackReadResult::kOk) result = read;
    if (telemetry.track.name.empty()) telemetry.track.name = name;
    recordings.push_back(std::move(telemetry));
  }
  // A request that came meanwhile replaces this one: its answer is out of date.
  if (cancel || recordings.size() != job.names.size()) return;
  if (job.done) job.done(std::move(recordings), result);
}
