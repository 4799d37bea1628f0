// SPDX-License-Identifier: GPL-3.0-or-later
// Runs roadeye-mkcard and roadeye-vexdump as a user would and checks what they write with
// ffprobe and ffmpeg: the pictures the card library delivers must decode cleanly, in the number the
// description gives, and carry the whole-second marks in picture and sound.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/testing/TempDir.h"
#include "tools/CardWriter.h"

namespace {

namespace fs = std::filesystem;

std::string BinDir() {
  const char* env = std::getenv("ROADEYE_BIN_DIR");
  return env && *env ? env : ROADEYE_BIN_DIR;
}
std::string Mkcard() { return BinDir() + "/roadeye-mkcard"; }
std::string Vexdump() { return BinDir() + "/roadeye-vexdump"; }

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Outcome {
  int exitCode = -1;
  std::string out;  // standard output, and standard error when merged
};

Outcome RunCommand(const std::string& command, bool mergeStderr = false) {
  Outcome r;
  std::string full = command + (mergeStderr ? " 2>&1" : "");
  std::FILE* p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

bool HaveProgram(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

using roadeye_test::TempDir;

// One line of roadeye-mkcard's report.
struct Written {
  std::string name;
  double seconds = 0;
  long long bytes = 0;
  bool cut = false;
};

std::vector<Written> MakeCard(const fs::path& card, const std::string& options) {
  Outcome r = RunCommand(Quote(Mkcard()) + " " + Quote(card.string()) + " " + options);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::vector<Written> written;
  std::regex line(R"(^(\S+\.vex)\s+([0-9.]+) s\s+([0-9]+) bytes(.*)$)");
  for (const std::string& l : Lines(r.out)) {
    std::smatch m;
    if (std::regex_match(l, m, line)) {
      written.push_back(
          {m[1], std::stod(m[2]), std::stoll(m[3]), m[4].str().find("cut") != std::string::npos});
    }
  }
  return written;
}

std::string Listed(const std::string& vexName) {
  return vexName.substr(0, vexName.size() - 4) + ".avi";
}

// What roadeye-vexdump printed about one recording.
struct Dumped {
  Outcome run;
  int frontWidth = 0, frontHeight = 0, rearWidth = 0, rearHeight = 0;
  std::map<std::string, int> counts;  // cntVideo0, cntVideo1, cntAudio, cntACC, cntGPS
};

Dumped Dump(const fs::path& card, const std::string& name, const fs::path& out) {
  Dumped d;
  d.run = RunCommand(Quote(Vexdump()) + " " + Quote(card.string()) + " " + Quote(name) + " " +
                     Quote(out.string()));
  for (const std::string& l : Lines(d.run.out)) {
    std::sscanf(l.c_str(), "  front %dx%d", &d.frontWidth, &d.frontHeight);
    std::sscanf(l.c_str(), "  rear %dx%d", &d.rearWidth, &d.rearHeight);
    if (l.rfind("  counts", 0) == 0) {
      std::regex field(R"((\w+)=(\d+))");
      for (std::sregex_iterator it(l.begin(), l.end(), field), end; it != end; ++it) {
        d.counts[(*it)[1]] = std::stoi((*it)[2]);
      }
    }
  }
  return d;
}

struct Probe {
  int width = 0, height = 0, frames = -1;
};

Probe FfprobeVideo(const fs::path& file) {
  Outcome r = RunCommand(
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=width,height,nb_read_frames -of csv=p=0 " +
      Quote(file.string()));
  Probe p;
  std::sscanf(r.out.c_str(), "%d,%d,%d", &p.width, &p.height, &p.frames);
  return p;
}

int FromHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a GPS line "G$GPRMC,...*CS" carries the right checksum.
bool ChecksumValid(const std::string& line) {
  std::size_t dollar = line.find('$'), star = line.find('*');
  if (dollar == std::string::npos || star == std::string::npos || star + 3 > line.size()) {
    return false;
  }
  int sum = 0;
  for (std::size_t i = dollar + 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
  int hi = FromHex(line[star + 1]), lo = FromHex(line[star + 2]);
  return hi >= 0 && lo >= 0 && sum == hi * 16 + lo;
}

std::vector<std::string> Fields(const std::string& s) {
  std::vector<std::string> f;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = s.find(',', start);
    f.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return f;
    start = comma + 1;
  }
}

// The three G-sensor bytes of an "M" line, \xNN escapes undone.
std::vector<int> GsensorBytes(const std::string& line) {
  std::vector<int> bytes;
  for (std::size_t i = 1; i < line.size();) {
    if (line[i] == '\\' && i + 3 < line.size() + 0 && line[i + 1] == 'x') {
      bytes.push_back(FromHex(line[i + 2]) * 16 + FromHex(line[i + 3]));
      i += 4;
    } else {
      bytes.push_back(static_cast<unsigned char>(line[i]));
      i += 1;
    }
  }
  return bytes;
}

// A grey region of a picture, one byte a pixel. A pixel of at most 64 counts as black, one of at
// least 192 as white.
struct GreyRegion {
  std::string pixels;
  int width = 0, height = 0;

  int At(int x, int y) const {
    return static_cast<unsigned char>(pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]);
  }
  // Share of the black (or white) pixels among those whose distance from the region's edge is in
  // [from, to).
  double Share(bool white, int from = 0, int to = 1 << 20) const {
    int in = 0, hit = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        int edge = std::min({x, y, width - 1 - x, height - 1 - y});
        if (edge < from || edge >= to) continue;
        ++in;
        hit += white ? At(x, y) >= 192 : At(x, y) <= 64;
      }
    }
    return in > 0 ? double(hit) / in : 0;
  }
  // Strong changes along the rows: from black to white or back, the greys between passed over.
  // Their sum over the rows, and (in *most) the count of the busiest row.
  int Transitions(int* most = nullptr) const {
    int total = 0;
    for (int y = 0; y < height; ++y) {
      int last = 0, n = 0;  // -1 black, 1 white, 0 neither yet
      for (int x = 0; x < width; ++x) {
        int now = At(x, y) <= 64 ? -1 : At(x, y) >= 192 ? 1 : 0;
        if (now == 0) continue;
        if (last != 0 && now != last) ++n;
        last = now;
      }
      total += n;
      if (most) *most = std::max(*most, n);
    }
    return total;
  }
};

