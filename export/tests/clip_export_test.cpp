// SPDX-License-Identifier: GPL-3.0-or-later
// Evidence clips (export/ClipExport.h) from cards written by roadeye-mkcard, checked by outside
// readers: ffprobe counts the AVI file's packets, which must be those of the span's blocks as the
// card library delivers them (and, for a whole recording, as roadeye-vexdump counts them); ffmpeg
// decodes it without a word; `sha256sum -c` accepts the checksum list and notices one changed
// byte; gpsbabel reads the GPX file's points, whose times lie inside the span. Then what must leave
// nothing behind: spans that are not a part of the recording, a stop, a full disk. Last, the same
// through `roadeye-convert --from --to`.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "export/ClipExport.h"
#include "export/FileDigest.h"
#include "media/CAVIExtractor.h"
#include "media/CAVIWriter.h"
#include "media/CVEXParser.h"
#include "media/testing/FaultyFile.h"
#include "support/CivilDate.h"
#include "support/Diag.h"
#include "support/testing/Command.h"
#include "support/testing/SmallFolder.h"
#include "support/testing/TempDir.h"
#include "vexlib/vexlib.h"

namespace {

namespace fs = std::filesystem;

using roadeye_test::BinDir;
using roadeye_test::HaveProgram;
using roadeye_test::Quote;
using Ran = roadeye_test::CommandResult;

Ran Shell(const std::string& command) { return roadeye_test::RunCommand(command, true); }

// The card: one 25 s two-camera EVENT recording, the card tool's 2 s one and its recording cut
// short by a power loss in its 17th block (16 whole blocks and the pictures of the last that made
// it to the card).
const char* const kFull = "EVENT_20240612_081500_D.avi";
const char* const kCut = "EVENT_20240612_081527_D.avi";

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What a span of blocks holds.
struct Counts {
  long long front = 0, rear = 0, soundPackets = 0, soundBytes = 0;
  Counts& operator+=(const Counts& o) {
    front += o.front;
    rear += o.rear;
    soundPackets += o.soundPackets;
    soundBytes += o.soundBytes;
    return *this;
  }
  bool operator==(const Counts&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Counts& c) {
  return out << "{front " << c.front << ", rear " << c.rear << ", sound " << c.soundPackets
             << " packets / " << c.soundBytes << " bytes}";
}

// The card library's packets of a recording by block: a block starts with its front picture
// number 30k (the blocks as the file holds them; the first also takes anything before its first
// picture).
std::vector<Counts> CountBlocks(const std::string& card, const std::string& name) {
  std::vector<Counts> blocks(1);
  VexLibrary lib;
  VexInitialise(lib.get(), card.c_str());
  char drive = 0;
  VexCardPoll(lib.get(), &drive);
  VexCardAttach(lib.get());
  const int id = VexSelectByName(lib.get(), kVexEvent, name.c_str());
  if (id < 0 || VexOpenStream(lib.get(), kVexEvent, 0, id) != 1) {
    ADD_FAILURE() << "the library cannot stream " << name;
    return {};
  }
  std::vector<std::uint8_t> buffer(kPacketBufferSize);
  long long pictures = 0;
  for (int notYet = 0; notYet < 10000;) {
    std::uint8_t channel = 0, type = 0, flags = 0;
    int size = int(buffer.size());
    std::int32_t time = 0;
    const int s = VexReadPacket(lib.get(), &channel, &type, &flags, &size, buffer.data(), &time);
    if (s == kVexReadNotYet) {
      ++notYet;
      continue;
    }
    if (s != kVexReadOk) break;
    if ((type == 0 || type == 2) && channel == 0) {
      if (pictures > 0 && pictures % kBlockPictures == 0) blocks.emplace_back();
      ++pictures;
      ++blocks.back().front;
    } else if (type == 0 || type == 2) {
      ++blocks.back().rear;
    } else if (type == 1) {
      ++blocks.back().soundPackets;
      blocks.back().soundBytes += size;
    }
  }
  return blocks;
}

Counts SumBlocks(const std::vector<Counts>& blocks, int first, int count) {
  Counts sum;
  for (int b = first; b < first + count && b < int(blocks.size()); ++b) sum += blocks[b];
  return sum;
}

// The AVI file's pictures and sound bytes as ffprobe reads them (stream 0 front, 1 rear, then the
// sound); its sound packets are left 0, since ffprobe cuts PCM chunks into packets of its own.
Counts ProbeAvi(const std::string& avi) {
  Counts c;
  const Ran streams = Shell(
      "ffprobe -v error -count_packets -show_entries stream=index,codec_type,nb_read_packets "
      "-of csv=p=0 " +
      Quote(avi));
  EXPECT_EQ(streams.exitCode, 0) << streams.out;
  std::istringstream lines(streams.out);
  for (std::string line; std::getline(lines, line);) {
    int index = -1;
    char type[16] = {};
    long long n = 0;
    if (std::sscanf(line.c_str(), "%d,%15[a-z],%lld", &index, type, &n) != 3) continue;
    if (std::strcmp(type, "video") == 0) (index == 0 ? c.front : c.rear) = n;
  }
  const Ran sizes = Shell(
      "ffprobe -v error -select_streams a -show_entries packet=size -of csv=p=0 " + Quote(avi));
  std::istringstream sizeLines(sizes.out);
  for (std::string line; std::getline(sizeLines, line);) {
    if (!line.empty()) c.soundBytes += std::stoll(line);
  }
  return c;
}

// The same counts with the sound packets left out, as ProbeAvi gives them.
Counts WithoutSoundPackets(Counts c) {
  c.soundPackets = 0;
  return c;
}

// The AVI file's chunks by stream, as the viewer's own AVI reader walks them.
Counts ExtractAvi(const std::string& avi) {
  Counts c;
  CAVIExtractor reader;
  if (reader.Open(avi.c_str(), nullptr) == 0) {
    ADD_FAILURE() << "the AVI reader cannot open " << avi;
    return c;
  }
  std::vector<unsigned char> buffer(kPacketBufferSize);
  for (int chunks = 0; chunks < 1000000; ++chunks) {
    char tag[8] = {};
    int size = int(buffer.size());
    if (reader.ReadPacket(tag, buffer.data(), &size) < 0) break;
    const std::string t(tag, strnlen(tag, 4));
    if (t == "00dc") {
      ++c.front;
    } else if (t == "01dc") {
      ++c.rear;
    } else if (t == "02wb") {
      ++c.soundPackets;
      c.soundBytes += size;
    }
  }
  reader.Close();
  return c;
}

// The counts roadeye-vexdump gives for a whole recording.
Counts VexdumpCounts(const std::string& card, const std::string& name, const std::string& out) {
  const Ran r = Shell(Quote(BinDir() + "/roadeye-vexdump") + " " + Quote(card) + " " + Quote(name) +
                      " " + Quote(out));
  EXPECT_EQ(r.exitCode, 0) << r.out;
  Counts c;
  std::smatch m;
  if (std::regex_search(r.out, m, std::regex(R"(front\.h264\s+(\d+) pictures)")))
    c.front = std::stoll(m[1]);
  if (std::regex_search(r.out, m, std::regex(R"(rear\.h264\s+(\d+) pictures)")))
    c.rear = std::stoll(m[1]);
  if (std::regex_search(r.out, m, std::regex(R"(audio\.s16le\s+(\d+) packets, (\d+) bytes)"))) {
    c.soundPackets = std::stoll(m[1]);
    c.soundBytes = std::stoll(m[2]);
  }
  return c;
}

// The UTC times (seconds since 1970) of the track points gpsbabel reads from a GPX file.
std::vector<std::int64_t> GpxTimes(const std::string& gpx) {
  const Ran r = Shell("TZ=UTC gpsbabel -t -i gpx -f " + Quote(gpx) + " -o unicsv -F -");
  EXPECT_EQ(r.exitCode, 0) << r.out;
  std::vector<std::int64_t> times;
  std::istringstream lines(r.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_NE(line.find("Date,Time"), std::string::npos) << line;
  while (std::getline(lines, line)) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const std::size_t at = line.find(",20");
    if (at == std::string::npos ||
        std::sscanf(line.c_str() + at, ",%d/%d/%d,%d:%d:%d", &y, &mo, &d, &h, &mi, &s) != 6) {
      ADD_FAILURE() << "no date and time in " << line;
      continue;
    }
    times.push_back(DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s);
  }
  return times;
}

// The camera clock of a name (KIND_YYYYMMDD_HHMMSS...) in seconds since 1970.
std::int64_t NameClock(const std::string& name) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const std::size_t at = name.find('_');
  std::sscanf(name.c_str() + at, "_%4d%2d%2d_%2d%2d%2d", &y, &mo, &d, &h, &mi, &s);
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

// The card library and a started parser on a card, as the window and the converter use them.
struct Reader {
  explicit Reader(const std::string& card) {
    VexInitialise(lib.get(), card.c_str());
    char drive = 0;
    VexCardPoll(lib.get(), &drive);
    VexCardAttach(lib.get());
    parser.SetLibraryHandle(lib.get());
    parser.Start();
  }
  ~Reader() { parser.Stop(); }
  VexLibrary lib;
  CVEXParser parser;
};

class ClipTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DiagSetOutput(nullptr);
    dir_ = new roadeye_test::TempDir("clip");
    made_ = new Ran(Shell(Quote(BinDir() + "/roadeye-mkcard") + " " + Quote(Card()) +
                          " --seconds 25 --count 1 --kinds EVENT --rear yes --front 320x180"
                          " --rear-size 160x96"));
  }
  static void TearDownTestSuite() {
    delete made_;
    delete dir_;
    DiagSetOutput(stdout);
  }
  void SetUp() override {
    ASSERT_EQ(made_->exitCode, 0) << made_->out;
    out_ = std::make_unique<roadeye_test::TempDir>("clip-out");
  }

