// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/CardList.h"

#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "cards/Trips.h"
#include "media/CContainerParser.h"
#include "metadata/FixClock.h"
#include "metadata/RecordingMetadata.h"
#include "telemetry/TrackReader.h"
#include "telemetry/TripSummary.h"
#include "vexlib/vexlib.h"

namespace tools {

namespace {

std::string CamerasText(const cards::CardRecording& r) {
  std::string out;
  for (const cards::CameraFile& f : r.files) {
    if (out.find(f.camera) == std::string::npos) out += (out.empty() ? "" : "+") + f.camera;
  }
  return out;
}

// What a recording's GPS data says: how many valid fixes, in which format, and the camera's
// clock against UTC in minutes (null when nothing tells it).
struct GpsSummary {
  int fixes = 0;
  std::string format = "none";
  nlohmann::json offsetMinutes;
};

GpsSummary SummariseGps(const std::string& root, const cards::CardRecording& r, VexHandle vex) {
  GpsSummary g;
  if (r.family == cards::Family::kVex) {
    Track track;
    if (vex != nullptr &&
        ReadRecordingTrack(vex, r.name.c_str(), &track, nullptr) == TrackReadResult::kOk) {
      g.fixes = track.PointCount();
      if (g.fixes > 0) g.format = track.format, g.offsetMinutes = track.clockOffsetMinutes;
    }
    return g;
  }
  if (r.files.empty()) return g;
  const metadata::RecordingMetadata read = metadata::ReadRecordingMetadata(
      root + "/" + r.files.front().path, r.HasClock() ? cards::ClockSeconds(r.start) * 1000 : -1,
      nullptr);
  for (const metadata::Fix& f : read.data.fixes) g.fixes += f.valid ? 1 : 0;
  g.format = metadata::FormatName(read.data.format);
  if (read.clock.offsetKnown) g.offsetMinutes = read.clock.offsetMinutes;
  return g;
}

void PrintJson(const cards::CardRecording& r, const GpsSummary& gps) {
  nlohmann::json j;
  j["name"] = r.name;
  j["family"] = cards::FamilyName(r.family);
  j["kind"] = cards::KindName(r.kind);
  j["start"] = r.HasClock() ? nlohmann::json(cards::ClockText(r.start)) : nlohmann::json();
  j["seconds"] = std::round(r.seconds * 1000) / 1000;
  nlohmann::json cameras = nlohmann::json::array(), files = nlohmann::json::array();
  for (const cards::CameraFile& f : r.files) {
    if (std::find(cameras.begin(), cameras.end(), f.camera) == cameras.end())
      cameras.push_back(f.camera);
    if (std::find(files.begin(), files.end(), f.path) == files.end()) files.push_back(f.path);
  }
  j["cameras"] = cameras;
  j["files"] = files;
  j["bytes"] = r.bytes;
  j["damaged"] = r.damaged;
  j["fixes"] = gps.fixes;
  j["gps"] = gps.format;
  j["clock_offset_minutes"] = gps.offsetMinutes;
  if (r.hasEvent) {
    nlohmann::json e;
    e["reason"] = r.event.reason;
    if (r.event.hasTime) e["time"] = cards::ClockText(r.event.time);
    if (!r.event.city.empty()) e["city"] = r.event.city;
    if (r.event.hasPlace) e["latitude"] = r.event.latitude, e["longitude"] = r.event.longitude;
    j["event"] = e;
  }
  // Card names are not always UTF-8: such bytes become U+FFFD, so that every line parses.
  std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintLine(const cards::CardRecording& r) {
  const std::string start = r.HasClock() ? cards::ClockText(r.start) : "(no clock)         ";
  std::printf("%s  %-8s %-9s %7.1f s  %8.1f MB  %-20s %s%s\n", start.c_str(),
              cards::KindName(r.kind), cards::FamilyName(r.family), r.seconds,
              double(r.bytes) / 1048576.0, CamerasText(r).c_str(), r.name.c_str(),
              r.damaged ? "  (damaged)" : "");
}

// The card folder or the one file at `path`, listed, described and sorted; false (with the
// message printed) for a path that cannot be listed.
struct LoadedCard {
  std::string root;
  bool folder = false;
  cards::CardScan scan;
};

bool LoadCard(const std::string& path, LoadedCard* card) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))) {
    std::fprintf(stderr, "roadeye-convert: %s is neither a card folder nor a recording file\n",
                 path.c_str());
    return false;
  }
  // libavformat's remarks on odd containers are not the listing's; damage shows in its lines.
  av_log_set_level(AV_LOG_FATAL);
  card->root = path;
  card->folder = S_ISDIR(st.st_mode);
  if (card->folder) {
    card->scan = cards::ScanCard(card->root);
    if (!card->scan.readable) {
      std::fprintf(stderr, "roadeye-convert: cannot read the folder %s\n", path.c_str());
      return false;
    }
  } else {
    const std::size_t slash = path.rfind('/');
    card->root = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    card->scan = cards::ScanFiles(card->root, {name});
    if (card->scan.recordings.empty()) {
      std::fprintf(stderr, "roadeye-convert: %s is not a video recording\n", path.c_str());
      return false;
    }
  }
  metadata::CFixClock fixClock;
  for (cards::CardRecording& r : card->scan.recordings) {
    cards::DescribeRecording(card->root, &r, nullptr, &fixClock);
  }
  cards::SortRecordings(&card->scan.recordings);
  return true;
}

