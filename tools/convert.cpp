// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert: converts recordings of a card into standard AVI files, the way the viewer's
// download does, from the command line.
//
//   roadeye-convert [--json] [--gpx] [--kml] [--srt] CARD_DIR DEST_DIR [NAME...]
//   roadeye-convert [--json] --from SECONDS [--to SECONDS] CARD_DIR DEST_DIR NAME
//   roadeye-convert --list [--json] CARD
//   roadeye-convert --trips [--json] CARD
//
// NAME is a recording's name as the card lists it (REC_20240612_081500_D.avi); without names every
// recording of the card is converted. Each becomes DEST_DIR/NAME; with --gpx, --kml or --srt its
// GPS track is also written beside it under the same base name (NAME less .avi, plus .gpx, .kml or
// .srt). Exit status: 0 when every recording and every track file was made, 1 when any failed, 2
// for a card or folder that cannot be used.
//
// With --from (and --to), NAME's span is exported as an evidence clip (export/ClipExport.h):
// the whole blocks holding the span as an AVI file, its GPS track, a text saying what it is and a
// SHA-256 checksum list, DEST_DIR/<NAME less .avi>_<SSSS>-<EEEE>.{avi,gpx,txt,sha256}. Exit
// status 2 for a span or options that cannot be used, 1 when the clip could not be made.
//
// A card of another camera family (Novatek, BlackVue, Tesla ... or a folder of video files) has no
// VEX folder: its recordings are copied into DEST_DIR as the camera wrote them, every camera's
// file under its own name (export/FamilyDownload.h), and a clip is one MP4 file of every camera's
// streams from the key pictures at or before --from. NAME is then the recording as --list names
// it, or the base name of one of its files.
//
// With --json, standard output carries one JSON object per line for scripts, one per recording
// (or one for the clip) when it is finished, and nothing else; errors stay on standard error.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cards/CardListing.h"
#include "export/ClipExport.h"
#include "export/ConvertRecording.h"
#include "export/FamilyDownload.h"
#include "export/FolderDownload.h"
#include "export/TrackExport.h"
#include "media/CContainerParser.h"
#include "media/CVEXParser.h"
#include "metadata/FixClock.h"
#include "support/Diag.h"
#include "support/ProgramInfo.h"
#include "telemetry/TrackReader.h"
#include "tools/CardList.h"
#include "vexlib/vexlib.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

namespace fs = std::filesystem;