// The region `r` of every picture of an H.264 stream, after ffmpeg's `filters` (e.g. a scale).
// The picture is made grey before the cut: cut in 4:2:0, the corner would be rounded to even
// pixels.
std::vector<GreyRegion> RegionOfEveryPicture(const fs::path& h264, const std::string& filters,
                                             const tools::PixelRect& r) {
  std::string chain = filters.empty() ? "" : filters + ",";
  chain += "format=gray,crop=" + std::to_string(r.width) + ":" + std::to_string(r.height) + ":" +
           std::to_string(r.x) + ":" + std::to_string(r.y);
  Outcome o = RunCommand("ffmpeg -nostdin -v error -i " + Quote(h264.string()) + " -vf " +
                         Quote(chain) + " -f rawvideo -pix_fmt gray -");
  EXPECT_EQ(o.exitCode, 0);
  const std::size_t bytes = std::size_t(r.width) * std::size_t(r.height);
  std::vector<GreyRegion> regions;
  if (bytes == 0) return regions;
  EXPECT_EQ(o.out.size() % bytes, 0u);
  for (std::size_t at = 0; at + bytes <= o.out.size(); at += bytes) {
    regions.push_back({o.out.substr(at, bytes), r.width, r.height});
  }
  return regions;
}

// The text of the number plate: inside its border and margin, three font pixels in from its edge.
tools::PixelRect PlateTextRect(int width, int height) {
  const tools::PixelRect plate = tools::PlateRect(width, height);
  const int inset = 3 * tools::PlateCell(height);
  return {plate.x + inset, plate.y + inset, plate.width - 2 * inset, plate.height - 2 * inset};
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    ASSERT_TRUE(fs::exists(Mkcard())) << Mkcard();
    ASSERT_TRUE(fs::exists(Vexdump())) << Vexdump();
  }
  void NeedFfmpeg() {
    if (!HaveProgram("ffprobe") || !HaveProgram("ffmpeg")) GTEST_SKIP() << "no ffprobe/ffmpeg";
  }
  fs::path card() const { return tmp_.path() / "card"; }
  fs::path out() const { return tmp_.path() / "out"; }

  TempDir tmp_;
};