void WarnTruncated(const cards::CardScan& scan) {
  if (scan.truncated) {
    std::fprintf(stderr,
                 "roadeye-convert: the card holds more than %zu files; the rest are not listed\n",
                 cards::kMaxFiles);
  }
}

}  // namespace

int ListCardRecordings(const std::string& path, bool json) {
  LoadedCard card;
  if (!LoadCard(path, &card)) return 2;
  // A VEX card's tracks are read through the card library.
  VexLibrary vex;
  char drive = 0;
  if (json && card.folder) {
    VexInitialise(vex.get(), card.root.c_str());
    VexCardPoll(vex.get(), &drive);
  }
  for (const cards::CardRecording& r : card.scan.recordings) {
    if (json) {
      PrintJson(r, SummariseGps(card.root, r, drive != 0 ? vex.get() : nullptr));
    } else {
      PrintLine(r);
    }
  }
  WarnTruncated(card.scan);
  return 0;
}

int ListCardTrips(const std::string& path, bool json) {
  LoadedCard card;
  if (!LoadCard(path, &card)) return 2;
  VexLibrary vex;
  char drive = 0;
  if (card.folder) {
    VexInitialise(vex.get(), card.root.c_str());
    VexCardPoll(vex.get(), &drive);
  }
  for (const TripSummary& summary :
       SummariseTrips(card.root, card.scan.recordings, drive != 0 ? vex.get() : nullptr, nullptr)) {
    const cards::Trip& trip = summary.trip;
    const double metres = summary.metres;
    nlohmann::json names = summary.names;
    const std::string start = cards::ClockText(trip.Start()), end = cards::ClockText(trip.End());
    if (json) {
      nlohmann::json j;
      j["start"] = start;
      j["end"] = end;
      j["seconds"] = std::round(trip.seconds * 1000) / 1000;
      j["recordings"] = names;
      j["distance_m"] = std::round(metres * 10) / 10;
      j["events"] = trip.events;
      std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else {
      std::printf("%s  to %s  %8.1f s  %4zu recording%s  %8.2f km  %d event%s  %s\n", start.c_str(),
                  end.substr(11).c_str(), trip.seconds, trip.recordings.size(),
                  trip.recordings.size() == 1 ? " " : "s", metres / 1000, trip.events,
                  trip.events == 1 ? "" : "s", summary.names.front().c_str());
    }
  }
  WarnTruncated(card.scan);
  return 0;
}

}  // namespace tools
