// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion of card recordings into AVI files: the headless routine on small synthetic cards, and
// the command-line converter on cards written by roadeye-mkcard, read back by our AVI reader and by
// ffprobe/ffmpeg.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "export/ConvertRecording.h"
#include "export/FolderDownload.h"
#include "media/CAVIExtractor.h"
#include "media/CAVIWriter.h"
#include "media/CVEXParser.h"
#include "media/testing/FaultyFile.h"
#include "media/tests/TestCard.h"
#include "support/testing/SmallFolder.h"
#include "vexlib/VexReader.h"
#include "vexlib/vexlib.h"

namespace fs = std::filesystem;
using roadeye_test::SmallFolder;
using testcard::Packet;

namespace {

struct AviPacket {
  std::string tag;
  std::vector<unsigned char> payload;
  bool operator==(const AviPacket&) const = default;
};

// Every chunk of an AVI file's movie list, as our reader delivers them, up to the index.
std::vector<AviPacket> ReadAvi(const std::string& path) {
  std::vector<AviPacket> out;
  CAVIExtractor avi;
  if (avi.Open(path.c_str(), nullptr) == 0) return out;
  std::vector<unsigned char> buf(kPacketBufferSize);
  for (int i = 0; i < 1000000; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (avi.ReadPacket(tag, buf.data(), &size) < 0) break;
    std::string t(tag, 4);
    if (t == "idx1") break;
    out.push_back(AviPacket{t, std::vector<unsigned char>(buf.begin(), buf.begin() + size)});
  }
  avi.Close();
  return out;
}

// What a recording becomes: its pictures and sound in order under the AVI tags, no text.
std::vector<AviPacket> Expected(const std::vector<Packet>& written, bool twoCameras) {
  std::vector<AviPacket> out;
  for (const Packet& p : written) {
    std::string tag;
    if (p.type == 1) {
      tag = twoCameras ? "02wb" : "01wb";
    } else if (p.type == 3) {
      continue;
    } else {
      tag = p.channel == 0 ? "00dc" : "01dc";
    }
    out.push_back(AviPacket{tag, std::vector<unsigned char>(p.payload.begin(), p.payload.end())});
  }
  return out;
}

// The card library and the parser on a card, as the viewer has them.
template <class Parser = CVEXParser>
class CardWith {
 public:
  explicit CardWith(const std::string& root) : lib_(VexStart()) {
    VexInitialise(lib_, root.c_str());
    char drive = 0;
    VexCardPoll(lib_, &drive);
    if (drive) VexCardAttach(lib_);
    parser.SetLibraryHandle(lib_);
    parser.Start();
  }
  ~CardWith() {
    parser.Stop();
    VexRelease(lib_);
  }
  Parser parser;

 private:
  VexHandle lib_;
};
using Card = CardWith<>;

// Holds back the reader's and writer's per-packet diagnostic lines for the scope; whatever else
// was printed (test failures among it) is passed on.
class QuietDiagnostics {
 public:
  QuietDiagnostics() { testing::internal::CaptureStdout(); }
  ~QuietDiagnostics() {
    std::istringstream lines(Text());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("aviAddData", 0) == 0 || line.rfind("[CThreadQueue]", 0) == 0 ||
          line.rfind("Media End Recv", 0) == 0) {
        continue;
      }
      std::printf("%s\n", line.c_str());
    }
  }
  std::string Text() {
    if (!done_) text_ = testing::internal::GetCapturedStdout();
    done_ = true;
    return text_;
  }

 private:
  bool done_ = false;
  std::string text_;
};

struct StopAfter {
  int pictures;
  int calls = 0;
  int lastTotal = -1;
};

bool StopAfterPictures(void* arg, int index, int total) {
  auto* s = static_cast<StopAfter*>(arg);
  EXPECT_EQ(index, s->calls);
  s->calls++;
  s->lastTotal = total;
  return index + 1 < s->pictures;
}

}  // namespace

TEST(DestinationPath, OnlyPlainRecordingNamesBecomePaths) {
  std::string path;
  ASSERT_TRUE(MakeDestinationPath("/home/me/clips", "REC_20240612_081500_D.avi", &path));
  EXPECT_EQ(path, "/home/me/clips/REC_20240612_081500_D.avi");
  ASSERT_TRUE(MakeDestinationPath("/home/me/clips/", "EVENT_20240612_081500.avi", &path));
  EXPECT_EQ(path, "/home/me/clips/EVENT_20240612_081500.avi");
  for (const char* bad : {"", "..", "../REC_1.avi", "REC/../../x.avi", "a/b.avi", "a\\b.avi",
                          "REC_\n.avi", "REC_\x7f.avi", "."}) {
    EXPECT_FALSE(MakeDestinationPath("/tmp", bad, &path)) << bad;
  }
  EXPECT_FALSE(MakeDestinationPath("/tmp", std::string(200, 'R'), &path));
}