// The kinds, in the order the card's listing is walked.
constexpr int kKinds[] = {kVexContinuous, kVexEvent, kVexParking, kVexManual};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: roadeye-convert [--json] [--gpx] [--kml] [--srt] [--verbose] CARD_DIR "
               "DEST_DIR [NAME...]\n"
               "Converts recordings of the card in CARD_DIR into AVI files in DEST_DIR (made when\n"
               "missing), each named as the card lists it. Without NAME, every recording.\n"
               "A card of another camera family (no VEX folder: Novatek, Vantrue, BlackVue,\n"
               "Thinkware, 70mai, Tesla, Garmin, or MP4, MOV and TS files) has its recordings\n"
               "copied as the camera wrote them, each camera's file under its own name (files\n"
               "of the same name in a subfolder named after their card folder); NAME is the\n"
               "recording as --list names it, or the name of one of its files.\n"
               "  --gpx      also write each recording's GPS track beside its AVI file as GPX 1.1\n"
               "             (NAME.gpx: one track, a segment per unbroken stretch, UTC times)\n"
               "  --kml      ... as KML 2.2 (NAME.kml, for Google Earth and map programs)\n"
               "  --srt      ... as SubRip subtitles (NAME.srt: each second's clock, speed and\n"
               "             position, shown by video players under NAME.avi)\n"
               "  --verbose  also print the reader's and writer's diagnostic lines\n"
               "  --json     for scripts: instead of the lines for people, one JSON object per\n"
               "             line on standard output for each recording when it is finished:\n"
               "             {\"name\": NAME, \"bytes\": size of the AVI file written (0 when\n"
               "             none), \"seconds\": time the conversion took, \"result\": \"done\",\n"
               "             \"stopped\" or \"failed: REASON\", \"files\": [{\"path\": P,\n"
               "             \"bytes\": N}, ...] every file made}; with --from, one object for\n"
               "             the clip (bytes: all its files). Errors go to standard error.\n"
               "  --version  the program's version\n"
               "  --help     this text\n"
               "\n"
               "       roadeye-convert --from SECONDS [--to SECONDS] CARD_DIR DEST_DIR NAME\n"
               "Exports a span of the recording NAME as an evidence clip: the whole blocks of\n"
               "30 front pictures that hold the span (from the start of the block holding\n"
               "--from to the end of the block holding --to; without --to, to the recording's\n"
               "end; a --to past the end stops there) as DEST_DIR/STEM.avi with both cameras\n"
               "and sound, the span's GPS track as STEM.gpx, a description as STEM.txt and the\n"
               "SHA-256 of those files and of the recording on the card as STEM.sha256 (check\n"
               "them with sha256sum -c STEM.sha256 in DEST_DIR). STEM is NAME less .avi and the\n"
               "span's seconds: EVENT_20240612_081500_D_0012-0022. SECONDS may have decimals\n"
               "(12.3). Another family's clip is STEM.mp4 instead, every camera's pictures and\n"
               "the sound copied as the camera coded them (not coded again) from each camera's\n"
               "key picture at or before --from, with STEM.txt and STEM.sha256 (which checks\n"
               "every camera file on the card) and no track; STEM is the first file's name\n"
               "less its ending and the span's seconds.\n"
               "\n"
               "       roadeye-convert --list [--json] CARD\n"
               "Lists the recordings of the card folder CARD, of any camera family (or the one\n"
               "recording file CARD), oldest first: clock, kind, family, length, size, cameras\n"
               "and NAME; with --json one object a line with name, family, kind, start, seconds,\n"
               "cameras, files, bytes and damaged.\n"
               "\n"
               "       roadeye-convert --trips [--json] CARD\n"
               "Lists the trips of CARD, oldest first: recordings that follow each other, each\n"
               "starting less than two minutes after the last one's end, with no parking\n"
               "recording between them; with --json one object a line with start, end,\n"
               "seconds, recordings (their names in order), distance_m (along the GPS track)\n"
               "and events.\n"
               "\n"
               "Exit status: 0 when everything asked for was made, 1 when something failed, 2\n"
               "for options, a card or a folder that cannot be used.\n"
               "%s\n",
               kRoadeyeBugReport);
}

// text as a JSON string, quotes included: quotes, backslashes and control characters escaped;
// bytes that are no UTF-8 become U+FFFD, so that every line parses.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n", ++i;
    } else if (c == '\t') {
      out += "\\t", ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", c);
      out += code;
      ++i;
    } else if (c < 0x80) {
      out += char(c), ++i;
    } else {
      // The length of a well-formed sequence starting here, 0 when there is none.
      std::size_t len = c >= 0xC2 && c <= 0xDF   ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
      if (len > 0 && i + len <= n) {
        for (std::size_t k = 1; k < len; ++k) {
          if ((p[i + k] & 0xC0) != 0x80) len = 0;
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if (len > 0 && ((c == 0xE0 && p[i + 1] < 0xA0) || (c == 0xED && p[i + 1] > 0x9F) ||
                        (c == 0xF0 && p[i + 1] < 0x90) || (c == 0xF4 && p[i + 1] > 0x8F))) {
          len = 0;
        }
      } else {
        len = 0;
      }
      if (len == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, len);
        i += len;
      }
    }
  }
  return out + "\"";
}

std::uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  auto n = fs::file_size(path, ec);
  return ec ? 0 : std::uint64_t(n);
}

// One file made, for the JSON lines.
struct MadeFile {
  std::string path;
  std::uint64_t bytes = 0;
};

// Prints one JSON line for a recording or clip and flushes it, so that a script reading the pipe
// sees it at once.
void PrintJsonLine(const std::string& name, std::uint64_t bytes, double seconds,
                   const std::string& result, const std::vector<MadeFile>& files) {
  std::string line = "{\"name\": " + JsonString(name) + ", \"bytes\": " + std::to_string(bytes);
  char number[32];
  std::snprintf(number, sizeof number, "%.3f", seconds);
  line += ", \"seconds\": ";
  line += number;
  line += ", \"result\": " + JsonString(result) + ", \"files\": [";
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (i > 0) line += ", ";
    line += "{\"path\": " + JsonString(files[i].path) +
            ", \"bytes\": " + std::to_string(files[i].bytes) + "}";
  }
  line += "]}\n";
  std::fputs(line.c_str(), stdout);
  std::fflush(stdout);
}

