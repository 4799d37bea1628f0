// SPDX-License-Identifier: GPL-3.0-or-later
// The freeGPS layouts read from blocks built here, byte by byte, as each camera lays them out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/FreeGps.h"

namespace metadata {
namespace {

class Block {
 public:
  Block() : bytes_(1024, 0) { std::memcpy(bytes_.data(), kFreeGpsMarker, 8); }
  void U32(std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
  }
  void F32(std::size_t at, float f) {
    std::uint32_t v = 0;
    std::memcpy(&v, &f, 4);
    U32(at, v);
  }
  void Text(std::size_t at, const std::string& s) { std::memcpy(&bytes_[at], s.data(), s.size()); }
  Format Parse(CameraMetadata* out, int mediaMs = 3000) const {
    return ParseFreeGpsBlock(bytes_.data(), bytes_.size(), mediaMs, out);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The time fields of 2019-02-16 12:07:49 from `at`, in the order hour, minute, second, year,
// month, day.
void Time(Block* b, std::size_t at) {
  const std::uint32_t fields[] = {12, 7, 49, 19, 2, 16};
  for (int i = 0; i < 6; ++i) b->U32(at + 4 * std::size_t(i), fields[i]);
}

TEST(FreeGpsTest, CommonLayoutGivesClockPositionSpeedAndCourse) {
  Block b;
  Time(&b, 44);
  b.Text(68, "ASW");
  b.F32(72, 3733.1234f);
  b.F32(76, 12658.8f);
  b.F32(80, 10.0f);
  b.F32(84, 271.5f);
  CameraMetadata out;
  ASSERT_EQ(b.Parse(&out), Format::kFreeGps);
  ASSERT_EQ(out.fixes.size(), 1u);
  const Fix& f = out.fixes[0];
  EXPECT_EQ(f.mediaMs, 3000);
  EXPECT_TRUE(f.valid);
  ASSERT_TRUE(f.hasClock);
  EXPECT_EQ(f.clockMs, UtcMs(2019, 2, 16, 12, 7, 49));
  EXPECT_NEAR(f.latitude, -(37 + 33.1234 / 60), 1e-5);
  EXPECT_NEAR(f.longitude, -(126 + 58.8 / 60), 1e-5);
  EXPECT_NEAR(f.speedKmh, 18.52, 1e-4);
  EXPECT_NEAR(f.course, 271.5, 1e-4);
}

TEST(FreeGpsTest, IntegerCoordinatesAreRead70maisWay) {
  Block b;
  Time(&b, 44);
  b.Text(68, "ANE");
  b.U32(72, 37552057);
  b.U32(76, 126978000);
  b.U32(80, 4567);  // 45.67 km/h
  CameraMetadata out;
  ASSERT_EQ(b.Parse(&out), Format::kFreeGps70mai);
  EXPECT_NEAR(out.fixes[0].latitude, 37.552057, 1e-9);
  EXPECT_NEAR(out.fixes[0].longitude, 126.978, 1e-9);
  EXPECT_NEAR(out.fixes[0].speedKmh, 45.67, 1e-9);
}

TEST(FreeGpsTest, NewerAndOlderLayoutsWithTheirAccelerations) {
  Block newer;
  Time(&newer, 12);
  newer.Text(36, "ANE");
  newer.F32(40, 5000.0f);
  newer.F32(44, 3000.0f);
  newer.U32(56, 256);
  newer.U32(60, std::uint32_t(-128));
  newer.U32(64, 512);
  CameraMetadata out;
  ASSERT_EQ(newer.Parse(&out), Format::kFreeGps);
  EXPECT_NEAR(out.fixes[0].latitude, 50.0, 1e-6);
  ASSERT_EQ(out.gsensor.size(), 1u);
  EXPECT_DOUBLE_EQ(out.gsensor[0].x, 1.0);
  EXPECT_DOUBLE_EQ(out.gsensor[0].y, -0.5);
  EXPECT_DOUBLE_EQ(out.gsensor[0].z, 2.0);

  Block older;
  older.Text(60, "ANE");
  const std::uint32_t fields[] = {2021, 6, 3, 23, 59, 58};  // year first, and whole
  for (int i = 0; i < 6; ++i) older.U32(64 + 4 * std::size_t(i), fields[i]);
  older.F32(88, 3000.0f);  // longitude before latitude
  older.F32(92, 5000.0f);
  older.F32(104, 123.0f);
  older.U32(108, 1000);
  CameraMetadata old;
  ASSERT_EQ(older.Parse(&old), Format::kFreeGps);
  EXPECT_EQ(old.fixes[0].clockMs, UtcMs(2021, 6, 3, 23, 59, 58));
  EXPECT_NEAR(old.fixes[0].latitude, 50.0, 1e-6);
  EXPECT_NEAR(old.fixes[0].longitude, 30.0, 1e-6);
  EXPECT_NEAR(old.fixes[0].altitude, 123.0, 1e-6);
  ASSERT_EQ(old.gsensor.size(), 1u);
  EXPECT_DOUBLE_EQ(old.gsensor[0].x, 1.0);
}

TEST(FreeGpsTest, SentencesInTheBlockAreRead) {
  Block b;
  b.Text(76, "$GPRMC,120749.000,A,3733.1234,N,12658.8000,E,10.0,90.0,160219,,,A*62\r\n");
  CameraMetadata out;
  ASSERT_EQ(b.Parse(&out), Format::kFreeGpsNmea);
  ASSERT_EQ(out.fixes.size(), 1u);
  EXPECT_EQ(out.fixes[0].clockMs, UtcMs(2019, 2, 16, 12, 7, 49));
  EXPECT_NEAR(out.fixes[0].longitude, 126.98, 1e-6);
}

TEST(FreeGpsTest, AnInvalidFixKeepsItsClockButNoPosition) {
  Block b;
  Time(&b, 44);
  b.Text(68, "VNE");
  b.F32(72, 3733.0f);
  CameraMetadata out;
  ASSERT_EQ(b.Parse(&out), Format::kFreeGps);
  EXPECT_FALSE(out.fixes[0].valid);
  EXPECT_TRUE(out.fixes[0].hasClock);
  EXPECT_EQ(out.fixes[0].latitude, 0);
}

TEST(FreeGpsTest, BlocksOfNoKnownLayoutGiveNothing) {
  CameraMetadata out;
  Block noFields;  // the marker alone
  EXPECT_EQ(noFields.Parse(&out), Format::kNone);
  Block badDate;
  Time(&badDate, 44);
  badDate.U32(60, 13);  // month 13
  badDate.Text(68, "ANE");
  EXPECT_EQ(badDate.Parse(&out), Format::kNone);
  Block badMinutes;
  Time(&badMinutes, 44);
  badMinutes.Text(68, "ANE");
  badMinutes.F32(72, 3761.0f);  // 61 minutes, and no integer position either
  EXPECT_EQ(badMinutes.Parse(&out), Format::kNone);
  std::vector<std::uint8_t> other(256, 0);
  std::memcpy(other.data(), "freeGPX ", 8);
  EXPECT_EQ(ParseFreeGpsBlock(other.data(), other.size(), 0, &out), Format::kNone);
  EXPECT_EQ(ParseFreeGpsBlock(other.data(), 40, 0, &out), Format::kNone);
  for (const Fix& f : out.fixes) EXPECT_FALSE(f.valid) << "a fix came of a broken block";
}

}  // namespace
}  // namespace metadata