class ConvertTest : public testing::Test {
 protected:
  testcard::CardDir card;
  testcard::CardDir out;  // a second temporary folder for the AVI files
};

TEST_F(ConvertTest, TwoCameraRecordingBecomesAnAviWithEveryPictureAndSoundInOrder) {
  auto written = testcard::WriteRecording(card.vex("REC_20241201_101500_D"), 3, true);
  std::string dest = out.root() + "/REC_20241201_101500_D.avi";
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    EXPECT_EQ(
        ConvertRecording(&c.parser, "REC_20241201_101500_D.avi", dest.c_str(), nullptr, nullptr),
        kConvertDone);
  }
  EXPECT_EQ(ReadAvi(dest), Expected(written, true));

  // The index finds every front picture, and seeking lands on them.
  CAVIExtractor avi;
  RecordingInfo info;
  ASSERT_TRUE(avi.OpenIndexed(dest.c_str(), &info));
  EXPECT_EQ(info.frontFrameRate, 30);
  EXPECT_EQ(info.rearFrameRate, 30);
  EXPECT_EQ(info.frontFrames.GetCount(), 90);
  int size[2];
  avi.GetVideoSize(size, 0);
  EXPECT_EQ(size[0], 1280);
  EXPECT_EQ(size[1], 720);
  avi.GetVideoSize(size, 1);
  EXPECT_EQ(size[0], 640);
  EXPECT_EQ(size[1], 360);
  // Opening with a description builds the table and opens for reading.
  ASSERT_NE(avi.Open(dest.c_str(), &info), 0);
  std::vector<AviPacket> fronts;
  for (const AviPacket& p : Expected(written, true)) {
    if (p.tag == "00dc") fronts.push_back(p);
  }
  std::vector<unsigned char> buf(kPacketBufferSize);
  for (int k : {0, 1, 29, 30, 31, 59, 89}) {
    ASSERT_EQ(avi.SeekTime(float(k) / 30.0f + 0.001f), 0) << k;
    char tag[8] = {};
    int n = kPacketBufferSize;
    ASSERT_GT(avi.ReadPacket(tag, buf.data(), &n), 0);
    EXPECT_EQ(std::string(tag, 4), "00dc");
    EXPECT_EQ(std::vector<unsigned char>(buf.begin(), buf.begin() + n),
              fronts[std::size_t(k)].payload)
        << "picture " << k;
  }
}

TEST_F(ConvertTest, OneCameraRecordingUsesTheOneCameraTags) {
  auto written = testcard::WriteRecording(card.vex("EVENT_20241201_101500"), 2, false);
  std::string dest = out.root() + "/EVENT_20241201_101500.avi";
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    EXPECT_EQ(
        ConvertRecording(&c.parser, "EVENT_20241201_101500.avi", dest.c_str(), nullptr, nullptr),
        kConvertDone);
  }
  auto got = ReadAvi(dest);
  EXPECT_EQ(got, Expected(written, false));
  for (const AviPacket& p : got) EXPECT_TRUE(p.tag == "00dc" || p.tag == "01wb") << p.tag;
}

TEST_F(ConvertTest, StoppingKeepsACompleteShorterFileAndClearsTheRunFlag) {
  auto written = testcard::WriteRecording(card.vex("PARKING_20241201_101500_D"), 3, true);
  std::string dest = out.root() + "/PARKING_20241201_101500_D.avi";
  StopAfter stop{10};
  std::atomic<int> busy{1};
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    EXPECT_EQ(ConvertRecording(&c.parser, "PARKING_20241201_101500_D.avi", dest.c_str(),
                               &StopAfterPictures, &stop, &busy),
              kConvertStopped);
  }
  EXPECT_EQ(busy.load(), 0);
  EXPECT_EQ(stop.calls, 10);
  EXPECT_EQ(stop.lastTotal, 90);
  // The picture whose callback stopped the run is written too; the file is whole and indexed.
  auto got = ReadAvi(dest);
  auto all = Expected(written, true);
  ASSERT_LE(got.size(), all.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
  int fronts = 0;
  for (const AviPacket& p : got) fronts += p.tag == "00dc";
  EXPECT_EQ(fronts, 10);
  CAVIExtractor avi;
  RecordingInfo info;
  ASSERT_TRUE(avi.OpenIndexed(dest.c_str(), &info));
  EXPECT_EQ(info.frontFrames.GetCount(), 10);

  // A run flag already cleared converts nothing but still leaves a valid, empty clip.
  std::string empty = out.root() + "/empty.avi";
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    EXPECT_EQ(ConvertRecording(&c.parser, "PARKING_20241201_101500_D.avi", empty.c_str(), nullptr,
                               nullptr, &busy),
              kConvertStopped);
  }
  EXPECT_TRUE(ReadAvi(empty).empty());
  EXPECT_TRUE(avi.OpenIndexed(empty.c_str(), &info));
}