TEST_F(ToolsTest, MkcardWritesTheCardLayout) {
  std::vector<Written> w = MakeCard(card(), "--seconds 3 --count 1");
  // One of each kind, then the recording cut short and the small one.
  ASSERT_EQ(w.size(), 6u);
  std::regex name(R"(^(REC|EVENT|PARKING|MANUAL)_\d{8}_\d{6}(_D)?\.vex$)");
  int cut = 0, rear = 0;
  for (const Written& r : w) {
    EXPECT_TRUE(std::regex_match(r.name, name)) << r.name;
    fs::path file = card() / "VEX" / r.name;
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(static_cast<long long>(fs::file_size(file)), r.bytes);
    std::string head = ReadFile(file).substr(0, 212);
    ASSERT_EQ(head.size(), 212u);
    auto u8 = [&](int at) { return static_cast<unsigned char>(head[std::size_t(at)]); };
    auto u16 = [&](int at) { return u8(at) | u8(at + 1) << 8; };
    EXPECT_EQ(head.substr(0, 3), "VEX");
    EXPECT_EQ(u8(3), 30);
    EXPECT_EQ(u16(52), 1280);
    EXPECT_EQ(u16(20), 720);
    bool d = r.name.find("_D.vex") != std::string::npos;
    EXPECT_EQ(u8(4), d ? 30 : 0) << r.name;
    EXPECT_EQ(u16(54), d ? 640 : 0) << r.name;
    EXPECT_EQ(u16(22), d ? 360 : 0) << r.name;
    cut += r.cut;
    rear += d;
  }
  EXPECT_EQ(cut, 1);
  EXPECT_GT(rear, 0);
  EXPECT_LT(rear, 6);

  std::string cfg = ReadFile(card() / "SETTING" / "blackbox.cfg");
  ASSERT_FALSE(cfg.empty());
  EXPECT_NE(cfg.find("[blackbox]"), std::string::npos);
  EXPECT_NE(cfg.find("osd_speed="), std::string::npos);
  for (std::size_t i = 0; i < cfg.size(); ++i) {
    if (cfg[i] == '\n') {
      ASSERT_GT(i, 0u);
      EXPECT_EQ(cfg[i - 1], '\r') << "line end at " << i;
    }
  }
}

TEST_F(ToolsTest, DefaultPlanMixesKindsCamerasAndDays) {
  std::vector<Written> w = MakeCard(card(), "--seconds 2");
  ASSERT_EQ(w.size(), 10u);
  std::map<std::string, int> kinds;
  std::map<std::string, int> days;
  int rear = 0, cut = 0;
  for (const Written& r : w) {
    kinds[r.name.substr(0, r.name.find('_'))]++;
    days[r.name.substr(r.name.find('_') + 1, 8)]++;
    rear += r.name.find("_D.vex") != std::string::npos;
    cut += r.cut;
  }
  for (const char* k : {"REC", "EVENT", "PARKING", "MANUAL"}) EXPECT_GE(kinds[k], 2) << k;
  EXPECT_EQ(days.size(), 2u);
  EXPECT_GE(rear, 4);
  EXPECT_LE(rear, 6);
  EXPECT_EQ(cut, 1);
}

TEST_F(ToolsTest, MkcardFailsClearlyWhenTheCardCannotBeWritten) {
  fs::create_directories(tmp_.path());
  std::ofstream(tmp_.path() / "plain-file") << "x";
  fs::path bad = tmp_.path() / "plain-file" / "card";
  Outcome r =
      RunCommand(Quote(Mkcard()) + " " + Quote(bad.string()) + " --seconds 1 --count 1", true);
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.out.find("cannot create"), std::string::npos) << r.out;

  Outcome opt = RunCommand(Quote(Mkcard()) + " " + Quote(card().string()) + " --rear maybe", true);
  EXPECT_NE(opt.exitCode, 0);
  EXPECT_NE(opt.out.find("--rear"), std::string::npos) << opt.out;
  EXPECT_FALSE(fs::exists(card()));
}

