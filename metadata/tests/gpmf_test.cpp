// SPDX-License-Identifier: GPL-3.0-or-later
// gpmd samples built here KLV by KLV, laid out as a HERO6 (and a HERO11's GPS9) writes them.
#include "metadata/Gpmf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace metadata {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Be(Bytes* b, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b->push_back(std::uint8_t(v >> (8 * i)));
}

Bytes Klv(const char* key, char type, int structSize, int repeat, const Bytes& payload) {
  Bytes b(key, key + 4);
  b.push_back(std::uint8_t(type));
  b.push_back(std::uint8_t(structSize));
  Be(&b, std::uint64_t(repeat), 2);
  b.insert(b.end(), payload.begin(), payload.end());
  while (b.size() % 4 != 0) b.push_back(0);
  return b;
}

Bytes Text(const char* key, const std::string& s) {
  return Klv(key, 'c', 1, int(s.size()), Bytes(s.begin(), s.end()));
}

Bytes Nest(const char* key, const std::vector<Bytes>& children) {
  Bytes payload;
  for (const Bytes& c : children) payload.insert(payload.end(), c.begin(), c.end());
  return Klv(key, 0, 1, int(payload.size()), payload);
}

Bytes Int32s(const std::vector<std::int64_t>& values) {
  Bytes b;
  for (std::int64_t v : values) Be(&b, std::uint64_t(v), 4);
  return b;
}

// Three points north-east of Seoul City Hall, 18 m up, 10 and 11 m/s.
Bytes Gps5Stream(std::uint32_t fix) {
  return Nest("STRM", {Klv("GPSF", 'L', 4, 1, Int32s({fix})), Text("GPSU", "240612081500.250"),
                       Klv("SCAL", 'l', 4, 5, Int32s({10000000, 10000000, 1000, 1000, 100})),
                       Klv("GPS5", 'l', 20, 3,
                           Int32s({375665000, 1269780000, 18000, 10000, 1000,  //
                                   375666000, 1269781000, 18500, 11000, 1100,  //
                                   -375667000, -1269782000, 19000, 12000, 1200}))});
}

// Two accelerometer samples, stored Y, -X, Z with a SCAL of 418 as a HERO6 writes them: Y 1 g and
// -X 0.5 g, then Z 2 g.
Bytes AcclStream(const std::vector<Bytes>& extra = {}) {
  Bytes values;
  for (double g : {1.0, 0.5, 0.0, 0.0, 0.0, 2.0}) {
    Be(&values, std::uint64_t(std::int16_t(std::lround(g * 9.80665 * 418))), 2);
  }
  std::vector<Bytes> items = extra;
  items.push_back(Klv("SCAL", 's', 2, 1, {0x01, 0xA2}));
  items.push_back(Klv("ACCL", 's', 6, 2, values));
  return Nest("STRM", items);
}

Bytes Sample(const std::string& device, const std::vector<Bytes>& streams) {
  std::vector<Bytes> items = {Klv("DVID", 'L', 4, 1, Int32s({1})), Text("DVNM", device)};
  items.insert(items.end(), streams.begin(), streams.end());
  return Nest("DEVC", items);
}

TEST(GpmfTest, Gps5PointsTakeTheScaleTheClockAndTheFixAndSpreadOverTheSample) {
  const Bytes sample = Sample("Hero6 Black", {Gps5Stream(3), AcclStream()});
  CameraMetadata m;
  ASSERT_TRUE(ParseGpmfSample(sample.data(), sample.size(), 2000, 999, &m));
  EXPECT_EQ(m.format, Format::kGpmf);
  ASSERT_EQ(m.fixes.size(), 3u);
  const std::int64_t gpsu = UtcMs(2024, 6, 12, 8, 15, 0, 250);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.fixes[i].mediaMs, 2000 + i * 333);
    EXPECT_TRUE(m.fixes[i].hasClock);
    EXPECT_EQ(m.fixes[i].clockMs, gpsu + i * 333);
    EXPECT_TRUE(m.fixes[i].valid);
  }
  EXPECT_DOUBLE_EQ(m.fixes[0].latitude, 37.5665);
  EXPECT_DOUBLE_EQ(m.fixes[0].longitude, 126.978);
  EXPECT_DOUBLE_EQ(m.fixes[0].altitude, 18.0);
  EXPECT_DOUBLE_EQ(m.fixes[1].speedKmh, 11.0 * 3.6);
  EXPECT_DOUBLE_EQ(m.fixes[2].latitude, -37.5667);
  EXPECT_DOUBLE_EQ(m.fixes[2].longitude, -126.9782);

  ASSERT_EQ(m.gsensor.size(), 2u);
  EXPECT_EQ(m.gsensor[1].mediaMs, 2000 + 499);
  EXPECT_NEAR(m.gsensor[0].y, 1.0, 0.01);
  EXPECT_NEAR(m.gsensor[0].x, -0.5, 0.01);
  EXPECT_NEAR(m.gsensor[0].z, 0.0, 0.01);
  EXPECT_NEAR(m.gsensor[1].z, 2.0, 0.01);
}

