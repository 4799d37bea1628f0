// SPDX-License-Identifier: GPL-3.0-or-later
// The card library's operations over a card laid out in a temporary folder: finding the card,
// listing by kind, describing, selecting, streaming and seeking, and the default settings text.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Drives.h"
#include "support/testing/AllocationFailure.h"
#include "vexlib/VexCard.h"
#include "vexlib/tests/VexTestCard.h"
#include "vexlib/vexlib.h"

namespace {

using vextest::Ending;
using vextest::TempDir;
using vextest::TestPacket;
namespace fs = std::filesystem;

// A card folder with VEX/ and SETTING/, seen through a drive table of its own (no real mounts).
class CardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    root_ = tmp_ / "card";
    fs::create_directories(root_ + "/VEX");
    fs::create_directories(root_ + "/SETTING");
    vextest::WriteAll(tmp_ / "mountinfo", {});
    table_.SetSources(tmp_ / "mountinfo", tmp_ / "no-sys");
    h_ = VexStart();
    VexUseDriveTable(h_, &table_);
    ASSERT_EQ(VexInitialise(h_, root_.c_str()), 1);
  }
  void TearDown() override { VexRelease(h_); }

  std::string Vex(const std::string& name) const { return root_ + "/VEX/" + name; }

  std::vector<TestPacket> AddRecording(const std::string& name, int frontFrames, bool rear,
                                       Ending ending = Ending::kClosed, std::uint32_t seed = 7) {
    vextest::Shape s;
    s.frontFrames = frontFrames;
    s.rear = rear;
    s.seed = seed;
    auto packets = vextest::MakePackets(s);
    EXPECT_TRUE(vextest::WriteRecording(Vex(name), packets, rear, ending));
    return packets;
  }

  char Poll() {
    char drive = 'x';
    VexCardPoll(h_, &drive);
    return drive;
  }

  struct Listed {
    std::string name;
    std::uint64_t size;
    int value;
  };
  std::vector<Listed> List(int kind) {
    const char drive = Poll();
    const int n = VexKindCount(h_, drive, kind);
    std::vector<char> names(std::size_t(n) * kVexNameBytes + 1, 0);
    std::vector<std::uint8_t> sizes(std::size_t(n) * kVexSizeBytes + 1, 0);
    std::vector<int> values(std::size_t(n) + 1, -5);
    const int m = VexKindList(h_, drive, kind, n, names.data(), sizes.data(), values.data());
    EXPECT_EQ(m, n);
    EXPECT_EQ(values[std::size_t(n)], -5);  // nothing written past n entries
    std::vector<Listed> out;
    for (int i = 0; i < m; ++i) {
      const char* name = names.data() + std::size_t(i) * kVexNameBytes;
      EXPECT_EQ(name[kVexNameBytes - 1], 0);
      out.push_back({name, vex::Load64(sizes.data() + std::size_t(i) * kVexSizeBytes),
                     values[std::size_t(i)]});
    }
    return out;
  }

  std::vector<TestPacket> ReadStream(std::size_t limit, int* endStatus) {
    std::vector<TestPacket> out;
    std::vector<std::uint8_t> buf(1048576);
    for (std::size_t i = 0; i < limit; ++i) {
      std::uint8_t channel = 0xFF, type = 0xFF, flags = 0xFF;
      int size = int(buf.size());
      std::int32_t scratch = 0;
      const int s = VexReadPacket(h_, &channel, &type, &flags, &size, buf.data(), &scratch);
      if (s != kVexReadOk) {
        EXPECT_EQ(channel, 0xFF);
        EXPECT_EQ(type, 0xFF);
        EXPECT_EQ(size, int(buf.size()));
        *endStatus = s;
        return out;
      }
      TestPacket t;
      t.channel = channel;
      t.type = type;
      t.timeMs = std::uint32_t(scratch);
      t.payload.assign(buf.begin(), buf.begin() + size);
      out.push_back(std::move(t));
    }
    *endStatus = -1;
    return out;
  }

  TempDir tmp_;
  std::string root_;
  platform::CDriveTable table_;
  VexHandle h_ = nullptr;
};

