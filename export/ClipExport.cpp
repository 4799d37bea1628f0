// SPDX-License-Identifier: GPL-3.0-or-later
#include "export/ClipExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "export/FileDigest.h"
#include "export/RemuxClip.h"
#include "export/TrackExport.h"
#include "media/CContainerParser.h"
#include "media/CTripParser.h"
#include "platform/WholeFile.h"
#include "support/CivilDate.h"
#include "telemetry/TrackReader.h"
#include "vexlib/VexCard.h"

#ifndef ROADEYE_VERSION
#define ROADEYE_VERSION "0"
#endif

namespace {

// The temporary name of a file is its name between "." and ".<pid>-<serial>": this much longer.
constexpr std::size_t kTemporaryExtra = 24;

// A recording's name taken apart: its stem (the name less ".avi" or ".vex") and the camera's clock
// at its first picture, as seconds since 1970 of the clock's own (zone-less) calendar.
struct RecordingName {
  std::string stem;
  std::int64_t clockSeconds = 0;
};

// A recording's name with ".avi" or ".vex" (either case) or no ending; its date must be a real one.
bool ParseRecordingName(const std::string& name, RecordingName* out) {
  vex::RecordingName parsed;
  if (!vex::ParseRecordingName(name, true, &parsed) ||
      !vex::ClockSeconds(parsed, &out->clockSeconds)) {
    return false;
  }
  out->stem = parsed.stem;
  return true;
}

// ms from a recording's start as mm:ss.s (minutes go past 59 on long recordings).
std::string MediaTime(int ms) {
  const long long tenths = (ms + 50LL) / 100;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", tenths / 600, tenths / 10 % 60,
                tenths % 10);
  return text;
}

// The camera's clock `ms` after clockSeconds, as YYYY-MM-DD HH:MM:SS.s.
std::string ClockTime(std::int64_t clockSeconds, int ms) {
  const std::int64_t tenths = clockSeconds * 10 + (ms + 50LL) / 100;
  const std::int64_t seconds = tenths / 10;
  std::int64_t days = seconds / 86400, inDay = seconds % 86400;
  if (inDay < 0) {
    inDay += 86400;
    --days;
  }
  std::int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02d %02d:%02d:%02d.%d", (long long)year, month,
                day, int(inDay / 3600), int(inDay / 60 % 60), int(inDay % 60), int(tenths % 10));
  return text;
}

// Removes every file it was given unless kept: what a clip wrote on its way to a failure.
class Leftovers {
 public:
  Leftovers() = default;
  Leftovers(const Leftovers&) = delete;
  Leftovers& operator=(const Leftovers&) = delete;
  ~Leftovers() {
    for (const std::string& p : paths_) ::unlink(p.c_str());
  }
  void Add(const std::string& path) { paths_.push_back(path); }
  void Forget(const std::string& path) { std::erase(paths_, path); }
  void Keep() { paths_.clear(); }

 private:
  std::vector<std::string> paths_;
};

// The track's points recorded in [startMs, endMs), segments kept apart, empty ones left out.
Track CutTrack(const Track& track, int startMs, int endMs, std::string name) {
  Track cut;
  cut.name = std::move(name);
  cut.clockKnown = track.clockKnown;
  cut.clockOffsetMinutes = track.clockOffsetMinutes;
  cut.clockText = track.clockText;
  cut.format = track.format;
  for (const std::vector<TrackPoint>& segment : track.segments) {
    std::vector<TrackPoint> kept;
    for (const TrackPoint& p : segment) {
      if (p.timeMs >= startMs && p.timeMs < endMs) kept.push_back(p);
    }
    if (!kept.empty()) cut.segments.push_back(std::move(kept));
  }
  return cut;
}

// One recording's part of a clip.
struct Piece {
  std::string name;
  RecordingName parsed;
  int frontPictures = 0, rate = 0;
  int fromMs = 0, toMs = 0;  // what is asked of this recording
  ClipSpan span;             // the blocks taken
  int timelineMs = 0;        // where the part starts in the clip's timeline
  std::filesystem::path source;
};

// A clip across a trip's joins takes at most a trip's recordings.
constexpr std::size_t kMaxClipRecordings = kMaxTripRecordings;