// Which track files to write beside each AVI file.
struct TrackFiles {
  bool gpx = false, kml = false, srt = false;
  bool Any() const { return gpx || kml || srt; }
};

// The AVI file's path with `ending` in place of its ".avi" (any case), or added when it has none.
// The path with its video ending (.avi, or another camera's .mp4, .mov, .ts) replaced by `ending`.
std::string Beside(const std::string& avi, const char* ending) {
  std::string base = avi;
  const std::size_t dot = base.find_last_of("./");
  if (dot != std::string::npos && base[dot] == '.') {
    std::string tail = base.substr(dot);
    for (char& c : tail) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (tail == ".avi" || tail == ".mp4" || tail == ".mov" || tail == ".ts") base.resize(dot);
  }
  return base + ending;
}

const char* TrackReadText(TrackReadResult r) {
  switch (r) {
    case TrackReadResult::kOk:
      return "read";
    case TrackReadResult::kNoRecording:
      return "the recording could not be opened";
    case TrackReadResult::kCancelled:
      return "stopped";
    case TrackReadResult::kReadFailed:
      return "the card could not be read";
  }
  return "unknown";
}

// Reads the recording's track and writes the chosen files beside `avi`, reporting each (on
// standard output unless `json`); false when any could not be made, with the first reason in
// *failure. Files written are added to *made. durationMs: the recording's length, for the
// subtitles.
// `readName` is what the track is read by (the card's name of a VEX recording, the "files:" name
// of another camera's), `name` what the lines call it.
bool WriteTrackFiles(VexHandle library, const std::string& readName, const std::string& name,
                     const std::string& avi, int durationMs, const TrackFiles& files, bool json,
                     std::vector<MadeFile>* made, std::string* failure) {
  Track track;
  const TrackReadResult read = ReadRecordingTrack(library, readName.c_str(), &track, nullptr);
  if (read != TrackReadResult::kOk) {
    if (!json) {
      std::printf("  %s: GPS track not read (%s); no track file made\n", name.c_str(),
                  TrackReadText(read));
    }
    *failure = std::string("GPS track not read (") + TrackReadText(read) + ")";
    return false;
  }
  bool ok = true;
  auto report = [&](bool written, const std::string& path, const std::string& error) {
    if (written) {
      made->push_back({path, FileSize(path)});
      if (!json) {
        std::printf("  %s -> %s (%d GPS fixes)\n", name.c_str(), path.c_str(), track.PointCount());
      }
    } else {
      if (!json) std::printf("  %s: %s\n", name.c_str(), error.c_str());
      if (ok) *failure = error;
      ok = false;
    }
  };
  std::string error;
  if (files.gpx) {
    const std::string path = Beside(avi, ".gpx");
    report(WriteGpx({track}, path, &error), path, error);
  }
  if (files.kml) {
    const std::string path = Beside(avi, ".kml");
    report(WriteKml({track}, path, &error), path, error);
  }
  if (files.srt) {
    const std::string path = Beside(avi, ".srt");
    report(WriteSrt(track, durationMs, path, &error), path, error);
  }
  return ok;
}

std::vector<std::string> AllRecordings(VexHandle h, char drive) {
  std::vector<std::string> names;
  for (int kind : kKinds) {
    int n = VexKindCount(h, drive, kind);
    if (n <= 0) continue;
    std::vector<char> listed(std::size_t(n) * kVexNameBytes, 0);
    std::vector<std::uint8_t> sizes(std::size_t(n) * kVexSizeBytes, 0);
    std::vector<int> values(std::size_t(n), 0);
    int got = VexKindList(h, drive, kind, n, listed.data(), sizes.data(), values.data());
    for (int i = 0; i < got && i < n; ++i) {
      const char* name = listed.data() + std::size_t(i) * kVexNameBytes;
      names.emplace_back(name, strnlen(name, kVexNameBytes - 1));
    }
  }
  return names;
}

// Progress on a terminal: the line of the recording being converted, redrawn in place.
struct Progress {
  const std::string* name = nullptr;
  bool tty = false;
  int lastPercent = -1;
};