TEST_F(CardTest, CardIsTheFirstDriveWithARecordingsFolder) {
  EXPECT_EQ(Poll(), 'D');
  fs::rename(root_ + "/VEX", root_ + "/vex");  // spelled in lower case on a FAT card
  EXPECT_EQ(Poll(), 'D');
  fs::remove_all(root_ + "/vex");
  char drive = 'x';
  EXPECT_EQ(VexCardPoll(h_, &drive), 0);
  EXPECT_EQ(drive, 0);
  fs::remove_all(root_);
  EXPECT_EQ(Poll(), 0);
  EXPECT_EQ(VexCardAttach(h_), 1);
}

TEST_F(CardTest, SecondDriveHoldingTheRecordingsIsTheCard) {
  // The extra folder (D) has no VEX folder; an SD card mounted at another folder (E) has.
  fs::remove_all(root_ + "/VEX");
  const std::string sd = tmp_ / "sd";
  fs::create_directories(sd + "/VEX");
  std::ostringstream mi;
  mi << "40 27 179:1 / " << sd << " rw - vfat /dev/mmcblk0p1 rw\n";
  const std::string text = mi.str();
  vextest::WriteAll(tmp_ / "mountinfo", std::vector<std::uint8_t>(text.begin(), text.end()));
  EXPECT_EQ(Poll(), 'E');
  vextest::Shape s;
  auto packets = vextest::MakePackets(s);
  ASSERT_TRUE(vextest::WriteRecording(sd + "/VEX/REC_20240101_120000_D.vex", packets, true));
  EXPECT_EQ(VexKindCount(h_, 'E', kVexContinuous), 1);
  EXPECT_EQ(VexKindCount(h_, 'D', kVexContinuous), 0);
  char text256[kVexTextBytes] = "junk";
  EXPECT_EQ(VexDescribe(h_, "REC_20240101_120000_D.avi", nullptr, nullptr, nullptr, nullptr,
                        text256, nullptr),
            1);
  EXPECT_NE(std::string(text256), "");
}

TEST_F(CardTest, ListsByKindOldestFirstUnderTheAviName) {
  AddRecording("REC_20140301_120000_D.vex", 10, true);
  AddRecording("rec_20140301_110000.VEX", 12, false);
  AddRecording("REC_20131231_235959_d.vex", 5, true);
  AddRecording("EVENT_20140301_115959.vex", 8, false);
  AddRecording("PARKING_20140302_000000_D.vex", 9, true);
  AddRecording("MANUAL_20140302_000001.vex", 9, false);
  AddRecording("Manual_20140101_000001.vex", 9, false);

  auto rec = List(kVexContinuous);
  ASSERT_EQ(rec.size(), 3u);
  EXPECT_EQ(rec[0].name, "REC_20131231_235959_d.avi");
  EXPECT_EQ(rec[1].name, "rec_20140301_110000.avi");
  EXPECT_EQ(rec[2].name, "REC_20140301_120000_D.avi");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rec[std::size_t(i)].value, i);
  EXPECT_EQ(rec[2].size, fs::file_size(Vex("REC_20140301_120000_D.vex")));

  auto ev = List(kVexEvent);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].name, "EVENT_20140301_115959.avi");
  auto park = List(kVexParking);
  ASSERT_EQ(park.size(), 1u);
  EXPECT_EQ(park[0].name, "PARKING_20140302_000000_D.avi");
  auto man = List(kVexManual);
  ASSERT_EQ(man.size(), 2u);
  EXPECT_EQ(man[0].name, "Manual_20140101_000001.avi");
  EXPECT_EQ(man[1].name, "MANUAL_20140302_000001.avi");

  EXPECT_EQ(VexKindCount(h_, Poll(), 4), 0);
  EXPECT_EQ(VexKindCount(h_, Poll(), -1), 0);
  EXPECT_EQ(VexKindCount(h_, 'Q', kVexContinuous), 0);
  // A listing shorter than the kind fills only what it was asked for.
  std::vector<char> names(kVexNameBytes, 0);
  EXPECT_EQ(VexKindList(h_, Poll(), kVexContinuous, 1, names.data(), nullptr, nullptr), 1);
  EXPECT_STREQ(names.data(), "REC_20131231_235959_d.avi");
  EXPECT_EQ(VexKindList(h_, Poll(), kVexContinuous, 0, names.data(), nullptr, nullptr), 0);
}