ClipOutcome& Fail(ClipOutcome& outcome, ClipResult result, int error = 0) {
  outcome.result = result;
  outcome.systemError = error;
  outcome.reason = ClipResultText(result);
  if (result == kClipVideoFailed)
    outcome.reason += std::string(": ") + ConvertResultText(outcome.video);
  if (error != 0) outcome.reason += std::string(" (") + std::strerror(error) + ")";
  outcome.files.clear();
  return outcome;
}

// A clip's last steps: the SHA-256 list of the three files as written (read back) and of the
// source files on the card, the files renamed into place, the list written last (a list in the
// folder always names files that are there), the folder synced.
ClipOutcome FinishClip(const std::string& folder, const std::string (&temps)[3],
                       const std::string (&finals)[4], const char* const (&endings)[4],
                       const std::vector<std::string>& sources, std::atomic<int>* busy,
                       Leftovers& leftovers, ClipOutcome& outcome) {
  std::string list;
  int error = 0;
  for (int i = 0; i < 3; ++i) {
    std::string hex;
    const DigestResult r = Sha256OfFile(temps[i], &hex, busy, &error);
    if (r == DigestResult::kStopped) return Fail(outcome, kClipStopped);
    if (r != DigestResult::kOk) return Fail(outcome, kClipWriteFailed, error);
    list += Sha256ListLine(hex, outcome.stem + endings[i]);
  }
  for (const std::string& path : sources) {
    std::string hex;
    const DigestResult r = Sha256OfFile(path, &hex, busy, &error);
    if (r == DigestResult::kStopped) return Fail(outcome, kClipStopped);
    if (r != DigestResult::kOk) return Fail(outcome, kClipSourceFailed, error);
    list += Sha256ListLine(hex, path);
  }
  for (int i = 0; i < 3; ++i) {
    if (std::rename(temps[i].c_str(), finals[i].c_str()) != 0) {
      return Fail(outcome, kClipWriteFailed, errno);
    }
    leftovers.Forget(temps[i]);
    leftovers.Add(finals[i]);
  }
  if (!WriteWholeFile(finals[3], list, WholeFileMode::kReplace)) {
    return Fail(outcome, kClipWriteFailed, errno);
  }
  leftovers.Keep();
  SyncPath(folder.empty() ? std::string(".") : folder, O_RDONLY | O_DIRECTORY);
  outcome.result = kClipDone;
  outcome.reason.clear();
  outcome.files.assign(std::begin(finals), std::end(finals));
  return outcome;
}

}  // namespace

const char* ClipResultText(ClipResult result) {
  switch (result) {
    case kClipDone:
      return "done";
    case kClipStopped:
      return "stopped";
    case kClipBadSpan:
      return "the span is not a part of the recording (the start must be at least 0, before the "
             "end and before the recording's end)";
    case kClipBadName:
      return "not a recording's name";
    case kClipNoRecording:
      return "no usable recording of that name on the card";
    case kClipPathTooLong:
      return "the destination path is longer than the system allows";
    case kClipVideoFailed:
      return "the AVI file could not be made";
    case kClipTrackFailed:
      return "the GPS track could not be read from the card";
    case kClipWriteFailed:
      return "a file could not be written";
    case kClipSourceFailed:
      return "the recording's file on the card could not be read for its checksum";
  }
  return "unknown result";
}

bool ClipSpanOf(int fromMs, int toMs, int frameRate, int frontPictures, ClipSpan* span) {
  if (fromMs < 0 || toMs <= fromMs || frameRate <= 0 || frontPictures <= 0) return false;
  const long long blockUnits = 1000LL * kBlockPictures;  // ms x pictures a second in a block
  const long long blockCount = (frontPictures + kBlockPictures - 1) / kBlockPictures;
  const long long first = fromMs * (long long)frameRate / blockUnits;
  // The recording ends with its last picture's period; a start there or later holds nothing.
  if (first >= blockCount || fromMs * (long long)frameRate >= frontPictures * 1000LL) return false;
  // The block holding the last moment before toMs: the blocks are rounded up.
  long long last = (toMs * (long long)frameRate + blockUnits - 1) / blockUnits - 1;
  if (last >= blockCount) last = blockCount - 1;
  const long long endPicture =
      std::min<long long>((last + 1) * kBlockPictures, (long long)frontPictures);
  span->firstBlock = int(first);
  span->blocks = int(last - first + 1);
  span->startMs = int(first * blockUnits / frameRate);
  span->endMs = int(endPicture * 1000 / frameRate);
  return true;
}