bool ShowProgress(void* arg, int index, int total) {
  auto* p = static_cast<Progress*>(arg);
  if (!p->tty || total <= 0) return true;
  int percent = int(100LL * (index + 1) / total);
  if (percent != p->lastPercent) {
    p->lastPercent = percent;
    std::printf("\r  %s %3d%%", p->name->c_str(), percent);
    std::fflush(stdout);
  }
  return true;
}

// Seconds as given on the command line ("12", "12.3") into ms; false for anything else, a
// negative time or one too large to be a point in a recording.
bool ParseSeconds(const std::string& text, int* ms) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, seconds, std::chars_format::fixed);
  if (ec != std::errc() || ptr != end || !std::isfinite(seconds) || seconds < 0 || seconds > 1e6) {
    return false;
  }
  *ms = int(std::llround(seconds * 1000));
  return true;
}

// Exports one clip; the exit status.
int ExportOneClip(VexHandle library, const std::string& destDir, const std::string& name,
                  int fromMs, int toMs, bool json) {
  CVEXParser parser;
  parser.SetLibraryHandle(library);
  parser.Start();
  const auto started = std::chrono::steady_clock::now();
  Progress progress{&name, !json && isatty(fileno(stdout)) != 0, -1};
  ClipRequest request;
  request.name = name;
  request.fromMs = fromMs;
  request.toMs = toMs;
  request.folder = destDir;
  const ClipOutcome outcome =
      ExportClip(&parser, library, request, &ShowProgress, &progress, nullptr);
  parser.Stop();
  if (progress.tty) std::printf("\r");
  if (json) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::vector<MadeFile> made;
    std::uint64_t bytes = 0;
    for (const std::string& file : outcome.files) {
      made.push_back({file, FileSize(file)});
      bytes += made.back().bytes;
    }
    PrintJsonLine(name, bytes, seconds,
                  outcome.result == kClipDone      ? "done"
                  : outcome.result == kClipStopped ? "stopped"
                                                   : "failed: " + outcome.reason,
                  made);
  }
  if (outcome.result != kClipDone) {
    std::fprintf(stderr, "roadeye-convert: %s: %s; no clip made\n", name.c_str(),
                 outcome.reason.c_str());
    return outcome.result == kClipBadSpan || outcome.result == kClipBadName ? 2 : 1;
  }
  if (json) return 0;
  std::printf("  %s %.1f s to %.1f s (blocks %d to %d, %d GPS fixes):\n", name.c_str(),
              outcome.span.startMs / 1000.0, outcome.span.endMs / 1000.0,
              outcome.span.firstBlock + 1, outcome.span.firstBlock + outcome.span.blocks,
              outcome.gpsPoints);
  for (const std::string& file : outcome.files) std::printf("    %s\n", file.c_str());
  return 0;
}

// Progress of a family's copy on a terminal, by bytes.
class CopyProgress : public VDownloadProgress {
 public:
  explicit CopyProgress(bool tty) : tty_(tty) {}
  void OnRecordingStart(int, int, const std::string& name) override {
    name_ = name;
    lastPercent_ = -1;
  }
  bool OnPicture(int, int) override { return true; }
  bool OnBytes(std::uint64_t done, std::uint64_t total) override {
    const int percent = total > 0 ? int(done * 100 / total) : 100;
    if (tty_ && percent != lastPercent_) {
      lastPercent_ = percent;
      std::printf("\r  %s %3d%%", name_.c_str(), percent);
      std::fflush(stdout);
    }
    return true;
  }

 private:
  bool tty_;
  std::string name_;
  int lastPercent_ = -1;
};

// The recording a NAME means: its name as listed, or the name (or card path) of one of its files.
const cards::CardRecording* FindRecording(const std::vector<cards::CardRecording>& recordings,
                                          const std::string& name) {
  for (const cards::CardRecording& r : recordings) {
    if (r.name == name) return &r;
  }
  for (const cards::CardRecording& r : recordings) {
    for (const cards::CameraFile& f : r.files) {
      if (f.path == name || fs::path(f.path).filename() == name) return &r;
    }
  }
  return nullptr;
}