TEST_F(CardTest, OddNamesAreNotRecordings) {
  AddRecording("REC_20140301_120000.vex", 3, false);
  std::vector<std::uint8_t> bytes = vextest::ReadAll(Vex("REC_20140301_120000.vex"));
  const char* odd[] = {
      "REC_20140301_120001.avi",      // the copy's ending is not a card file
      "REC_2014030_120000.vex",       // seven date digits
      "REC_20140301_1200000.vex",     // seven time digits
      "REC_2014O301_120000.vex",      // a letter among the digits
      "REC_20140301_120000_X.vex",    // a mark other than D
      "REC_20140301_120000_DD.vex",   //
      "REC_20140301_120000.vex.tmp",  //
      "REC_20140301_120000vex",       //
      "..REC_20140301_120000.vex",    //
      "REC_..20140301_120000.vex",    //
      "REC_20140301_12..00.vex",      //
      "RECORD_20140301_120000.vex",   // unknown kind word
      "_20140301_120000.vex",         //
      "REC_20140301_12000\x01.vex",   // a control character
      "REC_20140301\t120000.vex",     //
      "REC 20140301_120000.vex",      //
      "REC_20140301_120000_D_and_a_name_far_longer_than_thirty_nine_characters.vex",
      "REC_20140301_120000 .vex",
  };
  for (const char* name : odd) vextest::WriteAll(Vex(name), bytes);
  // A folder and a link with a recording's name.
  fs::create_directory(Vex("REC_20140301_130000.vex"));
  fs::create_symlink(Vex("REC_20140301_120000.vex"), Vex("REC_20140301_140000.vex"));

  auto rec = List(kVexContinuous);
  ASSERT_EQ(rec.size(), 1u);
  EXPECT_EQ(rec[0].name, "REC_20140301_120000.avi");

  // Names that are paths, or not recordings, select and describe nothing.
  const char* asked[] = {
      "../VEX/REC_20140301_120000.avi",
      "VEX/REC_20140301_120000.avi",
      "/REC_20140301_120000.avi",
      "REC_20140301_120000/../REC_20140301_120000.avi",
      "REC_20140301_120000.avi/",
      "REC_20140301_120000.avi\\",
      "..",
      "",
      "REC_20140301_140000.avi",
      "REC_20140301_130000.avi",
      "REC_20140301_12000\x01.avi",
      "/etc/passwd",
  };
  for (const char* name : asked) {
    EXPECT_EQ(VexSelectByName(h_, kVexContinuous, name), -1) << name;
    char text[kVexTextBytes] = "x";
    char path[kVexPathBytes] = "y";
    EXPECT_EQ(VexDescribe(h_, name, nullptr, nullptr, nullptr, path, text, nullptr), 0) << name;
    EXPECT_STREQ(text, "") << name;
    EXPECT_STREQ(path, "y") << name;
  }
  EXPECT_EQ(VexSelectByName(h_, kVexContinuous, nullptr), -1);
  EXPECT_GE(VexSelectByName(h_, kVexContinuous, "REC_20140301_120000.avi"), 0);
  EXPECT_GE(VexSelectByName(h_, kVexContinuous, "rec_20140301_120000.VEX"), 0);
  EXPECT_GE(VexSelectByName(h_, kVexContinuous, "REC_20140301_120000"), 0);
}