TEST_F(ConvertTest, FailuresAreReportedAndLeaveNoFile) {
  testcard::WriteRecording(card.vex("MANUAL_20241201_101500"), 1, false);
  Card c(card.root());
  std::string dest = out.root() + "/x.avi";
  {
    QuietDiagnostics quiet;
    EXPECT_EQ(
        ConvertRecording(&c.parser, "MANUAL_20990101_000000.avi", dest.c_str(), nullptr, nullptr),
        kConvertOpenFailed);
  }
  EXPECT_FALSE(fs::exists(dest));

  // A destination that cannot be created stops at once instead of failing packet after packet.
  std::string unreachable = out.root() + "/no/such/folder/MANUAL_20241201_101500.avi";
  QuietDiagnostics quiet;
  EXPECT_EQ(ConvertRecording(&c.parser, "MANUAL_20241201_101500.avi", unreachable.c_str(), nullptr,
                             nullptr),
            kConvertCreateFailed);
  EXPECT_EQ(quiet.Text().find("aviAddData"), std::string::npos);
  EXPECT_FALSE(fs::exists(unreachable));
  EXPECT_NE(std::string(ConvertResultText(kConvertCreateFailed)), "");
}

TEST_F(ConvertTest, RecordingCutShortConvertsToAShorterCompleteFile) {
  auto written = testcard::WriteRecording(card.vex("REC_20241201_230000_D"), 3, true, false);
  std::string dest = out.root() + "/REC_20241201_230000_D.avi";
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    EXPECT_EQ(
        ConvertRecording(&c.parser, "REC_20241201_230000_D.avi", dest.c_str(), nullptr, nullptr),
        kConvertDone);
  }
  auto got = ReadAvi(dest);
  auto all = Expected(written, true);
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), all.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));
}

// ---- Converting into a folder: temporary names, the report, a run stopped ----

namespace {

// The names in a folder, sorted.
std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Notes what the run told and stops it after a number of pictures.
struct RunLog : VDownloadProgress {
  int stopAfter = -1;  // pictures of the run; -1: never stop
  int pictures = 0;
  std::vector<std::string> started;
  void OnRecordingStart(int index, int count, const std::string& name) override {
    started.push_back(std::to_string(index) + "/" + std::to_string(count) + " " + name);
  }
  bool OnPicture(int, int) override { return stopAfter < 0 || ++pictures < stopAfter; }
};

}  // namespace

TEST_F(ConvertTest, AFullDiskReportsNoSpaceAndKeepsTheEarlierExport) {
  testcard::WriteRecording(card.vex("REC_20241201_120000_D"), 10, true);
  const std::string folder = out.root() + "/small";
  const std::string earlier = "an earlier, good export of this recording";
  std::vector<DownloadOutcome> outcomes;
  {
    SmallFolder small(folder, 64 * 1024);
    ASSERT_TRUE(small.Usable());
    std::ofstream(folder + "/REC_20241201_120000_D.avi") << earlier;
    Card c(card.root());
    QuietDiagnostics quiet;
    std::atomic<int> busy{1};
    outcomes = DownloadToFolder(&c.parser, folder, {"REC_20241201_120000_D.avi"}, nullptr, &busy);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_FALSE(outcomes[0].Made());
    EXPECT_TRUE(outcomes[0].path.empty());
    EXPECT_NE(outcomes[0].reason.find(small.reason), std::string::npos) << outcomes[0].reason;
    // The earlier file is untouched and no partial file is left under any name.
    EXPECT_EQ(Contents(folder + "/REC_20241201_120000_D.avi"), earlier);
    EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"REC_20241201_120000_D.avi"});
  }
}