TEST_F(ToolsTest, DumpOfATwoCameraRecordingDecodesCleanly) {
  NeedFfmpeg();
  std::vector<Written> w =
      MakeCard(card(), "--seconds 3 --count 1 --kinds REC --rear yes --no-damaged");
  ASSERT_EQ(w.size(), 1u);
  ASSERT_NE(w[0].name.find("_D.vex"), std::string::npos);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  EXPECT_EQ(d.frontWidth, 1280);
  EXPECT_EQ(d.frontHeight, 720);
  EXPECT_EQ(d.rearWidth, 640);
  EXPECT_EQ(d.rearHeight, 360);
  EXPECT_EQ(d.counts["cntVideo0"], 90);
  EXPECT_EQ(d.counts["cntVideo1"], 90);

  Probe front = FfprobeVideo(out() / "front.h264");
  EXPECT_EQ(front.width, 1280);
  EXPECT_EQ(front.height, 720);
  EXPECT_EQ(front.frames, d.counts["cntVideo0"]);
  Probe rear = FfprobeVideo(out() / "rear.h264");
  EXPECT_EQ(rear.width, 640);
  EXPECT_EQ(rear.height, 360);
  EXPECT_EQ(rear.frames, d.counts["cntVideo1"]);
  for (const char* f : {"front.h264", "rear.h264"}) {
    Outcome decode = RunCommand(
        "ffmpeg -nostdin -v error -i " + Quote((out() / f).string()) + " -f null -", true);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.out, "") << f;
  }

  auto audioBytes = fs::file_size(out() / "audio.s16le");
  EXPECT_EQ(audioBytes % 3840, 0u);
  EXPECT_EQ(audioBytes, std::uintmax_t(d.counts["cntAudio"]) * 3840);
  EXPECT_GE(audioBytes, 3u * 16000u);  // the sound covers the whole recording

  int gps = 0, gsensor = 0;
  int lastSecond = -1;
  for (const std::string& line : Lines(ReadFile(out() / "text.txt"))) {
    if (line.rfind("G$GPRMC,", 0) == 0) {
      EXPECT_TRUE(ChecksumValid(line)) << line;
      std::vector<std::string> f = Fields(line.substr(1, line.find('*') - 1));
      ASSERT_GE(f.size(), 10u) << line;
      EXPECT_EQ(f[2], "A");
      // One fix a second, on the clock of the name less nine hours: 08:15:00 is 23:15:00 UTC.
      int hhmmss = std::stoi(f[1].substr(0, 6));
      int second = hhmmss % 100 + hhmmss / 100 % 100 * 60;
      if (lastSecond >= 0) {
        EXPECT_EQ(second, lastSecond + 1) << line;
      }
      lastSecond = second;
      EXPECT_EQ(hhmmss / 10000, 23);
      EXPECT_EQ(f[9], "110624");
      double lat = std::stod(f[3]), lon = std::stod(f[5]);
      EXPECT_NEAR(lat, 3733.96, 2.0) << line;   // 37.566 N
      EXPECT_NEAR(lon, 12658.68, 2.0) << line;  // 126.978 E
      EXPECT_EQ(f[4], "N");
      EXPECT_EQ(f[6], "E");
      double kmh = std::stod(f[7]) * 1.852;
      EXPECT_GE(kmh, 0);
      EXPECT_LE(kmh, 80.5);
      gps++;
    } else if (line.rfind("M", 0) == 0) {
      EXPECT_EQ(GsensorBytes(line).size(), 3u) << line;
      gsensor++;
    } else {
      ADD_FAILURE() << "unexpected text record " << line;
    }
  }
  EXPECT_EQ(gps, 3);
  EXPECT_EQ(gps, d.counts["cntGPS"]);
  EXPECT_GE(gsensor, 27);
  EXPECT_LE(gsensor, 33);
  EXPECT_EQ(gsensor, d.counts["cntACC"]);
}

TEST_F(ToolsTest, FlashAndBeepMarkEveryWholeSecond) {
  NeedFfmpeg();
  std::vector<Written> w =
      MakeCard(card(), "--seconds 3 --count 1 --kinds MANUAL --rear no --no-damaged");
  ASSERT_EQ(w.size(), 1u);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  EXPECT_FALSE(fs::exists(out() / "rear.h264"));

  Outcome gray =
      RunCommand("ffmpeg -nostdin -v error -i " + Quote((out() / "front.h264").string()) +
                 " -vf \"crop=96:96:iw-96:0\" -f rawvideo -pix_fmt gray -");
  ASSERT_EQ(gray.exitCode, 0);
  const std::size_t side = 96 * 96;
  ASSERT_EQ(gray.out.size() % side, 0u);
  const int frames = int(gray.out.size() / side);
  ASSERT_EQ(frames, 90);
  for (int f = 0; f < frames; ++f) {
    double sum = 0;
    for (std::size_t i = 0; i < side; ++i)
      sum += static_cast<unsigned char>(gray.out[f * side + i]);
    double mean = sum / side;
    if (f % 30 == 0) {
      EXPECT_GE(mean, 200) << "picture " << f;
    } else {
      EXPECT_LE(mean, 40) << "picture " << f;
    }
  }

  // 50 ms of loud 1 kHz from each whole second on, the quiet hum in between.
  std::string pcm = ReadFile(out() / "audio.s16le");
  auto sample = [&](std::size_t i) {
    return static_cast<std::int16_t>(static_cast<unsigned char>(pcm[2 * i]) |
                                     static_cast<unsigned char>(pcm[2 * i + 1]) << 8);
  };
  auto rms = [&](std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t i = from; i < to; ++i) s += double(sample(i)) * sample(i);
    return std::sqrt(s / double(to - from));
  };
  ASSERT_GE(pcm.size(), 2u * 24000u);
  for (std::size_t s = 0; s < 3; ++s) {
    std::size_t start = s * 8000;
    EXPECT_GT(rms(start, start + 400), 6000) << "second " << s;
    EXPECT_LT(rms(start + 440, start + 8000), 1500) << "second " << s;
    if (s > 0) {
      EXPECT_LT(rms(start - 400, start), 1500) << "second " << s;
    }
  }
}