TEST_F(CardTest, DescribeFillsHeaderCountsPathTextAndModel) {
  auto packets = AddRecording("REC_20140301_120000_D.vex", 65, true);
  AddRecording("EVENT_20140301_120000.vex", 40, false, Ending::kPowerCut);
  Poll();

  std::uint8_t header[kVexHeaderBytes] = {};
  std::uint16_t front = 0, rear = 0;
  char path[kVexPathBytes] = {}, text[kVexTextBytes] = {}, scratch[kVexScratchBytes] = {};
  ASSERT_EQ(
      VexDescribe(h_, "REC_20140301_120000_D.avi", header, &front, &rear, path, text, scratch), 1);
  EXPECT_EQ(header[0], 'V');
  EXPECT_EQ(header[3], 30);
  EXPECT_EQ(header[4], 30);
  EXPECT_EQ(vex::Load16(header + 20), 720);
  EXPECT_EQ(vex::Load16(header + 22), 360);
  EXPECT_EQ(vex::Load16(header + 52), 1280);
  EXPECT_EQ(vex::Load16(header + 54), 640);
  EXPECT_EQ(front, 65);
  EXPECT_EQ(rear, 65);
  EXPECT_EQ(std::string(path), Vex("REC_20140301_120000_D.vex"));
  // 65 frames: sound every 7 (10), GPS every 30 (3), G-sensor every 3 (22).
  EXPECT_STREQ(text, "cntVideo0=65; cntVideo1=65; cntAudio=10; cntACC=22; cntGPS=3");
  int f = 0, r = 0, a = 0, acc = 0, gps = 0;
  ASSERT_EQ(std::sscanf(text, "cntVideo0=%d; cntVideo1=%d; cntAudio=%d; cntACC=%d; cntGPS=%d", &f,
                        &r, &a, &acc, &gps),
            5);
  EXPECT_STREQ(scratch, "RE-2CH");

  // A recording cut by a power loss: counted from what is there (one block of 30 pictures).
  ASSERT_EQ(
      VexDescribe(h_, "EVENT_20140301_120000.vex", header, &front, &rear, path, text, scratch), 1);
  EXPECT_EQ(front, 30);
  EXPECT_EQ(rear, 0);
  EXPECT_EQ(header[4], 0);
  EXPECT_STREQ(text, "cntVideo0=30; cntVideo1=0; cntAudio=5; cntACC=10; cntGPS=1");

  // Not on the card, or not a recording inside: the text stays empty.
  EXPECT_EQ(VexDescribe(h_, "REC_20990101_000000.avi", header, &front, &rear, path, text, scratch),
            0);
  EXPECT_STREQ(text, "");
  vextest::WriteAll(Vex("MANUAL_20140301_120000.vex"), std::vector<std::uint8_t>(600000, 7));
  strcpy(text, "x");
  EXPECT_EQ(
      VexDescribe(h_, "MANUAL_20140301_120000.avi", header, &front, &rear, path, text, scratch), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(std::string(path), Vex("MANUAL_20140301_120000.vex"));
}

TEST_F(CardTest, DescribeIndexedUsesTheListedEntryOrFallsBackToTheName) {
  AddRecording("EVENT_20140301_120000.vex", 10, false);
  AddRecording("EVENT_20140301_110000.vex", 35, false);
  auto ev = List(kVexEvent);
  ASSERT_EQ(ev.size(), 2u);
  std::uint16_t front = 0, rear = 0;
  char path[kVexPathBytes], text[kVexTextBytes];
  ASSERT_EQ(VexDescribeIndexed(h_, "EVENT_20140301_110000.avi", 1, nullptr, &front, &rear, path,
                               text, nullptr),
            1);
  EXPECT_EQ(front, 10);  // entry 1 is the later one
  ASSERT_EQ(VexDescribeIndexed(h_, "EVENT_20140301_110000.avi", 9, nullptr, &front, &rear, path,
                               text, nullptr),
            1);
  EXPECT_EQ(front, 35);  // no entry 9: by name
  EXPECT_EQ(VexDescribeIndexed(h_, "bogus", 0, nullptr, &front, &rear, path, text, nullptr), 0);
  EXPECT_STREQ(text, "");
}

TEST_F(CardTest, SelectOpenReadDeliversEveryPacketThenTheEnd) {
  auto packets = AddRecording("REC_20140301_120000_D.vex", 70, true);
  AddRecording("EVENT_20140301_120000.vex", 5, false);
  Poll();
  int status = 0;
  // Nothing open yet.
  EXPECT_TRUE(ReadStream(3, &status).empty());
  EXPECT_EQ(status, kVexReadFailed);

  const int id = VexSelectByName(h_, kVexContinuous, "REC_20140301_120000_D.avi");
  ASSERT_GE(id, 0);
  EXPECT_EQ(VexSelectByName(h_, kVexContinuous, "REC_20140301_120000_D.vex"), id);
  EXPECT_EQ(VexSelectByName(h_, kVexEvent, "REC_20140301_120000_D.avi"), -1);
  EXPECT_EQ(VexOpenStream(h_, kVexEvent, 0, id), 0);  // kind must match
  EXPECT_EQ(VexOpenStream(h_, kVexContinuous, 0, id + 100), 0);
  EXPECT_EQ(VexOpenStream(h_, kVexContinuous, 0, -1), 0);
  ASSERT_EQ(VexOpenStream(h_, kVexContinuous, 0, id), 1);

  auto got = ReadStream(packets.size() + 5, &status);
  EXPECT_EQ(status, kVexReadEnd);
  ASSERT_EQ(got.size(), packets.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_TRUE(vextest::SamePacket(packets[i], got[i].channel, got[i].type, got[i].payload.data(),
                                    got[i].payload.size()))
        << i;
    EXPECT_EQ(got[i].timeMs, packets[i].timeMs);
  }
  ReadStream(1, &status);
  EXPECT_EQ(status, kVexReadEnd);

  // Seeking back to block 2 lands on front picture 30; block 0 and 99 clamp.
  auto frontAt = [&](int k) {
    int n = 0;
    for (const TestPacket& p : packets) {
      if (p.channel == 0 && (p.type == vex::kTypeKeyPicture || p.type == vex::kTypePicture) &&
          n++ == k) {
        return p;
      }
    }
    return TestPacket{};
  };
  for (auto [block, front] : std::vector<std::pair<int, int>>{{2, 30}, {0, 0}, {99, 60}, {3, 60}}) {
    ASSERT_EQ(VexSeek(h_, block, 2), 1);
    auto one = ReadStream(1, &status);
    ASSERT_EQ(one.size(), 1u);
    TestPacket want = frontAt(front);
    EXPECT_TRUE(vextest::SamePacket(want, one[0].channel, one[0].type, one[0].payload.data(),
                                    one[0].payload.size()))
        << "block " << block;
  }

  // By index, of the latest listing.
  List(kVexEvent);
  const int ev = VexSelectByIndex(h_, kVexEvent, 0);
  ASSERT_GE(ev, 0);
  EXPECT_NE(ev, id);
  EXPECT_EQ(VexSelectByIndex(h_, kVexEvent, 1), -1);
  EXPECT_EQ(VexSelectByIndex(h_, kVexEvent, -1), -1);
  EXPECT_EQ(VexSelectByIndex(h_, 7, 0), -1);
  ASSERT_EQ(VexOpenStream(h_, kVexEvent, 0, ev), 1);
  got = ReadStream(1000, &status);
  EXPECT_EQ(status, kVexReadEnd);
  EXPECT_EQ(got.size(), vextest::MakePackets(vextest::Shape{5, false, 40, 24, 7}).size());

  // A failed open leaves no stream.
  EXPECT_EQ(VexOpenStream(h_, kVexContinuous, 0, ev), 0);
  ReadStream(1, &status);
  EXPECT_EQ(status, kVexReadFailed);
  EXPECT_EQ(VexSeek(h_, 1, 1), 0);
}

TEST_F(CardTest, TooSmallBufferFailsAndLeavesTheOutputs) {
  AddRecording("REC_20140301_120000.vex", 3, false);
  Poll();
  ASSERT_EQ(VexOpenStream(h_, kVexContinuous, 0,
                          VexSelectByName(h_, kVexContinuous, "REC_20140301_120000.avi")),
            1);
  std::uint8_t channel = 0xFF, type = 0xFF, flags = 0xFF;
  std::uint8_t buf[4] = {1, 2, 3, 4};
  int size = 4;
  std::int32_t scratch = 77;
  EXPECT_EQ(VexReadPacket(h_, &channel, &type, &flags, &size, buf, &scratch), kVexReadFailed);
  EXPECT_EQ(channel, 0xFF);
  EXPECT_EQ(type, 0xFF);
  EXPECT_EQ(flags, 0xFF);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(scratch, 77);
  size = -3;
  EXPECT_EQ(VexReadPacket(h_, &channel, &type, &flags, &size, buf, &scratch), kVexReadFailed);
  EXPECT_EQ(VexReadPacket(h_, &channel, &type, &flags, nullptr, buf, &scratch), kVexReadFailed);
}

// Reading a block needs memory for it; when there is none, the read reports a failure (nothing
// thrown out of the library, the outputs as they were) and the next read goes on from the same
// packet.
TEST_F(CardTest, AReadThatRunsOutOfMemoryFailsAndTheStreamGoesOn) {
  vextest::Shape shape;
  shape.frontFrames = 40;
  shape.maxPicture = 4000;  // blocks far larger than the reader's first look at the file
  auto packets = vextest::MakePackets(shape);
  ASSERT_TRUE(vextest::WriteRecording(Vex("REC_20140301_120000_D.vex"), packets, true));
  Poll();
  ASSERT_EQ(VexOpenStream(h_, kVexContinuous, 0,
                          VexSelectByName(h_, kVexContinuous, "REC_20140301_120000_D.avi")),
            1);
  std::vector<std::uint8_t> buf(1048576);
  std::uint8_t channel = 0xFF, type = 0xFF, flags = 0xFF;
  int size = int(buf.size());
  std::int32_t scratch = 77;
  int status = -1, refused = 0;
  bool threw = false;
  {
    roadeye_test::AllocationFailure fail;
    try {
      status = VexReadPacket(h_, &channel, &type, &flags, &size, buf.data(), &scratch);
    } catch (...) {
      threw = true;
    }
    refused = fail.refused();
  }
  ASSERT_FALSE(threw) << "an exception left the library";
  ASSERT_GT(refused, 0) << "the read needed no memory";
  EXPECT_EQ(status, kVexReadFailed);
  EXPECT_EQ(channel, 0xFF);
  EXPECT_EQ(type, 0xFF);
  EXPECT_EQ(size, int(buf.size()));
  EXPECT_EQ(scratch, 77);

  auto got = ReadStream(packets.size() + 5, &status);
  EXPECT_EQ(status, kVexReadEnd);
  ASSERT_EQ(got.size(), packets.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_TRUE(vextest::SamePacket(packets[i], got[i].channel, got[i].type, got[i].payload.data(),
                                    got[i].payload.size()))
        << i;
  }
}

TEST_F(CardTest, AttachForgetsListingsAndFileIds) {
  AddRecording("REC_20140301_120000.vex", 3, false);
  List(kVexContinuous);
  const int id = VexSelectByIndex(h_, kVexContinuous, 0);
  ASSERT_GE(id, 0);
  VexCardAttach(h_);
  EXPECT_EQ(VexOpenStream(h_, kVexContinuous, 0, id), 0);
  // Without a listing, an index refers to the card as it is now.
  EXPECT_GE(VexSelectByIndex(h_, kVexContinuous, 0), 0);
}

TEST_F(CardTest, ReadsOnOneThreadWhileAnotherListsAndDescribes) {
  auto packets = AddRecording("REC_20140301_120000_D.vex", 120, true);
  AddRecording("EVENT_20140301_120000.vex", 20, false);
  Poll();
  ASSERT_EQ(VexOpenStream(h_, kVexContinuous, 0,
                          VexSelectByName(h_, kVexContinuous, "REC_20140301_120000_D.avi")),
            1);
  std::atomic<bool> done{false};
  std::thread lister([&] {
    while (!done) {
      List(kVexEvent);
      char text[kVexTextBytes];
      VexDescribeIndexed(h_, "EVENT_20140301_120000.avi", 0, nullptr, nullptr, nullptr, nullptr,
                         text, nullptr);
      VexCardAttach(h_);
    }
  });
  int status = 0;
  auto got = ReadStream(packets.size() + 5, &status);
  done = true;
  lister.join();
  EXPECT_EQ(status, kVexReadEnd);
  EXPECT_EQ(got.size(), packets.size());
}

// Holds every listing at its first file until the test lets it go (at most a few seconds).
struct ListingGate {
  std::mutex lock;
  std::condition_variable changed;
  bool inside = false;
  bool open = false;

  static void Reached(void* self) {
    auto* g = static_cast<ListingGate*>(self);
    std::unique_lock<std::mutex> hold(g->lock);
    g->inside = true;
    g->changed.notify_all();
    g->changed.wait_for(hold, std::chrono::seconds(5), [&] { return g->open; });
    g->inside = false;
  }
  bool WaitInside() {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::seconds(10), [&] { return inside; });
  }
  bool Inside() {
    std::lock_guard<std::mutex> hold(lock);
    return inside;
  }
  void Open() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    changed.notify_all();
  }
};