// The same through the clip writer's file failing as a full disk does after a known amount.
TEST_F(ConvertTest, AWriterFileThatRunsOutOfSpaceLeavesNoFile) {
  testcard::WriteRecording(card.vex("REC_20241201_120000_D"), 3, true);
  const std::string clips = out.root() + "/clips";
  fs::create_directories(clips);
  std::ofstream(clips + "/REC_20241201_120000_D.avi") << "earlier";
  for (std::int64_t space : {0, 100, 5000, 20000}) {
    roadeye_test::FullDiskFile full(space);
    ASSERT_TRUE(aviSetFileSystem(&full));
    Card c(card.root());
    QuietDiagnostics quiet;
    std::atomic<int> busy{1};
    const DownloadOutcome o =
        ConvertToFolder(&c.parser, clips, "REC_20241201_120000_D.avi", nullptr, nullptr, &busy);
    aviSetFileSystem(nullptr);
    EXPECT_FALSE(o.Made()) << space;
    EXPECT_NE(o.reason.find(std::strerror(ENOSPC)), std::string::npos) << space << ": " << o.reason;
    EXPECT_EQ(Contents(clips + "/REC_20241201_120000_D.avi"), "earlier");
    EXPECT_EQ(FolderNames(clips), std::vector<std::string>{"REC_20241201_120000_D.avi"});
  }
}

TEST_F(ConvertTest, StoppingARunKeepsTheRecordingBeingMadeAndSkipsTheRest) {
  const std::vector<std::string> names = {"REC_20241201_120000_D.avi", "EVENT_20241201_120100.avi",
                                          "MANUAL_20241201_120200_D.avi"};
  std::vector<std::vector<Packet>> written;
  for (const std::string& n : names) {
    written.push_back(testcard::WriteRecording(card.vex(n.substr(0, n.size() - 4)), 3,
                                               n.find("_D.") != std::string::npos));
  }
  const std::string clips = out.root() + "/clips";
  fs::create_directories(clips);
  // An earlier export of the first recording is replaced by the new, complete one.
  std::ofstream(clips + "/" + names[0]) << "earlier";
  RunLog log;
  log.stopAfter = 12;
  std::atomic<int> busy{1};
  std::vector<DownloadOutcome> outcomes;
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    outcomes = DownloadToFolder(&c.parser, clips, names, &log, &busy);
  }
  EXPECT_EQ(busy.load(), 0);
  EXPECT_EQ(log.started, std::vector<std::string>{"0/3 " + names[0]});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].result, kConvertStopped);
  EXPECT_EQ(outcomes[0].path, clips + "/" + names[0]);
  EXPECT_EQ(FolderNames(clips), std::vector<std::string>{names[0]});
  auto got = ReadAvi(outcomes[0].path);
  int fronts = 0;
  for (const AviPacket& p : got) fronts += p.tag == "00dc";
  EXPECT_EQ(fronts, 12);
  auto all = Expected(written[0], true);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()));

  // The whole run, not stopped: every file made, each with all of its recording.
  busy = 1;
  RunLog whole;
  {
    Card c(card.root());
    QuietDiagnostics quiet;
    outcomes = DownloadToFolder(&c.parser, clips, names, &whole, &busy);
  }
  ASSERT_EQ(outcomes.size(), 3u);
  // Each file is the user's like any new file: readable as the umask lets it be, not private.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(outcomes[i].result, kConvertDone) << names[i];
    struct stat st {};
    ASSERT_EQ(::stat(outcomes[i].path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << names[i];
    EXPECT_EQ(whole.started[i], std::to_string(i) + "/3 " + names[i]);
    EXPECT_EQ(ReadAvi(clips + "/" + names[i]),
              Expected(written[i], names[i].find("_D.") != std::string::npos));
  }
  EXPECT_EQ(FolderNames(clips).size(), 3u);
}