ClipOutcome ExportClip(VMediaParser* parser, VexHandle library, const ClipRequest& request,
                       ConvertProgressFn progress, void* arg, std::atomic<int>* busy) {
  ClipOutcome outcome;
  std::atomic<int> ownFlag{1};
  if (!busy) busy = &ownFlag;
  if (request.following.size() >= kMaxClipRecordings) return Fail(outcome, kClipBadSpan);
  std::vector<Piece> pieces(request.following.size() + 1);
  std::string unused;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    pieces[i].name = i == 0 ? request.name : request.following[i - 1];
    if (!ParseRecordingName(pieces[i].name, &pieces[i].parsed) ||
        !MakeDestinationPath(request.folder, pieces[i].name, &unused)) {
      return Fail(outcome, kClipBadName);
    }
  }
  if (request.fromMs < 0 || request.toMs <= (pieces.size() == 1 ? request.fromMs : 0)) {
    return Fail(outcome, kClipBadSpan);
  }
  if (!parser || !library) return Fail(outcome, kClipNoRecording);

  // What the card says of each recording: its rate, picture count and file; and the blocks
  // taken of it (from the start asked for, or the recording's own start, to the end asked for,
  // or its own end).
  int timelineMs = 0;  // the clip's parts so far, from the first recording's start
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Piece& piece = pieces[i];
    std::uint8_t header[kVexHeaderBytes] = {};
    char where[kVexPathBytes] = {}, counts[kVexTextBytes] = {}, model[kVexScratchBytes] = {};
    const int described =
        VexDescribe(library, piece.name.c_str(), header, nullptr, nullptr, where, counts, model);
    where[kVexPathBytes - 1] = counts[kVexTextBytes - 1] = '\0';
    if (!described || counts[0] == '\0' || where[0] == '\0' ||
        std::sscanf(counts, "cntVideo0=%d;", &piece.frontPictures) != 1 || header[3] == 0) {
      return Fail(outcome, kClipNoRecording);
    }
    piece.rate = header[3];
    const int lengthMs = int(piece.frontPictures * 1000LL / piece.rate);
    piece.fromMs = i == 0 ? request.fromMs : 0;
    piece.toMs = i + 1 == pieces.size() ? request.toMs : lengthMs;
    if (!ClipSpanOf(piece.fromMs, piece.toMs, piece.rate, piece.frontPictures, &piece.span)) {
      return Fail(outcome, kClipBadSpan);
    }
    std::error_code ec;
    piece.source = std::filesystem::absolute(where, ec).lexically_normal();
    if (ec) return Fail(outcome, kClipNoRecording);
    piece.timelineMs = i == 0 ? 0 : timelineMs;
    timelineMs = (i == 0 ? 0 : timelineMs) + (i + 1 == pieces.size() ? piece.span.endMs : lengthMs);
  }

  // The files' names: the first recording's stem and the span's whole seconds from its start
  // (a span across joins counts the recordings' lengths, as the trip's timeline does), the end
  // rounded up.
  outcome.span = pieces.front().span;
  if (pieces.size() > 1) {
    outcome.span.blocks = 0;
    for (const Piece& piece : pieces) outcome.span.blocks += piece.span.blocks;
    outcome.span.endMs = timelineMs;
  }
  const ClipSpan& span = outcome.span;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "_%04d-%04d", span.startMs / 1000,
                (span.endMs + 999) / 1000);
  outcome.stem = pieces.front().parsed.stem + seconds;
  static const char* const kEndings[] = {".avi", ".gpx", ".txt", ".sha256"};
  std::string finals[4];
  for (int i = 0; i < 4; ++i) {
    if (!MakeDestinationPath(request.folder, outcome.stem + kEndings[i], &finals[i])) {
      return Fail(outcome, kClipBadName);
    }
    if (finals[i].size() + kTemporaryExtra >= PATH_MAX) return Fail(outcome, kClipPathTooLong);
  }

  Leftovers leftovers;
  std::string temps[3];
  for (int i = 0; i < 3; ++i) {
    temps[i] = MakeTemporaryFile(request.folder, outcome.stem + kEndings[i]);
    if (temps[i].empty()) return Fail(outcome, kClipWriteFailed, errno);
    leftovers.Add(temps[i]);
  }

  // The pictures and sound.
  int error = 0;
  std::vector<ConvertPart> parts;
  for (const Piece& piece : pieces) {
    parts.push_back({piece.name, ConvertSpan{piece.span.firstBlock, piece.span.blocks}});
  }
  outcome.video =
      ConvertRecordingParts(parser, parts, temps[0].c_str(), progress, arg, busy, &error);
  if (outcome.video == kConvertStopped) return Fail(outcome, kClipStopped);
  if (outcome.video != kConvertDone) return Fail(outcome, kClipVideoFailed, error);
  if (!SyncPath(temps[0], O_RDONLY)) return Fail(outcome, kClipWriteFailed, errno);

  // The track over the span: each recording's part of it, on the recording's own clock.
  std::vector<Track> cuts;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    Track track;
    if (ReadRecordingTrack(library, pieces[i].name.c_str(), &track, nullptr) !=
        TrackReadResult::kOk) {
      return Fail(outcome, kClipTrackFailed);
    }
    if (busy->load() == 0) return Fail(outcome, kClipStopped);
    cuts.push_back(CutTrack(track, pieces[i].span.startMs, pieces[i].span.endMs,
                            i == 0 ? outcome.stem : pieces[i].parsed.stem));
    outcome.gpsPoints += cuts.back().PointCount();
  }
  std::string gpxError;
  errno = 0;
  if (!WriteGpx(cuts, temps[1], &gpxError)) return Fail(outcome, kClipWriteFailed, errno);

  // The text.
  const std::string base = outcome.stem;
  std::string text;
  text += "Roadeye evidence clip\n";
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    // An end asked past the recording's is told as the recording's end.
    const int askedEndMs = int(
        std::min<long long>(piece.toMs, piece.frontPictures * 1000LL / std::max(piece.rate, 1)));
    text += (i == 0 ? "Recording:     " : "Then:          ") + piece.name + "\n";
    text += "Span:          " + MediaTime(piece.span.startMs) + " - " +
            MediaTime(piece.span.endMs) + " of the recording (whole blocks holding " +
            MediaTime(piece.fromMs) + " - " + MediaTime(askedEndMs) + ")\n";
    text += "Camera clock:  " + ClockTime(piece.parsed.clockSeconds, piece.span.startMs) + " - " +
            ClockTime(piece.parsed.clockSeconds, piece.span.endMs) + "\n";
  }
  if (pieces.size() > 1) {
    text += "Joined:        " + std::to_string(pieces.size()) +
            " recordings' spans one after another, as the trip plays them (" +
            MediaTime(span.endMs - span.startMs) + " in all)\n";
  }
  text += "GPS fixes:     " + std::to_string(outcome.gpsPoints) +
          (outcome.gpsPoints == 0 ? " (the track file has none)\n" : "\n");
  for (const Piece& piece : pieces) {
    struct stat st {};
    if (::stat(piece.source.c_str(), &st) != 0) return Fail(outcome, kClipSourceFailed, errno);
    text += "Source file:   " + piece.source.string() + " (" +
            std::to_string((long long)st.st_size) + " bytes)\n";
  }
  text += "Files:         " + base + ".avi, " + base + ".gpx, " + base + ".txt\n";
  text += "Checksums:     " + base + ".sha256 (sha256sum -c " + base + ".sha256)\n";
  text += std::string("Viewer:        Roadeye ") + ROADEYE_VERSION + "\n";
  if (!WriteWholeFile(temps[2], text, WholeFileMode::kReplace)) {
    return Fail(outcome, kClipWriteFailed, errno);
  }

  // The checksums: the files as written, read back, and the recordings on the card.
  std::vector<std::string> sources;
  for (const Piece& piece : pieces) sources.push_back(piece.source.string());
  return FinishClip(request.folder, temps, finals, kEndings, sources, busy, leftovers, outcome);
}

