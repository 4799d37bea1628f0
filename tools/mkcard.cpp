// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-mkcard: writes a dash camera card folder (VEX/ recordings and SETTING/blackbox.cfg) for
// trying the viewer and for tests. Without options it writes the demo card: two recordings of each
// kind spread over two days, with and without a rear camera, plus a recording cut short by a power
// loss and one too small to be listed. With --family it writes the card of another family of
// cameras instead (FamilyLayouts.cpp): the same recordings, one file per camera, in the family's
// folders and names, the one cut short by a power loss among them. Each day's driving recordings
// are one trip round the streets of central Seoul from City Hall (TripDrive.h), one recording
// running on from the last; its parking recordings stand where the trip ended.
extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/ProgramInfo.h"
#include "tools/CardCache.h"
#include "tools/CardWriter.h"
#include "tools/TelemetryWriter.h"
#include "vexlib/vexlib.h"

namespace {

constexpr const char* kKinds[] = {"REC", "EVENT", "PARKING", "MANUAL"};
// From the end of a day's drive to its first parking recording, seconds: the car parks and the
// camera changes to parking mode.
constexpr int kParkSeconds = 17;
// The sample that the viewer leaves out of its list: under 512 KiB.
constexpr int kSmallSeconds = 2;

enum class RearMode { kYes, kNo, kMixed };

struct Settings {
  std::string outDir;
  int seconds = 20;
  int count = 2;
  std::vector<std::string> kinds{std::begin(kKinds), std::end(kKinds)};
  RearMode rear = RearMode::kMixed;
  tools::CardOptions card;
  tools::DateTime start{2024, 6, 12, 8, 15, 0};
  bool damaged = true;
  std::uint32_t seed = 1;
  int jobs = 2;
  bool continuous = false;  // every recording on the first day, kind by kind
};

std::string FamilyList() {
  std::string list;
  for (const std::string& name : tools::FamilyNames()) list += (list.empty() ? "" : ", ") + name;
  return list;
}

void Usage(std::FILE* out) {
  std::fprintf(
      out,
      "Usage: roadeye-mkcard OUT_DIR [options]\n"
      "Writes a dash camera card: OUT_DIR/VEX/<KIND>_<YYYYMMDD>_<HHMMSS>[_D].vex and\n"
      "OUT_DIR/SETTING/blackbox.cfg. Without options: the demo card.\n"
      "Each day's driving recordings follow each other as one trip through central Seoul;\n"
      "its parking recordings come after it.\n"
      "\n"
      "  --family NAME        the card of a family of cameras, in any case: vex (default),\n"
      "                       novatek, vantrue, blackvue, thinkware, 70mai, tesla, garmin,\n"
      "                       generic; each camera of a recording one MP4 file in the\n"
      "                       family's folders and names, AAC sound in the front camera's,\n"
      "                       no settings file\n"
      "  --container mp4|mov|ts  the recordings' container (novatek and generic; default mp4)\n"
      "  --codec h264|h265    the pictures' coding outside vex cards (default h264)\n"
      "  --interior           an interior camera in each recording (novatek, vantrue,\n"
      "                       blackvue, 70mai)\n"
      "  --seconds N          length of each recording (default 20)\n"
      "  --count N            recordings of each kind (default 2)\n"
      "  --kinds LIST         kinds to write, from REC,EVENT,PARKING,MANUAL (default all)\n"
      "  --rear yes|no|mixed  which recordings have a rear camera (default mixed)\n"
      "  --front WxH          front picture size (default 1280x720)\n"
      "  --rear-size WxH      rear picture size (default 640x360)\n"
      "  --rear-late MS       outside vex cards, the other cameras' files start MS ms\n"
      "                       (0 to 1000) after the front camera's, as a rear camera that\n"
      "                       starts late records them (default 0)\n"
      "  --fps N              pictures per second of both cameras (default 30)\n"
      "  --start YYYYMMDD_HHMMSS  the camera's clock at the first recording\n"
      "                       (default 20240612_081500)\n"
      "  --no-damaged         leave out the recording cut short by a power loss and the\n"
      "                       one under 512 KiB\n"
      "  --no-fix             GPS records without a fix (status V, no position)\n"
      "  --gps-speed TEXT     every fix's speed field (knots) written as TEXT, such as 1e300\n"
      "                       or nan, instead of the drive's speed (letters, digits, . + -)\n"
      "  --jolts S1,S2,...    a collision's jolt in the G-sensor samples at each of these\n"
      "                       whole seconds (0 to the length less one) of every recording,\n"
      "                       instead of the one in the middle of each EVENT recording\n"
      "  --no-gsensor         no G-sensor samples at all\n"
      "  --telemetry FORMAT   the GPS and G-sensor format outside vex cards instead of the\n"
      "                       family's own: none, freegps, freegps-newer, freegps-nmea,\n"
      "                       freegps-70mai, blackvue, blackvue-sidecar, nmea-track, garmin,\n"
      "                       gpmf, tesla, nmea-sidecar, gpx-sidecar (a transport stream\n"
      "                       carries none, freegps-newer as its private stream and the\n"
      "                       sidecars: .gps and .3gf, .nmea, .gpx beside the front file)\n"
      "  --gps-clock utc|local|jump|none  the clock of the GPS records outside vex cards:\n"
      "                       UTC (default), the camera's clock (UTC + 9 h, the names' clock),\n"
      "                       UTC until the first valid fix and the camera's from it on, or\n"
      "                       none (left out, or zeros where the format needs a time)\n"
      "  --gps-lost S         the first S seconds of each recording have no fix (status V,\n"
      "                       no position), as before a receiver's first fix\n"
      "  --seed N             varies the drives, scenes and noise (default 1)\n"
      "  --bitrate KBPS       constant front camera bit rate, the rear a third of it (default:\n"
      "                       constant quality, small files)\n"
      "  --realistic          pictures with the texture and motion of a real road, in High\n"
      "                       profile, that cost a decoder what a camera's own cost (slower\n"
      "                       to write, larger at constant quality)\n"
      "  --continuous         every recording on one day, each kind's back to back (all of\n"
      "                       REC, then EVENT, then MANUAL, each starting where the last\n"
      "                       ended, as a camera records one drive), parking after them\n"
      "  --jobs N             recordings written at once (default 2)\n"
      "  --help               this text\n"
      "  --version            the program's version\n");
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = int(v);
  return true;
}

// A speed field of up to 24 letters, digits, '.', '+' and '-': nothing that ends the sentence.
bool ParseSpeedField(const std::string& text, std::string* out) {
  if (text.empty() || text.size() > 24) return false;
  for (unsigned char c : text) {
    if (!std::isalnum(c) && c != '.' && c != '+' && c != '-') return false;
  }
  *out = text;
  return true;
}

bool ParseSize(const std::string& text, tools::VideoSize* out) {
  std::size_t x = text.find('x');
  if (x == std::string::npos) return false;
  int w = 0, h = 0;
  if (!ParseInt(text.substr(0, x).c_str(), 64, 4096, &w) ||
      !ParseInt(text.substr(x + 1).c_str(), 64, 4096, &h)) {
    return false;
  }
  // 4:2:0 pictures need even sides.
  if (w % 2 != 0 || h % 2 != 0) return false;
  *out = {w, h};
  return true;
}

// A comma-separated list of distinct seconds, each within 0 ... 3599 (the longest recording),
// returned ascending. Checked against the recordings' length once every option is read.
bool ParseSeconds(const std::string& text, std::vector<int>* out) {
  std::vector<int> seconds;
  std::size_t pos = 0;
  for (;;) {
    std::size_t comma = text.find(',', pos);
    std::string word =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    int second = 0;
    if (!ParseInt(word.c_str(), 0, 3599, &second)) return false;
    seconds.push_back(second);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  std::sort(seconds.begin(), seconds.end());
  if (std::adjacent_find(seconds.begin(), seconds.end()) != seconds.end()) return false;
  *out = seconds;
  return true;
}

bool ParseKinds(const std::string& text, std::vector<std::string>* out) {
  std::vector<std::string> kinds;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    std::string word =
        text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    for (char& c : word) c = char(std::toupper(static_cast<unsigned char>(c)));
    if (std::find(std::begin(kKinds), std::end(kKinds), word) == std::end(kKinds)) return false;
    if (std::find(kinds.begin(), kinds.end(), word) == kinds.end()) kinds.push_back(word);
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  if (kinds.empty()) return false;
  *out = kinds;
  return true;
}

// Returns 0 when parsed, otherwise the exit code (0 for --help is reported through *help).
int ParseArgs(int argc, char** argv, Settings* s, bool* help) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "roadeye-mkcard: %s needs a value\n", a.c_str());
        return false;
      }
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    bool ok = true;
    if (a == "--help" || a == "-h") {
      *help = true;
      return 0;
    } else if (a == "--version") {
      PrintProgramVersion(stdout, "roadeye-mkcard");
      std::exit(0);
    } else if (a == "--family") {
      ok = value(&v);
      if (ok) {
        s->card.family = tools::FindFamily(v);
        if (s->card.family.empty()) {
          std::fprintf(stderr, "roadeye-mkcard: unknown family %s (give one of %s)\n", v,
                       FamilyList().c_str());
          return 2;
        }
      }
    } else if (a == "--container") {
      ok = value(&v);
      if (ok) {
        const std::string m = v;
        ok = m == "mp4" || m == "mov" || m == "ts";
        s->card.container = m == "mov"  ? tools::Container::kMov
                            : m == "ts" ? tools::Container::kTs
                                        : tools::Container::kMp4;
      }
    } else if (a == "--codec") {
      ok = value(&v);
      if (ok) {
        const std::string m = v;
        ok = m == "h264" || m == "h265";
        s->card.codec = m == "h265" ? tools::VideoCodec::kH265 : tools::VideoCodec::kH264;
      }
    } else if (a == "--interior") {
      s->card.interior = true;
    } else if (a == "--continuous") {
      s->continuous = true;
    } else if (a == "--no-damaged") {
      s->damaged = false;
    } else if (a == "--no-fix") {
      s->card.gpsFix = false;
    } else if (a == "--gps-speed") {
      ok = value(&v) && ParseSpeedField(v, &s->card.gpsSpeedField);
    } else if (a == "--realistic") {
      s->card.realistic = true;
    } else if (a == "--no-gsensor") {
      s->card.gsensor = false;
    } else if (a == "--telemetry") {
      ok = value(&v) && tools::ParseTelemetry(v, &s->card.telemetry);
    } else if (a == "--gps-clock") {
      ok = value(&v);
      if (ok) {
        const std::string m = v;
        ok = m == "utc" || m == "local" || m == "jump" || m == "none";
        s->card.gpsClock = m == "local"  ? tools::GpsClock::kLocal
                           : m == "jump" ? tools::GpsClock::kJump
                           : m == "none" ? tools::GpsClock::kNone
                                         : tools::GpsClock::kUtc;
      }
    } else if (a == "--gps-lost") {
      ok = value(&v) && ParseInt(v, 0, 3600, &s->card.gpsLostSeconds);
    } else if (a == "--jolts") {
      ok = value(&v) && ParseSeconds(v, &s->card.joltSeconds);
    } else if (a == "--seconds") {
      ok = value(&v) && ParseInt(v, 1, 3600, &s->seconds);
    } else if (a == "--count") {
      ok = value(&v) && ParseInt(v, 1, 500, &s->count);
    } else if (a == "--kinds") {
      ok = value(&v) && ParseKinds(v, &s->kinds);
    } else if (a == "--rear") {
      ok = value(&v);
      if (ok) {
        std::string m = v;
        if (m == "yes") {
          s->rear = RearMode::kYes;
        } else if (m == "no") {
          s->rear = RearMode::kNo;
        } else if (m == "mixed") {
          s->rear = RearMode::kMixed;
        } else {
          ok = false;
        }
      }
    } else if (a == "--front") {
      ok = value(&v) && ParseSize(v, &s->card.front);
    } else if (a == "--rear-size") {
      ok = value(&v) && ParseSize(v, &s->card.rear);
    } else if (a == "--rear-late") {
      ok = value(&v) && ParseInt(v, 0, tools::kMaxCameraLateMs, &s->card.camerasLateMs);
    } else if (a == "--fps") {
      ok = value(&v) && ParseInt(v, 1, 120, &s->card.fps);
    } else if (a == "--start") {
      ok = value(&v) && tools::ParseDateTime(v, &s->start);
    } else if (a == "--seed") {
      int seed = 0;
      ok = value(&v) && ParseInt(v, 0, 2147483647, &seed);
      s->seed = std::uint32_t(seed);
    } else if (a == "--bitrate") {
      ok = value(&v) && ParseInt(v, 100, 100000, &s->card.bitrateKbps);
    } else if (a == "--jobs") {
      ok = value(&v) && ParseInt(v, 1, 64, &s->jobs);
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "roadeye-mkcard: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      positional.push_back(a);
      continue;
    }
    if (!ok) {
      if (v) std::fprintf(stderr, "roadeye-mkcard: bad value for %s: %s\n", a.c_str(), v);
      return 2;
    }
  }
  if (positional.size() != 1) {
    std::fprintf(stderr, "roadeye-mkcard: give exactly one OUT_DIR (see --help)\n");
    return 2;
  }
  if (!s->card.joltSeconds.empty() && s->card.joltSeconds.back() >= s->seconds) {
    std::fprintf(stderr,
                 "roadeye-mkcard: --jolts: second %d is past the end of %d-second recordings "
                 "(give 0 to %d)\n",
                 s->card.joltSeconds.back(), s->seconds, s->seconds - 1);
    return 2;
  }
  if (!tools::FamilyTakes(s->card.family, s->card.container)) {
    std::fprintf(stderr, "roadeye-mkcard: %s cards are not written in that container\n",
                 s->card.family.c_str());
    return 2;
  }
  if (s->card.family == "vex" && (s->card.telemetry != tools::Telemetry::kFamily ||
                                  s->card.gpsClock != tools::GpsClock::kUtc)) {
    std::fprintf(stderr, "roadeye-mkcard: vex cards keep their own GPS records\n");
    return 2;
  }
  if (s->card.family == "vex" && s->card.camerasLateMs != 0) {
    std::fprintf(stderr,
                 "roadeye-mkcard: --rear-late: a vex recording holds both cameras in one file, "
                 "on one clock\n");
    return 2;
  }
  if (s->card.family != "vex") {
    const tools::Telemetry format = s->card.telemetry == tools::Telemetry::kFamily
                                        ? tools::FamilyTelemetry(s->card.family, s->card.container)
                                        : s->card.telemetry;
    if (!tools::ContainerCarries(s->card.container, format)) {
      std::fprintf(stderr, "roadeye-mkcard: that container cannot carry that GPS format\n");
      return 2;
    }
  }
  if (s->card.family == "vex" && s->card.codec != tools::VideoCodec::kH264) {
    std::fprintf(stderr, "roadeye-mkcard: vex cards hold H.264 pictures only\n");
    return 2;
  }
  // Kinds the family keeps no folder for are left out.
  std::vector<std::string> kinds;
  for (const std::string& kind : s->kinds) {
    if (tools::FamilyHasKind(s->card.family, kind)) kinds.push_back(kind);
  }
  if (kinds.empty()) {
    std::fprintf(stderr, "roadeye-mkcard: %s cards hold none of those kinds\n",
                 s->card.family.c_str());
    return 2;
  }
  s->kinds = kinds;
  s->outDir = positional[0];
  return 0;
}

