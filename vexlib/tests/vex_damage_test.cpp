// SPDX-License-Identifier: GPL-3.0-or-later
// Recordings cut short and damaged. Whatever the bytes, describing and reading must not crash,
// must reach the end within a bounded number of reads, and must deliver only packets that were
// written, in the order they were written; a cut-short file delivers every packet lying wholly
// before the cut.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "platform/Drives.h"
#include "vexlib/VexReader.h"
#include "vexlib/tests/VexTestCard.h"
#include "vexlib/vexlib.h"

namespace {

using vextest::CountOf;
using vextest::Ending;
using vextest::TempDir;
using vextest::TestPacket;

struct Outcome {
  bool opened = false;
  bool ended = false;
  std::vector<TestPacket> delivered;
  vex::Counts counts;
};

Outcome ReadFile(const std::string& path, std::size_t limit, std::mt19937* capacityRng = nullptr) {
  Outcome o;
  vex::VexReader r;
  if (!r.Open(path)) {
    o.ended = true;
    return o;
  }
  o.opened = true;
  o.counts = r.counts();
  static std::vector<std::uint8_t> buf(vex::kMaxPayload);  // one for all: tests run one at a time
  for (std::size_t i = 0; i < limit; ++i) {
    vex::Packet p;
    std::uint32_t capacity = std::uint32_t(buf.size());
    if (capacityRng && (*capacityRng)() % 4 == 0) capacity = (*capacityRng)() % 64;
    const vex::ReadStatus s = r.Next(&p, buf.data(), capacity);
    if (s == vex::ReadStatus::kEnd) {
      o.ended = true;
      return o;
    }
    if (s == vex::ReadStatus::kTooLarge && capacityRng) continue;
    EXPECT_EQ(s, vex::ReadStatus::kOk);
    if (s != vex::ReadStatus::kOk) return o;
    EXPECT_LE(p.size, capacity);
    TestPacket t;
    t.channel = p.channel;
    t.type = p.type;
    t.payload.assign(buf.begin(), buf.begin() + p.size);
    o.delivered.push_back(std::move(t));
  }
  return o;
}

bool SameCounts(const vex::Counts& a, const vex::Counts& b) {
  return a.front == b.front && a.rear == b.rear && a.audio == b.audio && a.gps == b.gps &&
         a.gsensor == b.gsensor;
}

bool SameList(const std::vector<TestPacket>& got, const std::vector<TestPacket>& want) {
  if (got.size() != want.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!vextest::SamePacket(want[i], got[i].channel, got[i].type, got[i].payload.data(),
                             got[i].payload.size())) {
      return false;
    }
  }
  return true;
}

class DamageTest : public ::testing::TestWithParam<Ending> {
 protected:
  void Build(int frontFrames = 75) {
    vextest::Shape s;
    s.frontFrames = frontFrames;
    s.seed = 11;
    packets_ = vextest::MakePackets(s);
    path_ = dir_ / "REC_20240101_120000_D.vex";
    ASSERT_TRUE(vextest::WriteRecording(path_, packets_, true, GetParam()));
    bytes_ = vextest::ReadAll(path_);
    layout_ = vextest::Walk(bytes_);
    ASSERT_GE(layout_.blockOffsets.size(), 1u);
  }

  // The written packets lying wholly inside the first `cut` bytes.
  std::vector<TestPacket> WhollyBefore(std::uint64_t cut) const {
    std::vector<TestPacket> out;
    for (std::size_t i = 0; i < layout_.packetEnds.size(); ++i) {
      if (layout_.packetEnds[i] <= cut) out.push_back(packets_[i]);
    }
    return out;
  }

  std::vector<TestPacket> AllBut(std::size_t block) const {
    std::vector<TestPacket> out;
    for (std::size_t i = 0; i < layout_.packetEnds.size(); ++i) {
      if (layout_.recordBlock[i] != block && layout_.packetEnds[i] <= bytes_.size()) {
        out.push_back(packets_[i]);
      }
    }
    return out;
  }

  TempDir dir_;
  std::string path_;
  std::vector<TestPacket> packets_;
  std::vector<std::uint8_t> bytes_;
  vextest::Layout layout_;
};