TEST_F(ConvertTest, EachFailureIsNamedWithItsReasonAndLeavesNothing) {
  testcard::WriteRecording(card.vex("REC_20241201_120000"), 1, false);
  const std::string clips = out.root() + "/clips";
  fs::create_directories(clips);
  std::atomic<int> busy{1};
  struct Case {
    std::string folder, name, reason;
  };
  std::string deep = clips;
  while (deep.size() < PATH_MAX) deep += "/" + std::string(200, 'd');
  const std::vector<Case> cases = {
      {clips, "../escape.avi", "not a plain recording name"},
      {clips, "REC_20990101_000000.avi", "cannot be opened"},
      {clips + "/missing", "REC_20241201_120000.avi", std::strerror(ENOENT)},
      {clips + "/a-file", "REC_20241201_120000.avi", std::strerror(ENOTDIR)},
      {deep, "REC_20241201_120000.avi", "longer than the system allows"},
      {clips + "/" + std::string(300, 'd'), "REC_20241201_120000.avi", std::strerror(ENAMETOOLONG)},
  };
  std::ofstream(clips + "/a-file") << "x";
  Card c(card.root());
  for (const Case& k : cases) {
    QuietDiagnostics quiet;
    const DownloadOutcome o = ConvertToFolder(&c.parser, k.folder, k.name, nullptr, nullptr, &busy);
    EXPECT_FALSE(o.Made()) << k.name;
    EXPECT_NE(o.reason.find(k.reason), std::string::npos) << k.folder << ": " << o.reason;
  }
  EXPECT_EQ(FolderNames(clips), std::vector<std::string>{"a-file"});
  EXPECT_FALSE(fs::exists(card.root() + "/escape.avi"));

  // The card pulled out halfway (its reads fail from then on): the file is not kept, and the
  // report says why.
  QuietDiagnostics quiet;
  // Reads fail from three quarters of the file on: past its header and index, among its blocks
  // (ten of them, each read whole).
  testcard::WriteRecording(card.vex("REC_20241201_130000"), 10, false);
  Card ten(card.root());
  const auto fileBytes = fs::file_size(card.vex("REC_20241201_130000"));
  vex::SetReadFaults({.failAfterBytes = static_cast<long long>(fileBytes * 3 / 4)});
  const DownloadOutcome pulled =
      ConvertToFolder(&ten.parser, clips, "REC_20241201_130000.avi", nullptr, nullptr, &busy);
  vex::ClearReadFaults();
  EXPECT_EQ(pulled.result, kConvertReadFailed);
  EXPECT_NE(pulled.reason.find("could not be read"), std::string::npos) << pulled.reason;
  EXPECT_EQ(FolderNames(clips), std::vector<std::string>{"a-file"});
  // Reads that come short are no fault: the whole recording is converted.
  vex::SetReadFaults({.maxChunk = 5});
  const DownloadOutcome slow =
      ConvertToFolder(&c.parser, clips, "REC_20241201_120000.avi", nullptr, nullptr, &busy);
  vex::ClearReadFaults();
  EXPECT_EQ(slow.result, kConvertDone);
}

// ---- The command-line converter on real cards, checked by ffprobe and ffmpeg ----

namespace {

struct CommandRun {
  int status = -1;
  std::string out;
};

CommandRun RunCommand(const std::string& command) {
  CommandRun r;
  std::FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Bin(const char* name) { return std::string(ROADEYE_BIN_DIR) + "/" + name; }

bool HaveFfmpeg() {
  return RunCommand("ffprobe -version").status == 0 && RunCommand("ffmpeg -version").status == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) out.push_back(line);
  }
  return out;
}

// The packets the card's parser delivers for a recording, as they should appear in its AVI copy.
std::vector<AviPacket> FromCard(const std::string& root, const std::string& name, bool* two) {
  std::vector<AviPacket> out;
  Card c(root);
  QuietDiagnostics quiet;
  RecordingInfo info;
  if (!c.parser.Open(name.c_str(), &info)) return out;
  *two = info.rearFrameRate != 0;
  std::vector<unsigned char> buf(kPacketBufferSize);
  for (;;) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (c.parser.ReadPacket(tag, buf.data(), &size) < 0) break;
    ChunkKind k = ClassifyChunkTag(tag);
    std::string t;
    if (k == ChunkKind::kFrontVideo) t = "00dc";
    if (k == ChunkKind::kRearVideo) t = "01dc";
    if (k == ChunkKind::kAudio) t = *two ? "02wb" : "01wb";
    if (t.empty()) continue;
    out.push_back(AviPacket{t, std::vector<unsigned char>(buf.begin(), buf.begin() + size)});
  }
  return out;
}

}  // namespace

class ConvertCommandTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testcard::CardDir();
    cardDir_ = root_->root() + "/card";
    outDir_ = root_->root() + "/out";
    // Both camera layouts, plus the recording cut short by a power loss and the small one.
    made_ = RunCommand(Bin("roadeye-mkcard") + " " + cardDir_ +
                       " --seconds 3 --count 1 --kinds REC,EVENT --rear mixed");
    converted_ = RunCommand(Bin("roadeye-convert") + " " + cardDir_ + " " + outDir_);
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  static std::vector<std::string> Avis() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(outDir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  static testcard::CardDir* root_;
  static std::string cardDir_, outDir_;
  static CommandRun made_, converted_;
};