// The trip of each day: its seed, never 0 (which would make each recording a trip of its own).
std::uint32_t TripSeed(std::uint32_t seed, int day) {
  const std::uint32_t t = seed * 2654435761u + 40503u * std::uint32_t(day + 1);
  return t != 0 ? t : 1;
}

// Recordings go on two days (one when there is one of each), each day with its own clock. A day's
// driving recordings follow each other without a gap, as a camera recording in a loop writes them,
// and make one trip: the recording cut short by a power loss ends it. The parking recordings come
// after the drive, when the car has stood a while where the trip ended.
std::vector<tools::RecordingPlan> PlanCard(const Settings& s) {
  struct Day {
    std::vector<tools::RecordingPlan> driving, parked;
  };
  Day days[2];
  auto add = [&](int d, const tools::RecordingPlan& p) {
    (p.kind == "PARKING" ? days[d].parked : days[d].driving).push_back(p);
  };
  auto rearFor = [&](int mixedChoice) {
    return s.rear == RearMode::kYes || (s.rear == RearMode::kMixed && mixedChoice % 2 == 0);
  };
  // Two days, each kind's recordings in turn on each; or, continuous, one day, kind by kind.
  for (int outer = 0; outer < (s.continuous ? int(s.kinds.size()) : s.count); ++outer) {
    for (int inner = 0; inner < (s.continuous ? s.count : int(s.kinds.size())); ++inner) {
      const int c = s.continuous ? inner : outer, k = s.continuous ? outer : inner;
      tools::RecordingPlan p;
      p.kind = s.kinds[std::size_t(k)];
      p.seconds = s.seconds;
      p.rear = rearFor(k + c);
      add(s.continuous || s.count < 2 ? 0 : c * 2 / s.count, p);
    }
  }
  if (s.damaged) {
    auto has = [&](const char* kind) {
      return std::find(s.kinds.begin(), s.kinds.end(), kind) != s.kinds.end();
    };
    // The viewer's list leaves out VEX recordings under 512 KiB; the other families have no
    // such rule.
    if (s.card.family == "vex") {
      tools::RecordingPlan small;
      small.kind = has("MANUAL") ? "MANUAL" : s.kinds[0];
      small.seconds = std::min(kSmallSeconds, s.seconds);
      small.rear = s.rear == RearMode::kYes;
      add(s.count >= 2 && !s.continuous ? 1 : 0, small);
    }

    // Cut in the middle of a block two thirds of the way in, so that whole blocks come before it.
    tools::RecordingPlan cut;
    cut.kind = has("REC") ? "REC" : s.kinds[0];
    cut.seconds = s.seconds;
    cut.rear = s.rear != RearMode::kNo;
    int frames = s.seconds * s.card.fps;
    int block = 30;
    cut.cutAtFrame = std::max(frames * 2 / 3 / block * block, block) + block / 2;
    if (cut.cutAtFrame >= frames) cut.cutAtFrame = frames / 2;
    add(0, cut);
  }

  std::vector<tools::RecordingPlan> plans;
  for (int d = 0; d < 2; ++d) {
    tools::DateTime clock = d == 0 ? s.start : tools::AddSeconds(s.start, 86400);
    const std::uint32_t tripSeed = TripSeed(s.seed, d);
    int offset = 0;
    for (tools::RecordingPlan& p : days[d].driving) {
      p.start = clock;
      p.tripSeed = tripSeed;
      p.tripOffsetSeconds = offset;
      clock = tools::AddSeconds(clock, p.seconds);
      offset += p.seconds;
      plans.push_back(p);
    }
    if (!days[d].driving.empty()) clock = tools::AddSeconds(clock, kParkSeconds);
    for (tools::RecordingPlan& p : days[d].parked) {
      p.start = clock;
      p.tripSeed = tripSeed;
      p.tripOffsetSeconds = offset;
      clock = tools::AddSeconds(clock, p.seconds);
      plans.push_back(p);
    }
  }
  for (std::size_t i = 0; i < plans.size(); ++i) {
    plans[i].seed = s.seed * 1000003u + std::uint32_t(i) * 7919u + 1;
    plans[i].sequence = int(i) + 1;
  }
  return plans;
}