TEST_F(ToolsTest, CutShortRecordingListsAndDumpsFewerPictures) {
  NeedFfmpeg();
  std::vector<Written> w = MakeCard(card(), "--seconds 3 --count 1 --kinds REC --rear yes");
  const Written* full = nullptr;
  const Written* cut = nullptr;
  // The card also holds the short extra recording; the full one is the longest that was not cut.
  // (Recordings are written two at a time, so the order of the listing says nothing.)
  for (const Written& r : w) {
    if (r.cut) {
      cut = &r;
    } else if (r.name.rfind("REC_", 0) == 0 && (!full || r.seconds > full->seconds)) {
      full = &r;
    }
  }
  ASSERT_TRUE(full && cut);

  Outcome list = RunCommand(Quote(Vexdump()) + " " + Quote(card().string()));
  ASSERT_EQ(list.exitCode, 0) << list.out;
  EXPECT_NE(list.out.find(Listed(cut->name)), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(Listed(full->name)), std::string::npos) << list.out;

  Dumped df = Dump(card(), Listed(full->name), out() / "full");
  Dumped dc = Dump(card(), Listed(cut->name), out() / "cut");
  ASSERT_EQ(df.run.exitCode, 0) << df.run.out;
  ASSERT_EQ(dc.run.exitCode, 0) << dc.run.out;
  Probe pf = FfprobeVideo(out() / "full" / "front.h264");
  Probe pc = FfprobeVideo(out() / "cut" / "front.h264");
  EXPECT_EQ(pf.frames, 90);
  EXPECT_GT(pc.frames, 0);
  EXPECT_LT(pc.frames, pf.frames);
  EXPECT_EQ(pc.frames, dc.counts["cntVideo0"]);
  Outcome decode = RunCommand("ffmpeg -nostdin -v error -i " +
                                  Quote((out() / "cut" / "front.h264").string()) + " -f null -",
                              true);
  EXPECT_EQ(decode.out, "");
}

TEST_F(ToolsTest, EventRecordingCarriesAJolt) {
  std::vector<Written> w = MakeCard(card(), "--seconds 3 --count 1 --kinds EVENT --no-damaged");
  ASSERT_EQ(w.size(), 1u);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  int extreme = 0, calm = 0;
  for (const std::string& line : Lines(ReadFile(out() / "text.txt"))) {
    if (line.empty() || line[0] != 'M') continue;
    bool hard = false, quiet = true;
    for (int b : GsensorBytes(line)) {
      hard = hard || b <= 16 || b >= 240;
      quiet = quiet && b >= 100 && b <= 156;
    }
    extreme += hard;
    calm += quiet;
  }
  EXPECT_GE(extreme, 1);
  EXPECT_GE(calm, 20);
}

// The indices of the G-sensor lines of a dump holding a byte at either end of the range: the
// first two samples of each jolt, and nothing in ordinary driving.
std::vector<int> HardSamples(const std::string& text) {
  std::vector<int> hard;
  int k = 0;
  for (const std::string& line : Lines(text)) {
    if (line.empty() || line[0] != 'M') continue;
    for (int b : GsensorBytes(line)) {
      if (b <= 16 || b >= 240) {
        hard.push_back(k);
        break;
      }
    }
    ++k;
  }
  return hard;
}

// --jolts puts the jolt at the seconds asked in every kind, the event recording's middle one
// left out; --no-gsensor writes no samples at all.
TEST_F(ToolsTest, JoltsGoWhereAskedAndNoGsensorWritesNone) {
  std::vector<Written> w =
      MakeCard(card(),
               "--seconds 5 --count 1 --kinds REC,EVENT,PARKING --rear no --no-damaged "
               "--front 320x180 --jolts 4,1");
  ASSERT_EQ(w.size(), 3u);
  for (const Written& r : w) {
    Dumped d = Dump(card(), Listed(r.name), out() / r.name);
    ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
    EXPECT_EQ(d.counts["cntACC"], 50) << r.name;
    EXPECT_EQ(HardSamples(ReadFile(out() / r.name / "text.txt")),
              (std::vector<int>{10, 11, 40, 41}))
        << r.name;
  }

  const fs::path silent = card().parent_path() / "silent";
  w = MakeCard(silent,
               "--seconds 3 --count 1 --kinds EVENT,MANUAL --rear no --no-damaged "
               "--front 320x180 --no-gsensor");
  ASSERT_EQ(w.size(), 2u);
  for (const Written& r : w) {
    Dumped d = Dump(silent, Listed(r.name), out() / r.name);
    ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
    EXPECT_EQ(d.counts["cntACC"], 0) << r.name;
    EXPECT_EQ(d.counts["cntGPS"], 3) << r.name;
    for (const std::string& line : Lines(ReadFile(out() / r.name / "text.txt"))) {
      EXPECT_NE(line.substr(0, 1), "M") << r.name;
    }
  }
}