// A look-up that lists the card's folder (a name whose letters differ from the card's, an index
// into no listing yet, a kind listed afresh) takes a while on a card of thousands of recordings:
// the card poll, which the window runs every half second, never waits for it on another thread.
TEST_F(CardTest, ThePollNeverWaitsForAListingOnAnotherThread) {
  AddRecording("REC_20140301_120000.vex", 3, false);
  const char drive = Poll();
  ASSERT_NE(drive, 0);
  const std::vector<std::pair<const char*, std::function<bool()>>> lookUps = {
      {"select by a name in other letters",
       [&] { return VexSelectByName(h_, kVexContinuous, "rec_20140301_120000.AVI") >= 0; }},
      {"select by an index", [&] { return VexSelectByIndex(h_, kVexContinuous, 0) >= 0; }},
      {"describe by an index",
       [&] {
         char text[kVexTextBytes];
         return VexDescribeIndexed(h_, "REC_20140301_120000.avi", 0, nullptr, nullptr, nullptr,
                                   nullptr, text, nullptr) == 1;
       }},
      {"count a kind", [&] { return VexKindCount(h_, drive, kVexContinuous) == 1; }},
  };
  for (const auto& entry : lookUps) {
    const auto& lookUp = entry.second;
    SCOPED_TRACE(entry.first);
    VexCardAttach(h_);  // no listing is left to answer from
    ListingGate gate;
    vex::SetListingHook(&ListingGate::Reached, &gate);
    bool found = false;
    std::thread other([&] { found = lookUp(); });
    ASSERT_TRUE(gate.WaitInside());
    char polled = 0;
    EXPECT_EQ(VexCardPoll(h_, &polled), 1);
    EXPECT_TRUE(gate.Inside()) << "the poll waited for the listing";
    gate.Open();
    other.join();
    vex::SetListingHook(nullptr, nullptr);
    EXPECT_TRUE(found);
    EXPECT_EQ(polled, drive);
  }
}

