// SPDX-License-Identifier: GPL-3.0-or-later
// One recording read back: blocks from the index or by walking, counts, packets in order, seeking.
#include <gtest/gtest.h>

#include "vexlib/VexReader.h"
#include "vexlib/tests/VexTestCard.h"

namespace {

using vextest::CountOf;
using vextest::Ending;
using vextest::TempDir;
using vextest::TestPacket;

std::vector<TestPacket> ReadEverything(vex::VexReader& r, std::size_t limit) {
  std::vector<TestPacket> out;
  std::vector<std::uint8_t> buf(vex::kMaxPayload);
  for (std::size_t i = 0; i < limit; ++i) {
    vex::Packet p;
    vex::ReadStatus s = r.Next(&p, buf.data(), std::uint32_t(buf.size()));
    if (s == vex::ReadStatus::kEnd) return out;
    EXPECT_EQ(s, vex::ReadStatus::kOk);
    if (s != vex::ReadStatus::kOk) return out;
    TestPacket t;
    t.channel = p.channel;
    t.type = p.type;
    t.timeMs = p.timeMs;
    t.payload.assign(buf.begin(), buf.begin() + p.size);
    out.push_back(std::move(t));
  }
  ADD_FAILURE() << "no end after " << limit << " reads";
  return out;
}

void ExpectSame(const std::vector<TestPacket>& got, const std::vector<TestPacket>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(vextest::SamePacket(want[i], got[i].channel, got[i].type, got[i].payload.data(),
                                    got[i].payload.size()))
        << "packet " << i;
    EXPECT_EQ(got[i].timeMs, want[i].timeMs) << "packet " << i;
  }
}

void ExpectCounts(const vex::Counts& got, const vex::Counts& want) {
  EXPECT_EQ(got.front, want.front);
  EXPECT_EQ(got.rear, want.rear);
  EXPECT_EQ(got.audio, want.audio);
  EXPECT_EQ(got.gps, want.gps);
  EXPECT_EQ(got.gsensor, want.gsensor);
}

TEST(VexReader, ClosedRecordingUsesItsIndexAndDeliversEveryPacket) {
  TempDir dir;
  vextest::Shape shape;
  shape.frontFrames = 95;
  auto packets = vextest::MakePackets(shape);
  const std::string path = dir / "REC_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true));

  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  EXPECT_TRUE(r.indexUsed());
  EXPECT_TRUE(r.header().flags & vex::kFlagFinalised);
  ASSERT_EQ(r.blocks().size(), 4u);
  EXPECT_EQ(r.blocks()[3].firstFront, 90u);
  ExpectCounts(r.counts(), CountOf(packets));
  EXPECT_EQ(r.counts().front, 95u);
  EXPECT_EQ(r.counts().gps, 4u);
  ExpectSame(ReadEverything(r, packets.size() + 2), packets);
  // The end stays the end.
  vex::Packet p;
  std::uint8_t b[16];
  EXPECT_EQ(r.Next(&p, b, sizeof b), vex::ReadStatus::kEnd);
  EXPECT_EQ(r.Next(&p, b, sizeof b), vex::ReadStatus::kEnd);
}

TEST(VexReader, PowerCutRecordingIsWalkedAndCounted) {
  TempDir dir;
  vextest::Shape shape;
  shape.frontFrames = 80;
  auto packets = vextest::MakePackets(shape);
  const std::string path = dir / "REC_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true, Ending::kPowerCut));

  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  EXPECT_FALSE(r.indexUsed());
  EXPECT_EQ(r.header().frontCount, 0u);  // provisional header
  ASSERT_EQ(r.blocks().size(), 2u);      // the third block was still being gathered
  // Everything before front picture 60 (0-based) was written out.
  std::vector<TestPacket> expected;
  int fronts = 0;
  for (const TestPacket& p : packets) {
    const bool front =
        p.channel == 0 && (p.type == vex::kTypeKeyPicture || p.type == vex::kTypePicture);
    if (front && fronts++ == 60) break;
    expected.push_back(p);
  }
  ExpectCounts(r.counts(), CountOf(expected));
  EXPECT_EQ(r.counts().front, 60u);
  ExpectSame(ReadEverything(r, packets.size()), expected);
}