// Jolt seconds are whole seconds within the recording, each once; anything else is refused with
// the option named and nothing written.
TEST_F(ToolsTest, MkcardRefusesBadJoltSeconds) {
  for (const char* bad : {"--jolts 5", "--jolts -1", "--jolts 1,1", "--jolts 1,,2", "--jolts 2.5",
                          "--jolts x", "--jolts", "--jolts 3,"}) {
    const fs::path where = card().parent_path() / "refused";
    Outcome r =
        RunCommand(Quote(Mkcard()) + " " + Quote(where.string()) + " --seconds 5 " + bad, true);
    EXPECT_EQ(r.exitCode, 2) << bad << "\n" << r.out;
    EXPECT_NE(r.out.find("--jolts"), std::string::npos) << bad << "\n" << r.out;
    EXPECT_FALSE(fs::exists(where / "VEX")) << bad;
  }
  Outcome help = RunCommand(Quote(Mkcard()) + " --help");
  EXPECT_NE(help.out.find("--jolts S1,S2"), std::string::npos);
  EXPECT_NE(help.out.find("--no-gsensor"), std::string::npos);
}

TEST_F(ToolsTest, ListingShowsEveryRecordingWithItsSize) {
  std::vector<Written> w = MakeCard(card(), "--seconds 2 --count 1");
  Outcome list = RunCommand(Quote(Vexdump()) + " " + Quote(card().string()));
  ASSERT_EQ(list.exitCode, 0) << list.out;
  for (const Written& r : w) {
    std::regex row("  " + Listed(r.name) + R"(\s+)" + std::to_string(r.bytes) +
                   " bytes  cntVideo0=");
    EXPECT_TRUE(std::regex_search(list.out, row)) << r.name << "\n" << list.out;
  }
  EXPECT_NE(list.out.find(std::to_string(w.size()) + " recordings"), std::string::npos);
}

TEST_F(ToolsTest, VexdumpRefusesBadCardsNamesAndFolders) {
  std::vector<Written> w = MakeCard(card(), "--seconds 1 --count 1 --kinds REC --no-damaged");
  ASSERT_EQ(w.size(), 1u);
  const std::string name = Listed(w[0].name);
  auto dump = [&](const fs::path& c, const std::string& n, const fs::path& o) {
    return RunCommand(
        Quote(Vexdump()) + " " + Quote(c.string()) + " " + Quote(n) + " " + Quote(o.string()),
        true);
  };

  fs::create_directories(tmp_.path() / "nocard");
  Outcome noVex =
      RunCommand(Quote(Vexdump()) + " " + Quote((tmp_.path() / "nocard").string()), true);
  EXPECT_NE(noVex.exitCode, 0);
  EXPECT_NE(noVex.out.find("no VEX folder"), std::string::npos) << noVex.out;
  Outcome noVexDump = dump(tmp_.path() / "nocard", name, out());
  EXPECT_NE(noVexDump.exitCode, 0);

  for (const std::string& bad : std::vector<std::string>{"../" + name, "REC_/../x.avi",
                                                         "REC_20240612..avi", std::string("")}) {
    Outcome r = dump(card(), bad, out());
    EXPECT_NE(r.exitCode, 0) << bad;
    EXPECT_NE(r.out.find("refusing"), std::string::npos) << bad << ": " << r.out;
  }
  Outcome unknownKind = dump(card(), "TRIP_20240612_081500.avi", out());
  EXPECT_NE(unknownKind.exitCode, 0);
  EXPECT_NE(unknownKind.out.find("not a recording name"), std::string::npos) << unknownKind.out;
  Outcome missing = dump(card(), "REC_20000101_000000.avi", out());
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.out.find("no such"), std::string::npos) << missing.out;
  EXPECT_FALSE(fs::exists(out()));

  std::ofstream(tmp_.path() / "plain-file") << "x";
  Outcome unwritable = dump(card(), name, tmp_.path() / "plain-file" / "out");
  EXPECT_NE(unwritable.exitCode, 0);
  EXPECT_NE(unwritable.out.find("cannot create"), std::string::npos) << unwritable.out;

  // The .vex file name means the same recording as its listed .avi name.
  Outcome byFileName = dump(card(), w[0].name, out());
  EXPECT_EQ(byFileName.exitCode, 0) << byFileName.out;
}