// Exports one clip of another family's recording; the exit status.
int ExportFamilyClipTo(const std::string& root, const cards::CardRecording& recording,
                       const std::string& destDir, int fromMs, int toMs, bool json) {
  const auto started = std::chrono::steady_clock::now();
  Progress progress{&recording.name, !json && isatty(fileno(stdout)) != 0, -1};
  const ClipOutcome outcome =
      ExportFamilyClip(root, recording, ClipRequest{recording.name, fromMs, toMs, destDir, {}},
                       &ShowProgress, &progress, nullptr);
  if (progress.tty) std::printf("\r");
  if (json) {
    std::vector<MadeFile> made;
    std::uint64_t bytes = 0;
    for (const std::string& file : outcome.files) {
      made.push_back({file, FileSize(file)});
      bytes += made.back().bytes;
    }
    PrintJsonLine(recording.name, bytes,
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                  outcome.result == kClipDone      ? "done"
                  : outcome.result == kClipStopped ? "stopped"
                                                   : "failed: " + outcome.reason,
                  made);
  }
  if (outcome.result != kClipDone) {
    std::fprintf(stderr, "roadeye-convert: %s: %s; no clip made\n", recording.name.c_str(),
                 outcome.reason.c_str());
    return outcome.result == kClipBadSpan || outcome.result == kClipBadName ? 2 : 1;
  }
  if (json) return 0;
  std::printf("  %s %.1f s to %.1f s:\n", recording.name.c_str(), outcome.span.startMs / 1000.0,
              outcome.span.endMs / 1000.0);
  for (const std::string& file : outcome.files) std::printf("    %s\n", file.c_str());
  return 0;
}