TEST(VexReader, HalfWrittenLastBlockDeliversItsWholePackets) {
  TempDir dir;
  vextest::Shape shape;
  shape.frontFrames = 50;
  auto packets = vextest::MakePackets(shape);
  const std::string path = dir / "EVENT_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true, Ending::kPowerCutHalfBlock));
  auto bytes = vextest::ReadAll(path);
  auto layout = vextest::Walk(bytes);
  std::vector<TestPacket> expected;
  for (std::size_t i = 0; i < layout.packetEnds.size(); ++i) {
    if (layout.packetEnds[i] <= bytes.size()) expected.push_back(packets[i]);
  }
  ASSERT_GT(expected.size(), 80u);
  ASSERT_LT(expected.size(), packets.size());

  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  ASSERT_EQ(r.blocks().size(), 2u);
  EXPECT_LT(r.blocks()[1].available, r.blocks()[1].bytes);
  ExpectCounts(r.counts(), CountOf(expected));
  ExpectSame(ReadEverything(r, packets.size()), expected);
}

TEST(VexReader, SeekLandsOnTheBlocksFirstFrontPicture) {
  TempDir dir;
  vextest::Shape shape;
  shape.frontFrames = 100;
  auto packets = vextest::MakePackets(shape);
  const std::string path = dir / "REC_20240101_120000_D.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, true));
  // Sequence number of front picture k.
  std::vector<std::uint32_t> frontSeq;
  for (const TestPacket& p : packets) {
    if (p.channel == 0 && (p.type == vex::kTypeKeyPicture || p.type == vex::kTypePicture)) {
      frontSeq.push_back(vex::Load32(p.payload.data()));
    }
  }

  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  ASSERT_EQ(r.blocks().size(), 4u);
  std::vector<std::uint8_t> buf(4096);
  vex::Packet p;
  for (int block : {3, 1, 4, 2, 0, -7, 5, 1000}) {
    r.SeekBlock(block);
    ASSERT_EQ(r.Next(&p, buf.data(), std::uint32_t(buf.size())), vex::ReadStatus::kOk);
    const int landed = std::clamp(block, 1, 4);
    EXPECT_EQ(p.channel, 0);
    EXPECT_EQ(p.type, vex::kTypeKeyPicture);
    EXPECT_EQ(vex::Load32(buf.data()), frontSeq[std::size_t(landed - 1) * 30]) << block;
  }
  // After a seek to the last block, the rest of the recording follows, then the end.
  r.SeekBlock(4);
  std::size_t n = 0;
  while (r.Next(&p, buf.data(), std::uint32_t(buf.size())) == vex::ReadStatus::kOk) ++n;
  std::size_t fromBlock4 = 0;
  int fronts = 0;
  for (const TestPacket& q : packets) {
    if (q.channel == 0 && (q.type == vex::kTypeKeyPicture || q.type == vex::kTypePicture)) {
      ++fronts;
    }
    if (fronts > 90) ++fromBlock4;
  }
  EXPECT_EQ(n, fromBlock4);
}

TEST(VexReader, PacketLargerThanTheBufferIsPassedOver) {
  TempDir dir;
  vextest::Shape shape;
  shape.frontFrames = 3;
  shape.rear = false;
  auto packets = vextest::MakePackets(shape);
  const std::string path = dir / "REC_20240101_120000.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, packets, false));
  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  std::vector<std::uint8_t> buf(4096);
  vex::Packet p;
  p.size = 12345;
  ASSERT_EQ(r.Next(&p, buf.data(), 2), vex::ReadStatus::kTooLarge);
  EXPECT_EQ(p.size, 12345u);
  ASSERT_EQ(r.Next(&p, buf.data(), std::uint32_t(buf.size())), vex::ReadStatus::kOk);
  EXPECT_TRUE(vextest::SamePacket(packets[1], p.channel, p.type, buf.data(), p.size));
}

TEST(VexReader, RefusesWhatIsNotARecording) {
  TempDir dir;
  vex::VexReader r;
  EXPECT_FALSE(r.Open(dir / "missing.vex"));
  EXPECT_FALSE(r.Open(dir.path()));  // a folder
  vextest::WriteAll(dir / "short.vex", std::vector<std::uint8_t>(100, 0));
  EXPECT_FALSE(r.Open(dir / "short.vex"));
  vextest::WriteAll(dir / "zeros.vex", std::vector<std::uint8_t>(5000, 0));
  EXPECT_FALSE(r.Open(dir / "zeros.vex"));
  // A header with one bit changed fails its checksum.
  auto packets = vextest::MakePackets(vextest::Shape{});
  ASSERT_TRUE(vextest::WriteRecording(dir / "good.vex", packets, true));
  auto bytes = vextest::ReadAll(dir / "good.vex");
  bytes[3] ^= 1;
  vextest::WriteAll(dir / "bad.vex", bytes);
  EXPECT_FALSE(r.Open(dir / "bad.vex"));
  // A link is not followed.
  std::filesystem::create_symlink(dir / "good.vex", dir / "link.vex");
  EXPECT_FALSE(r.Open(dir / "link.vex"));
  EXPECT_TRUE(r.Open(dir / "good.vex"));
  vex::Packet p;
  r.Close();
  EXPECT_EQ(r.Next(&p, nullptr, 0), vex::ReadStatus::kError);
}

