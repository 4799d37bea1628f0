// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/FixClock.h"

#include "metadata/RecordingMetadata.h"

namespace metadata {

bool CFixClock::StartFromFixes(const std::string& path, cards::Clock* start,
                               const std::atomic<bool>* cancel) {
  const RecordingMetadata read = ReadRecordingMetadata(path, -1, cancel);
  if (read.cancelled || read.clock.startUtcMs < 0) return false;
  std::int64_t ms = read.clock.startUtcMs;
  if (read.clock.offsetKnown) ms += std::int64_t(read.clock.offsetMinutes) * 60000;
  if (ms < 0) return false;
  const cards::Clock clock = cards::ClockFromSeconds(ms / 1000);
  if (!cards::ClockIsValid(clock)) return false;
  *start = clock;
  return true;
}

}  // namespace metadata
