// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Nmea.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "metadata/tests/MetadataTestBytes.h"

namespace metadata {
namespace {

using testing::Sentence;

// Sydney-ish, south and west of the prime meridian's opposite to exercise both signs.
const std::string kRmcBody = "GNRMC,081500.250,A,3352.1280,S,15112.5580,W,022.4,084.4,120624,,,A";
const std::string kGgaBody = "GPGGA,081500.250,3352.1280,S,15112.5580,W,1,08,0.9,45.5,M,0.0,M,,";

TEST(NmeaTest, RmcGivesClockPositionSpeedAndCourseWithOrWithoutItsChecksum) {
  for (const std::string& text :
       {Sentence(kRmcBody), "$" + kRmcBody, Sentence(kRmcBody) + "\r\n"}) {
    NmeaSentence s;
    ASSERT_TRUE(ParseNmeaSentence(text, &s)) << text;
    EXPECT_EQ(s.kind, NmeaSentence::Kind::kRmc);
    EXPECT_TRUE(s.valid);
    EXPECT_TRUE(s.hasClock);
    EXPECT_EQ(s.clockMs, UtcMs(2024, 6, 12, 8, 15, 0, 250));
    EXPECT_NEAR(s.latitude, -(33 + 52.128 / 60), 1e-9);
    EXPECT_NEAR(s.longitude, -(151 + 12.558 / 60), 1e-9);
    EXPECT_NEAR(s.speedKmh, 22.4 * 1.852, 1e-9);
    EXPECT_DOUBLE_EQ(s.course, 84.4);
  }
}

TEST(NmeaTest, RefusesWhatIsNotAWholeRightSentence) {
  std::string badSum = Sentence(kRmcBody);
  badSum[23] = '1';  // a digit of the latitude changed after the checksum was made
  const std::string cases[] = {
      badSum,
      Sentence(kRmcBody).substr(0, 60),                             // cut inside the date
      "$GNRMC,081500.250,A,3352.1280,S,15112.5580,W,022.4",         // cut before the date
      Sentence(kRmcBody).substr(0, Sentence(kRmcBody).size() - 1),  // one checksum digit
      Sentence("GPGSV,3,1,11,03,03,111,00,04,15,270,00,06,01,010,00,13,06,292,00"),
      Sentence("PGRMC,A,218.8,100,,,,,,,,,,,,"),  // a maker's own sentence, not RMC
      Sentence("GPRMC,081500,A,3360.0000,N,01131.000,E,0.0,0.0,120624,,"),  // 60 minutes
      Sentence("GPRMC,081500,A,3352.1280,X,01131.000,E,0.0,0.0,120624,,"),  // no hemisphere
      Sentence("GPRMC,081500,A,,,,,0.0,0.0,120624,,"),  // a fix without a position
      Sentence("GPRMC,081500,A,3352.1280,N,01131.000,E,1e3,0.0,120624,,"),       // not a decimal
      Sentence("GPRMC,081500,A,3352.1280,N,01131.000,E,0.0,0.0,300224,,"),       // no 30 February
      Sentence("GPGGA,081500,3352.1280,N,01131.000,E,1,08,0.9,45.5,F,0.0,M,,"),  // feet?
  };
  for (const std::string& text : cases) {
    NmeaSentence s;
    EXPECT_FALSE(ParseNmeaSentence(text, &s)) << text;
    CameraMetadata m;
    EXPECT_FALSE(ParseNmeaText(text, 0, &m)) << text;
    EXPECT_TRUE(m.Empty());
  }
}

TEST(NmeaTest, AVoidStatusIsKeptAsAnInvalidFix) {
  CameraMetadata m;
  ASSERT_TRUE(
      ParseNmeaText(Sentence("GPRMC,081500,V,3352.1280,N,01131.0000,E,0,0,120624,,,N"), 7, &m));
  ASSERT_EQ(m.fixes.size(), 1u);
  EXPECT_FALSE(m.fixes[0].valid);
  EXPECT_EQ(m.fixes[0].mediaMs, 7);
  EXPECT_GT(m.fixes[0].latitude, 33);
}

TEST(NmeaTest, AnRmcAndTheGgaOfItsTimeAreOneFixInEitherOrder) {
  const std::string otherSecond =
      Sentence("GPGGA,081501,3352.1280,S,15112.5580,W,1,8,0.9,9,M,,M,,");
  for (const std::string& text : {Sentence(kRmcBody) + "\r\n" + Sentence(kGgaBody) + "\r\n",
                                  Sentence(kGgaBody) + Sentence(kRmcBody) + "\n" + otherSecond}) {
    CameraMetadata m;
    ASSERT_TRUE(ParseNmeaText(text, 3000, &m));
    ASSERT_EQ(m.fixes.size(), 1u) << text;
    EXPECT_DOUBLE_EQ(m.fixes[0].altitude, 45.5);
  }
}

// An RMC of 08:15:20 2024-06-12 plus `second`.
std::string Rmc(int second) {
  return Sentence("GPRMC,0815" + std::to_string(20 + second) +
                  ",A,3733.0000,N,12658.0000,E,10,90,120624,,");
}

TEST(NmeaTest, ALogPlacesPrefixedLinesFromTheOriginAndOthersByTheirSecond) {
  // Without an origin the first line's clock is the first picture's; a line before it has no place.
  const std::int64_t first = UtcMs(2024, 6, 12, 8, 15, 10);
  std::string blackvue;
  for (int s : {0, -1, 1, 2})
    blackvue += "[" + std::to_string(first + s * 1000) + "]" + Rmc(s) + "\r\n";
  CameraMetadata m;
  ASSERT_TRUE(ParseNmeaLog(blackvue, -1, &m));
  ASSERT_EQ(m.fixes.size(), 3u);
  EXPECT_EQ(m.fixes[2].mediaMs, 2000);

  // A sidecar without prefixes: a damaged RMC still takes its second.
  std::string damaged = Rmc(1);
  damaged[10] = '7';
  const std::string sidecar = Rmc(0) + "\n" + damaged + std::string("\n\0\0", 3) + Rmc(2);
  CameraMetadata n;
  ASSERT_TRUE(ParseNmeaLog(sidecar, 0, &n));
  ASSERT_EQ(n.fixes.size(), 2u);
  EXPECT_EQ(n.fixes[1].mediaMs, 2000);
  EXPECT_EQ(n.fixes[1].clockMs - n.fixes[0].clockMs, 2000);
}

TEST(NmeaTest, AThinkwareCueGivesItsGSensorSampleAndItsFix) {
  const std::string rmc = Sentence(kRmcBody).substr(1);  // Thinkware writes no '$'
  const std::string cue =
      "gsensori,4,512,-256,51,512;" + rmc + "\r\n;CAR,0,0,0,0.0,0,0,0,0,0,0,0,0";
  // As the track's sample holds it, after its u16 BE length, and without.
  const std::string sample = std::string{char(cue.size() >> 8), char(cue.size() & 0xff)} + cue;
  for (const std::string& text : {cue, sample}) {
    CameraMetadata m;
    ASSERT_TRUE(ParseNmeaText(text, 4000, &m));
    ASSERT_EQ(m.gsensor.size(), 1u);
    EXPECT_DOUBLE_EQ(m.gsensor[0].x, -0.5);
    EXPECT_DOUBLE_EQ(m.gsensor[0].y, 51 / 512.0);
    EXPECT_DOUBLE_EQ(m.gsensor[0].z, 1.0);
    EXPECT_EQ(m.gsensor[0].mediaMs, 4000);
    ASSERT_EQ(m.fixes.size(), 1u);
    EXPECT_EQ(m.fixes[0].mediaMs, 4000);
    EXPECT_TRUE(m.fixes[0].valid);
  }

  // A G-sensor part that does not read gives no sample; the fix stays.
  for (const std::string prefix : {"gsensori,4,0,1,2,3;", "gsensori,4,512,1,2;",
                                   "gsensori,4,512,1.5,2,3;", "gsensori,4,1,1000,2,3;"}) {
    CameraMetadata n;
    ASSERT_TRUE(ParseThinkwareCue(prefix + rmc, 0, &n)) << prefix;
    EXPECT_TRUE(n.gsensor.empty()) << prefix;
    EXPECT_EQ(n.fixes.size(), 1u) << prefix;
  }
  CameraMetadata none;
  EXPECT_FALSE(ParseThinkwareCue(Sentence(kRmcBody), 0, &none));  // no marker
}

}  // namespace
}  // namespace metadata