TEST_P(DamageTest, CutAtEveryByteDeliversEveryWholePacketBeforeTheCut) {
  Build();
  const std::string cutPath = dir_ / "cut.vex";
  vextest::WriteAll(cutPath, bytes_);
  const std::size_t limit = packets_.size() + 5;
  int failures = 0;
  for (std::uint64_t cut = bytes_.size() + 1; cut-- > 0 && failures < 5;) {
    ASSERT_EQ(::truncate(cutPath.c_str(), off_t(cut)), 0);
    Outcome o = ReadFile(cutPath, limit);
    const std::vector<TestPacket> want = WhollyBefore(cut);
    bool ok = o.ended && o.opened == (cut >= vex::kHeaderSize) && SameList(o.delivered, want) &&
              (!o.opened || SameCounts(o.counts, CountOf(want)));
    if (!ok) {
      ++failures;
      ADD_FAILURE() << "cut at " << cut << " of " << bytes_.size() << ": delivered "
                    << o.delivered.size() << ", want " << want.size() << ", ended " << o.ended;
    }
  }
}

TEST_P(DamageTest, DamagedRecordLosesOnlyItsBlock) {
  Build();
  const std::string path = dir_ / "damaged.vex";
  for (std::size_t i = 0; i < layout_.recordOffsets.size(); i += 3) {
    if (layout_.packetEnds[i] > bytes_.size()) continue;  // the record cut by the power loss
    const std::uint64_t at = layout_.recordOffsets[i];
    for (int how = 0; how < 4; ++how) {
      std::vector<std::uint8_t> f = bytes_;
      const std::uint32_t size = vex::Load32(&f[at + 4]);
      switch (how) {
        case 0:
          vex::Store32(&f[at + 4], size + 1);
          break;
        case 1:
          vex::Store32(&f[at + 4], size >= 12 ? size - 12 : size + 12);
          break;
        case 2:
          f[at + 1] = 7;  // type
          break;
        case 3:
          vex::Store32(&f[at + 4], 0xFFFFFFF0u);
          break;
      }
      vextest::WriteAll(path, f);
      Outcome o = ReadFile(path, packets_.size() + 5);
      const bool lastCutBlock = GetParam() == Ending::kPowerCutHalfBlock &&
                                layout_.recordBlock[i] + 1 == layout_.blockOffsets.size();
      ASSERT_TRUE(o.ended);
      ASSERT_TRUE(vextest::IsSubsequence(o.delivered, packets_))
          << "record " << i << " how " << how;
      if (!lastCutBlock) {
        ASSERT_TRUE(SameList(o.delivered, AllBut(layout_.recordBlock[i])))
            << "record " << i << " how " << how << ": " << o.delivered.size();
      }
    }
  }
}

TEST_P(DamageTest, DamagedBlockHeaderLosesOnlyThatBlock) {
  Build();
  const std::string path = dir_ / "damaged.vex";
  for (std::size_t b = 0; b < layout_.blockOffsets.size(); ++b) {
    for (std::size_t field = 0; field < vex::kBlockHeaderSize; field += 4) {
      std::vector<std::uint8_t> f = bytes_;
      f[layout_.blockOffsets[b] + field] ^= 0x40;
      vextest::WriteAll(path, f);
      Outcome o = ReadFile(path, packets_.size() + 5);
      ASSERT_TRUE(o.ended);
      ASSERT_TRUE(SameList(o.delivered, AllBut(b)))
          << "block " << b << " field " << field << ": " << o.delivered.size();
    }
  }
}