testcard::CardDir* ConvertCommandTest::root_ = nullptr;
std::string ConvertCommandTest::cardDir_, ConvertCommandTest::outDir_;
CommandRun ConvertCommandTest::made_, ConvertCommandTest::converted_;

TEST_F(ConvertCommandTest, EveryRecordingReadsBackWithTheSamePackets) {
  ASSERT_EQ(made_.status, 0) << made_.out;
  ASSERT_EQ(converted_.status, 0) << converted_.out;
  auto avis = Avis();
  ASSERT_GE(avis.size(), 4u) << converted_.out;
  EXPECT_NE(converted_.out.find(std::to_string(avis.size()) + " converted, 0 failed"),
            std::string::npos)
      << converted_.out;
  for (const std::string& name : avis) {
    bool two = false;
    auto want = FromCard(cardDir_, name, &two);
    ASSERT_FALSE(want.empty()) << name;
    EXPECT_TRUE(ReadAvi(outDir_ + "/" + name) == want) << name;
    EXPECT_EQ(two, name.find("_D.") != std::string::npos) << name;
  }
}

TEST_F(ConvertCommandTest, OutsideReadersAgreeOnStreamsSizesAndFrameCounts) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  ASSERT_EQ(converted_.status, 0) << converted_.out;
  int checkedTwo = 0, checkedOne = 0;
  for (const std::string& name : Avis()) {
    std::string path = outDir_ + "/" + name;
    bool two = name.find("_D.") != std::string::npos;
    CommandRun probe = RunCommand(
        "ffprobe -v error -count_frames -show_entries "
        "stream=codec_type,codec_name,width,height,r_frame_rate,sample_rate,channels,"
        "bits_per_sample,nb_read_frames -of compact=p=0:nk=1 '" +
        path + "'");
    ASSERT_EQ(probe.status, 0) << probe.out;
    // The layout always carries the (empty) telemetry stream list, which ffprobe shows as a
    // subtitle stream of unknown codec; the pictures and sound are the streams that matter.
    std::vector<std::string> lines;
    int textStreams = 0;
    for (const std::string& line : Lines(probe.out)) {
      if (line.find("|subtitle|") != std::string::npos) {
        ++textStreams;
      } else {
        lines.push_back(line);
      }
    }
    EXPECT_EQ(textStreams, 1) << probe.out;
    bool wanted = false;
    auto fromCard = FromCard(cardDir_, name, &wanted);
    int fronts = 0, rears = 0;
    for (const AviPacket& p : fromCard) {
      fronts += p.tag == "00dc";
      rears += p.tag == "01dc";
    }
    if (two) {
      ASSERT_EQ(lines.size(), 3u) << probe.out;
      EXPECT_EQ(lines[0], "h264|video|1280|720|30/1|" + std::to_string(fronts)) << name;
      EXPECT_EQ(lines[1], "h264|video|640|360|30/1|" + std::to_string(rears)) << name;
      EXPECT_EQ(lines[2].rfind("pcm_s16le|audio|8000|1|16", 0), 0u) << lines[2];
      ++checkedTwo;
    } else {
      ASSERT_EQ(lines.size(), 2u) << probe.out;
      EXPECT_EQ(lines[0], "h264|video|1280|720|30/1|" + std::to_string(fronts)) << name;
      EXPECT_EQ(lines[1].rfind("pcm_s16le|audio|8000|1|16", 0), 0u) << lines[1];
      ++checkedOne;
    }
    // Every stream mapped; the empty telemetry stream is copied, since ffmpeg has no encoder to
    // re-encode a stream of unknown codec into the null output.
    CommandRun decode =
        RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -map 0 -c:s copy -f null -");
    EXPECT_EQ(decode.status, 0) << name;
    EXPECT_EQ(decode.out, "") << name;
  }
  EXPECT_GT(checkedTwo, 0);
  EXPECT_GT(checkedOne, 0);
}

