// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>
#include <sstream>
#include <string>
#include <vector>

#include "TestCard.h"
#include "media/CVEXParser.h"
#include "vexlib/vexlib.h"

using testcard::Packet;

namespace {

// The card library started on a test card, as the player window starts it.
class Library {
 public:
  explicit Library(const std::string& root) : h_(VexStart()) {
    VexInitialise(h_, root.c_str());
    char drive = 0;
    VexCardPoll(h_, &drive);
    drive_ = drive;
    if (drive) VexCardAttach(h_);
  }
  ~Library() { VexRelease(h_); }
  VexHandle handle() const { return h_; }
  char drive() const { return drive_; }

 private:
  VexHandle h_;
  char drive_ = 0;
};

// The packet one ReadPacket call delivered, as it was written to the card; false for a tag that
// names no packet.
bool Delivered(const char tag[8], const std::vector<unsigned char>& buf, int size, Packet* p) {
  switch (ClassifyChunkTag(tag)) {
    case ChunkKind::kFrontVideo:
      p->channel = 0;
      p->type = IsKeyPicture(buf.data(), size) ? 0 : 2;
      break;
    case ChunkKind::kRearVideo:
      p->channel = 1;
      p->type = IsKeyPicture(buf.data(), size) ? 0 : 2;
      break;
    case ChunkKind::kAudio:
      p->type = 1;
      break;
    case ChunkKind::kText:
      p->type = 3;
      break;
    default:
      return false;
  }
  p->payload.assign(buf.begin(), buf.begin() + size);
  return true;
}

// Reads packets until the end, as the engine does: an empty tag means "try again". The deadline
// only guards against a hang.
std::vector<Packet> ReadAll(CVEXParser& parser, int* endResult = nullptr) {
  std::vector<Packet> got;
  std::vector<unsigned char> buf(kPacketBufferSize);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    int r = parser.ReadPacket(tag, buf.data(), &size);
    if (r < 0) {
      if (endResult) *endResult = r;
      return got;
    }
    if (tag[0] == 0) continue;
    Packet p;
    if (!Delivered(tag, buf, size, &p)) {
      ADD_FAILURE() << "unexpected tag " << tag;
      return got;
    }
    got.push_back(std::move(p));
  }
  ADD_FAILURE() << "the parser never reached the end";
  return got;
}

int FrontNumber(const Packet& p) {
  return p.payload[5] | (p.payload[6] << 8) | (p.payload[7] << 16) | (p.payload[8] << 24);
}

// Holds back the parser's diagnostic lines (one per empty-queue poll) and passes on everything
// else that was printed meanwhile, test failures included.
class QuietStdout {
 public:
  QuietStdout() { testing::internal::CaptureStdout(); }
  ~QuietStdout() {
    std::istringstream lines(text());
    std::string line;
    while (std::getline(lines, line)) {
      if (line.rfind("[CThreadQueue] Pop Empty", 0) != 0 && line.rfind("Media End Recv", 0) != 0) {
        std::printf("%s\n", line.c_str());
      }
    }
  }
  std::string text() {
    if (!done_) out_ = testing::internal::GetCapturedStdout();
    done_ = true;
    return out_;
  }

 private:
  bool done_ = false;
  std::string out_;
};

}  // namespace