// Damage to the fields a reader trusts: sizes, counts, offsets, numbers, in the file header
// (checksum made right again), the block headers (checksum right or not), the packet records and
// the index. Only written packets may come out, in order.
TEST_P(DamageTest, ExtremeFieldValuesNeverMakePacketsUp) {
  Build();
  const std::string path = dir_ / "damaged.vex";
  std::mt19937 rng(1234);
  auto extreme = [&rng](std::uint32_t was) -> std::uint32_t {
    switch (rng() % 10) {
      case 0:
        return 0;
      case 1:
        return 1;
      case 2:
        return 0xFFFFFFFFu;
      case 3:
        return 0x7FFFFFFFu;
      case 4:
        return 0x80000000u;
      case 5:
        return was + 1;
      case 6:
        return was - 1;
      case 7:
        return was + 12;
      case 8:
        return was * 2;
      default:
        return std::uint32_t(rng());
    }
  };
  const int trials = 2500;
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<std::uint8_t> f = bytes_;
    const int hits = 1 + int(rng() % 3);
    for (int k = 0; k < hits; ++k) {
      switch (rng() % 4) {
        case 0: {  // file header field, checksum fixed
          static const int kFields[] = {8, 12, 24, 28, 32, 36, 40, 44, 48, 56, 60};
          const int at = kFields[rng() % std::size(kFields)];
          vex::Store32(&f[std::size_t(at)], extreme(vex::Load32(&f[std::size_t(at)])));
          if (rng() % 4 == 0) f[7] ^= vex::kFlagFinalised;
          vex::Store32(&f[208], vex::Crc32(f.data(), 208));
          break;
        }
        case 1: {  // block header field, checksum fixed or not
          const std::uint64_t b = layout_.blockOffsets[rng() % layout_.blockOffsets.size()];
          const std::size_t at = std::size_t(b) + 4 + 4 * (rng() % 4);
          vex::Store32(&f[at], extreme(vex::Load32(&f[at])));
          if (rng() % 2) vex::Store32(&f[std::size_t(b) + 20], vex::Crc32(&f[std::size_t(b)], 20));
          break;
        }
        case 2: {  // packet record field
          const std::size_t r =
              std::size_t(layout_.recordOffsets[rng() % layout_.recordOffsets.size()]);
          if (r + vex::kPacketHeaderSize > f.size()) break;
          if (rng() % 2) {
            vex::Store32(&f[r + 4], extreme(vex::Load32(&f[r + 4])));
          } else {
            f[r + rng() % 4] = std::uint8_t(rng() % 5);
          }
          break;
        }
        case 3: {  // index
          if (layout_.indexOffset == 0) break;
          const std::size_t entries = layout_.blockOffsets.size();
          const std::size_t at =
              std::size_t(layout_.indexOffset) + 4 + 4 * (rng() % (1 + entries * 4));
          if (at + 4 > f.size()) break;
          vex::Store32(&f[at], extreme(vex::Load32(&f[at])));
          if (rng() % 2) {
            const std::size_t idx = std::size_t(layout_.indexOffset);
            const std::size_t crcAt = f.size() - 4;
            vex::Store32(&f[crcAt], vex::Crc32(&f[idx], crcAt - idx));
          }
          break;
        }
      }
    }
    vextest::WriteAll(path, f);
    Outcome o = ReadFile(path, packets_.size() + 5);
    ASSERT_TRUE(o.ended) << "trial " << trial;
    ASSERT_TRUE(vextest::IsSubsequence(o.delivered, packets_)) << "trial " << trial;
  }
}

// Bytes changed anywhere, payloads included, read with buffers often too small: no crash, the end
// within a bounded number of reads, and still only packets that were written.
TEST_P(DamageTest, RandomBytesAnywhereEndWithinBoundedReads) {
  Build(40);
  const std::string path = dir_ / "damaged.vex";
  std::mt19937 rng(99);
  for (int trial = 0; trial < 1500; ++trial) {
    std::vector<std::uint8_t> f = bytes_;
    const int hits = 1 + int(rng() % 16);
    for (int k = 0; k < hits; ++k) f[rng() % f.size()] = std::uint8_t(rng());
    if (rng() % 3 == 0) f.resize(rng() % f.size());
    vextest::WriteAll(path, f);
    Outcome o = ReadFile(path, f.size() / vex::kPacketHeaderSize + 5, &rng);
    ASSERT_TRUE(o.ended) << "trial " << trial;
    ASSERT_TRUE(vextest::IsSubsequence(o.delivered, packets_)) << "trial " << trial;
  }
}