// What the front pictures of a one-second card of the given size show on the car ahead.
struct PlateCase {
  int width, height;
};

void PrintTo(const PlateCase& c, std::ostream* os) { *os << c.width << "x" << c.height; }

class NumberPlateTest : public ToolsTest {
 protected:
  // Writes the card and dumps its front pictures; the path of their H.264 stream.
  fs::path FrontPictures(int width, int height) {
    std::vector<Written> w =
        MakeCard(card(), "--front " + std::to_string(width) + "x" + std::to_string(height) +
                             " --seconds 1 --count 1 --kinds REC --rear no --no-damaged");
    EXPECT_EQ(w.size(), 1u);
    if (w.size() != 1) return {};
    Dumped d = Dump(card(), Listed(w[0].name), out());
    EXPECT_EQ(d.run.exitCode, 0) << d.run.out;
    EXPECT_EQ(d.frontWidth, width);
    EXPECT_EQ(d.frontHeight, height);
    return out() / "front.h264";
  }
};

class NumberPlateSizeTest : public NumberPlateTest,
                            public ::testing::WithParamInterface<PlateCase> {};

// In every picture the plate is where PlateRect says: a black border one font pixel wide round a
// white margin of two, and inside it black text on white whose strokes are resolved (many changes
// from black to white along each row of the text).
TEST_P(NumberPlateSizeTest, IsSharpInEveryPictureWherePlateRectSays) {
  NeedFfmpeg();
  const auto [width, height] = GetParam();
  const tools::PixelRect plate = tools::PlateRect(width, height);
  const tools::PixelRect car = tools::AheadCarRect(width, height);
  const int cell = tools::PlateCell(height);
  ASSERT_GE(plate.width, 30 * cell);
  ASSERT_GE(plate.height, 10 * cell);
  // On the car, clear of the flash square (top right) and of the text at the bottom.
  EXPECT_GE(plate.x, car.x);
  EXPECT_LE(plate.x + plate.width, car.x + car.width);
  EXPECT_GE(plate.y, car.y);
  EXPECT_LE(plate.y + plate.height, car.y + car.height);
  EXPECT_LT(plate.x + plate.width, width - std::min({96, width / 4, height / 4}));
  EXPECT_LT(plate.y + plate.height, height - 16 * std::max(1, height / 180));

  const fs::path front = FrontPictures(width, height);
  ASSERT_FALSE(front.empty());
  std::vector<GreyRegion> plates = RegionOfEveryPicture(front, "", plate);
  std::vector<GreyRegion> texts = RegionOfEveryPicture(front, "", PlateTextRect(width, height));
  ASSERT_EQ(plates.size(), 30u);
  ASSERT_EQ(texts.size(), 30u);
  for (std::size_t f = 0; f < plates.size(); ++f) {
    EXPECT_GE(plates[f].Share(false, 0, cell), 0.95) << "border, picture " << f;
    EXPECT_GE(plates[f].Share(true, cell, 3 * cell), 0.95) << "margin, picture " << f;
    const GreyRegion& text = texts[f];
    EXPECT_GE(text.Share(false), 0.25) << "picture " << f;
    EXPECT_GE(text.Share(true), 0.25) << "picture " << f;
    EXPECT_GE(text.Share(false) + text.Share(true), 0.95) << "picture " << f;
    int most = 0;
    const int total = text.Transitions(&most);
    EXPECT_GE(total, 12 * text.height) << "picture " << f;
    EXPECT_GE(most, 16) << "picture " << f;
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, NumberPlateSizeTest,
                         ::testing::Values(PlateCase{1920, 1080}, PlateCase{1280, 720},
                                           PlateCase{640, 360}),
                         [](const ::testing::TestParamInfo<PlateCase>& info) {
                           return std::to_string(info.param.width) + "x" +
                                  std::to_string(info.param.height);
                         });

// Strokes two pixels wide in a 1080-line picture are lost when the picture is scaled to a third,
// as a pane a third of its size shows it: the text of the plate turns to greys with far fewer
// changes from black to white than the same text has at full size. Picking every third pixel
// instead keeps the pixels black and white, so the loss is the scaling's averaging.
TEST_F(NumberPlateTest, IsBlurredInAPictureScaledToAThird) {
  NeedFfmpeg();
  const tools::PixelRect text = PlateTextRect(1920, 1080);
  // The pixels of the picture at a third that lie wholly inside the text.
  const tools::PixelRect third{(text.x + 2) / 3, (text.y + 2) / 3,
                               (text.x + text.width) / 3 - (text.x + 2) / 3,
                               (text.y + text.height) / 3 - (text.y + 2) / 3};
  ASSERT_GE(third.width, 12);
  ASSERT_GE(third.height, 2);
  const fs::path front = FrontPictures(1920, 1080);
  ASSERT_FALSE(front.empty());
  std::vector<GreyRegion> sharp = RegionOfEveryPicture(front, "", text);
  ASSERT_EQ(sharp.size(), 30u);

  for (const char* scaler : {"area", "bicubic", "lanczos"}) {
    std::vector<GreyRegion> small =
        RegionOfEveryPicture(front, std::string("scale=640:360:flags=") + scaler, third);
    ASSERT_EQ(small.size(), sharp.size()) << scaler;
    for (std::size_t f = 0; f < small.size(); ++f) {
      const int full = sharp[f].Transitions();
      ASSERT_GE(full, 12 * sharp[f].height) << "picture " << f;
      EXPECT_LE(small[f].Transitions() * 5, full) << scaler << ", picture " << f;
      EXPECT_LE(small[f].Share(false) + small[f].Share(true), 0.6) << scaler << ", picture " << f;
    }
  }
  std::vector<GreyRegion> picked =
      RegionOfEveryPicture(front, "scale=640:360:flags=neighbor", third);
  ASSERT_EQ(picked.size(), sharp.size());
  for (std::size_t f = 0; f < picked.size(); ++f) {
    EXPECT_GE(picked[f].Share(false) + picked[f].Share(true), 0.95) << "picture " << f;
  }
}

}  // namespace