TEST(RecordingId, SplitsNameIndexAndKind) {
  RecordingId id =
      CVEXParser::ParseRecordingId("/EVENT_20140301_123456_D.avi, 5", CVEXParser::kContinuous);
  EXPECT_EQ(id.kind, CVEXParser::kEvent);
  EXPECT_EQ(CVEXParser::ToVexKind(id.kind), kVexEvent);
  EXPECT_EQ(id.name, "EVENT_20140301_123456_D.avi");
  EXPECT_TRUE(id.hasIndex);
  EXPECT_EQ(id.index, 5);

  id = CVEXParser::ParseRecordingId("REC_20140301_123456.avi", CVEXParser::kEvent);
  EXPECT_EQ(id.kind, CVEXParser::kContinuous);
  EXPECT_EQ(CVEXParser::ToVexKind(id.kind), kVexContinuous);
  EXPECT_FALSE(id.hasIndex);

  id = CVEXParser::ParseRecordingId("MANUAL_1 7", CVEXParser::kEvent);
  EXPECT_EQ(id.kind, CVEXParser::kManual);
  EXPECT_EQ(id.name, "MANUAL_1");
  EXPECT_EQ(id.index, 7);
  EXPECT_EQ(CVEXParser::ToVexKind(CVEXParser::kParking), kVexParking);
  EXPECT_EQ(CVEXParser::ToVexKind(CVEXParser::kManual), kVexManual);

  // A first letter naming no kind keeps the previous one.
  id = CVEXParser::ParseRecordingId("xyz", CVEXParser::kParking);
  EXPECT_EQ(id.kind, CVEXParser::kParking);
  EXPECT_EQ(CVEXParser::ParseRecordingId(nullptr, CVEXParser::kManual).kind, CVEXParser::kManual);
}

// The kind comes from the first letter in either case: a card written elsewhere may list its
// recordings in lower case, and a name's kind must never be left to the recording opened before.
struct KindLetterCase {
  const char* id;
  int kind;
  friend void PrintTo(const KindLetterCase& c, std::ostream* os) { *os << c.id; }
};

class RecordingIdKind : public testing::TestWithParam<KindLetterCase> {};

TEST_P(RecordingIdKind, FirstLetterNamesTheKindInEitherCase) {
  const KindLetterCase& c = GetParam();
  for (int previous :
       {CVEXParser::kContinuous, CVEXParser::kEvent, CVEXParser::kManual, CVEXParser::kParking}) {
    RecordingId id = CVEXParser::ParseRecordingId(c.id, previous);
    EXPECT_EQ(id.kind, c.kind) << c.id << " after kind " << previous;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, RecordingIdKind,
    testing::Values(KindLetterCase{"/event_20240612_081521_d.avi", CVEXParser::kEvent},
                    KindLetterCase{"/EVENT_20240612_081521_D.avi", CVEXParser::kEvent},
                    KindLetterCase{"manual_20240612_081521.avi", CVEXParser::kManual},
                    KindLetterCase{"/Manual_20240612_081521.avi, 3", CVEXParser::kManual},
                    KindLetterCase{"/parking_20240612_081521_D.avi", CVEXParser::kParking},
                    KindLetterCase{"/pARKING_20240612_081521.avi", CVEXParser::kParking},
                    KindLetterCase{"/rec_20240612_081521_d.avi", CVEXParser::kContinuous},
                    KindLetterCase{"Rec_20240612_081521.avi", CVEXParser::kContinuous}));

// Each test writes its recordings into `card`, then calls StartParser: the library is started
// on the card and the parser's reader thread runs, its diagnostics held back.
class VexParserTest : public testing::Test {
 protected:
  void StartParser() {
    lib = std::make_unique<Library>(card.root());
    ASSERT_NE(lib->drive(), 0);
    parser.SetLibraryHandle(lib->handle());
    ASSERT_TRUE(parser.Start());
    quiet = std::make_unique<QuietStdout>();
  }
  void TearDown() override {
    parser.Stop();
    quiet.reset();
  }

  testcard::CardDir card;
  std::unique_ptr<Library> lib;
  CVEXParser parser;
  std::unique_ptr<QuietStdout> quiet;
};

TEST_F(VexParserTest, DeliversEveryPacketOfATwoCameraRecordingInOrder) {
  auto written = testcard::WriteRecording(card.vex("REC_20141201_101500_D"), 4, true);
  ASSERT_EQ(written, testcard::WalkFile(card.vex("REC_20141201_101500_D")));
  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/REC_20141201_101500_D.avi", &info), 0);
  EXPECT_EQ(info.frontFrameRate, 30);
  EXPECT_EQ(info.rearFrameRate, 30);
  EXPECT_EQ(info.frontFrameCount, 120);
  EXPECT_EQ(info.rearFrameCount, 120);
  int size[2];
  EXPECT_EQ(parser.GetVideoSize(size, 0)[0], 1280);
  EXPECT_EQ(size[1], 720);
  parser.GetVideoSize(size, 1);
  EXPECT_EQ(size[0], 640);
  EXPECT_EQ(size[1], 360);
  parser.GetVideoSize(size, 7);  // no such stream: nothing read out of bounds
  EXPECT_EQ(size[0], 0);
  EXPECT_EQ(parser.HeaderValue(9), 17);   // sound packets: 4 s in 240 ms steps
  EXPECT_EQ(parser.HeaderValue(10), 4);   // GPS records
  EXPECT_EQ(parser.HeaderValue(11), 40);  // G-sensor records
  int bits = 0, rate = 0;
  parser.GetAudioFormat(&bits, &rate);
  EXPECT_EQ(bits, 16);
  EXPECT_EQ(rate, 8000);

  int end = 0;
  auto got = ReadAll(parser, &end);
  EXPECT_EQ(end, -1);
  EXPECT_EQ(got, written);
  // Once ended, the stream stays ended.
  char tag[8] = {};
  std::vector<unsigned char> buf(kPacketBufferSize);
  int n = kPacketBufferSize;
  EXPECT_LT(parser.ReadPacket(tag, buf.data(), &n), 0);
  EXPECT_NE(quiet->text().find("Media End Recv [5]\n"), std::string::npos);
}

TEST_F(VexParserTest, EveryPacketCarriesItsTimeThroughTheQueue) {
  testcard::WriteRecording(card.vex("REC_20141201_101500_D"), 3, true);
  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/REC_20141201_101500_D.avi", &info), 0);
  std::vector<unsigned char> buf(kPacketBufferSize);
  int fronts = 0, rears = 0, sounds = 0;
  for (int i = 0; i < 100000; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (parser.ReadPacket(tag, buf.data(), &size) < 0) break;
    if (tag[0] == 0) continue;
    const int ms = parser.LastPacketTimeMs();
    switch (ClassifyChunkTag(tag)) {
      case ChunkKind::kFrontVideo:
        EXPECT_EQ(ms, fronts++ * 1000 / 30);
        break;
      case ChunkKind::kRearVideo:
        EXPECT_EQ(ms, rears++ * 1000 / 30);
        break;
      case ChunkKind::kAudio:
        EXPECT_EQ(ms, sounds++ * 240);
        break;
      default:
        EXPECT_GE(ms, 0);
        break;
    }
  }
  EXPECT_EQ(fronts, 90);
  EXPECT_EQ(rears, 90);
  EXPECT_EQ(sounds, 13);

  // After a seek the times go on from the second reached.
  ASSERT_EQ(parser.SeekTime(2.0f), 2);
  for (int i = 0; i < 10000; ++i) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    ASSERT_GE(parser.ReadPacket(tag, buf.data(), &size), 0);
    if (ClassifyChunkTag(tag) != ChunkKind::kFrontVideo) continue;
    EXPECT_EQ(parser.LastPacketTimeMs(), 2000);
    break;
  }
}

TEST_F(VexParserTest, OneCameraRecordingAndOpeningByIndex) {
  auto first = testcard::WriteRecording(card.vex("EVENT_20141201_090000"), 2, false);
  auto second = testcard::WriteRecording(card.vex("EVENT_20141201_093000_D"), 1, true);
  StartParser();

  RecordingInfo info;
  ASSERT_NE(parser.Open("/EVENT_20141201_090000.avi", &info), 0);
  EXPECT_EQ(info.rearFrameRate, 0);
  EXPECT_EQ(info.rearFrameCount, 0);
  EXPECT_EQ(ReadAll(parser), first);

  // Entry 1 of the event listing (oldest first) is the second recording; the name is cut at the
  // comma.
  ASSERT_NE(parser.Open("/EVENT_20141201_093000_D.avi, 1", &info), 0);
  EXPECT_EQ(parser.Kind(), CVEXParser::kEvent);
  EXPECT_EQ(info.frontFrameCount, 30);
  EXPECT_EQ(ReadAll(parser), second);
}

