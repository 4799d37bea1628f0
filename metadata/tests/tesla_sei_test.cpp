// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures built here as a Tesla writes them: the protobuf encoded by hand from the published
// field numbers (so that a wrong number in our .proto shows), escaped, framed as H.264 or H.265.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "metadata/TeslaSei.h"

namespace metadata {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Varint(Bytes* b, std::uint64_t v) {
  while (v >= 0x80) {
    b->push_back(std::uint8_t(v | 0x80));
    v >>= 7;
  }
  b->push_back(std::uint8_t(v));
}
void VarintField(Bytes* b, int field, std::uint64_t v) {
  Varint(b, std::uint64_t(field) << 3);
  Varint(b, v);
}
void FloatField(Bytes* b, int field, float f) {
  Varint(b, (std::uint64_t(field) << 3) | 5);
  std::uint8_t raw[4];
  std::memcpy(raw, &f, 4);
  b->insert(b->end(), raw, raw + 4);
}
void DoubleField(Bytes* b, int field, double d) {
  Varint(b, (std::uint64_t(field) << 3) | 1);
  std::uint8_t raw[8];
  std::memcpy(raw, &d, 8);
  b->insert(b->end(), raw, raw + 8);
}

// A drive: in drive, left blinker and brake on, autosteer, at 37.5665 N 126.978 E heading 0.5.
Bytes Message(double lat = 37.5665, double lon = 126.978) {
  Bytes m;
  VarintField(&m, 1, 1);
  VarintField(&m, 2, 1);  // drive
  VarintField(&m, 3, 1234);
  FloatField(&m, 4, 12.5f);
  FloatField(&m, 5, 0.25f);
  FloatField(&m, 6, -30.0f);
  VarintField(&m, 7, 1);
  VarintField(&m, 9, 1);
  VarintField(&m, 10, 2);  // autosteer
  DoubleField(&m, 11, lat);
  DoubleField(&m, 12, lon);
  DoubleField(&m, 13, 0.5);  // its zero bytes need escaping
  DoubleField(&m, 14, 9.80665);
  DoubleField(&m, 15, -4.903325);
  DoubleField(&m, 16, 0.0);
  return m;
}

// One SEI NAL unit (without start code or length): header, payload type 5, size, marker, message,
// stop bit; escaped after the header.
Bytes SeiUnit(const Bytes& message, bool h265, const Bytes& marker = {0x42, 0x42, 0x42, 0x69},
              int sizeDelta = 0) {
  Bytes rbsp = {5};
  std::size_t size = marker.size() + message.size() + sizeDelta;
  while (size >= 255) {
    rbsp.push_back(0xFF);
    size -= 255;
  }
  rbsp.push_back(std::uint8_t(size));
  rbsp.insert(rbsp.end(), marker.begin(), marker.end());
  rbsp.insert(rbsp.end(), message.begin(), message.end());
  rbsp.push_back(0x80);
  Bytes unit = h265 ? Bytes{0x50, 0x01} : Bytes{0x06};  // H.265: a suffix SEI
  int zeros = 0;
  for (std::uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      unit.push_back(3);
      zeros = 0;
    }
    unit.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return unit;
}

bool HasEscape(const Bytes& unit) {
  for (std::size_t i = 2; i < unit.size(); ++i) {
    if (unit[i - 2] == 0 && unit[i - 1] == 0 && unit[i] == 3) return true;
  }
  return false;
}

// A picture in Annex B: a parameter set, the SEI, a slice.
Bytes AnnexB(const Bytes& sei) {
  Bytes p = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1f, 0, 0, 1};
  p.insert(p.end(), sei.begin(), sei.end());
  const Bytes slice = {0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x21};
  p.insert(p.end(), slice.begin(), slice.end());
  return p;
}