TEST(VexReader, HeaderOnlyRecordingHasNoPackets) {
  TempDir dir;
  const std::string path = dir / "REC_20240101_120000.vex";
  ASSERT_TRUE(vextest::WriteRecording(path, {}, false, Ending::kPowerCut));
  vex::VexReader r;
  ASSERT_TRUE(r.Open(path));
  EXPECT_TRUE(r.blocks().empty());
  EXPECT_EQ(r.counts().front, 0u);
  vex::Packet p;
  std::uint8_t b[4];
  r.SeekBlock(3);
  EXPECT_EQ(r.Next(&p, b, sizeof b), vex::ReadStatus::kEnd);
}

TEST(VexFormat, RecordsRoundTripAndRejectWhatACameraWouldNotWrite) {
  vex::Header h = vextest::MakeHeader(true);
  h.frontCount = 7;
  h.indexOffset = 0x123456789ull;
  std::uint8_t raw[vex::kHeaderSize];
  vex::EncodeHeader(h, raw);
  vex::Header back;
  ASSERT_TRUE(vex::DecodeHeader(raw, &back));
  EXPECT_EQ(back.frontCount, 7u);
  EXPECT_EQ(back.indexOffset, 0x123456789ull);
  EXPECT_EQ(back.model, "RE-2CH");
  EXPECT_EQ(raw[3], 30);
  EXPECT_EQ(vex::Load16(raw + 20), 720);
  EXPECT_EQ(vex::Load16(raw + 52), 1280);

  vex::PacketHeader ph;
  ph.type = vex::kTypeSound;
  ph.size = 10;
  std::uint8_t rec[vex::kPacketHeaderSize];
  vex::EncodePacketHeader(ph, rec);
  vex::PacketHeader pb;
  EXPECT_TRUE(vex::DecodePacketHeader(rec, &pb));
  rec[0] = 1;  // sound on the rear channel
  EXPECT_FALSE(vex::DecodePacketHeader(rec, &pb));
  rec[0] = 0;
  EXPECT_TRUE(vex::DecodePacketHeader(rec, &pb));
  rec[3] ^= 1;  // check byte
  EXPECT_FALSE(vex::DecodePacketHeader(rec, &pb));
  rec[3] ^= 1;
  // Every change of one byte is caught.
  for (std::size_t i = 0; i < vex::kPacketHeaderSize; ++i) {
    for (int v = 1; v < 256; ++v) {
      rec[i] ^= std::uint8_t(v);
      EXPECT_FALSE(vex::DecodePacketHeader(rec, &pb)) << i << " " << v;
      rec[i] ^= std::uint8_t(v);
    }
  }
  ph.size = vex::kMaxPayload + 1;
  vex::EncodePacketHeader(ph, rec);
  EXPECT_FALSE(vex::DecodePacketHeader(rec, &pb));
  ph.size = vex::kMaxPayload;
  ph.type = vex::kTypePicture;
  ph.channel = 1;
  vex::EncodePacketHeader(ph, rec);
  EXPECT_TRUE(vex::DecodePacketHeader(rec, &pb));
  EXPECT_EQ(pb.channel, 1);

  vex::VexWriter w;
  TempDir dir;
  ASSERT_TRUE(w.Open(dir / "x.vex", h));
  std::uint8_t one = 'G';
  EXPECT_FALSE(w.AddPacket(1, vex::kTypeText, &one, 1, 0));
  EXPECT_FALSE(w.AddPacket(0, 9, &one, 1, 0));
  EXPECT_FALSE(w.AddPacket(0, vex::kTypeText, nullptr, 1, 0));
  EXPECT_TRUE(w.AddPacket(0, vex::kTypeText, nullptr, 0, 0));
  EXPECT_TRUE(w.Close());
}

}  // namespace