// A changed payload byte costs that packet alone.
TEST_P(DamageTest, DamagedPayloadLosesOnlyThatPacket) {
  Build();
  const std::string path = dir_ / "damaged.vex";
  for (std::size_t i = 0; i < layout_.recordOffsets.size(); i += 5) {
    if (layout_.packetEnds[i] > bytes_.size() || packets_[i].payload.empty()) continue;
    std::vector<std::uint8_t> f = bytes_;
    const std::size_t size = packets_[i].payload.size();
    f[std::size_t(layout_.recordOffsets[i]) + vex::kPacketHeaderSize + (i * 7) % size] ^= 0x10;
    vextest::WriteAll(path, f);
    Outcome o = ReadFile(path, packets_.size() + 5);
    std::vector<TestPacket> want;
    for (std::size_t k = 0; k < layout_.packetEnds.size(); ++k) {
      if (k != i && layout_.packetEnds[k] <= bytes_.size()) want.push_back(packets_[k]);
    }
    ASSERT_TRUE(o.ended);
    ASSERT_TRUE(SameList(o.delivered, want)) << "packet " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, DamageTest,
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

// The same through the library's operations, on a card: describe, select, open and read a
// recording cut at a sample of positions.
TEST(DamageThroughTheLibrary, CutRecordingsDescribeAndPlayWhatIsThere) {
  TempDir tmp;
  const std::string root = tmp / "card";
  std::filesystem::create_directories(root + "/VEX");
  vextest::WriteAll(tmp / "mountinfo", {});
  platform::CDriveTable table;
  table.SetSources(tmp / "mountinfo", tmp / "no-sys");
  VexHandle h = VexStart();
  VexUseDriveTable(h, &table);
  VexInitialise(h, root.c_str());
  char drive = 0;
  ASSERT_EQ(VexCardPoll(h, &drive), 1);

  vextest::Shape s;
  s.frontFrames = 64;
  auto packets = vextest::MakePackets(s);
  const std::string full = tmp / "full.vex";
  ASSERT_TRUE(vextest::WriteRecording(full, packets, true));
  const auto bytes = vextest::ReadAll(full);
  const auto layout = vextest::Walk(bytes);
  const std::string name = "EVENT_20240101_120000_D.avi";
  const std::string onCard = root + "/VEX/EVENT_20240101_120000_D.vex";
  std::vector<std::uint8_t> buf(1048576);

  for (std::size_t cut = 0; cut <= bytes.size(); cut += (cut < 400 ? 7 : 97)) {
    vextest::WriteAll(onCard, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + cut));
    std::vector<TestPacket> want;
    for (std::size_t i = 0; i < layout.packetEnds.size(); ++i) {
      if (layout.packetEnds[i] <= cut) want.push_back(packets[i]);
    }
    char text[kVexTextBytes];
    std::uint16_t front = 0, rear = 0;
    const int described =
        VexDescribe(h, name.c_str(), nullptr, &front, &rear, nullptr, text, nullptr);
    ASSERT_EQ(described, cut >= vex::kHeaderSize ? 1 : 0) << cut;
    ASSERT_EQ(std::string(text).empty(), described == 0) << cut;
    const int id = VexSelectByName(h, kVexEvent, name.c_str());
    ASSERT_GE(id, 0);
    if (VexOpenStream(h, kVexEvent, 0, id) != 1) {
      ASSERT_LT(cut, vex::kHeaderSize);
      continue;
    }
    const vex::Counts c = CountOf(want);
    ASSERT_EQ(front, c.front) << cut;
    ASSERT_EQ(rear, c.rear) << cut;
    std::vector<TestPacket> got;
    int status = -1;
    for (std::size_t i = 0; i < packets.size() + 5; ++i) {
      std::uint8_t channel, type, flags;
      int size = int(buf.size());
      status = VexReadPacket(h, &channel, &type, &flags, &size, buf.data(), nullptr);
      if (status != kVexReadOk) break;
      TestPacket t;
      t.channel = channel;
      t.type = type;
      t.payload.assign(buf.begin(), buf.begin() + size);
      got.push_back(std::move(t));
    }
    ASSERT_EQ(status, kVexReadEnd) << cut;
    ASSERT_TRUE(SameList(got, want)) << cut << ": " << got.size() << " of " << want.size();
  }
  VexRelease(h);
}

}  // namespace