// The camera's default settings text, from the card library.
bool DefaultSettings(std::string* text) {
  VexHandle h = VexStart();
  std::vector<char> buffer(kVexSettingsBytes, 0);
  int count = kVexSettingsBytes;
  int ok = VexDefaultSettings(h, buffer.data(), &count);
  VexRelease(h);
  if (!ok || count <= 0 || count > kVexSettingsBytes) return false;
  text->assign(buffer.data(), std::size_t(count));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  bool help = false;
  int rc = ParseArgs(argc, argv, &s, &help);
  if (help) {
    Usage(stdout);
    return 0;
  }
  if (rc != 0) return rc;

  // The same card asked for again, in a test run, is copied from the cache.
  const char* cacheFolder = std::getenv("ROADEYE_CARD_CACHE");
  const tools::CardCache cache(cacheFolder ? cacheFolder : "", s.outDir,
                               std::vector<std::string>(argv + 1, argv + argc));
  std::string printed;  // the recordings' lines and the count, less the folder
  if (cache.Fetch(&printed)) {
    std::printf("%s, in %s\n", printed.c_str(), s.outDir.c_str());
    return 0;
  }

  // libx264 reports its settings at the info level; only real trouble is worth a line.
  av_log_set_level(AV_LOG_ERROR);

  std::string settingsText, error;
  if (!DefaultSettings(&settingsText)) {
    std::fprintf(stderr, "roadeye-mkcard: the card library gave no default settings text\n");
    return 1;
  }
  if (!tools::PrepareCard(s.outDir, s.card, settingsText, &error)) {
    std::fprintf(stderr, "roadeye-mkcard: %s\n", error.c_str());
    return 1;
  }

  const std::vector<tools::RecordingPlan> plans = PlanCard(s);
  std::vector<tools::RecordingResult> results(plans.size());
  std::vector<std::string> errors(plans.size());
  std::vector<char> done(plans.size(), 0);
  std::atomic<std::size_t> nextPlan{0};
  std::mutex printLock;
  auto worker = [&]() {
    for (;;) {
      std::size_t i = nextPlan.fetch_add(1);
      if (i >= plans.size()) return;
      bool ok = tools::WriteRecording(s.outDir, s.card, plans[i], &results[i], &errors[i]);
      std::lock_guard<std::mutex> lock(printLock);
      done[i] = ok;
      if (!ok) {
        std::fprintf(stderr, "roadeye-mkcard: %s\n", errors[i].c_str());
        continue;
      }
      const tools::RecordingResult& r = results[i];
      auto line = [&](const std::string& name, std::uint64_t bytes, const char* note) {
        char text[512];
        std::snprintf(text, sizeof text, "%-30s %6.1f s %10llu bytes%s\n", name.c_str(), r.seconds,
                      static_cast<unsigned long long>(bytes), note);
        printed += text;
        std::fputs(text, stdout);
      };
      if (r.files.empty()) {
        line(r.fileName, r.bytes,
             r.cutShort ? "  cut short: no index, last block half written" : "");
      }
      for (const tools::RecordingResult::File& f : r.files) {
        line(f.path, f.bytes,
             f.cutShort ? "  cut short: the index lost with the file's second half" : "");
      }
      std::fflush(stdout);
    }
  };
  int jobs = std::min<int>(s.jobs, int(plans.size()));
  std::vector<std::thread> threads;
  for (int j = 1; j < jobs; ++j) threads.emplace_back(worker);
  worker();
  for (std::thread& t : threads) t.join();

  int written = int(std::count(done.begin(), done.end(), 1));
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    if (done[i]) bytes += results[i].bytes;
  }
  char count[64];
  std::snprintf(count, sizeof count, "%d recordings, %.1f MB", written, double(bytes) / 1048576.0);
  printed += count;
  std::printf("%s, in %s\n", count, s.outDir.c_str());
  if (written != int(plans.size())) return 1;
  cache.Store(printed);
  return 0;
}