  static std::string Card() { return dir_->str() + "/card"; }
  std::string Out() const { return out_->str(); }

  ClipOutcome Export(const std::string& name, int fromMs, int toMs,
                     ConvertProgressFn progress = nullptr, void* arg = nullptr,
                     std::atomic<int>* busy = nullptr, const std::string& folder = "",
                     std::vector<std::string> following = {}) {
    Reader reader(Card());
    ClipRequest request;
    request.name = name;
    request.fromMs = fromMs;
    request.toMs = toMs;
    request.folder = folder.empty() ? Out() : folder;
    request.following = std::move(following);
    return ExportClip(&reader.parser, reader.lib.get(), request, progress, arg, busy);
  }

  static roadeye_test::TempDir* dir_;
  static Ran* made_;
  std::unique_ptr<roadeye_test::TempDir> out_;
};

roadeye_test::TempDir* ClipTest::dir_ = nullptr;
Ran* ClipTest::made_ = nullptr;

bool HaveReaders() {
  return HaveProgram("ffprobe") && HaveProgram("ffmpeg") && HaveProgram("gpsbabel") &&
         HaveProgram("sha256sum");
}

// ---- Spans cut to whole blocks, without a card ----

struct SpanCase {
  const char* label;
  int fromMs, toMs, rate, pictures;
  bool ok;
  int firstBlock, blocks, startMs, endMs;
};