// A picture as MP4 stores it: 4-byte lengths.
Bytes LengthPrefixed(const std::vector<Bytes>& units) {
  Bytes p;
  for (const Bytes& u : units) {
    const std::uint32_t n = std::uint32_t(u.size());
    p.insert(p.end(),
             {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    p.insert(p.end(), u.begin(), u.end());
  }
  return p;
}

void ExpectDrive(const CameraMetadata& m, int mediaMs) {
  EXPECT_EQ(m.format, Format::kTesla);
  ASSERT_EQ(m.vehicle.size(), 1u);
  const VehicleState& s = m.vehicle[0];
  EXPECT_EQ(s.mediaMs, mediaMs);
  EXPECT_EQ(s.gear, 'D');
  EXPECT_TRUE(s.blinkLeft);
  EXPECT_FALSE(s.blinkRight);
  EXPECT_TRUE(s.brake);
  EXPECT_EQ(s.autopilot, 2);
  EXPECT_DOUBLE_EQ(s.speedKmh, 45.0);
  EXPECT_DOUBLE_EQ(s.acceleratorPercent, 25.0);
  EXPECT_DOUBLE_EQ(s.steeringDegrees, -30.0);
  ASSERT_EQ(m.fixes.size(), 1u);
  const Fix& f = m.fixes[0];
  EXPECT_EQ(f.mediaMs, mediaMs);
  EXPECT_FALSE(f.hasClock);
  EXPECT_TRUE(f.valid);
  EXPECT_DOUBLE_EQ(f.latitude, 37.5665);
  EXPECT_DOUBLE_EQ(f.longitude, 126.978);
  EXPECT_DOUBLE_EQ(f.speedKmh, 45.0);
  EXPECT_DOUBLE_EQ(f.course, 0.5);
  ASSERT_EQ(m.gsensor.size(), 1u);
  EXPECT_DOUBLE_EQ(m.gsensor[0].x, 1.0);
  EXPECT_DOUBLE_EQ(m.gsensor[0].y, -0.5);
  EXPECT_DOUBLE_EQ(m.gsensor[0].z, 0.0);
}

TEST(TeslaSeiTest, ReadsTheCarStateOfAnH264PictureWithEscapedBytes) {
  const Bytes sei = SeiUnit(Message(), false);
  ASSERT_TRUE(HasEscape(sei));
  const Bytes picture = AnnexB(sei);
  CameraMetadata m;
  EXPECT_TRUE(ParseTeslaPicture(picture.data(), picture.size(), false, 1500, &m));
  ExpectDrive(m, 1500);
}

TEST(TeslaSeiTest, ReadsAnH265SuffixSeiInMp4LengthsAndOnlyAsH265) {
  const Bytes picture = LengthPrefixed({{0x26, 0x01, 0xaf, 0x10}, SeiUnit(Message(), true)});
  CameraMetadata m;
  EXPECT_TRUE(ParseTeslaPicture(picture.data(), picture.size(), true, 40, &m));
  ExpectDrive(m, 40);
  CameraMetadata asH264;
  EXPECT_FALSE(ParseTeslaPicture(picture.data(), picture.size(), false, 40, &asH264));
  EXPECT_TRUE(asH264.Empty());
}

TEST(TeslaSeiTest, NoPositionGivesTheStateButNoFix) {
  const Bytes picture = AnnexB(SeiUnit(Message(0, 0), false));
  CameraMetadata m;
  EXPECT_TRUE(ParseTeslaPicture(picture.data(), picture.size(), false, 0, &m));
  EXPECT_EQ(m.vehicle.size(), 1u);
  EXPECT_TRUE(m.fixes.empty());
}

TEST(TeslaSeiTest, RefusesAnotherMarkerAMessageCutShortAndASizePastTheUnit) {
  Bytes cut = Message();
  cut.resize(cut.size() - 3);  // into the last double
  // A user data message of another writer: a 16-byte UUID first.
  const Bytes uuid = {0xdc, 0x45, 0xe9, 0xbd, 0xe6, 0xd9, 0x48, 0xb7,
                      0x96, 0x2c, 0xd8, 0x20, 0xd9, 0x23, 0xee, 0xef};
  const std::vector<Bytes> pictures = {
      AnnexB(SeiUnit(Message(), false, {0x42, 0x42, 0x42, 0x68})),
      AnnexB(SeiUnit(Message(), false, {0x69})),
      AnnexB(SeiUnit(Message(), false, uuid)),
      AnnexB(SeiUnit(cut, false)),
      AnnexB(SeiUnit(Message(), false, {0x42, 0x42, 0x42, 0x69}, 40)),
  };
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    CameraMetadata m;
    EXPECT_FALSE(ParseTeslaPicture(pictures[i].data(), pictures[i].size(), false, 0, &m)) << i;
    EXPECT_TRUE(m.Empty()) << i;
  }
}

}  // namespace
}  // namespace metadata