// The sound stream says how long it is in its header (ffprobe's nb_frames: samples of the
// stream's time base). That must be the sound the file holds: each of the card's sound packets is
// 240 ms, 1,920 samples at 8000 Hz, and ffprobe's own packets of the stream end at the same
// sample.
TEST_F(ConvertCommandTest, SoundStreamLengthIsTheSoundItHolds) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  ASSERT_EQ(converted_.status, 0) << converted_.out;
  int checked = 0;
  for (const std::string& name : Avis()) {
    SCOPED_TRACE(name);
    const std::string path = outDir_ + "/" + name;
    bool two = false;
    long long soundPackets = 0, soundBytes = 0;
    for (const AviPacket& p : FromCard(cardDir_, name, &two)) {
      if (p.tag == "01wb" || p.tag == "02wb") {
        ++soundPackets;
        soundBytes += static_cast<long long>(p.payload.size());
      }
    }
    ASSERT_GT(soundPackets, 0);
    ASSERT_EQ(soundBytes, soundPackets * 3840);
    const long long samples = soundBytes / 2;

    CommandRun stream = RunCommand(
        "ffprobe -v error -select_streams a -show_entries stream=sample_rate,time_base,nb_frames "
        "-of default=nw=1 '" +
        path + "'");
    ASSERT_EQ(stream.status, 0) << stream.out;
    int rate = 0, tbNum = 0, tbDen = 0;
    long long frames = -1;
    for (const std::string& line : Lines(stream.out)) {
      std::sscanf(line.c_str(), "sample_rate=%d", &rate);
      std::sscanf(line.c_str(), "time_base=%d/%d", &tbNum, &tbDen);
      std::sscanf(line.c_str(), "nb_frames=%lld", &frames);
    }
    ASSERT_EQ(rate, 8000) << stream.out;
    ASSERT_EQ(tbNum, 1) << stream.out;
    ASSERT_EQ(tbDen, rate) << stream.out;
    EXPECT_EQ(frames, samples);
    // nb_frames in the time base is the stream's claimed duration: 0.24 s per sound packet, to
    // the sample.
    const double claimed = double(frames) * tbNum / tbDen;
    EXPECT_NEAR(claimed, 0.24 * double(soundPackets), 1.0 / rate);

    // Where ffprobe's packets of the stream end, in the same time base.
    CommandRun packets = RunCommand(
        "ffprobe -v error -select_streams a -show_entries packet=pts,duration -of csv=p=0 '" +
        path + "'");
    ASSERT_EQ(packets.status, 0) << packets.out;
    long long end = 0;
    for (const std::string& line : Lines(packets.out)) {
      long long pts = 0, duration = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "%lld,%lld", &pts, &duration), 2) << line;
      end = std::max(end, pts + duration);
    }
    EXPECT_EQ(end, samples);
    ++checked;
  }
  EXPECT_GE(checked, 4);
}

TEST_F(ConvertCommandTest, BadNamesAndUnwritableFoldersAreRefused) {
  ASSERT_EQ(made_.status, 0) << made_.out;
  CommandRun bad = RunCommand(Bin("roadeye-convert") + " " + cardDir_ + " " + outDir_ +
                              " ../escape.avi REC_20990101_000000.avi");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("not a plain recording name"), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find("cannot be opened"), std::string::npos) << bad.out;
  EXPECT_FALSE(fs::exists(root_->root() + "/escape.avi"));

  std::string blocker = root_->root() + "/a-file";
  std::ofstream(blocker) << "x";
  CommandRun unwritable =
      RunCommand(Bin("roadeye-convert") + " " + cardDir_ + " " + blocker + "/sub");
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_NE(unwritable.out.find("cannot create"), std::string::npos) << unwritable.out;

  CommandRun notCard = RunCommand(Bin("roadeye-convert") + " " + outDir_ + " " + outDir_);
  EXPECT_EQ(notCard.status, 2);
}

// ---- A card whose recordings are named in lower case ----