TEST_F(CardTest, CardFolderFromTheEnvironment) {
  VexHandle h = VexStart();
  platform::CDriveTable table;
  table.SetSources(tmp_ / "mountinfo", tmp_ / "no-sys");
  VexUseDriveTable(h, &table);
  ::setenv("ROADEYE_CARD", root_.c_str(), 1);
  EXPECT_EQ(VexInitialise(h, nullptr), 1);
  ::unsetenv("ROADEYE_CARD");
  char drive = 0;
  EXPECT_EQ(VexCardPoll(h, &drive), 1);
  EXPECT_EQ(drive, 'D');
  EXPECT_EQ(table.RootOf('D'), root_);
  VexRelease(h);
}

// The name's kind, camera and clock, and which clocks are real: every reader of a name (the list,
// evidence clips, snapshots' tags) takes these from here.
TEST(RecordingNames, KindCameraAndClockComeOutOfTheName) {
  vex::RecordingName n;
  ASSERT_TRUE(vex::ParseRecordingName("parking_20240229_235958_d.AVI", true, &n));
  EXPECT_EQ(n.kind, vex::kKindParking);
  EXPECT_TRUE(n.rear);
  EXPECT_EQ(n.stem, "parking_20240229_235958_d");
  EXPECT_EQ(n.stamp, 20240229235958u);
  EXPECT_EQ(std::vector<int>({n.year, n.month, n.day, n.hour, n.minute, n.second}),
            std::vector<int>({2024, 2, 29, 23, 59, 58}));
  std::int64_t seconds = 0;
  ASSERT_TRUE(vex::ClockSeconds(n, &seconds));
  EXPECT_EQ(seconds, 1709251198);  // date -u -d '2024-02-29 23:59:58' +%s
  EXPECT_FALSE(vex::ParseRecordingName("parking_20240229_235958_d.AVI", false, &n));

  for (const char* unreal :
       {"REC_20230229_120000.vex", "REC_20240431_120000.vex", "REC_20241300_120000.vex",
        "REC_20240600_120000.vex", "REC_20240612_240000.vex", "REC_20240612_126000.vex",
        "REC_20240612_120060.vex"}) {
    vex::RecordingName u;
    ASSERT_TRUE(vex::ParseRecordingName(unreal, false, &u)) << unreal;
    std::int64_t untouched = 7;
    EXPECT_FALSE(vex::ClockSeconds(u, &untouched)) << unreal;
    EXPECT_EQ(untouched, 7) << unreal;
  }
}