// A --realistic recording is encoded as a camera's: High profile, no B pictures, a key picture
// every 30th picture, the asked bit rate kept; and its pictures compress far worse than the
// plain scene's.
TEST_F(ToolsTest, RealisticRecordingIsEncodedLikeACamerasAndCompressesLikeARoad) {
  NeedFfmpeg();
  const std::string common =
      "--seconds 3 --count 1 --kinds REC --rear yes --no-damaged --front 640x360 "
      "--rear-size 320x180";
  std::vector<Written> w = MakeCard(card(), common + " --realistic --bitrate 2000");
  ASSERT_EQ(w.size(), 1u);
  Dumped d = Dump(card(), Listed(w[0].name), out());
  ASSERT_EQ(d.run.exitCode, 0) << d.run.out;
  const fs::path front = out() / "front.h264";
  EXPECT_EQ(FfprobeVideo(front).frames, 90);

  Outcome stream = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries stream=profile,has_b_frames -of "
      "csv=p=0 " +
      Quote(front.string()));
  EXPECT_EQ(stream.out, "High,0\n");

  Outcome frames = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_frames -show_entries frame=key_frame,pict_type "
      "-of csv=p=0 " +
      Quote(front.string()));
  std::vector<std::string> lines = Lines(frames.out);
  ASSERT_EQ(lines.size(), 90u) << frames.out;
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const bool key = n % 30 == 0;
    EXPECT_EQ(lines[n], key ? "1,I" : "0,P") << "picture " << n;
  }

  // The bit rate over the recording: the stream's size over its 3 seconds.
  const double kbps = double(fs::file_size(front)) * 8 / 3 / 1000;
  EXPECT_NEAR(kbps, 2000, 200);

  // At constant quality the realistic road takes several times the bytes of the plain scene (6.1
  // times at this size).
  const fs::path plainCard = tmp_.path() / "plain", realCard = tmp_.path() / "real";
  std::vector<Written> plain = MakeCard(plainCard, common);
  std::vector<Written> real = MakeCard(realCard, common + " --realistic");
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(real.size(), 1u);
  ASSERT_EQ(Dump(plainCard, Listed(plain[0].name), tmp_.path() / "plainOut").run.exitCode, 0);
  ASSERT_EQ(Dump(realCard, Listed(real[0].name), tmp_.path() / "realOut").run.exitCode, 0);
  const auto plainBytes = fs::file_size(tmp_.path() / "plainOut" / "front.h264");
  const auto realBytes = fs::file_size(tmp_.path() / "realOut" / "front.h264");
  EXPECT_GE(double(realBytes), 4.0 * double(plainBytes)) << realBytes << " vs " << plainBytes;
  Outcome decode =
      RunCommand("ffmpeg -nostdin -v error -i " +
                     Quote((tmp_.path() / "realOut" / "front.h264").string()) + " -f null -",
                 true);
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.out, "");
}