ClipOutcome ExportFamilyClip(const std::string& root, const cards::CardRecording& recording,
                             const ClipRequest& request, ConvertProgressFn progress, void* arg,
                             std::atomic<int>* busy) {
  return ExportFamilyClip(root, std::vector<cards::CardRecording>{recording}, request, progress,
                          arg, busy);
}

ClipOutcome ExportFamilyClip(const std::string& root,
                             const std::vector<cards::CardRecording>& recordings,
                             const ClipRequest& request, ConvertProgressFn progress, void* arg,
                             std::atomic<int>* busy) {
  ClipOutcome outcome;
  std::atomic<int> ownFlag{1};
  if (!busy) busy = &ownFlag;
  const bool joined = !request.following.empty();
  if (request.fromMs < 0 || request.toMs <= (joined ? 0 : request.fromMs) ||
      recordings.size() != request.following.size() + 1 || recordings.size() > kMaxClipRecordings) {
    return Fail(outcome, kClipBadSpan);
  }
  for (std::size_t i = 1; i < recordings.size(); ++i) {
    if (recordings[i].name != request.following[i - 1]) return Fail(outcome, kClipNoRecording);
  }
  for (const cards::CardRecording& r : recordings) {
    if (r.files.empty()) return Fail(outcome, kClipNoRecording);
  }

  // The stem: the first file's name less its ending.
  const std::string& first = recordings.front().files.front().path;
  std::string base = first.substr(first.rfind('/') == std::string::npos ? 0 : first.rfind('/') + 1);
  if (const std::size_t dot = base.rfind('.'); dot != std::string::npos && dot > 0)
    base.resize(dot);
  std::string unused;
  if (!MakeDestinationPath(request.folder, base + "_0000-0000.sha256", &unused)) {
    return Fail(outcome, kClipBadName);
  }

  // The card's files, by their absolute paths, as the checksum list names them; each recording's
  // part, whole but at the clip's two ends.
  std::vector<RemuxPart> parts;
  std::vector<std::string> sourcePaths;
  std::error_code ec;
  for (std::size_t i = 0; i < recordings.size(); ++i) {
    RemuxPart part;
    for (const cards::CameraFile& f : recordings[i].files) {
      if (f.path.empty() || f.path.front() == '/' || f.path.find("..") != std::string::npos) {
        return Fail(outcome, kClipNoRecording);
      }
      const std::filesystem::path p =
          std::filesystem::absolute(std::filesystem::path(root.empty() ? "." : root) / f.path, ec)
              .lexically_normal();
      if (ec) return Fail(outcome, kClipNoRecording);
      part.sources.push_back({f.camera, p.string()});
      sourcePaths.push_back(p.string());
    }
    // A recording whose length is not known yet is read to its end.
    const double lengthMs = recordings[i].seconds > 0 ? recordings[i].seconds * 1000 : 86400e3;
    part.fromMs = i == 0 ? request.fromMs : 0;
    part.toMs = i + 1 == recordings.size() ? request.toMs : int(std::min(lengthMs + 1000, 86400e3));
    parts.push_back(std::move(part));
  }

  static const char* const kEndings[] = {".mp4", ".gpx", ".txt", ".sha256"};
  Leftovers leftovers;
  std::string temps[3];
  for (int i = 0; i < 3; ++i) {
    std::string final;
    if (!MakeDestinationPath(request.folder, base + "_0000-0000" + kEndings[i], &final)) {
      return Fail(outcome, kClipBadName);
    }
    if (final.size() + kTemporaryExtra + 8 >= PATH_MAX) return Fail(outcome, kClipPathTooLong);
    temps[i] = MakeTemporaryFile(request.folder, base + kEndings[i]);
    if (temps[i].empty()) return Fail(outcome, kClipWriteFailed, errno);
    leftovers.Add(temps[i]);
  }

  // The pictures and sound.
  const RemuxOutcome remux = RemuxPartsToMp4(parts, temps[0], progress, arg, busy);
  switch (remux.result) {
    case RemuxResult::kDone:
      break;
    case RemuxResult::kStopped:
      return Fail(outcome, kClipStopped);
    case RemuxResult::kBadSpan:
      return Fail(outcome, kClipBadSpan);
    case RemuxResult::kOpenFailed:
      Fail(outcome, kClipNoRecording);
      outcome.reason = std::string(ClipResultText(kClipNoRecording)) + ": " +
                       RemuxResultText(remux.result) +
                       (remux.detail.empty() ? "" : " (" + remux.detail + ")");
      return outcome;
    case RemuxResult::kCreateFailed:
    case RemuxResult::kWriteFailed:
      Fail(outcome, kClipWriteFailed, remux.systemError);
      outcome.reason = std::string("the MP4 file could not be made: ") +
                       RemuxResultText(remux.result) +
                       (remux.detail.empty() ? "" : " (" + remux.detail + ")");
      return outcome;
  }
  if (!SyncPath(temps[0], O_RDONLY)) return Fail(outcome, kClipWriteFailed, errno);
  // The span along the parts, from the first recording's start.
  outcome.span.startMs = remux.startMs;
  outcome.span.endMs = remux.startMs;
  for (const RemuxOutcome::Span& part : remux.parts)
    outcome.span.endMs += part.endMs - part.startMs;
  if (!joined) outcome.span.endMs = remux.endMs;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "_%04d-%04d", outcome.span.startMs / 1000,
                (outcome.span.endMs + 999) / 1000);
  outcome.stem = base + seconds;
  std::string finals[4];
  for (int i = 0; i < 4; ++i) {
    if (!MakeDestinationPath(request.folder, outcome.stem + kEndings[i], &finals[i])) {
      return Fail(outcome, kClipBadName);
    }
  }

  // The track over each part, from the camera's own GPS data (the front camera's file and what
  // lies beside it); a recording without any gives a track with no points.
  std::vector<Track> cuts;
  std::string trackFormats;
  for (std::size_t i = 0; i < recordings.size() && i < remux.parts.size(); ++i) {
    Track track;
    const TrackReadResult read = ReadRecordingTrack(
        nullptr, ContainerRecordingName({parts[i].sources.front().path}).c_str(), &track, nullptr);
    if (read == TrackReadResult::kReadFailed) return Fail(outcome, kClipTrackFailed);
    if (busy->load() == 0) return Fail(outcome, kClipStopped);
    cuts.push_back(CutTrack(track, remux.parts[i].startMs, remux.parts[i].endMs,
                            i == 0 ? outcome.stem : recordings[i].name));
    if (cuts.back().PointCount() > 0 && trackFormats.empty()) {
      trackFormats = track.format + ", " + track.clockText;
    }
    outcome.gpsPoints += cuts.back().PointCount();
  }
  std::string gpxError;
  errno = 0;
  if (!WriteGpx(cuts, temps[1], &gpxError)) return Fail(outcome, kClipWriteFailed, errno);

  // The text.
  const std::string& stem = outcome.stem;
  std::string text;
  text += "Roadeye evidence clip\n";
  for (std::size_t i = 0; i < recordings.size() && i < remux.parts.size(); ++i) {
    const cards::CardRecording& recording = recordings[i];
    const RemuxOutcome::Span& part = remux.parts[i];
    const int fromMs = parts[i].fromMs, toMs = parts[i].toMs;
    text += std::string(i == 0 ? "Recording:     " : "Then:          ") +
            (i == 0 ? request.name : recording.name) + " (" + cards::FamilyName(recording.family) +
            ")\n";
    text += "Span:          " + MediaTime(part.startMs) + " - " + MediaTime(part.endMs) +
            " of the recording (from the key pictures at or before " + MediaTime(fromMs) + " to " +
            (toMs > part.endMs ? std::string("its end") : MediaTime(toMs)) + ")\n";
    if (recording.HasClock()) {
      text += "Camera clock:  " + ClockTime(recording.startSeconds, part.startMs) + " - " +
              ClockTime(recording.startSeconds, part.endMs) + "\n";
    }
  }
  if (joined) {
    text += "Joined:        " + std::to_string(recordings.size()) +
            " recordings' spans one after another, as the trip plays them (" +
            MediaTime(outcome.span.endMs - outcome.span.startMs) + " in all)\n";
  }
  std::string cameras;
  for (const cards::CameraFile& f : recordings.front().files) {
    cameras += (cameras.empty() ? "" : ", ") + f.camera;
  }
  text += "Cameras:       " + cameras + " (" + std::to_string(remux.videoStreams) +
          " picture streams, copied as the camera coded them), " +
          (remux.sound ? "with sound\n" : "no sound\n");
  text += "GPS fixes:     " + std::to_string(outcome.gpsPoints) +
          (outcome.gpsPoints == 0 ? " (the track file has none)\n" : " (" + trackFormats + ")\n");
  for (const std::string& path : sourcePaths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Fail(outcome, kClipSourceFailed, errno);
    text += "Source file:   " + path + " (" + std::to_string((long long)st.st_size) + " bytes)\n";
  }
  text += "Files:         " + stem + ".mp4, " + stem + ".gpx, " + stem + ".txt\n";
  text += "Checksums:     " + stem + ".sha256 (sha256sum -c " + stem + ".sha256)\n";
  text += std::string("Viewer:        Roadeye ") + ROADEYE_VERSION + "\n";
  if (!WriteWholeFile(temps[2], text, WholeFileMode::kReplace)) {
    return Fail(outcome, kClipWriteFailed, errno);
  }

  // The checksums: the files as written, read back, and the recordings' files on the card.
  return FinishClip(request.folder, temps, finals, kEndings, sourcePaths, busy, leftovers, outcome);
}
