// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/BlackVue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "metadata/tests/MetadataTestBytes.h"

namespace metadata {
namespace {

using testing::PutText;
using testing::PutU16;
using testing::PutU32;
using testing::Sentence;

void PutBox(std::vector<std::uint8_t>* out, const char* type,
            const std::vector<std::uint8_t>& body) {
  PutU32(out, std::uint32_t(body.size() + 8));
  PutText(out, type);
  out->insert(out->end(), body.begin(), body.end());
}

void PutSample(std::vector<std::uint8_t>* out, std::uint32_t ms, int x, int y, int z) {
  PutU32(out, ms);
  PutU16(out, std::uint16_t(x));
  PutU16(out, std::uint16_t(y));
  PutU16(out, std::uint16_t(z));
}

const std::int64_t kSttm = 1718180100000;  // 2024-06-12 08:15:00 on the camera's clock

std::vector<std::uint8_t> Sttm() {
  std::vector<std::uint8_t> body;
  PutU32(&body, std::uint32_t(kSttm >> 32));
  PutU32(&body, std::uint32_t(kSttm));
  return body;
}

std::vector<std::uint8_t> GpsLog() {
  std::string log;
  for (int second = 1; second <= 2; ++second) {
    const std::string prefix = "[" + std::to_string(kSttm + second * 1000) + "]";
    const std::string t = "08150" + std::to_string(second);
    log += prefix + Sentence("GPRMC," + t + ",A,3733.9000,N,12658.6000,E,12.0,45.0,120624,,,A") +
           "\r\n" + prefix +
           Sentence("GPGGA," + t + ",3733.9000,N,12658.6000,E,1,9,0.8,21.0,M,,M,,") + "\r\n";
  }
  std::vector<std::uint8_t> body(log.begin(), log.end());
  body.resize(body.size() + 5, 0);  // the camera pads the log with NULs
  return body;
}

std::vector<std::uint8_t> Accel() {
  std::vector<std::uint8_t> body;
  PutSample(&body, 0, 12, -3, 98);
  PutSample(&body, 100, -150, 0, 101);
  PutSample(&body, 0xFFFFFFFF, 0, 0, 0);
  PutSample(&body, 200, 500, 500, 500);  // after the end mark: not a sample
  return body;
}

TEST(BlackVueTest, AFreeBoxGivesItsLogPlacedBySttmAndItsSamples) {
  std::vector<std::uint8_t> free;
  PutBox(&free, "cprt", {'x', 'y'});
  PutBox(&free, "sttm", Sttm());
  PutBox(&free, "gps ", GpsLog());
  PutBox(&free, "3gf ", Accel());
  CameraMetadata m;
  ASSERT_TRUE(ParseBlackVueFree(free.data(), free.size(), &m));
  ASSERT_EQ(m.fixes.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(m.fixes[i].mediaMs, (i + 1) * 1000);
    EXPECT_TRUE(m.fixes[i].valid);
    EXPECT_DOUBLE_EQ(m.fixes[i].altitude, 21.0);
    EXPECT_NEAR(m.fixes[i].latitude, 37 + 33.9 / 60, 1e-9);
  }
  ASSERT_EQ(m.gsensor.size(), 2u);  // the end mark ends the run
  EXPECT_EQ(m.gsensor[1].mediaMs, 100);
  EXPECT_DOUBLE_EQ(m.gsensor[1].x, -1.5);
  EXPECT_DOUBLE_EQ(m.gsensor[1].z, 1.01);
}

TEST(BlackVueTest, ASubBoxPastThePayloadIsNotReadNorAPayloadWithoutGpsOr3gf) {
  std::vector<std::uint8_t> free;
  PutBox(&free, "3gf ", Accel());
  const std::size_t gpsAt = free.size();
  PutBox(&free, "gps ", GpsLog());
  free[gpsAt + 3] += 1;  // the gps box now runs a byte past the payload
  CameraMetadata m;
  ASSERT_TRUE(ParseBlackVueFree(free.data(), free.size(), &m));
  EXPECT_TRUE(m.fixes.empty());
  EXPECT_EQ(m.gsensor.size(), 2u);

  std::vector<std::uint8_t> gpsOnly(free.begin() + gpsAt, free.end());  // still a byte too long
  std::vector<std::uint8_t> freeGps{'G', 'P', 'S', ' '};                // a freeGPS block's payload
  freeGps.resize(4088);
  std::vector<std::uint8_t> sttmOnly;
  PutBox(&sttmOnly, "sttm", Sttm());
  for (const auto* bytes : {&gpsOnly, &freeGps, &sttmOnly}) {
    CameraMetadata n;
    EXPECT_FALSE(ParseBlackVueFree(bytes->data(), bytes->size(), &n));
    EXPECT_TRUE(n.Empty());
  }
}

TEST(BlackVueTest, The3gfSidecarSkipsRecordsPastADayAndEndsAtItsLastWholeOne) {
  std::vector<std::uint8_t> file;
  PutSample(&file, 0, 1, 2, 3);
  PutSample(&file, 90000000, 1, 2, 3);  // 25 hours
  PutSample(&file, 50, -100, 200, -32768);
  file.resize(file.size() + 9);  // a record cut short
  CameraMetadata m;
  ASSERT_TRUE(ParseBlackVue3gf(file.data(), file.size(), &m));
  ASSERT_EQ(m.gsensor.size(), 2u);
  EXPECT_EQ(m.gsensor[1].mediaMs, 50);
  EXPECT_DOUBLE_EQ(m.gsensor[1].z, -327.68);
}

}  // namespace
}  // namespace metadata