namespace {

// The picture streams of an AVI file as ffprobe decodes them, one "codec|width|height|pictures"
// line each, in stream order.
std::vector<std::string> ProbedPictureStreams(const std::string& path) {
  CommandRun probe = RunCommand(
      "ffprobe -v error -count_frames -select_streams v -show_entries "
      "stream=codec_name,width,height,nb_read_frames -of compact=p=0:nk=1 '" +
      path + "'");
  if (probe.status != 0) return {"ffprobe failed: " + probe.out};
  return Lines(probe.out);
}

// A card made by the card tool whose recordings were then renamed to lower case
// ("event_20240612_081519_d.vex"), as a card written or copied elsewhere may have them.
class LowerCaseCard : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new testcard::CardDir();
    cardDir_ = root_->root() + "/card";
    made_ = RunCommand(Bin("roadeye-mkcard") + " " + cardDir_ +
                       " --seconds 2 --count 1 --rear yes --no-damaged");
    renamed_ = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(cardDir_ + "/VEX", ec)) {
      std::string lower = e.path().filename();
      for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
      fs::rename(e.path(), e.path().parent_path() / lower, ec);
      if (!ec) ++renamed_;
    }
  }
  static void TearDownTestSuite() {
    delete root_;
    root_ = nullptr;
  }
  // The card's recording whose name starts with `word`, as the card lists it ("....avi"); empty
  // when there is none.
  static std::string Listed(const std::string& word) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(cardDir_ + "/VEX", ec)) {
      std::string name = e.path().filename();
      if (name.rfind(word + "_", 0) == 0) return name.substr(0, name.size() - 4) + ".avi";
    }
    return {};
  }

  static testcard::CardDir* root_;
  static std::string cardDir_;
  static CommandRun made_;
  static int renamed_;
};

testcard::CardDir* LowerCaseCard::root_ = nullptr;
std::string LowerCaseCard::cardDir_;
CommandRun LowerCaseCard::made_;
int LowerCaseCard::renamed_ = 0;

class LowerCaseKind : public LowerCaseCard, public testing::WithParamInterface<const char*> {};

}  // namespace

TEST_P(LowerCaseKind, OpensThroughTheParserWithBothCameras) {
  ASSERT_EQ(made_.status, 0) << made_.out;
  ASSERT_EQ(renamed_, 4);
  const std::string name = Listed(GetParam());
  ASSERT_FALSE(name.empty()) << GetParam();
  Card c(cardDir_);
  QuietDiagnostics quiet;
  RecordingInfo info;
  ASSERT_NE(c.parser.Open(("/" + name).c_str(), &info), 0) << name;
  EXPECT_EQ(info.rearFrameRate, 30);
  EXPECT_EQ(info.frontFrameCount, 60);
  EXPECT_EQ(info.rearFrameCount, 60);
  int fronts = 0, rears = 0, sounds = 0;
  std::vector<unsigned char> buf(kPacketBufferSize);
  for (int i = 0; i < 100000; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (c.parser.ReadPacket(tag, buf.data(), &size) < 0) break;
    ChunkKind k = ClassifyChunkTag(tag);
    fronts += k == ChunkKind::kFrontVideo;
    rears += k == ChunkKind::kRearVideo;
    sounds += k == ChunkKind::kAudio;
  }
  EXPECT_EQ(fronts, 60) << name;
  EXPECT_EQ(rears, 60) << name;
  EXPECT_GT(sounds, 0) << name;
}

TEST_P(LowerCaseKind, ConvertsWithTheRearStream) {
  ASSERT_EQ(made_.status, 0) << made_.out;
  const std::string name = Listed(GetParam());
  ASSERT_FALSE(name.empty()) << GetParam();
  testcard::CardDir out;
  const std::string dest = out.root() + "/" + name;
  {
    Card c(cardDir_);
    QuietDiagnostics quiet;
    ASSERT_EQ(ConvertRecording(&c.parser, name.c_str(), dest.c_str(), nullptr, nullptr),
              kConvertDone);
  }
  int fronts = 0, rears = 0;
  for (const AviPacket& p : ReadAvi(dest)) {
    fronts += p.tag == "00dc";
    rears += p.tag == "01dc";
  }
  EXPECT_EQ(fronts, 60);
  EXPECT_EQ(rears, 60);
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  EXPECT_EQ(ProbedPictureStreams(dest),
            (std::vector<std::string>{"h264|1280|720|60", "h264|640|360|60"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, LowerCaseKind,
                         testing::Values("rec", "event", "parking", "manual"));

TEST_F(LowerCaseCard, CommandLineConverterConvertsEveryRecordingWithBothCameras) {
  ASSERT_EQ(made_.status, 0) << made_.out;
  const std::string outDir = root_->root() + "/out";
  CommandRun run = RunCommand(Bin("roadeye-convert") + " " + cardDir_ + " " + outDir);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("4 converted, 0 failed"), std::string::npos) << run.out;
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(outDir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{Listed("event"), Listed("manual"), Listed("parking"),
                                             Listed("rec")}));
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffprobe/ffmpeg not installed";
  for (const std::string& name : names) {
    EXPECT_EQ(ProbedPictureStreams(outDir + "/" + name),
              (std::vector<std::string>{"h264|1280|720|60", "h264|640|360|60"}))
        << name;
  }
}