class SpanOf : public ::testing::TestWithParam<SpanCase> {};

TEST_P(SpanOf, RoundsOutToWholeBlocksAndClampsToTheRecording) {
  const SpanCase& c = GetParam();
  ClipSpan span;
  ASSERT_EQ(ClipSpanOf(c.fromMs, c.toMs, c.rate, c.pictures, &span), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(span.firstBlock, c.firstBlock);
  EXPECT_EQ(span.blocks, c.blocks);
  EXPECT_EQ(span.startMs, c.startMs);
  EXPECT_EQ(span.endMs, c.endMs);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, SpanOf,
    ::testing::Values(
        SpanCase{"InsideBlocks", 12300, 21700, 30, 750, true, 12, 10, 12000, 22000},
        SpanCase{"OnBlockBoundaries", 12000, 22000, 30, 750, true, 12, 10, 12000, 22000},
        SpanCase{"EndOneMsPastABoundary", 12000, 22001, 30, 750, true, 12, 11, 12000, 23000},
        SpanCase{"StartOneMsBeforeABoundary", 11999, 12001, 30, 750, true, 11, 2, 11000, 13000},
        SpanCase{"OneMsAtTheStart", 0, 1, 30, 750, true, 0, 1, 0, 1000},
        SpanCase{"ToPastTheEnd", 20000, 999000, 30, 750, true, 20, 5, 20000, 25000},
        SpanCase{"InTheLastShortBlock", 16100, 16200, 30, 495, true, 16, 1, 16000, 16500},
        SpanCase{"WholeShortRecording", 0, 60000, 30, 495, true, 0, 17, 0, 16500},
        SpanCase{"FifteenFpsBlocksLastTwoSeconds", 3000, 5000, 15, 300, true, 1, 2, 2000, 6000},
        SpanCase{"TwentyFiveFpsBlocksLast1200Ms", 1200, 2400, 25, 250, true, 1, 1, 1200, 2400},
        SpanCase{"NegativeStart", -1, 1000, 30, 750, false, 0, 0, 0, 0},
        SpanCase{"EmptySpan", 5000, 5000, 30, 750, false, 0, 0, 0, 0},
        SpanCase{"EndBeforeStart", 5000, 4000, 30, 750, false, 0, 0, 0, 0},
        SpanCase{"StartAtTheEnd", 25000, 26000, 30, 750, false, 0, 0, 0, 0},
        SpanCase{"StartPastTheEnd", 90000, 99000, 30, 750, false, 0, 0, 0, 0},
        SpanCase{"StartInTheLastBlockPastTheEnd", 16200, 17000, 30, 485, false, 0, 0, 0, 0},
        SpanCase{"NoPictures", 0, 1000, 30, 0, false, 0, 0, 0, 0},
        SpanCase{"NoRate", 0, 1000, 0, 750, false, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Checksums ----

TEST(FileDigest, AgreesWithSha256sumAcrossChunkBoundariesAndOnOddNames) {
  if (!HaveProgram("sha256sum")) GTEST_SKIP() << "sha256sum is not installed (coreutils)";
  roadeye_test::TempDir dir("digest");
  // Sizes around the reader's 256 KiB chunks, and names sha256sum has to escape.
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"empty", 0},           {"one", 1},
      {"chunk", 262144},      {"chunk and one", 262145},
      {"back\\slash", 70001}, {"line\nbreak", 600000}};
  std::string list;
  for (const auto& [name, size] : files) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = char((i * 7919 + size) % 251);
    std::ofstream(dir / name, std::ios::binary) << bytes;
    std::string hex;
    ASSERT_EQ(Sha256OfFile(dir / name, &hex), DigestResult::kOk) << name;
    EXPECT_EQ(hex, Sha256OfText(bytes)) << name;
    list += Sha256ListLine(hex, name);
  }
  // The empty input's digest is the well-known one.
  EXPECT_EQ(Sha256OfText(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::ofstream(dir / "list.sha256", std::ios::binary) << list;
  const Ran check = Shell("cd " + Quote(dir.str()) + " && sha256sum -c --strict list.sha256");
  EXPECT_EQ(check.exitCode, 0) << check.out << "\n" << list;

  std::string hex;
  int error = 0;
  EXPECT_EQ(Sha256OfFile(dir / "missing", &hex, nullptr, &error), DigestResult::kReadFailed);
  EXPECT_EQ(error, ENOENT);
  std::atomic<int> busy{0};
  EXPECT_EQ(Sha256OfFile(dir / "chunk", &hex, &busy), DigestResult::kStopped);
}

// ---- Clips of real recordings ----

struct ClipCase {
  const char* label;
  const char* name;
  int fromMs, toMs;
  int firstBlock, blocks;
  const char* stemTail;  // the span's part of the files' names
  // The camera's clock at the span's start and end as the text gives them; null: not checked.
  const char* clockStart;
  const char* clockEnd;
};

class ClipSpans : public ClipTest, public ::testing::WithParamInterface<ClipCase> {};

TEST_P(ClipSpans, HoldTheSpansBlocksAndCheckOutWithOutsideReaders) {
  if (!HaveReaders()) GTEST_SKIP() << "ffmpeg, gpsbabel or sha256sum is not installed";
  const ClipCase& c = GetParam();
  const ClipOutcome o = Export(c.name, c.fromMs, c.toMs);
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  EXPECT_EQ(o.span.firstBlock, c.firstBlock);
  EXPECT_EQ(o.span.blocks, c.blocks);
  const std::string stem = std::string(c.name).substr(0, std::strlen(c.name) - 4) + c.stemTail;
  EXPECT_EQ(o.stem, stem);
  const std::vector<std::string> expected = {stem + ".avi", stem + ".gpx", stem + ".sha256",
                                             stem + ".txt"};
  ASSERT_EQ(FolderNames(Out()), expected);
  ASSERT_EQ(o.files.size(), 4u);
  EXPECT_EQ(o.files[0], Out() + "/" + stem + ".avi");
  EXPECT_EQ(o.files[3], Out() + "/" + stem + ".sha256");

  // The pictures and sound of exactly the span's blocks.
  const std::vector<Counts> blocks = CountBlocks(Card(), c.name);
  ASSERT_GE(int(blocks.size()), c.firstBlock + c.blocks);
  const Counts want = SumBlocks(blocks, c.firstBlock, c.blocks);
  // The span ends with the last block's last picture.
  EXPECT_EQ(o.span.startMs, c.firstBlock * 1000);
  EXPECT_EQ(o.span.endMs, (c.firstBlock * kBlockPictures + want.front) * 1000 / 30);
  EXPECT_GT(want.rear, 0);
  if (want.front >= kBlockPictures) {
    EXPECT_GT(want.soundPackets, 0);
  }
  const std::string avi = Out() + "/" + stem + ".avi";
  EXPECT_EQ(ExtractAvi(avi), want);
  EXPECT_EQ(ProbeAvi(avi), WithoutSoundPackets(want));
  const Ran decode = Shell("ffmpeg -nostdin -v error -i " + Quote(avi) + " -f null -");
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.out, "");

  // The checksum list checks the three files and the recording on the card.
  const Ran check =
      Shell("cd " + Quote(Out()) + " && sha256sum -c --strict " + Quote(stem + ".sha256"));
  EXPECT_EQ(check.exitCode, 0) << check.out;
  const std::string source =
      fs::absolute(Card() + "/VEX/" + std::string(c.name).substr(0, std::strlen(c.name) - 4) +
                   ".vex")
          .lexically_normal();
  EXPECT_NE(check.out.find(source + ": OK"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find(stem + ".avi: OK"), std::string::npos) << check.out;

  // The track's points lie in the span: the camera's clock is UTC + 9 h.
  const std::int64_t clock = NameClock(c.name) - 9 * 3600;
  const std::vector<std::int64_t> times = GpxTimes(Out() + "/" + stem + ".gpx");
  EXPECT_EQ(int(times.size()), o.gpsPoints);
  EXPECT_GE(int(times.size()), (o.span.endMs - o.span.startMs) / 1000 - 1);
  for (std::int64_t t : times) {
    EXPECT_GE(t, clock + o.span.startMs / 1000);
    EXPECT_LT(t, clock + (o.span.endMs + 999) / 1000);
  }

  // The text says what the clip is.
  const std::string text = Contents(Out() + "/" + stem + ".txt");
  EXPECT_NE(text.find(std::string("Recording:     ") + c.name), std::string::npos) << text;
  if (c.clockStart) {
    EXPECT_NE(text.find(std::string("Camera clock:  ") + c.clockStart + " - " + c.clockEnd),
              std::string::npos)
        << text;
  }
  EXPECT_NE(text.find(source + " (" + std::to_string(fs::file_size(source)) + " bytes)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Viewer:        Roadeye "), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Clips, ClipSpans,
    ::testing::Values(ClipCase{"InsideBlocks", kFull, 12300, 21700, 12, 10, "_0012-0022",
                               "2024-06-12 08:15:12.0", "2024-06-12 08:15:22.0"},
                      ClipCase{"OnBlockBoundaries", kFull, 12000, 22000, 12, 10, "_0012-0022",
                               "2024-06-12 08:15:12.0", "2024-06-12 08:15:22.0"},
                      ClipCase{"FromTheStart", kFull, 0, 2500, 0, 3, "_0000-0003",
                               "2024-06-12 08:15:00.0", "2024-06-12 08:15:03.0"},
                      ClipCase{"ToPastTheEnd", kFull, 20000, 600000, 20, 5, "_0020-0025",
                               "2024-06-12 08:15:20.0", "2024-06-12 08:15:25.0"},
                      ClipCase{"LastShortBlockOfARecordingCutShort", kCut, 16000, 16050, 16, 1,
                               "_0016-0017", nullptr, nullptr},
                      ClipCase{"MiddleOfARecordingCutShort", kCut, 5000, 9000, 5, 4, "_0005-0009",
                               "2024-06-12 08:15:32.0", "2024-06-12 08:15:36.0"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ClipTest, AWholeRecordingsClipHoldsWhatVexdumpReads) {
  if (!HaveReaders()) GTEST_SKIP() << "ffmpeg, gpsbabel or sha256sum is not installed";
  for (const char* name : {kFull, kCut}) {
    SCOPED_TRACE(name);
    const ClipOutcome o = Export(name, 0, 3600000);
    ASSERT_EQ(o.result, kClipDone) << o.reason;
    const Counts dumped = VexdumpCounts(Card(), name, Out() + "/dump");
    EXPECT_GT(dumped.front, 0);
    EXPECT_EQ(ExtractAvi(o.files[0]), dumped);
    EXPECT_EQ(ProbeAvi(o.files[0]), WithoutSoundPackets(dumped));
    const std::vector<Counts> blocks = CountBlocks(Card(), name);
    EXPECT_EQ(SumBlocks(blocks, 0, int(blocks.size())), dumped);
  }
}

TEST_F(ClipTest, OneChangedByteOfTheAviFailsTheCheck) {
  if (!HaveProgram("sha256sum")) GTEST_SKIP() << "sha256sum is not installed";
  const ClipOutcome o = Export(kFull, 3000, 5000);
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  const std::string list = o.stem + ".sha256";
  ASSERT_EQ(Shell("cd " + Quote(Out()) + " && sha256sum -c " + Quote(list)).exitCode, 0);
  {
    std::fstream f(o.files[0], std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(5000);
    char byte = 0;
    f.get(byte);
    f.seekp(5000);
    f.put(char(byte ^ 0x01));
  }
  const Ran check = Shell("cd " + Quote(Out()) + " && sha256sum -c " + Quote(list));
  EXPECT_NE(check.exitCode, 0);
  EXPECT_NE(check.out.find(o.stem + ".avi: FAILED"), std::string::npos) << check.out;
  EXPECT_NE(check.out.find(o.stem + ".gpx: OK"), std::string::npos) << check.out;
}

TEST_F(ClipTest, ExportingTheSameSpanAgainReplacesItsFilesAndLeavesNoOthers) {
  const ClipOutcome first = Export(kFull, 3000, 5000);
  ASSERT_EQ(first.result, kClipDone) << first.reason;
  std::ofstream(first.files[2], std::ios::app) << "changed by hand\n";
  const ClipOutcome second = Export(kFull, 3500, 4500);
  ASSERT_EQ(second.result, kClipDone) << second.reason;
  EXPECT_EQ(second.files, first.files);
  EXPECT_EQ(FolderNames(Out()).size(), 4u);
  EXPECT_EQ(Contents(second.files[2]).find("changed by hand"), std::string::npos);
  if (HaveProgram("sha256sum")) {
    EXPECT_EQ(
        Shell("cd " + Quote(Out()) + " && sha256sum -c " + Quote(second.stem + ".sha256")).exitCode,
        0);
  }
}

// ---- What writes nothing ----

struct Refusal {
  const char* label;
  const char* name;
  int fromMs, toMs;
  ClipResult result;
};

class Refused : public ClipTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refused, WritesNothingAndSaysWhy) {
  const Refusal& c = GetParam();
  const ClipOutcome o = Export(c.name, c.fromMs, c.toMs);
  EXPECT_EQ(o.result, c.result) << o.reason;
  EXPECT_EQ(o.reason, ClipResultText(c.result));
  EXPECT_TRUE(o.files.empty());
  EXPECT_EQ(FolderNames(Out()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Spans, Refused,
    ::testing::Values(
        Refusal{"NegativeStart", kFull, -1000, 3000, kClipBadSpan},
        Refusal{"EmptySpan", kFull, 4000, 4000, kClipBadSpan},
        Refusal{"EndBeforeStart", kFull, 9000, 3000, kClipBadSpan},
        Refusal{"StartAtTheEnd", kFull, 25000, 30000, kClipBadSpan},
        Refusal{"StartPastTheEndOfACutRecording", kCut, 16500, 20000, kClipBadSpan},
        Refusal{"NotOnTheCard", "EVENT_20240612_091500_D.avi", 0, 3000, kClipNoRecording},
        Refusal{"PathInTheName", "../EVENT_20240612_081500_D.avi", 0, 3000, kClipBadName},
        Refusal{"NoSuchDate", "EVENT_20240631_081500_D.avi", 0, 3000, kClipBadName},
        Refusal{"NoTime", "EVENT_20240612.avi", 0, 3000, kClipBadName},
        Refusal{"Empty", "", 0, 3000, kClipBadName}),
    [](const auto& info) { return std::string(info.param.label); });

struct StopAfter {
  int pictures = 0;
  int seen = 0;
  int total = -1;
};

bool StopAfterSome(void* arg, int index, int total) {
  auto* s = static_cast<StopAfter*>(arg);
  s->seen = index + 1;
  s->total = total;
  return index + 1 < s->pictures;
}

TEST_F(ClipTest, AStopLeavesNothingAndClearsTheRunFlag) {
  StopAfter stop{45};
  std::atomic<int> busy{1};
  const ClipOutcome o = Export(kFull, 6000, 9000, &StopAfterSome, &stop, &busy);
  EXPECT_EQ(o.result, kClipStopped);
  EXPECT_EQ(busy.load(), 0);
  EXPECT_EQ(stop.total, 90);  // the span's front pictures, not the recording's
  EXPECT_EQ(stop.seen, 45);
  EXPECT_EQ(FolderNames(Out()), std::vector<std::string>{});
}

TEST_F(ClipTest, ProgressCountsTheSpansPicturesAlone) {
  StopAfter all{1 << 30};
  const ClipOutcome o = Export(kCut, 15500, 40000, &StopAfterSome, &all, nullptr);
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  // From 15 s to the cut: a whole block and what the card holds of the half-written one.
  const std::vector<Counts> blocks = CountBlocks(Card(), kCut);
  ASSERT_EQ(blocks.size(), 17u);
  EXPECT_LT(blocks[16].front, kBlockPictures);
  EXPECT_EQ(all.total, kBlockPictures + blocks[16].front);
  EXPECT_EQ(all.seen, all.total);
}

// A trip's clip across a join: the end of one recording and the start of the next in one file,
// named on the timeline from the first one's start, with both recordings' tracks and sources.
TEST_F(ClipTest, ASpanAcrossAJoinIsOneFileOfBothRecordingsBlocks) {
  if (!HaveReaders()) GTEST_SKIP() << "ffmpeg, gpsbabel or sha256sum is not installed";
  StopAfter all{1 << 30};
  const ClipOutcome o = Export(kFull, 20300, 2500, &StopAfterSome, &all, nullptr, "", {kCut});
  ASSERT_EQ(o.result, kClipDone) << o.reason;
  const std::string stem = "EVENT_20240612_081500_D_0020-0028";
  EXPECT_EQ(o.stem, stem);
  EXPECT_EQ(o.span.startMs, 20000);
  EXPECT_EQ(o.span.endMs, 28000);
  EXPECT_EQ(o.span.blocks, 5 + 3);
  Counts want = SumBlocks(CountBlocks(Card(), kFull), 20, 5);
  want += SumBlocks(CountBlocks(Card(), kCut), 0, 3);
  EXPECT_EQ(all.total, want.front);
  EXPECT_EQ(all.seen, all.total);
  EXPECT_EQ(ExtractAvi(o.files[0]), want);
  EXPECT_EQ(ProbeAvi(o.files[0]), WithoutSoundPackets(want));
  const Ran decode = Shell("ffmpeg -nostdin -v error -i " + Quote(o.files[0]) + " -f null -");
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.out, "");

  const Ran check =
      Shell("cd " + Quote(Out()) + " && sha256sum -c --strict " + Quote(stem + ".sha256"));
  EXPECT_EQ(check.exitCode, 0) << check.out;
  const std::string text = Contents(o.files[2]);
  for (const char* name : {kFull, kCut}) {
    const std::string source =
        fs::absolute(Card() + "/VEX/" + std::string(name).substr(0, std::strlen(name) - 4) + ".vex")
            .lexically_normal();
    EXPECT_NE(check.out.find(source + ": OK"), std::string::npos) << check.out;
    EXPECT_NE(text.find(source + " ("), std::string::npos) << text;
  }
  EXPECT_NE(text.find(std::string("Then:          ") + kCut), std::string::npos) << text;
  EXPECT_NE(text.find("Camera clock:  2024-06-12 08:15:27.0 - 2024-06-12 08:15:30.0"),
            std::string::npos)
      << text;

  // Each recording's fixes of its own part, on its own clock (UTC + 9 h).
  const std::vector<std::int64_t> times = GpxTimes(o.files[1]);
  EXPECT_EQ(int(times.size()), o.gpsPoints);
  int inFirst = 0, inSecond = 0;
  for (std::int64_t t : times) {
    const std::int64_t first = t - (NameClock(kFull) - 9 * 3600);
    const std::int64_t second = t - (NameClock(kCut) - 9 * 3600);
    if (first >= 20 && first < 25) ++inFirst;
    if (second >= 0 && second < 3) ++inSecond;
  }
  EXPECT_GE(inFirst, 4);
  EXPECT_GE(inSecond, 2);
  EXPECT_EQ(inFirst + inSecond, int(times.size()));
}

TEST_F(ClipTest, AFullDiskUnderTheAviLeavesNothing) {
  for (std::int64_t space : {0, 4000, 60000}) {
    SCOPED_TRACE(space);
    roadeye_test::FullDiskFile full(space);
    ASSERT_TRUE(aviSetFileSystem(&full));
    const ClipOutcome o = Export(kFull, 3000, 8000);
    aviSetFileSystem(nullptr);
    EXPECT_EQ(o.result, kClipVideoFailed);
    EXPECT_EQ(o.systemError, ENOSPC);
    EXPECT_NE(o.reason.find(std::strerror(ENOSPC)), std::string::npos) << o.reason;
    EXPECT_EQ(FolderNames(Out()), std::vector<std::string>{});
  }
}

TEST_F(ClipTest, AFolderThatFillsUpHasTheWholeClipOrNothing) {
  // The clip of 3 s to 5 s takes some 80 kB; folders from too small for the AVI alone to large
  // enough, so that each of the files in turn is the one that does not fit.
  const ClipOutcome reference = Export(kFull, 3000, 5000);
  ASSERT_EQ(reference.result, kClipDone) << reference.reason;
  std::uintmax_t total = 0;
  for (const std::string& f : reference.files) total += fs::file_size(f);
  int done = 0, failed = 0;
  for (std::uintmax_t room :
       {total / 4, total - 2000, total - 600, total - 100, total + 64 * 1024}) {
    SCOPED_TRACE(room);
    const std::string folder = Out() + "/small" + std::to_string(room);
    roadeye_test::SmallFolder small(folder, room);
    if (!small.Usable()) GTEST_SKIP() << "neither a small tmpfs nor a file size limit";
    const ClipOutcome o = Export(kFull, 3000, 5000, nullptr, nullptr, nullptr, folder);
    if (o.result == kClipDone) {
      ++done;
      EXPECT_EQ(FolderNames(folder).size(), 4u);
    } else {
      ++failed;
      EXPECT_TRUE(o.result == kClipVideoFailed || o.result == kClipWriteFailed) << o.reason;
      EXPECT_NE(o.systemError, 0) << o.reason;
      EXPECT_EQ(FolderNames(folder), std::vector<std::string>{}) << o.reason;
    }
  }
  EXPECT_GE(failed, 1);
  EXPECT_GE(done, 1);
}

// ---- roadeye-convert --from --to ----

class ConvertClipCommand : public ClipTest {
 protected:
  Ran Convert(const std::string& options, const std::string& names) const {
    return Shell(Quote(BinDir() + "/roadeye-convert") + " " + options + " " + Quote(Card()) + " " +
                 Quote(Out()) + " " + names);
  }
};

TEST_F(ConvertClipCommand, WritesTheClipsFilesAndNamesThem) {
  const Ran r = Convert("--from 12.3 --to 21.7", kFull);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const std::string stem = "EVENT_20240612_081500_D_0012-0022";
  for (const char* ending : {".avi", ".gpx", ".txt", ".sha256"}) {
    EXPECT_NE(r.out.find(Out() + "/" + stem + ending), std::string::npos) << r.out;
    EXPECT_TRUE(fs::is_regular_file(Out() + "/" + stem + ending)) << ending;
  }
  EXPECT_NE(r.out.find("12.0 s to 22.0 s"), std::string::npos) << r.out;
}

TEST_F(ConvertClipCommand, ASpanPastTheEndStopsAtTheEndAndFromAloneTakesTheRest) {
  Ran r = Convert("--from 20 --to 1000", kFull);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(fs::is_regular_file(Out() + "/EVENT_20240612_081500_D_0020-0025.avi")) << r.out;
  r = Convert("--from 10.5", kCut);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(fs::is_regular_file(Out() + "/EVENT_20240612_081527_D_0010-0017.sha256")) << r.out;
}

struct BadCommand {
  const char* label;
  const char* options;
  const char* names;
  int exitCode;
  const char* says;
};

class ConvertClipRefused : public ConvertClipCommand,
                           public ::testing::WithParamInterface<BadCommand> {};

TEST_P(ConvertClipRefused, ExitsWithAMessageAndWritesNothing) {
  const BadCommand& c = GetParam();
  const Ran r = Convert(c.options, c.names);
  EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
  EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
  EXPECT_EQ(FolderNames(Out()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ConvertClipRefused,
    ::testing::Values(
        BadCommand{"ToWithoutFrom", "--to 5", kFull, 2, "--to needs --from"},
        BadCommand{"FromAfterTo", "--from 8 --to 5", kFull, 2, "must come after its start"},
        BadCommand{"FromEqualsTo", "--from 5 --to 5.0", kFull, 2, "must come after its start"},
        BadCommand{"NegativeFrom", "--from -2 --to 5", kFull, 2, "needs a number of seconds"},
        BadCommand{"NotANumber", "--from 1,5 --to 5", kFull, 2, "needs a number of seconds"},
        BadCommand{"NoNumber", "--to", kFull, 2, "needs a number of seconds"},
        BadCommand{"TwoNames", "--from 1 --to 5",
                   "EVENT_20240612_081500_D.avi "
                   "EVENT_20240612_081527_D.avi",
                   2, "exactly one NAME"},
        BadCommand{"NoName", "--from 1 --to 5", "", 2, "exactly one NAME"},
        BadCommand{"WithTrackFlags", "--from 1 --to 5 --kml", kFull, 2, "whole recordings"},
        BadCommand{"StartPastTheEnd", "--from 30 --to 40", kFull, 2, "not a part of the recording"},
        BadCommand{"NotOnTheCard", "--from 1 --to 5", "EVENT_20240612_091500_D.avi", 1,
                   "no usable recording"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConvertClipCommand, UsageDescribesTheSpanOptions) {
  const Ran r = Shell(Quote(BinDir() + "/roadeye-convert") + " --help");
  EXPECT_EQ(r.exitCode, 0);
  for (const char* word :
       {"--from SECONDS", "--to SECONDS", "STEM.sha256", "sha256sum -c", "--gpx"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace
