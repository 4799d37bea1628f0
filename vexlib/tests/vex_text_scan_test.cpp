// SPDX-License-Identifier: GPL-3.0-or-later
// The text scan: a recording's text packets alone, with pictures and sound passed over by their
// records. Whatever the file, it must deliver exactly the text packets that the full reading
// (Next) delivers, in the same order, and end within a bounded number of calls; it must not read
// the payloads it passes over; and through the library it must run beside the handle's stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "platform/Drives.h"
#include "vexlib/VexReader.h"
#include "vexlib/tests/VexTestCard.h"
#include "vexlib/vexlib.h"

namespace {

using vextest::Ending;
using vextest::TempDir;
using vextest::TestPacket;
namespace fs = std::filesystem;

struct Reading {
  bool opened = false;
  bool ended = false;
  bool failed = false;
  std::vector<TestPacket> texts;
  std::size_t calls = 0;
};

std::vector<std::uint8_t>& Buffer() {
  static std::vector<std::uint8_t> buf(vex::kMaxPayload);  // tests run one at a time
  return buf;
}

void Keep(const vex::Packet& p, std::vector<TestPacket>* out) {
  TestPacket t;
  t.channel = p.channel;
  t.type = p.type;
  t.timeMs = p.timeMs;
  t.payload.assign(Buffer().begin(), Buffer().begin() + p.size);
  out->push_back(std::move(t));
}

// The text packets of the full reading.
Reading ThroughNext(const std::string& path, std::size_t limit) {
  Reading r;
  vex::VexReader reader;
  if (!(r.opened = reader.Open(path))) return r;
  for (; r.calls < limit; ++r.calls) {
    vex::Packet p;
    const vex::ReadStatus s = reader.Next(&p, Buffer().data(), std::uint32_t(Buffer().size()));
    if (s == vex::ReadStatus::kEnd) {
      r.ended = true;
      break;
    }
    if (s != vex::ReadStatus::kOk) {
      r.failed = true;
      break;
    }
    if (p.type == vex::kTypeText) Keep(p, &r.texts);
  }
  return r;
}

Reading ThroughScan(const std::string& path, std::size_t limit,
                    std::uint32_t capacity = vex::kMaxPayload) {
  Reading r;
  vex::VexReader reader;
  if (!(r.opened = reader.Open(path))) return r;
  for (; r.calls < limit; ++r.calls) {
    vex::Packet p;
    const vex::ReadStatus s = reader.NextText(&p, Buffer().data(), capacity);
    if (s == vex::ReadStatus::kEnd) {
      r.ended = true;
      break;
    }
    if (s == vex::ReadStatus::kPassed || s == vex::ReadStatus::kTooLarge) continue;
    if (s != vex::ReadStatus::kOk) {
      r.failed = true;
      break;
    }
    EXPECT_EQ(p.type, vex::kTypeText);
    EXPECT_LE(p.size, capacity);
    Keep(p, &r.texts);
  }
  return r;
}

// Calls enough for any file of n bytes: a call per text packet, per block and a few more.
std::size_t Limit(std::size_t n) { return n / vex::kPacketHeaderSize + 8; }

::testing::AssertionResult SameTexts(const Reading& scan, const Reading& full) {
  if (scan.opened != full.opened || scan.ended != full.ended || scan.failed != full.failed) {
    return ::testing::AssertionFailure()
           << "opened/ended/failed " << scan.opened << scan.ended << scan.failed << " vs "
           << full.opened << full.ended << full.failed;
  }
  if (scan.texts.size() != full.texts.size()) {
    return ::testing::AssertionFailure()
           << scan.texts.size() << " text packets, the full reading " << full.texts.size();
  }
  for (std::size_t i = 0; i < scan.texts.size(); ++i) {
    const TestPacket& a = scan.texts[i];
    const TestPacket& b = full.texts[i];
    if (a.timeMs != b.timeMs ||
        !vextest::SamePacket(b, a.channel, a.type, a.payload.data(), a.payload.size())) {
      return ::testing::AssertionFailure() << "text packet " << i << " differs";
    }
  }
  return ::testing::AssertionSuccess();
}

class TextScanTest : public ::testing::TestWithParam<Ending> {
 protected:
  void Build(int frontFrames = 75) {
    vextest::Shape s;
    s.frontFrames = frontFrames;
    s.seed = 5;
    packets_ = vextest::MakePackets(s);
    path_ = dir_ / "REC_20240101_120000_D.vex";
    ASSERT_TRUE(vextest::WriteRecording(path_, packets_, true, GetParam()));
    bytes_ = vextest::ReadAll(path_);
    layout_ = vextest::Walk(bytes_);
  }
  TempDir dir_;
  std::string path_;
  std::vector<TestPacket> packets_;
  std::vector<std::uint8_t> bytes_;
  vextest::Layout layout_;
};

TEST_P(TextScanTest, DeliversTheTextPacketsOfTheFullReading) {
  Build();
  const Reading scan = ThroughScan(path_, Limit(bytes_.size()));
  ASSERT_TRUE(scan.ended);
  std::size_t written = 0;
  // The file holds the first packets written (a power cut loses the block being gathered).
  for (std::size_t i = 0; i < layout_.packetEnds.size(); ++i) {
    if (packets_[i].type == vex::kTypeText && layout_.packetEnds[i] <= bytes_.size()) ++written;
  }
  EXPECT_GT(written, 10u);
  EXPECT_EQ(scan.texts.size(), written);
  EXPECT_TRUE(SameTexts(scan, ThroughNext(path_, Limit(bytes_.size()))));
}

TEST_P(TextScanTest, CutAtEveryByteMatchesTheFullReading) {
  Build(40);
  const std::string cut = dir_ / "cut.vex";
  vextest::WriteAll(cut, bytes_);
  int failures = 0;
  for (std::uint64_t n = bytes_.size() + 1; n-- > 0 && failures < 5;) {
    ASSERT_EQ(::truncate(cut.c_str(), off_t(n)), 0);
    const auto result = SameTexts(ThroughScan(cut, Limit(n)), ThroughNext(cut, Limit(n)));
    if (!result) {
      ++failures;
      ADD_FAILURE() << "cut at " << n << ": " << result.message();
    }
  }
}

// Every record's size, type and check byte damaged in turn, and every block header: the scan
// loses what the full reading loses (a whole block, or the rest of a cut block), no more.
TEST_P(TextScanTest, DamagedRecordsAndBlockHeadersMatchTheFullReading) {
  Build();
  const std::string path = dir_ / "damaged.vex";
  for (std::size_t i = 0; i < layout_.recordOffsets.size(); ++i) {
    const std::uint64_t at = layout_.recordOffsets[i];
    if (at + vex::kPacketHeaderSize > bytes_.size()) continue;
    for (int how = 0; how < 4; ++how) {
      std::vector<std::uint8_t> f = bytes_;
      const std::uint32_t size = vex::Load32(&f[at + 4]);
      if (how == 0) vex::Store32(&f[at + 4], size + 1);
      if (how == 1) vex::Store32(&f[at + 4], 0xFFFFFFF0u);
      if (how == 2) f[at + 1] = 7;
      if (how == 3) f[at + 3] ^= 1;
      vextest::WriteAll(path, f);
      ASSERT_TRUE(SameTexts(ThroughScan(path, Limit(f.size())), ThroughNext(path, Limit(f.size()))))
          << "record " << i << " how " << how;
    }
  }
  for (std::size_t b = 0; b < layout_.blockOffsets.size(); ++b) {
    for (std::size_t field = 0; field < vex::kBlockHeaderSize; field += 4) {
      std::vector<std::uint8_t> f = bytes_;
      f[layout_.blockOffsets[b] + field] ^= 0x40;
      vextest::WriteAll(path, f);
      ASSERT_TRUE(SameTexts(ThroughScan(path, Limit(f.size())), ThroughNext(path, Limit(f.size()))))
          << "block " << b << " field " << field;
    }
  }
}

TEST_P(TextScanTest, RandomDamageMatchesTheFullReadingAndEnds) {
  Build(40);
  const std::string path = dir_ / "damaged.vex";
  std::mt19937 rng(4321);
  for (int trial = 0; trial < 1500; ++trial) {
    std::vector<std::uint8_t> f = bytes_;
    const int hits = 1 + int(rng() % 16);
    for (int k = 0; k < hits; ++k) f[rng() % f.size()] = std::uint8_t(rng());
    if (rng() % 3 == 0) f.resize(rng() % f.size());
    vextest::WriteAll(path, f);
    const Reading scan = ThroughScan(path, Limit(f.size()));
    ASSERT_TRUE(scan.ended || !scan.opened) << "trial " << trial;
    ASSERT_TRUE(SameTexts(scan, ThroughNext(path, Limit(f.size())))) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, TextScanTest,
                         ::testing::Values(Ending::kClosed, Ending::kPowerCut,
                                           Ending::kPowerCutHalfBlock),
                         [](const ::testing::TestParamInfo<Ending>& info) {
                           switch (info.param) {
                             case Ending::kClosed:
                               return std::string("Closed");
                             case Ending::kPowerCut:
                               return std::string("PowerCut");
                             case Ending::kPowerCutHalfBlock:
                               return std::string("HalfBlock");
                           }
                           return std::string("Unknown");
                         });

// A block holding more text packets than the scan keeps at once is walked again for the rest: in
// order, none twice, none lost; in a block cut short, none past the cut.
TEST(TextScan, BlockWithMoreTextsThanTheListHoldsDeliversThemAll) {
  TempDir dir;
  const std::size_t texts = vex::VexReader::kMaxTextRefs * 2 + 77;
  std::vector<TestPacket> packets;
  for (int frame = 0; frame < 31; ++frame) {
    TestPacket pic;
    pic.type = frame == 0 ? vex::kTypeKeyPicture : vex::kTypePicture;
    pic.timeMs = std::uint32_t(frame * 33);
    pic.payload.assign(200, std::uint8_t(frame));
    packets.push_back(pic);
    if (frame != 0) continue;
    for (std::size_t i = 0; i < texts; ++i) {
      TestPacket t;
      t.type = vex::kTypeText;
      t.timeMs = std::uint32_t(i);
      const std::string s = "M" + std::to_string(i);
      t.payload.assign(s.begin(), s.end());
      packets.push_back(t);
    }
  }
  for (Ending ending : {Ending::kClosed, Ending::kPowerCutHalfBlock}) {
    const std::string path = dir / "many.vex";
    ASSERT_TRUE(vextest::WriteRecording(path, packets, false, ending));
    const auto bytes = vextest::ReadAll(path);
    const Reading full = ThroughNext(path, Limit(bytes.size()));
    const Reading scan = ThroughScan(path, bytes.size());
    EXPECT_TRUE(SameTexts(scan, full));
    EXPECT_EQ(scan.texts.size(), texts);  // the last front picture alone is in the second block
    // Cut inside the texts of the first block: the power-cut form has no index to lean on.
    if (ending == Ending::kPowerCutHalfBlock) {
      const auto layout = vextest::Walk(bytes);
      const std::uint64_t cut = layout.packetEnds[texts * 3 / 4] + 5;
      vextest::WriteAll(path, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + cut));
      const Reading cutScan = ThroughScan(path, bytes.size());
      EXPECT_EQ(cutScan.texts.size(), texts * 3 / 4);
      EXPECT_TRUE(SameTexts(cutScan, ThroughNext(path, Limit(bytes.size()))));
    }
  }
}

// Pictures of 100 KB: the scan reaches the end having read a tenth of the file at most, where the
// full reading fails when reads fail after that much.
TEST(TextScan, PassesOverPayloadsWithoutReadingThem) {
  TempDir dir;
  std::vector<TestPacket> packets;
  std::mt19937 rng(3);
  for (int frame = 0; frame < 300; ++frame) {
    TestPacket pic;
    pic.type = frame % 30 == 0 ? vex::kTypeKeyPicture : vex::kTypePicture;
    pic.timeMs = std::uint32_t(frame * 1000 / 30);
    pic.payload.resize(100000);
    for (auto& b : pic.payload) b = std::uint8_t(rng());
    packets.push_back(pic);
    if (frame % 30 == 0) {
      TestPacket t;
      t.type = vex::kTypeText;
      t.timeMs = pic.timeMs;
      const std::string s = "G$GPRMC," + std::to_string(frame);
      t.payload.assign(s.begin(), s.end());
      packets.push_back(t);
    }
  }
  const std::string path = dir / "big.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, false));
  const auto size = fs::file_size(path);

  vex::ReadFaults faults;
  faults.failAfterBytes = (long long)(size / 10);
  vex::SetReadFaults(faults);
  const Reading scan = ThroughScan(path, 10000);
  vex::SetReadFaults(faults);
  const Reading full = ThroughNext(path, 10000);
  vex::ClearReadFaults();
  EXPECT_TRUE(scan.ended);
  EXPECT_FALSE(scan.failed);
  EXPECT_EQ(scan.texts.size(), 10u);
  EXPECT_TRUE(full.failed);
}

// A read that fails while Open walks the blocks of a recording without an index leaves the rest
// unfound: both readings deliver what was found and then fail, rather than end as if the
// recording were shorter.
TEST(TextScan, ReadFailingWhileTheBlocksAreFoundFailsTheReading) {
  TempDir dir;
  vextest::Shape s;
  s.frontFrames = 300;
  s.maxPicture = 2000;
  const auto packets = vextest::MakePackets(s);
  const std::string path = dir / "REC_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true, Ending::kPowerCut));
  vex::ReadFaults faults;
  faults.failAfterBytes = 3 * 4096;  // a few block headers into the walk
  vex::SetReadFaults(faults);
  vex::VexReader full, scan;
  ASSERT_TRUE(full.Open(path));
  vex::SetReadFaults(faults);
  ASSERT_TRUE(scan.Open(path));
  vex::ClearReadFaults();
  ASSERT_GT(full.blocks().size(), 0u);
  ASSERT_LT(full.blocks().size(), 9u);
  vex::Packet p;
  vex::ReadStatus last = vex::ReadStatus::kOk;
  std::size_t delivered = 0;
  for (int i = 0; i < 10000 && last == vex::ReadStatus::kOk; ++i) {
    last = full.Next(&p, Buffer().data(), std::uint32_t(Buffer().size()));
    delivered += last == vex::ReadStatus::kOk;
  }
  EXPECT_EQ(last, vex::ReadStatus::kError);
  EXPECT_GT(delivered, 0u);
  delivered = 0;
  for (int i = 0; i < 10000; ++i) {
    last = scan.NextText(&p, Buffer().data(), std::uint32_t(Buffer().size()));
    if (last != vex::ReadStatus::kOk && last != vex::ReadStatus::kPassed) break;
    delivered += last == vex::ReadStatus::kOk;
  }
  EXPECT_EQ(last, vex::ReadStatus::kError);
  EXPECT_GT(delivered, 0u);
}

// Blocks without a text packet each end a call with kPassed, so that a caller may stop there.
TEST(TextScan, ACallWalksAtMostOneNewBlock) {
  TempDir dir;
  std::vector<TestPacket> packets;
  for (int frame = 0; frame < 30 * 6; ++frame) {
    TestPacket pic;
    pic.type = frame % 30 == 0 ? vex::kTypeKeyPicture : vex::kTypePicture;
    pic.payload.assign(50, 1);
    packets.push_back(pic);
    if (frame == 30 * 4 + 3) {  // in block 5
      TestPacket t;
      t.type = vex::kTypeText;
      t.payload = {'M', 1, 2, 3};
      packets.push_back(t);
    }
  }
  const std::string path = dir / "quiet.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, false));
  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  std::vector<vex::ReadStatus> got;
  vex::Packet p;
  for (int i = 0; i < 20; ++i) {
    got.push_back(r.NextText(&p, Buffer().data(), std::uint32_t(Buffer().size())));
    if (got.back() == vex::ReadStatus::kEnd) break;
  }
  using S = vex::ReadStatus;
  // The block after the text's is walked by the call that meets the end.
  const std::vector<S> want = {S::kPassed, S::kPassed, S::kPassed, S::kPassed, S::kOk, S::kEnd};
  EXPECT_EQ(got, want);
  EXPECT_EQ(p.size, 4u);
}

TEST(TextScan, TextLargerThanTheCapacityIsPassedOver) {
  TempDir dir;
  vextest::Shape s;
  s.frontFrames = 60;
  const auto packets = vextest::MakePackets(s);
  const std::string path = dir / "REC_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true));
  // The G-sensor texts are under 32 bytes, the GPS texts over.
  const Reading scan = ThroughScan(path, 1000, 32);
  std::size_t small = 0;
  for (const TestPacket& p : packets) small += p.type == vex::kTypeText && p.payload.size() <= 32;
  EXPECT_EQ(scan.texts.size(), small);
  for (const TestPacket& t : scan.texts) EXPECT_EQ(t.payload[0], 'M');
}

// --- Through the library ------------------------------------------------------------------------

class ScanCardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    root_ = tmp_ / "card";
    fs::create_directories(root_ + "/VEX");
    vextest::WriteAll(tmp_ / "mountinfo", {});
    table_.SetSources(tmp_ / "mountinfo", tmp_ / "no-sys");
    h_ = VexStart();
    VexUseDriveTable(h_, &table_);
    ASSERT_EQ(VexInitialise(h_, root_.c_str()), 1);
    ASSERT_EQ(VexCardPoll(h_, &drive_), 1);
  }
  void TearDown() override {
    if (h_) VexRelease(h_);
  }

  std::vector<TestPacket> Add(const std::string& stem, int frames, std::uint32_t seed) {
    vextest::Shape s;
    s.frontFrames = frames;
    s.seed = seed;
    auto packets = vextest::MakePackets(s);
    EXPECT_TRUE(vextest::WriteRecording(root_ + "/VEX/" + stem + ".vex", packets, true));
    return packets;
  }

  static std::vector<TestPacket> Texts(const std::vector<TestPacket>& packets) {
    std::vector<TestPacket> out;
    for (const TestPacket& p : packets) {
      if (p.type == vex::kTypeText) out.push_back(p);
    }
    return out;
  }

  // Every record of a scan; status: how it ended.
  static std::vector<TestPacket> Scan(VexTextScanHandle s, int* status) {
    std::vector<TestPacket> out;
    std::vector<std::uint8_t> buf(4096);
    for (int i = 0; i < 100000; ++i) {
      int size = int(buf.size());
      std::int32_t ms = -1;
      *status = VexReadText(s, &size, buf.data(), &ms);
      if (*status == kVexReadNotYet) continue;
      if (*status != kVexReadOk) return out;
      TestPacket t;
      t.type = vex::kTypeText;
      t.timeMs = std::uint32_t(ms);
      t.payload.assign(buf.begin(), buf.begin() + size);
      out.push_back(std::move(t));
    }
    *status = -1;
    return out;
  }

  static void ExpectSame(const std::vector<TestPacket>& got, const std::vector<TestPacket>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].payload, want[i].payload) << i;
      EXPECT_EQ(got[i].timeMs, want[i].timeMs) << i;
    }
  }

  TempDir tmp_;
  std::string root_;
  platform::CDriveTable table_;
  VexHandle h_ = nullptr;
  char drive_ = 0;
};

TEST_F(ScanCardTest, ScansByNameAndByListedIndex) {
  const auto a = Add("REC_20240101_120000", 90, 1);
  const auto b = Add("REC_20240101_130000_D", 65, 2);
  for (const char* name : {"REC_20240101_130000_D.avi", "rec_20240101_130000_d.vex"}) {
    VexTextScanHandle s = VexOpenTextScan(h_, name, -1);
    ASSERT_NE(s, nullptr) << name;
    int status = 0;
    ExpectSame(Scan(s, &status), Texts(b));
    EXPECT_EQ(status, kVexReadEnd);
    int size = 16;
    char buf[16];
    EXPECT_EQ(VexReadText(s, &size, buf, nullptr), kVexReadEnd);  // and on every later read
    VexCloseTextScan(s);
  }
  ASSERT_EQ(VexKindCount(h_, drive_, kVexContinuous), 2);
  VexTextScanHandle first = VexOpenTextScan(h_, "REC_20240101_130000_D.avi", 0);
  ASSERT_NE(first, nullptr);
  int status = 0;
  ExpectSame(Scan(first, &status), Texts(a));
  VexCloseTextScan(first);
}

TEST_F(ScanCardTest, NoScanOfWhatIsNotARecording) {
  Add("REC_20240101_120000", 30, 1);
  vextest::WriteAll(root_ + "/VEX/EVENT_20240101_120000.vex", std::vector<std::uint8_t>(300, 7));
  EXPECT_EQ(VexOpenTextScan(h_, "EVENT_20240101_120000.avi", -1), nullptr);  // not a recording
  EXPECT_EQ(VexOpenTextScan(h_, "REC_20240101_120001.avi", -1), nullptr);    // not there
  EXPECT_EQ(VexOpenTextScan(h_, "../VEX/REC_20240101_120000.avi", -1), nullptr);
  EXPECT_EQ(VexOpenTextScan(h_, nullptr, -1), nullptr);
  EXPECT_EQ(VexOpenTextScan(nullptr, "REC_20240101_120000.avi", -1), nullptr);
  int size = 4;
  EXPECT_EQ(VexReadText(nullptr, &size, nullptr, nullptr), kVexReadFailed);
  VexCloseTextScan(nullptr);
}

// The engine's stream and a scan of the same recording on two threads through one handle, while a
// third lists and describes: each gets every packet of its own, in order.
TEST_F(ScanCardTest, ScanRunsBesideTheStreamOfTheSameHandle) {
  const auto packets = Add("REC_20240101_120000_D", 150, 9);
  const char* name = "REC_20240101_120000_D.avi";
  const int id = VexSelectByName(h_, kVexContinuous, name);
  ASSERT_GE(id, 0);
  ASSERT_EQ(VexOpenStream(h_, kVexContinuous, 0, id), 1);

  std::atomic<bool> streamDone{false};
  std::vector<TestPacket> streamed;
  std::thread stream([&] {
    std::vector<std::uint8_t> buf(1048576);
    for (;;) {
      std::uint8_t channel = 0, type = 0, flags = 0;
      int size = int(buf.size());
      const int st = VexReadPacket(h_, &channel, &type, &flags, &size, buf.data(), nullptr);
      if (st != kVexReadOk) break;
      TestPacket t;
      t.channel = channel;
      t.type = type;
      t.payload.assign(buf.begin(), buf.begin() + size);
      streamed.push_back(std::move(t));
    }
    streamDone = true;
  });
  std::thread lister([&] {
    while (!streamDone) {
      char text[kVexTextBytes];
      VexDescribe(h_, name, nullptr, nullptr, nullptr, nullptr, text, nullptr);
      VexKindCount(h_, drive_, kVexContinuous);
    }
  });
  for (int round = 0; round < 20; ++round) {
    VexTextScanHandle s = VexOpenTextScan(h_, name, -1);
    ASSERT_NE(s, nullptr);
    int status = 0;
    ExpectSame(Scan(s, &status), Texts(packets));
    EXPECT_EQ(status, kVexReadEnd);
    VexCloseTextScan(s);
  }
  stream.join();
  lister.join();
  ASSERT_EQ(streamed.size(), packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    ASSERT_TRUE(vextest::SamePacket(packets[i], streamed[i].channel, streamed[i].type,
                                    streamed[i].payload.data(), streamed[i].payload.size()))
        << i;
  }
}

TEST_F(ScanCardTest, ScanOutlivesTheHandle) {
  const auto packets = Add("MANUAL_20240101_120000", 70, 4);
  VexTextScanHandle s = VexOpenTextScan(h_, "MANUAL_20240101_120000.avi", -1);
  ASSERT_NE(s, nullptr);
  VexRelease(h_);
  h_ = nullptr;
  int status = 0;
  ExpectSame(Scan(s, &status), Texts(packets));
  EXPECT_EQ(status, kVexReadEnd);
  VexCloseTextScan(s);
}

TEST_F(ScanCardTest, ReadErrorFailsTheScan) {
  Add("REC_20240101_120000", 300, 3);
  VexTextScanHandle s = VexOpenTextScan(h_, "REC_20240101_120000.avi", -1);
  ASSERT_NE(s, nullptr);
  vex::ReadFaults faults;
  faults.failAfterBytes = 2000;
  vex::SetReadFaults(faults);
  int status = 0;
  const auto got = Scan(s, &status);
  vex::ClearReadFaults();
  EXPECT_EQ(status, kVexReadFailed);
  EXPECT_LT(got.size(), 30u);
  VexCloseTextScan(s);
}

}  // namespace