TEST(GpmfTest, AccelerometerAxesFollowTheModelOrItsOrin) {
  const Bytes hero5 = Sample("Camera", {AcclStream()});  // stored Z, X, Y
  CameraMetadata m5;
  ASSERT_TRUE(ParseGpmfSample(hero5.data(), hero5.size(), 0, 1000, &m5));
  ASSERT_EQ(m5.gsensor.size(), 2u);
  EXPECT_NEAR(m5.gsensor[0].z, 1.0, 0.01);
  EXPECT_NEAR(m5.gsensor[0].x, 0.5, 0.01);
  const Bytes oriented = Sample("HERO9 Black", {AcclStream({Text("ORIN", "zyX")})});
  CameraMetadata m9;
  ASSERT_TRUE(ParseGpmfSample(oriented.data(), oriented.size(), 0, 1000, &m9));
  ASSERT_EQ(m9.gsensor.size(), 2u);
  EXPECT_NEAR(m9.gsensor[0].z, -1.0, 0.01);
  EXPECT_NEAR(m9.gsensor[0].y, -0.5, 0.01);
  EXPECT_NEAR(m9.gsensor[1].x, 2.0, 0.01);
}

TEST(GpmfTest, Gps9CarriesItsOwnDateAndFixAndReplacesGps5) {
  Bytes points;
  // 2024-06-12 is day 8929 since 2000; 08:15:00.5; DOP 1.5; one 3D fix, one with none.
  for (std::uint32_t fix : {3u, 0u}) {
    Be(&points, 375665000, 4);
    Be(&points, 1269780000, 4);
    Be(&points, 18000, 4);
    Be(&points, 10000, 4);
    Be(&points, 10000, 4);
    Be(&points, 8929, 4);
    Be(&points, 29700500, 4);
    Be(&points, 150, 2);
    Be(&points, fix, 2);
  }
  const Bytes gps9 =
      Nest("STRM",
           {Text("TYPE", "lllllllSS"),
            Klv("SCAL", 'l', 4, 9, Int32s({10000000, 10000000, 1000, 1000, 1000, 1, 1000, 100, 1})),
            Klv("GPS9", '?', 32, 2, points)});
  const Bytes sample = Sample("HERO11 Black", {Gps5Stream(3), gps9});
  CameraMetadata m;
  ASSERT_TRUE(ParseGpmfSample(sample.data(), sample.size(), 0, 1000, &m));
  ASSERT_EQ(m.fixes.size(), 2u);
  EXPECT_EQ(m.fixes[0].clockMs, UtcMs(2024, 6, 12, 8, 15, 0, 500));
  EXPECT_TRUE(m.fixes[0].valid);
  EXPECT_FALSE(m.fixes[1].valid);
  EXPECT_EQ(m.fixes[1].mediaMs, 500);
  EXPECT_DOUBLE_EQ(m.fixes[0].speedKmh, 36.0);
}

TEST(GpmfTest, NoLockMarksTheFixesInvalidAndAScaleThatFitsNoElementGivesNone) {
  const Bytes noLock = Sample("Hero6 Black", {Gps5Stream(0)});
  CameraMetadata m;
  ASSERT_TRUE(ParseGpmfSample(noLock.data(), noLock.size(), 0, 1000, &m));
  ASSERT_EQ(m.fixes.size(), 3u);
  EXPECT_FALSE(m.fixes[0].valid);
  const Bytes badScale =
      Sample("Hero6 Black", {Nest("STRM", {Klv("SCAL", 'l', 4, 2, Int32s({10000000, 1000})),
                                           Klv("GPS5", 'l', 20, 1, Int32s({1, 2, 3, 4, 5}))})});
  CameraMetadata none;
  EXPECT_TRUE(ParseGpmfSample(badScale.data(), badScale.size(), 0, 1000, &none));
  EXPECT_TRUE(none.fixes.empty());
}

TEST(GpmfTest, RefusesASizePastItsParentAnotherFormatAndNestingTooDeep) {
  Bytes pastEnd = Sample("Hero6 Black", {Gps5Stream(3)});
  pastEnd[pastEnd.size() - 3 * 20 - 2] = 4;  // GPS5's repeat: 3 -> 1027, past the sample's end
  Bytes freeGps(64, 0);
  std::memcpy(freeGps.data(), "freeGPS ", 8);
  auto nested = [](int depth) {
    Bytes b = Gps5Stream(3);
    for (int i = 0; i < depth; ++i) b = Nest("STRM", {b});
    return Nest("DEVC", {b});
  };
  const Bytes deep = nested(7), deepest = nested(6);  // 9 and 8 containers deep
  for (const Bytes& bad : {pastEnd, freeGps, deep}) {
    CameraMetadata m;
    EXPECT_FALSE(ParseGpmfSample(bad.data(), bad.size(), 0, 1000, &m));
    EXPECT_TRUE(m.Empty());
  }
  CameraMetadata m;
  EXPECT_TRUE(ParseGpmfSample(deepest.data(), deepest.size(), 0, 1000, &m));
  EXPECT_EQ(m.fixes.size(), 3u);
}

}  // namespace
}  // namespace metadata