TEST(VexLib, NullHandleIsHarmless) {
  char d = 1;
  EXPECT_EQ(VexInitialise(nullptr, nullptr), 0);
  EXPECT_EQ(VexCardPoll(nullptr, &d), 0);
  EXPECT_EQ(VexKindCount(nullptr, 'D', 1), 0);
  EXPECT_EQ(VexSelectByName(nullptr, 1, "REC_20140301_120000.avi"), -1);
  int size = 10;
  EXPECT_EQ(VexReadPacket(nullptr, nullptr, nullptr, nullptr, &size, nullptr, nullptr),
            kVexReadFailed);
  VexRelease(nullptr);
}

TEST(VexLib, DefaultSettingsIsACompleteCrLfProfile) {
  VexHandle h = VexStart();
  char buf[kVexSettingsBytes];
  int count = kVexSettingsBytes;
  ASSERT_NE(VexDefaultSettings(h, buf, &count), 0);
  ASSERT_GT(count, 0);
  ASSERT_LT(count, kVexSettingsBytes);
  EXPECT_EQ(buf[count], '\0');
  const std::string text(buf, std::size_t(count));
  EXPECT_EQ(text.find('\0'), std::string::npos);
  // Every LF has its CR, and every CR its LF.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << i;
    }
    if (text[i] == '\r') {
      ASSERT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << i;
    }
  }
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");

  std::map<std::string, std::map<std::string, std::string>> ini;
  std::string section;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    line.pop_back();  // the CR
    if (line.empty()) continue;
    if (line.front() == '[') {
      ASSERT_EQ(line.back(), ']');
      section = line.substr(1, line.size() - 2);
      continue;
    }
    const std::size_t eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << line;
    ASSERT_FALSE(section.empty());
    EXPECT_EQ(ini[section].count(line.substr(0, eq)), 0u) << line;
    ini[section][line.substr(0, eq)] = line.substr(eq + 1);
  }
  const std::map<std::string, std::vector<std::string>> keys = {
      {"capacity", {"const", "event", "manual", "park"}},
      {"blackbox",
       {"vex_update", "mic_volume", "voice_volume", "acc_level", "motion_level", "mic_in",
        "voice_out", "power_off_vlt", "front_led", "summer_time", "park_mode", "osd_speed",
        "language", "local_time", "model", "version"}},
      {"time", {"set", "year", "month", "day", "hour", "min", "sec"}},
  };
  for (const auto& [sec, names] : keys) {
    for (const std::string& k : names) {
      ASSERT_EQ(ini[sec].count(k), 1u) << sec << "." << k;
      EXPECT_FALSE(ini[sec][k].empty()) << sec << "." << k;
      EXPECT_LE(ini[sec][k].size(), 9u) << sec << "." << k;
    }
  }
  EXPECT_EQ(ini.size(), 3u);
  auto& cap = ini["capacity"];
  EXPECT_EQ(std::stoi(cap["const"]) + std::stoi(cap["event"]) + std::stoi(cap["manual"]) +
                std::stoi(cap["park"]),
            100);
  EXPECT_EQ(ini["blackbox"]["osd_speed"], "1");
  EXPECT_EQ(ini["blackbox"]["language"], "us");
  EXPECT_EQ(ini["time"]["set"], "0");

  // Too small, by one byte (no room for the zero) or entirely.
  char small[kVexSettingsBytes];
  int n = count;
  EXPECT_EQ(VexDefaultSettings(h, small, &n), 0);
  n = count + 1;
  EXPECT_NE(VexDefaultSettings(h, small, &n), 0);
  EXPECT_EQ(n, count);
  n = 0;
  EXPECT_EQ(VexDefaultSettings(h, small, &n), 0);
  EXPECT_EQ(VexDefaultSettings(h, nullptr, &n), 0);
  VexRelease(h);
}

}  // namespace
