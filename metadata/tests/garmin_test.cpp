// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Garmin.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "metadata/tests/MetadataTestBytes.h"

namespace metadata {
namespace {

using testing::PutText;
using testing::PutU16;
using testing::PutU32;

// A PNDM record: 20 bytes, the speed and position where the camera puts them.
std::vector<std::uint8_t> Record(std::uint16_t mph, std::int32_t lat, std::int32_t lon) {
  std::vector<std::uint8_t> r;
  PutText(&r, "PNDM");
  PutU32(&r, 0x01020304);  // fields we do not read
  PutU16(&r, mph);
  PutU16(&r, 0);
  PutU32(&r, std::uint32_t(lat));
  PutU32(&r, std::uint32_t(lon));
  return r;
}

TEST(GarminTest, ASampleGivesItsSemicirclesAsDegreesAndMphAsKmhHoweverFramed) {
  // 37.5665 N, 126.978 W; 2^31 semicircles are 180 degrees.
  const std::int32_t lat = std::int32_t(37.5665 / 180 * 2147483648.0);
  const std::int32_t lon = std::int32_t(-126.978 / 180 * 2147483648.0);
  std::vector<std::uint8_t> record = Record(55, lat, lon);
  std::vector<std::uint8_t> tx3g, sized;
  PutU16(&tx3g, std::uint16_t(record.size()));
  tx3g.insert(tx3g.end(), record.begin(), record.end());
  PutU32(&sized, std::uint32_t(record.size() + 4));
  sized.insert(sized.end(), record.begin(), record.end());
  for (const auto* sample : {&record, &tx3g, &sized}) {
    CameraMetadata m;
    ASSERT_TRUE(ParseGarminSample(sample->data(), sample->size(), 2500, &m));
    ASSERT_EQ(m.fixes.size(), 1u);
    const Fix& fix = m.fixes[0];
    EXPECT_EQ(fix.mediaMs, 2500);
    EXPECT_TRUE(fix.valid);
    EXPECT_FALSE(fix.hasClock);
    EXPECT_NEAR(fix.latitude, 37.5665, 1e-6);
    EXPECT_NEAR(fix.longitude, -126.978, 1e-6);
    EXPECT_NEAR(fix.speedKmh, 55 * 1.609344, 1e-9);
  }
  CameraMetadata none;
  const std::vector<std::uint8_t> nowhere = Record(0, 0, 0);
  ASSERT_TRUE(ParseGarminSample(nowhere.data(), nowhere.size(), 0, &none));
  EXPECT_FALSE(none.fixes[0].valid);
}

TEST(GarminTest, RefusesWhatIsNotAWholeRecord) {
  const std::vector<std::uint8_t> record = Record(30, 1 << 29, 1 << 29);
  std::vector<std::uint8_t> cut(record.begin(), record.end() - 1);
  std::vector<std::uint8_t> longLength;  // the u16 length runs past the sample
  PutU16(&longLength, std::uint16_t(record.size() + 1));
  longLength.insert(longLength.end(), record.begin(), record.end());
  std::vector<std::uint8_t> other = record;
  other[3] = 'X';
  std::vector<std::uint8_t> pastPole = Record(30, 0x50000000, 0);  // 112.5 degrees
  std::vector<std::uint8_t> fast = Record(1000, 0, 0);
  for (const auto* sample : {&cut, &longLength, &other, &pastPole, &fast}) {
    CameraMetadata m;
    EXPECT_FALSE(ParseGarminSample(sample->data(), sample->size(), 0, &m));
    EXPECT_TRUE(m.Empty());
  }
}

}  // namespace
}  // namespace metadata