TEST_F(VexParserTest, AFailedOpenIsReportedAndEndsTheStream) {
  testcard::WriteRecording(card.vex("REC_20141201_101500"), 1, false);
  StartParser();
  RecordingInfo info;
  EXPECT_EQ(parser.Open("/REC_20990101_000000.avi", &info), 0);
  EXPECT_EQ(parser.Open("/REC_../../etc/passwd", &info), 0);
  EXPECT_EQ(parser.Open("", &info), 0);
  std::vector<unsigned char> buf(kPacketBufferSize);
  char tag[8] = {};
  int size = kPacketBufferSize;
  EXPECT_LT(parser.ReadPacket(tag, buf.data(), &size), 0);

  CVEXParser unbound;  // no library handle
  unbound.Start();
  EXPECT_EQ(unbound.Open("/REC_20141201_101500.avi", &info), 0);
}

TEST_F(VexParserTest, SeekingLandsOnTheBlockOfTheRequestedSecond) {
  auto written = testcard::WriteRecording(card.vex("REC_20141201_101500"), 20, false);
  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/REC_20141201_101500.avi", &info), 0);

  std::vector<unsigned char> buf(kPacketBufferSize);
  auto firstFrontAfterSeek = [&](float seconds, int* reached) {
    *reached = parser.SeekTime(seconds);
    for (int i = 0; i < 10000; ++i) {
      char tag[8] = {};
      int size = kPacketBufferSize;
      if (parser.ReadPacket(tag, buf.data(), &size) < 0) return -1;
      if (ClassifyChunkTag(tag) == ChunkKind::kFrontVideo) {
        EXPECT_TRUE(IsKeyPicture(buf.data(), size));
        Packet p;
        p.payload.assign(buf.begin(), buf.begin() + size);
        return FrontNumber(p);
      }
    }
    return -1;
  };
  int reached = 0;
  // 12.7 s at 30 pictures per second is block 13, whose first picture is number 360: second 12.
  EXPECT_EQ(firstFrontAfterSeek(12.7f, &reached), 360);
  EXPECT_EQ(reached, 12);
  EXPECT_EQ(firstFrontAfterSeek(0.0f, &reached), 0);
  EXPECT_EQ(reached, 0);
  EXPECT_EQ(firstFrontAfterSeek(3.99f, &reached), 90);
  EXPECT_EQ(reached, 3);
  // Beyond the end, before the start and nonsense land on the last and first blocks.
  EXPECT_EQ(firstFrontAfterSeek(500.0f, &reached), 570);
  EXPECT_EQ(reached, 19);
  EXPECT_EQ(firstFrontAfterSeek(-4.0f, &reached), 0);
  EXPECT_EQ(firstFrontAfterSeek(std::nanf(""), &reached), 0);

  // After a seek the rest of the recording follows in order to the end.
  parser.SeekTime(18.0f);
  auto rest = ReadAll(parser);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(FrontNumber(rest.front()), 540);
  auto at = std::search(written.begin(), written.end(), rest.begin(), rest.end());
  EXPECT_TRUE(at != written.end() && at + long(rest.size()) == written.end());

  // The stream has ended (and the reader, a queue ahead of playback, met the end long before the
  // consumer): a seek in the open recording still makes it readable again.
  EXPECT_EQ(firstFrontAfterSeek(1.0f, &reached), 30);
  // After Close a seek brings nothing back.
  parser.Close();
  EXPECT_EQ(firstFrontAfterSeek(1.0f, &reached), -1);
}

// A file cut anywhere, or damaged in its size fields, plays up to its last whole packet and ends.
TEST_F(VexParserTest, TruncatedRecordingsPlayTheirWholePacketsAndEnd) {
  std::string original = card.vex("REC_20141201_080000");
  auto written = testcard::WriteRecording(original, 3, true);
  std::vector<long> ends;
  ASSERT_EQ(testcard::WalkFile(original, &ends), written);
  std::string bytes;
  {
    std::ifstream in(original, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::remove(original);
  std::string cut = card.vex("REC_20141201_090000");

  StartParser();
  for (std::size_t at = 0; at <= bytes.size(); at += 997) {
    {
      std::ofstream out(cut, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), long(at));
    }
    RecordingInfo info;
    if (parser.Open("/REC_20141201_090000.avi", &info) == 0) {
      EXPECT_LT(at, 300u) << "a recording with whole blocks must open";
      continue;
    }
    auto got = ReadAll(parser);
    std::size_t whole = 0;
    while (whole < ends.size() && ends[whole] <= long(at)) ++whole;
    ASSERT_EQ(got.size(), whole) << "cut at " << at;
    ASSERT_TRUE(std::equal(got.begin(), got.end(), written.begin())) << "cut at " << at;
  }
}

TEST_F(VexParserTest, RecordingCutShortByThePowerPlaysWhatWasWritten) {
  auto written = testcard::WriteRecording(card.vex("PARKING_20141201_235959_D"), 3, true, false);
  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/PARKING_20141201_235959_D.avi", &info), 0);
  // Two whole blocks were written before the power went; the third is half there.
  EXPECT_GE(info.frontFrameCount, 60);
  EXPECT_LT(info.frontFrameCount, 90);
  auto got = ReadAll(parser);
  ASSERT_GT(got.size(), 0u);
  ASSERT_LT(got.size(), written.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), written.begin()));
  int fronts = 0;
  for (const Packet& p : got) fronts += p.channel == 0 && p.type != 1 && p.type != 3;
  EXPECT_EQ(fronts, info.frontFrameCount);
}

// Damage inside the file: overwritten bytes anywhere never crash the reader or hang it, and it
// delivers only packets that were written, in their order.
TEST_F(VexParserTest, OverwrittenBytesNeverCrashOrInventPackets) {
  std::string path = card.vex("MANUAL_20141201_120000_D");
  auto written = testcard::WriteRecording(path, 2, true);
  std::vector<long> ends;
  testcard::WalkFile(path, &ends);
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  StartParser();
  std::mt19937 rng(11);
  for (int trial = 0; trial < 120; ++trial) {
    std::string damaged = bytes;
    // The file header and the first block header, then record headers of random packets (a
    // payload's own bytes are not checked by anything, so damage there is not looked for).
    std::size_t at;
    if (trial < 60) {
      at = std::size_t(trial * 4);
    } else {
      std::size_t k = rng() % written.size();
      at = std::size_t(ends[k]) - written[k].payload.size() - vex::kPacketHeaderSize +
           rng() % vex::kPacketHeaderSize;
    }
    const std::uint32_t values[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x00100001u,
                                    0,           1,           std::uint32_t(rng())};
    std::uint32_t v = values[trial % 6];
    for (int i = 0; i < 4 && at + std::size_t(i) < damaged.size(); ++i)
      damaged[at + std::size_t(i)] = char(v >> (8 * i));
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(damaged.data(), long(damaged.size()));
    }
    RecordingInfo info;
    if (parser.Open("/MANUAL_20141201_120000_D.avi", &info) == 0) continue;
    auto got = ReadAll(parser);
    // Every delivered packet is one that was written, in the written order.
    std::size_t w = 0;
    for (const Packet& p : got) {
      while (w < written.size() && !(written[w] == p)) ++w;
      ASSERT_LT(w, written.size()) << "invented packet after damage at " << at;
      ++w;
    }
  }
}

// The layout allows payloads as large as the packet buffers. Two such pictures in a row, front and
// rear, come through whole and the rest of the recording follows: the reader must neither refuse
// them for good nor wait for room that an empty queue already has. A ReadPacket call that delivers
// nothing has waited a while for the reader; a few of those are allowed, not an endless run.
TEST_F(VexParserTest, PicturesAsLargeAsThePacketBuffersAreDeliveredWhole) {
  const std::string path = card.vex("REC_20141201_101500_D");
  vex::Header h;
  h.frontRate = h.rearRate = 30;
  h.frontWidth = 1280;
  h.frontHeight = 720;
  h.rearWidth = 640;
  h.rearHeight = 360;
  vex::VexWriter w;
  ASSERT_TRUE(w.Open(path, h));
  std::vector<Packet> written;
  for (int f = 0; f < 60; ++f) {
    const bool key = f % 30 == 0;
    const std::uint8_t type = key ? vex::kTypeKeyPicture : vex::kTypePicture;
    for (std::uint8_t camera : {0, 1}) {
      std::vector<std::uint8_t> payload = testcard::PicturePayload(camera, f, key);
      if (f == 30) {
        const std::size_t from = payload.size();
        payload.resize(std::size_t(kPacketBufferSize));
        for (std::size_t i = from; i < payload.size(); ++i)
          payload[i] = std::uint8_t(i * 7 + i / 251 + camera);
      }
      ASSERT_TRUE(w.AddPacket(camera, type, payload.data(), std::uint32_t(payload.size()),
                              std::uint32_t(f * 1000 / 30)));
      written.push_back(Packet{camera, type, std::move(payload)});
    }
    if (f % 8 == 0) {
      std::vector<std::uint8_t> pcm(3840, std::uint8_t(f));
      ASSERT_TRUE(w.AddPacket(0, vex::kTypeSound, pcm.data(), std::uint32_t(pcm.size()),
                              std::uint32_t(f * 1000 / 30)));
      written.push_back(Packet{0, vex::kTypeSound, std::move(pcm)});
    }
  }
  ASSERT_TRUE(w.Close());
  ASSERT_EQ(written, testcard::WalkFile(path));

  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/REC_20141201_101500_D.avi", &info), 0);
  std::vector<Packet> got;
  std::vector<unsigned char> buf(kPacketBufferSize);
  constexpr int kEmptyReads = 20;
  int empty = 0;
  bool ended = false;
  while (!ended && empty < kEmptyReads && got.size() <= written.size()) {
    char tag[8] = {};
    int size = kPacketBufferSize;
    if (parser.ReadPacket(tag, buf.data(), &size) < 0) {
      ended = true;
    } else if (tag[0] == 0) {
      ++empty;
    } else {
      Packet p;
      ASSERT_TRUE(Delivered(tag, buf, size, &p)) << "tag " << tag;
      got.push_back(std::move(p));
    }
  }
  EXPECT_TRUE(ended) << "no end after " << empty << " reads that delivered nothing; " << got.size()
                     << " of " << written.size() << " packets delivered";
  ASSERT_EQ(got.size(), written.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_TRUE(got[i] == written[i])
        << "packet " << i << ": " << got[i].payload.size() << " bytes delivered, "
        << written[i].payload.size() << " written";
  }
}

// The owner hands the library handle over again at every open (the window does) while the
// reader thread reads the recording before through it: the handle is shared safely, and every
// packet still arrives (ThreadSanitizer checks the first part).
TEST_F(VexParserTest, TheHandleIsHandedOverWhileTheReaderReads) {
  auto written = testcard::WriteRecording(card.vex("REC_20141201_101500_D"), 4, true);
  StartParser();
  RecordingInfo info;
  ASSERT_NE(parser.Open("/REC_20141201_101500_D.avi", &info), 0);
  std::atomic<bool> done{false};
  std::thread owner([&] {
    while (!done) {
      parser.SetLibraryHandle(lib->handle());
      std::this_thread::yield();
    }
  });
  int end = 0;
  const auto got = ReadAll(parser, &end);
  done = true;
  owner.join();
  EXPECT_EQ(end, -1);
  EXPECT_EQ(got, written);
}
