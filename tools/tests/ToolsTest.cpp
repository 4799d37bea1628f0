// SPDX-License-Identifier: GPL-3.0-or-later
// Runs roadeye-mkcard and roadeye-vexdump as a user would and checks what they write with
// ffprobe and ffmpeg: the pictures the card library delivers must decode cleanly, in the number the
// description gives, and carry the whole-second marks in picture and sound.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/CardWriter.h"
#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {

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
// The test run's card cache: a card asked for again is the card first written, with the same
// report, even after the first copy was damaged; a folder that held files is written as usual
// and not kept; a rebuilt writer (another modification time) keeps cards of its own.
TEST(CardCache, ASecondAskGivesTheFirstCardAndItsReportUndamaged) {
  TempDir dir("card-cache");
  const fs::path cache = dir.path() / "cache";
  const std::string options = " --seconds 2 --count 1 --kinds EVENT --no-damaged";
  auto mkcard = [&](const fs::path& card) {
    return RunCommand("ROADEYE_CARD_CACHE=" + Quote(cache.string()) + " " + Quote(Mkcard()) + " " +
                      Quote(card.string()) + options);
  };
  auto sums = [](const fs::path& card) {
    return RunCommand("cd " + Quote(card.string()) + " && find . -type f | sort | xargs sha256sum")
        .out;
  };
  const Outcome first = mkcard(dir.path() / "a");
  ASSERT_EQ(first.exitCode, 0) << first.out;
  const std::string written = sums(dir.path() / "a");
  ASSERT_NE(written.find("EVENT_20240612_081500_D.vex"), std::string::npos) << written;
  ASSERT_EQ(std::distance(fs::directory_iterator(cache), fs::directory_iterator()), 1);
  fs::resize_file(dir.path() / "a/VEX/EVENT_20240612_081500_D.vex", 100);

  const Outcome again = mkcard(dir.path() / "b");
  ASSERT_EQ(again.exitCode, 0) << again.out;
  EXPECT_EQ(sums(dir.path() / "b"), written);
  std::string report = first.out;
  report.replace(report.rfind(dir.path().string() + "/a"), dir.path().string().size() + 2,
                 dir.path().string() + "/b");
  EXPECT_EQ(again.out, report);

  // A folder with a file of its own gets the card written and the file kept, nothing cached.
  fs::create_directories(dir.path() / "c");
  std::ofstream(dir.path() / "c/note.txt") << "mine";
  ASSERT_EQ(mkcard(dir.path() / "c").exitCode, 0);
  EXPECT_EQ(ReadFile(dir.path() / "c/note.txt"), "mine");
  const Outcome cached =
      RunCommand("cd " + Quote(cache.string()) + " && find . -name note.txt | wc -l");
  EXPECT_EQ(cached.out, "0\n");

  // The same options from a writer of another build time are another card.
  const fs::path copy = dir.path() / "roadeye-mkcard";
  fs::copy_file(Mkcard(), copy);
  fs::last_write_time(copy, fs::last_write_time(Mkcard()) + std::chrono::seconds(5));
  ASSERT_EQ(RunCommand("ROADEYE_CARD_CACHE=" + Quote(cache.string()) + " " + Quote(copy.string()) +
                       " " + Quote((dir.path() / "d").string()) + options)
                .exitCode,
            0);
  EXPECT_EQ(std::distance(fs::directory_iterator(cache), fs::directory_iterator()), 2);
  EXPECT_EQ(sums(dir.path() / "d"), written);
}

}  // namespace tools_test