// Copies (or, with a span, clips) recordings of another family's card; the exit status.
int ConvertFamilyCard(const std::string& cardDir, const std::string& destDir,
                      const std::vector<std::string>& names, bool clip, int fromMs, int toMs,
                      const TrackFiles& trackFiles, bool json) {
  // libavformat's remarks on odd containers are not the command's; failures are reported.
  av_log_set_level(AV_LOG_FATAL);
  cards::CardScan scan = cards::ScanCard(cardDir);
  if (!scan.readable || scan.recordings.empty()) {
    std::fprintf(stderr, "roadeye-convert: %s is not a card (no recordings of any camera)\n",
                 cardDir.c_str());
    return 2;
  }
  cards::SortRecordings(&scan.recordings);
  metadata::CFixClock fixClock;
  std::vector<cards::CardRecording> chosen;
  int unknown = 0;
  for (const std::string& name : names) {
    const cards::CardRecording* r = FindRecording(scan.recordings, name);
    if (r) {
      chosen.push_back(*r);
      continue;
    }
    ++unknown;
    std::fprintf(stderr, "roadeye-convert: %s: no recording of that name on the card\n",
                 name.c_str());
    if (json) PrintJsonLine(name, 0, 0, "failed: no recording of that name on the card", {});
  }
  if (clip) {
    if (chosen.empty()) return 2;
    cards::DescribeRecording(cardDir, &chosen.front(), nullptr, &fixClock);
    return ExportFamilyClipTo(cardDir, chosen.front(), destDir, fromMs, toMs, json);
  }
  if (names.empty()) chosen = scan.recordings;

  const bool tty = !json && isatty(fileno(stdout)) != 0;
  CopyProgress progress(tty);
  std::atomic<int> busy{1};
  int copied = 0, failed = unknown;
  std::uint64_t bytesOut = 0;
  const auto started = std::chrono::steady_clock::now();
  // One recording at a time, so that each is reported when it is done; the names are planned
  // over all of them, so that files of the same name stay apart.
  const std::vector<std::vector<std::string>> plan = PlanFamilyNames(chosen);
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    const auto begun = std::chrono::steady_clock::now();
    progress.OnRecordingStart(int(i), int(chosen.size()), chosen[i].name);
    const DownloadOutcome o =
        CopyRecordingToFolder(cardDir, chosen[i], plan[i], destDir, &progress, &busy);
    if (tty) std::printf("\r");
    std::vector<MadeFile> made;
    std::uint64_t bytes = 0;
    for (const std::string& file : o.files) {
      made.push_back({file, FileSize(file)});
      bytes += made.back().bytes;
    }
    if (o.Made()) {
      ++copied;
      bytesOut += bytes;
      if (!json) {
        for (const MadeFile& m : made) {
          std::printf("  %s -> %s (%.1f MB)\n", o.name.c_str(), m.path.c_str(),
                      double(m.bytes) / 1e6);
        }
      }
    } else {
      ++failed;
      if (!json) std::printf("  %s: %s; no file made\n", o.name.c_str(), o.reason.c_str());
    }
    // The track comes from the camera's own data, also when its pictures are damaged: beside the
    // front camera's copy, or named after the recording when nothing was copied.
    if (trackFiles.Any() && !chosen[i].files.empty()) {
      const std::string front = cardDir + "/" + chosen[i].files.front().path;
      const std::string beside =
          o.files.empty() ? (fs::path(destDir) / chosen[i].name).string() : o.files.front();
      std::string failure;
      cards::DescribeRecording(cardDir, &chosen[i], nullptr, &fixClock);
      if (!WriteTrackFiles(nullptr, ContainerRecordingName({front}), chosen[i].name, beside,
                           int(chosen[i].seconds * 1000), trackFiles, json, &made, &failure) &&
          o.Made()) {
        ++failed;
      }
    }
    if (json) {
      PrintJsonLine(o.name, bytes,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(),
                    o.Made() ? "done" : "failed: " + o.reason, made);
    }
    std::fflush(stdout);
  }
  if (!json) {
    std::printf("%d copied, %d failed; %.1f MB written in %.2f s\n", copied, failed,
                double(bytesOut) / 1e6,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool verbose = false;
  bool json = false;
  TrackFiles files;
  std::vector<std::string> args;
  bool hasFrom = false, hasTo = false, list = false, trips = false;
  int fromMs = 0, toMs = INT_MAX;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--version") {
      PrintProgramVersion(stdout, "roadeye-convert");
      return 0;
    }
    if (a == "--from" || a == "--to") {
      const bool from = a == "--from";
      int ms = 0;
      if (i + 1 >= argc || !ParseSeconds(argv[i + 1], &ms)) {
        std::fprintf(stderr, "roadeye-convert: %s needs a number of seconds, 0 or more (12.3)\n",
                     a.c_str());
        return 2;
      }
      ++i;
      (from ? hasFrom : hasTo) = true;
      (from ? fromMs : toMs) = ms;
    } else if (a == "--verbose") {
      verbose = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--list") {
      list = true;
    } else if (a == "--trips") {
      trips = true;
    } else if (a == "--gpx") {
      files.gpx = true;
    } else if (a == "--kml") {
      files.kml = true;
    } else if (a == "--srt") {
      files.srt = true;
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "roadeye-convert: unknown option %s\n", a.c_str());
      Usage(stderr);
      return 2;
    } else {
      args.push_back(a);
    }
  }
  if (list || trips) {
    const char* option = list ? "--list" : "--trips";
    if (args.size() != 1 || hasFrom || hasTo || files.Any() || (list && trips)) {
      std::fprintf(stderr,
                   "roadeye-convert: %s takes one CARD (a folder or a file) and only --json\n",
                   option);
      return 2;
    }
    return list ? tools::ListCardRecordings(args[0], json) : tools::ListCardTrips(args[0], json);
  }
  if (args.size() < 2) {
    Usage(stderr);
    return 2;
  }
  const bool clip = hasFrom || hasTo;
  if (clip) {
    if (!hasFrom) {
      std::fprintf(stderr, "roadeye-convert: --to needs --from (where the span starts)\n");
      return 2;
    }
    if (toMs <= fromMs) {
      std::fprintf(stderr, "roadeye-convert: the span's end (--to) must come after its start\n");
      return 2;
    }
    if (args.size() != 3) {
      std::fprintf(stderr,
                   "roadeye-convert: a span (--from, --to) is of one recording: give "
                   "exactly one NAME\n");
      return 2;
    }
    if (files.Any()) {
      std::fprintf(stderr,
                   "roadeye-convert: --gpx, --kml and --srt are for whole recordings; a "
                   "clip always has its GPX track\n");
      return 2;
    }
  }
  // The reader and writer report every packet; the command's own lines are its report. With
  // --json, standard output is the JSON lines' alone.
  if (!verbose) DiagSetOutput(nullptr);
  if (json && verbose) DiagSetOutput(stderr);

  const std::string cardDir = args[0], destDir = args[1];
  std::error_code ec;
  const bool vex = fs::is_directory(fs::path(cardDir) / "VEX", ec);
  if (!vex && !fs::is_directory(cardDir, ec)) {
    std::fprintf(stderr, "roadeye-convert: %s is not a card folder\n", cardDir.c_str());
    return 2;
  }
  fs::create_directories(destDir, ec);
  if (!fs::is_directory(destDir, ec)) {
    std::fprintf(stderr, "roadeye-convert: cannot create the folder %s\n", destDir.c_str());
    return 2;
  }
  if (!vex) {
    // The copies would land among the files they are copied from (the same folder: over them)
    // and be listed as the card's recordings the next time.
    const fs::path card = fs::weakly_canonical(cardDir, ec);
    const fs::path dest = fs::weakly_canonical(destDir, ec);
    const auto [cardEnd, destAt] =
        std::mismatch(card.begin(), card.end(), dest.begin(), dest.end());
    if (!card.empty() && cardEnd == card.end()) {
      std::fprintf(stderr,
                   "roadeye-convert: %s is inside the card %s; choose a folder outside it\n",
                   destDir.c_str(), cardDir.c_str());
      return 2;
    }
    return ConvertFamilyCard(cardDir, destDir,
                             std::vector<std::string>(args.begin() + 2, args.end()), clip, fromMs,
                             toMs, files, json);
  }

  VexLibrary lib;
  VexInitialise(lib.get(), cardDir.c_str());
  char drive = 0;
  VexCardPoll(lib.get(), &drive);
  if (drive == 0) {
    std::fprintf(stderr, "roadeye-convert: the card library does not see %s as a card\n",
                 cardDir.c_str());
    return 2;
  }
  VexCardAttach(lib.get());

  if (clip) return ExportOneClip(lib.get(), destDir, args[2], fromMs, toMs, json);

  std::vector<std::string> names(args.begin() + 2, args.end());
  if (names.empty()) names = AllRecordings(lib.get(), drive);
  if (names.empty()) {
    if (!json) std::printf("No recordings on the card.\n");
    return 0;
  }

  CVEXParser parser;
  parser.SetLibraryHandle(lib.get());
  parser.Start();
  bool tty = !json && isatty(fileno(stdout)) != 0;
  int converted = 0, failed = 0, trackFailures = 0;
  std::uint64_t bytesOut = 0;
  auto started = std::chrono::steady_clock::now();
  std::atomic<int> busy{1};
  for (const std::string& name : names) {
    Progress progress{&name, tty, -1};
    const auto begun = std::chrono::steady_clock::now();
    // Each file is written beside its place and takes its name only when complete.
    const DownloadOutcome outcome =
        ConvertToFolder(&parser, destDir, name, &ShowProgress, &progress, &busy);
    if (tty) std::printf("\r");
    std::vector<MadeFile> made;
    std::string result;
    std::uint64_t aviBytes = 0;
    if (outcome.Made()) {
      aviBytes = FileSize(outcome.path);
      made.push_back({outcome.path, aviBytes});
    }
    if (outcome.result == kConvertDone) {
      const std::uint64_t out = aviBytes;
      ++converted;
      bytesOut += out;
      result = "done";
      if (!json) {
        std::printf("  %s -> %s (%.1f MB)\n", name.c_str(), outcome.path.c_str(),
                    double(out) / 1e6);
      }
      if (files.Any()) {
        // The recording's length as the AVI file has it: its front pictures at their rate.
        const int rate = parser.GetFrameRate(0);
        const long long pictures = parser.HeaderValue(7);
        const int durationMs =
            rate > 0 ? int(std::min<long long>(pictures * 1000 / rate, 0x7FFFFFFF)) : 0;
        std::string failure;
        if (!WriteTrackFiles(lib.get(), name, name, outcome.path, durationMs, files, json, &made,
                             &failure)) {
          ++trackFailures;
          result = "failed: " + failure;
        }
      }
    } else {
      ++failed;
      result = outcome.result == kConvertStopped ? "stopped" : "failed: " + outcome.reason;
      if (!json) std::printf("  %s: %s; no file made\n", name.c_str(), outcome.reason.c_str());
    }
    if (json) {
      PrintJsonLine(name, aviBytes,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(),
                    result, made);
    }
    std::fflush(stdout);
  }
  parser.Stop();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!json) {
    std::printf("%d converted, %d failed; %.1f MB written in %.2f s\n", converted, failed,
                double(bytesOut) / 1e6, seconds);
    if (trackFailures > 0) {
      std::printf("%d recordings without their track files\n", trackFailures);
    }
  }
  return failed == 0 && trackFailures == 0 ? 0 : 1;
}
