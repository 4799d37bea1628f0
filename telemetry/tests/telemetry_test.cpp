// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding of GPS fixes and G-sensor samples, the store's rules and thread safety, the speed
// read-out, and a real recording's text stream read through the card library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/testing/CivilTime.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"
#include "telemetry/CGPSData.h"
#include "telemetry/CGSensorData.h"
#include "telemetry/CTextData.h"
#include "telemetry/SpeedReadout.h"
#include "vexlib/vexlib.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kExample =
    "G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A";

// Seconds since 1970 of a broken-down local time, the way the record computes its time value.
std::int64_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm = roadeye_test::At(year, month, day, hour, minute, second);
  tm.tm_isdst = -1;
  return std::int64_t(std::mktime(&tm));
}

// Delivers a record as the engine does: its bytes, a terminating zero, the length counting it.
void Deliver(CTextData* store, const std::string& record, int timeMs) {
  std::string withZero = record;
  withZero.push_back('\0');
  store->OnTextData(withZero.data(), int(withZero.size()), timeMs);
}

// A G-sensor record of three raw axis bytes.
std::string Sample(std::uint8_t x, std::uint8_t y, std::uint8_t z) {
  return std::string{'M', char(x), char(y), char(z)};
}

// --- GPS records -------------------------------------------------------------------------------

TEST(GpsData, DefaultIsZeroAndInvalid) {
  CGPSData d;
  EXPECT_EQ(d.valid, 0);
  EXPECT_EQ(d.year, 0);
  EXPECT_EQ(d.month, 0);
  EXPECT_EQ(d.day, 0);
  EXPECT_EQ(d.hour, 0);
  EXPECT_EQ(d.minute, 0);
  EXPECT_EQ(d.second, 0);
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_EQ(d.longitude, 0.0);
  EXPECT_EQ(d.speed, 0.0);
  EXPECT_EQ(d.course, 0.0);
  EXPECT_EQ(d.time, 0);
}

TEST(GpsData, ParsesTheExampleSentence) {
  CGPSData d(kExample);
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.hour, 21);
  EXPECT_EQ(d.minute, 35);
  EXPECT_EQ(d.second, 19);
  EXPECT_EQ(d.day, 23);
  EXPECT_EQ(d.month, 3);
  EXPECT_EQ(d.year, 94);
  EXPECT_DOUBLE_EQ(d.latitude, 4807.038);
  EXPECT_DOUBLE_EQ(d.longitude, 1131.000);
  EXPECT_NEAR(d.GetLatitude(), 48.1173, 1e-9);
  EXPECT_NEAR(d.GetLongitude(), 11.516667, 1e-6);
  EXPECT_EQ(d.speed, double(float(22.4 * 1.852)));
  EXPECT_EQ(d.GetSpeed(), d.speed);
  EXPECT_NEAR(d.GetSpeed(), 41.48, 0.01);
  EXPECT_EQ(d.course, double(float(84.4)));
  EXPECT_EQ(d.time, LocalTime(1994, 3, 23, 21, 35, 19));

  CGPSData again;
  EXPECT_TRUE(again.ParseRMC(kExample));
  EXPECT_EQ(again.time, d.time);
}

TEST(GpsData, SentenceEndingAfterTheDateParsesCompletely) {
  CGPSData d;
  EXPECT_TRUE(d.ParseRMC("G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394"));
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.day, 23);
  EXPECT_EQ(d.month, 3);
  EXPECT_EQ(d.year, 94);
  std::tm tm{};
  tm.tm_sec = 19;
  tm.tm_min = 35;
  tm.tm_hour = 21;
  tm.tm_mday = 23;
  tm.tm_mon = 2;
  tm.tm_year = 94;
  tm.tm_isdst = -1;
  EXPECT_EQ(d.time, std::int64_t(std::mktime(&tm)));
  EXPECT_NE(d.time, 0);
}

TEST(GpsData, SentenceEndingAfterTheCourseFailsButKeepsItsFields) {
  CGPSData d;
  EXPECT_FALSE(d.ParseRMC("G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4"));
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.course, double(float(84.4)));
  EXPECT_EQ(d.day, 0);
  EXPECT_EQ(d.month, 0);
  EXPECT_EQ(d.year, 0);
  EXPECT_EQ(d.time, 0);

  CTextData store;
  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4", 0);
  ASSERT_EQ(store.GpsCount(), 1);
  CGPSData last = store.LastGps();
  EXPECT_EQ(last.valid, 1);
  EXPECT_EQ(last.day, 0);
  EXPECT_EQ(last.time, 0);
}

TEST(GpsData, SentenceCutBeforeTheStatusIsInvalid) {
  CGPSData d;
  EXPECT_FALSE(d.ParseRMC("G$GPRMC,123519"));
  EXPECT_EQ(d.valid, 0);
  EXPECT_EQ(d.hour, 21);
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_FALSE(d.ParseRMC(""));
  EXPECT_FALSE(d.ParseRMC(",,,,"));
  EXPECT_FALSE(d.ParseRMC(nullptr));
  EXPECT_FALSE(d.ParseRMC(nullptr, 10));
  EXPECT_EQ(d.hour, 0);
}

TEST(GpsData, EmptyFieldsGiveAnInvalidRecordWithNegatedZeros) {
  CGPSData d;
  EXPECT_TRUE(d.ParseRMC("G$GPRMC,,V,,,,,,,,,"));
  EXPECT_EQ(d.valid, 0);
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_EQ(d.longitude, 0.0);
  EXPECT_TRUE(std::signbit(d.latitude));
  EXPECT_TRUE(std::signbit(d.longitude));
  EXPECT_EQ(d.speed, 0.0);
  EXPECT_EQ(d.day, 0);
  // An empty time field reads as 00:00:00 UTC.
  EXPECT_EQ(d.hour, 9);

  CTextData store;
  Deliver(&store, "G$GPRMC,,V,,,,,,,,,", 0);
  ASSERT_EQ(store.GpsCount(), 1);
  EXPECT_EQ(store.LastGps().valid, 0);
  EXPECT_TRUE(std::signbit(store.LastGps().latitude));
}

TEST(GpsData, TheDateMayBeTheLastEmptyPiece) {
  // Ten pieces, the tenth empty: parsed, the date fields 0.
  CGPSData d;
  EXPECT_TRUE(d.ParseRMC("G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,"));
  EXPECT_EQ(d.day, 0);
  EXPECT_EQ(d.course, double(float(84.4)));
}

TEST(GpsData, LeadingCommasAreSkippedOnlyBeforeTheFirstToken) {
  CGPSData d;
  EXPECT_TRUE(d.ParseRMC(",,,G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394"));
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.day, 23);
  // An empty first field after the tag is kept, shifting nothing.
  EXPECT_TRUE(d.ParseRMC("G$GPRMC,,A,4807.038,N,01131.000,E,022.4,084.4,230394"));
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.hour, 9);
  EXPECT_EQ(d.day, 23);
}

TEST(GpsData, HemispheresNegate) {
  CGPSData d("G$GPRMC,123519,A,3733.1234,S,12658.6800,W,0,0,010124");
  EXPECT_LT(d.latitude, 0);
  EXPECT_LT(d.longitude, 0);
  EXPECT_NEAR(d.GetLatitude(), -37.552057, 1e-6);
  EXPECT_NEAR(d.GetLongitude(), -126.978, 1e-6);
  CGPSData e("G$GPRMC,123519,A,3733.1234,x,12658.6800,,0,0,010124");
  EXPECT_LT(e.latitude, 0);
  EXPECT_LT(e.longitude, 0);
  CGPSData f("G$GPRMC,123519,A,3733.1234,North,12658.6800,East,0,0,010124");
  EXPECT_GT(f.latitude, 0);
  EXPECT_GT(f.longitude, 0);
}

TEST(GpsData, StatusMustStartWithA) {
  EXPECT_EQ(CGPSData("G$GPRMC,1,A,1,N,1,E,1,1,010101").valid, 1);
  EXPECT_EQ(CGPSData("G$GPRMC,1,Abc,1,N,1,E,1,1,010101").valid, 1);
  EXPECT_EQ(CGPSData("G$GPRMC,1,a,1,N,1,E,1,1,010101").valid, 0);
  EXPECT_EQ(CGPSData("G$GPRMC,1, A,1,N,1,E,1,1,010101").valid, 0);
  EXPECT_EQ(CGPSData("G$GPRMC,1,V,1,N,1,E,1,1,010101").valid, 0);
}

TEST(GpsData, HoursPastMidnightAreNormalisedOnlyInTheTimeValue) {
  CGPSData d("G$GPRMC,235959,A,3733.1234,N,12658.6800,E,0,0,311299");
  EXPECT_EQ(d.hour, 32);
  EXPECT_EQ(d.day, 31);
  EXPECT_EQ(d.time, LocalTime(1999, 12, 31, 32, 59, 59));
  EXPECT_EQ(d.time, LocalTime(2000, 1, 1, 8, 59, 59));
}

TEST(GpsData, TwoDigitYearsMapTo1970Through2069) {
  EXPECT_EQ(CGPSData("G$GPRMC,000000,A,0,N,0,E,0,0,150670").time, LocalTime(1970, 6, 15, 9, 0, 0));
  EXPECT_EQ(CGPSData("G$GPRMC,000000,A,0,N,0,E,0,0,150699").time, LocalTime(1999, 6, 15, 9, 0, 0));
  EXPECT_EQ(CGPSData("G$GPRMC,000000,A,0,N,0,E,0,0,150600").time, LocalTime(2000, 6, 15, 9, 0, 0));
  EXPECT_EQ(CGPSData("G$GPRMC,000000,A,0,N,0,E,0,0,150669").time, LocalTime(2069, 6, 15, 9, 0, 0));
}

TEST(GpsData, TimePiecesIgnoreFractionsAndNonDigits) {
  CGPSData d("G$GPRMC,081502.250,A,0,N,0,E,0,0,120624");
  EXPECT_EQ(d.hour, 17);
  EXPECT_EQ(d.minute, 15);
  EXPECT_EQ(d.second, 2);
  CGPSData e("G$GPRMC,ab1x5,A,0,N,0,E,0,0,1a0624");
  EXPECT_EQ(e.hour, 9);
  EXPECT_EQ(e.minute, 1);
  EXPECT_EQ(e.second, 5);
  EXPECT_EQ(e.day, 1);
  EXPECT_EQ(e.month, 6);
  EXPECT_EQ(e.year, 24);
  CGPSData f("G$GPRMC,08,A,0,N,0,E,0,0,1");
  EXPECT_EQ(f.hour, 17);
  EXPECT_EQ(f.minute, 0);
  EXPECT_EQ(f.day, 1);
  EXPECT_EQ(f.month, 0);
}

TEST(GpsData, UnreadableNumbersGiveZero) {
  CGPSData d("G$GPRMC,123519,A,north,N,east,E,fast,left,230394");
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_EQ(d.longitude, 0.0);
  EXPECT_EQ(d.speed, 0.0);
  EXPECT_EQ(d.course, 0.0);
  EXPECT_EQ(d.valid, 1);
  // Words a number reader takes but no receiver writes (found by fuzzing: a damaged record gave
  // a valid fix at longitude NaN, which would have reached the map).
  CGPSData words("G$GPRMC,123519,A,nan,N,NAN32,E,inf,-infinity,230394");
  EXPECT_EQ(words.latitude, 0.0);
  EXPECT_EQ(words.longitude, 0.0);
  EXPECT_EQ(words.speed, 0.0);
  EXPECT_EQ(words.course, 0.0);
}

TEST(GpsData, HugeSpeedsBecomeInfinitySafely) {
  CGPSData d("G$GPRMC,123519,A,0,N,0,E,1e300,1e300,230394");
  EXPECT_TRUE(std::isinf(d.speed));
  EXPECT_TRUE(std::isinf(d.course));
}

TEST(GpsData, ReparsingResetsEarlierFields) {
  CGPSData d(kExample);
  EXPECT_FALSE(d.ParseRMC("G$GPRMC,123519"));
  EXPECT_EQ(d.valid, 0);
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_EQ(d.day, 0);
}

TEST(GpsData, CopiesMemberByMember) {
  CGPSData a(kExample);
  CGPSData b = a;
  EXPECT_EQ(b.latitude, a.latitude);
  EXPECT_EQ(b.time, a.time);
  CGPSData c;
  c = a;
  EXPECT_EQ(c.speed, a.speed);
}

TEST(NmeaToDegrees, ConvertsMinutesAndKeepsTheSign) {
  EXPECT_NEAR(NmeaToDegrees(37.331234), 37.552057, 1e-6);
  EXPECT_NEAR(NmeaToDegrees(-37.331234), -37.552057, 1e-6);
  EXPECT_EQ(NmeaToDegrees(0.0), 0.0);
  EXPECT_NEAR(NmeaToDegrees(126.5868), 126.978, 1e-9);
}

// --- G-sensor samples ---------------------------------------------------------------------------

TEST(GSensorData, AxesAre128MinusTheByte) {
  CGSensorData zero;
  EXPECT_EQ(zero.x, 0);
  EXPECT_EQ(zero.y, 0);
  EXPECT_EQ(zero.z, 0);
  CGSensorData a(0x80, 0x80, 0x80);
  EXPECT_EQ(a.x, 0);
  EXPECT_EQ(a.y, 0);
  EXPECT_EQ(a.z, 0);
  CGSensorData b(0x00, 0xFF, 0x7F);
  EXPECT_EQ(b.x, 128);
  EXPECT_EQ(b.y, -127);
  EXPECT_EQ(b.z, 1);
}

// --- The store ----------------------------------------------------------------------------------

TEST(TextData, AppendsGpsFixesInArrivalOrder) {
  CTextData store;
  EXPECT_EQ(store.GpsCount(), 0);
  Deliver(&store, kExample, 0);
  Deliver(&store, "G$GPRMC,123520,V,,,,,,,230394", 0);
  ASSERT_EQ(store.GpsCount(), 2);
  EXPECT_EQ(store.Gps(0).valid, 1);
  EXPECT_NEAR(store.Gps(0).GetLatitude(), 48.1173, 1e-9);
  EXPECT_EQ(store.LastGps().valid, 0);
  EXPECT_EQ(store.LastGps().second, 20);
  EXPECT_EQ(store.Gps(2).valid, 0);
  EXPECT_EQ(store.Gps(-1).time, 0);
  // GPS fixes do not depend on the media time and are never dropped.
  Deliver(&store, kExample, 0);
  EXPECT_EQ(store.GpsCount(), 3);
}

TEST(TextData, TagByteOneIsNotExamined) {
  CTextData store;
  Deliver(&store, "GxGPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394", 0);
  EXPECT_EQ(store.GpsCount(), 1);
  EXPECT_EQ(store.LastGps().valid, 1);
}

TEST(TextData, OtherSentencesAreIgnored) {
  CTextData store;
  Deliver(&store, "G$GNRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394", 0);
  Deliver(&store, "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394", 0);
  Deliver(&store, "G$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", 0);
  Deliver(&store, "g$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394", 0);
  Deliver(&store, "X\x80\x80\x80", 0);
  Deliver(&store, "", 0);
  EXPECT_EQ(store.GpsCount(), 0);
  EXPECT_EQ(store.GSensorCount(), 0);
}

TEST(TextData, GpsFixNeedsAllSevenTagBytes) {
  CTextData store;
  Deliver(&store, "G$GPRM", 0);
  Deliver(&store, "G", 0);
  EXPECT_EQ(store.GpsCount(), 0);
  // Just the tag: appended, but nothing after it.
  Deliver(&store, "G$GPRMC", 0);
  ASSERT_EQ(store.GpsCount(), 1);
  EXPECT_EQ(store.LastGps().valid, 0);
  EXPECT_EQ(store.LastGps().hour, 0);
}

TEST(TextData, SamplesDecodeTheThreeAxisBytes) {
  CTextData store;
  Deliver(&store, Sample(0x80, 0x80, 0x80), 0);
  Deliver(&store, Sample(0x00, 0xFF, 0x7F), 1000);
  ASSERT_EQ(store.GSensorCount(), 2);
  EXPECT_EQ(store.GSensor(0).x, 0);
  EXPECT_EQ(store.GSensor(0).y, 0);
  EXPECT_EQ(store.GSensor(0).z, 0);
  EXPECT_EQ(store.GSensor(1).x, 128);
  EXPECT_EQ(store.GSensor(1).y, -127);
  EXPECT_EQ(store.GSensor(1).z, 1);
  // Out of range reads give 0, 0, 0.
  EXPECT_EQ(store.GSensor(2).x, 0);
  EXPECT_EQ(store.GSensor(-1).y, 0);
  auto all = store.GSensorSamples();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1].y, -127);
}

TEST(TextData, BytesAfterTheThirdAxisAreIgnored) {
  CTextData store;
  Deliver(&store, Sample(1, 2, 3) + "trailing", 0);
  ASSERT_EQ(store.GSensorCount(), 1);
  EXPECT_EQ(store.GSensor(0).z, 125);
}

TEST(TextData, FirstSampleOfAnEmptyStoreIsKeptAtTimeZero) {
  CTextData store;
  Deliver(&store, Sample(0x80, 0x80, 0x80), 0);
  EXPECT_EQ(store.GSensorCount(), 1);
  // Later samples of second 0 are dropped.
  Deliver(&store, Sample(0, 0, 0), 999);
  EXPECT_EQ(store.GSensorCount(), 1);
  EXPECT_EQ(store.GSensor(0).x, 0);
}

TEST(TextData, OneSamplePerNewSecond) {
  CTextData store;
  Deliver(&store, Sample(0x80, 0x80, 0x80), 0);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 1000);
  ASSERT_EQ(store.GSensorCount(), 2);
  Deliver(&store, Sample(0x00, 0x00, 0x00), 2300);
  ASSERT_EQ(store.GSensorCount(), 3);
  EXPECT_EQ(store.GSensor(2).x, 128);
  Deliver(&store, Sample(0xFF, 0xFF, 0xFF), 2900);
  ASSERT_EQ(store.GSensorCount(), 3);
  EXPECT_EQ(store.GSensor(2).x, 128);
}

TEST(TextData, AJumpForwardAppendsAtTheNextIndex) {
  CTextData store;
  for (int s = 0; s < 5; ++s) Deliver(&store, Sample(0x80, 0x80, 0x80), s * 1000);
  ASSERT_EQ(store.GSensorCount(), 5);
  Deliver(&store, Sample(0x00, 0x80, 0x80), 30000);
  ASSERT_EQ(store.GSensorCount(), 6);
  EXPECT_EQ(store.GSensor(5).x, 128);
  // Seconds 6..29 are now "covered" by the count: the next ones go on at index 6, 7, ...
  Deliver(&store, Sample(0x01, 0x80, 0x80), 30500);
  ASSERT_EQ(store.GSensorCount(), 7);
  EXPECT_EQ(store.GSensor(6).x, 127);
}

TEST(TextData, ABackwardJumpAddsNothingUntilTheCountIsPassed) {
  CTextData store;
  for (int s = 0; s < 5; ++s) Deliver(&store, Sample(0x80, 0x80, 0x80), s * 1000);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 2000);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 4999);
  EXPECT_EQ(store.GSensorCount(), 5);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 5000);
  EXPECT_EQ(store.GSensorCount(), 6);
}

TEST(TextData, NegativeTimesTruncateTowardZero) {
  CTextData store;
  Deliver(&store, Sample(0x80, 0x80, 0x80), -1500);  // second -1: not beyond count - 1
  EXPECT_EQ(store.GSensorCount(), 0);
  Deliver(&store, Sample(0x80, 0x80, 0x80), -999);  // second 0
  EXPECT_EQ(store.GSensorCount(), 1);
}

TEST(TextData, ShortSamplesAreIgnored) {
  CTextData store;
  Deliver(&store, "M", 0);
  Deliver(&store, "M\x80", 0);
  Deliver(&store, "M\x80\x80", 0);
  EXPECT_EQ(store.GSensorCount(), 0);
  // Zero axis bytes are data, not the end of the record.
  Deliver(&store, std::string("M\0\0\0", 4), 0);
  ASSERT_EQ(store.GSensorCount(), 1);
  EXPECT_EQ(store.GSensor(0).x, 128);
  EXPECT_EQ(store.GSensor(0).z, 128);
}

TEST(TextData, NullAndEmptyPayloadsAreIgnored) {
  CTextData store;
  store.OnTextData(nullptr, 10, 0);
  store.OnTextData("M\x80\x80\x80", 0, 0);
  store.OnTextData("M\x80\x80\x80", -5, 0);
  EXPECT_EQ(store.GSensorCount(), 0);
  EXPECT_EQ(store.GpsCount(), 0);
}

TEST(TextData, EmptyStoreReadsDefaults) {
  CTextData store;
  CGPSData last = store.LastGps();
  EXPECT_EQ(last.valid, 0);
  EXPECT_EQ(last.latitude, 0.0);
  EXPECT_EQ(last.time, 0);
  EXPECT_EQ(store.GSensor(0).x, 0);
  EXPECT_TRUE(store.GSensorSamples().empty());
}

TEST(TextData, ClearEmptiesBothArrays) {
  CTextData store;
  Deliver(&store, kExample, 0);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 0);
  Deliver(&store, Sample(0x80, 0x80, 0x80), 1000);
  store.Clear();
  EXPECT_EQ(store.GpsCount(), 0);
  EXPECT_EQ(store.GSensorCount(), 0);
  EXPECT_EQ(store.LastGps().valid, 0);
  // After a clear the second rule starts again from an empty store.
  Deliver(&store, Sample(0x80, 0x80, 0x80), 7000);
  EXPECT_EQ(store.GSensorCount(), 1);
}

// --- Untrusted payloads -------------------------------------------------------------------------

TEST(TextData, LongPayloadIsCutToTheWorkingBuffer) {
  std::string record = std::string(kExample) + "," + std::string(5000, 'x');
  ASSERT_GT(record.size(), 5000u);
  CTextData store;
  Deliver(&store, record, 0);
  ASSERT_EQ(store.GpsCount(), 1);
  CGPSData d = store.LastGps();
  EXPECT_EQ(d.valid, 1);
  EXPECT_NEAR(d.GetLatitude(), 48.1173, 1e-9);
  EXPECT_EQ(d.day, 23);
  EXPECT_EQ(d.year, 94);
  EXPECT_EQ(d.time, LocalTime(1994, 3, 23, 21, 35, 19));

  CGPSData direct;
  EXPECT_TRUE(direct.ParseRMC(record.c_str()));
  EXPECT_EQ(direct.time, d.time);

  // A first field longer than the buffer pushes the rest out: the sentence is cut short.
  std::string huge = "G$GPRMC," + std::string(5000, '1') + ",A,4807.038,N,01131.000,E,0,0,230394";
  CGPSData cut;
  EXPECT_FALSE(cut.ParseRMC(huge.c_str()));
  EXPECT_EQ(cut.valid, 0);
  EXPECT_EQ(cut.hour, 11 + 9);
}

TEST(TextData, PayloadWithoutTerminatorIsReadOnlyUpToItsLength) {
  // Exactly sized heap copies: a read past the end is caught by the address sanitizer.
  const std::string sentence = "G$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394";
  std::unique_ptr<char[]> exact(new char[sentence.size()]);
  std::memcpy(exact.get(), sentence.data(), sentence.size());
  CTextData store;
  store.OnTextData(exact.get(), int(sentence.size()), 0);
  ASSERT_EQ(store.GpsCount(), 1);
  EXPECT_EQ(store.LastGps().day, 23);
  EXPECT_EQ(store.LastGps().year, 94);

  // A length that stops inside the date: the date is what lies within the length.
  store.OnTextData(exact.get(), int(sentence.size()) - 2, 0);
  ASSERT_EQ(store.GpsCount(), 2);
  EXPECT_EQ(store.LastGps().day, 23);
  EXPECT_EQ(store.LastGps().month, 3);
  EXPECT_EQ(store.LastGps().year, 0);

  // A length that stops inside the tag: ignored.
  store.OnTextData(exact.get(), 6, 0);
  EXPECT_EQ(store.GpsCount(), 2);

  CGPSData direct(exact.get(), int(sentence.size()));
  EXPECT_EQ(direct.day, 23);

  std::unique_ptr<char[]> sample(new char[4]{'M', '\x00', '\xFF', '\x7F'});
  store.OnTextData(sample.get(), 4, 0);
  ASSERT_EQ(store.GSensorCount(), 1);
  EXPECT_EQ(store.GSensor(0).x, 128);
  EXPECT_EQ(store.GSensor(0).y, -127);
  EXPECT_EQ(store.GSensor(0).z, 1);
  std::unique_ptr<char[]> shortSample(new char[3]{'M', '\x01', '\x02'});
  store.OnTextData(shortSample.get(), 3, 1000);
  EXPECT_EQ(store.GSensorCount(), 1);
  std::unique_ptr<char[]> lone(new char[1]{'G'});
  store.OnTextData(lone.get(), 1, 0);
  lone[0] = 'M';
  store.OnTextData(lone.get(), 1, 1000);
  EXPECT_EQ(store.GpsCount(), 2);
  EXPECT_EQ(store.GSensorCount(), 1);
}

TEST(TextData, EmbeddedZeroEndsTheSentence) {
  CTextData store;
  const std::string cutAfterStatus("G$GPRMC,123519,A\0,4807.038,N,01131.000,E,0,0,230394", 52);
  Deliver(&store, cutAfterStatus, 0);
  ASSERT_EQ(store.GpsCount(), 1);
  CGPSData d = store.LastGps();
  EXPECT_EQ(d.valid, 1);
  EXPECT_EQ(d.latitude, 0.0);
  EXPECT_EQ(d.day, 0);
  EXPECT_EQ(d.time, 0);
  // A zero inside the tag: not a GPS fix (and not a sample).
  Deliver(&store, std::string("G\0GPRMC,123519,A,4807.038,N,01131.000,E,0,0,230394", 50), 0);
  Deliver(&store, std::string("G$G\0RMC,123519,A,4807.038,N,01131.000,E,0,0,230394", 50), 0);
  EXPECT_EQ(store.GpsCount(), 1);
  EXPECT_EQ(store.GSensorCount(), 0);
}

TEST(TextData, ArbitraryBytesNeverCrash) {
  CTextData store;
  std::uint32_t seed = 12345;
  auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return std::uint8_t(seed >> 16);
  };
  for (int round = 0; round < 2000; ++round) {
    const int n = 1 + next() % 120;
    std::unique_ptr<char[]> bytes(new char[std::size_t(n)]);
    for (int i = 0; i < n; ++i) bytes[std::size_t(i)] = char(next() % 4 == 0 ? ',' : next());
    if (round % 3 == 0 && n >= 7) std::memcpy(bytes.get(), "G$GPRMC", 7);
    if (round % 3 == 1) bytes[0] = 'M';
    store.OnTextData(bytes.get(), n, round * 100);
  }
  EXPECT_GT(store.GpsCount(), 0);
  EXPECT_GT(store.GSensorCount(), 0);
}

// --- Speed read-out -----------------------------------------------------------------------------

TEST(SpeedReadout, UnitFromTheCameraSetting) {
  ReadoutUnit mph = SpeedUnitFromSetting(2);
  EXPECT_EQ(mph.factor, 0.62f);
  EXPECT_STREQ(mph.label, "MPH");
  for (int code : {1, 0, 3, -1, 100}) {
    ReadoutUnit kmh = SpeedUnitFromSetting(code);
    EXPECT_EQ(kmh.factor, 1.0f);
    EXPECT_STREQ(kmh.label, "Km/h");
  }
}

TEST(SpeedReadout, ShowsTheNewestValidFix) {
  CTextData store;
  // 34.503 knots = 63.899... km/h.
  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,34.503,0,230394", 0);
  ASSERT_NEAR(store.LastGps().GetSpeed(), 63.9, 0.01);
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(2)), "39MPH");
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "63Km/h");

  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,28.077,0,230394", 0);  // 51.998 km/h
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "51Km/h");
  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,28.1,0,230394", 0);  // 52.04 km/h
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "52Km/h");
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(2)), "32MPH");
  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,0,0,230394", 0);
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "0Km/h");
}

TEST(SpeedReadout, LabelAloneWithoutAValidFix) {
  CTextData store;
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "Km/h");
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(2)), "MPH");
  Deliver(&store, "G$GPRMC,123519,A,4807.038,N,01131.000,E,34.503,0,230394", 0);
  Deliver(&store, "G$GPRMC,123520,V,4807.038,N,01131.000,E,34.503,0,230394", 0);
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(2)), "MPH");
}

// A damaged speed field shows no speed at all, in either unit; 500 km/h is the fastest shown.
// (Fields that read as not a number, "nan" or "inf", are speed 0 in the record.)
TEST(SpeedReadout, ImpossibleSpeedsShowTheLabelAlone) {
  CTextData store;
  for (const char* knots : {"1e300", "-1e300", "1e39", "-1", "270.0"}) {
    Deliver(&store, std::string("G$GPRMC,123519,A,0,N,0,E,") + knots + ",0,230394", 0);
    EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "Km/h") << knots;
    EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(2)), "MPH") << knots;
  }
  Deliver(&store, "G$GPRMC,123519,A,0,N,0,E,269.9,0,230394", 0);
  EXPECT_EQ(SpeedReadout(store, SpeedUnitFromSetting(1)), "499Km/h");
}

// --- Threads ------------------------------------------------------------------------------------

// The worker appends while the window thread reads: first without clears (every record must
// arrive), then with clears in between (every record read must be whole).
TEST(TextData, ConcurrentAppendsReadsAndClears) {
  constexpr int kRecords = 10000;
  for (bool clearing : {false, true}) {
    CTextData store;
    std::atomic<bool> done{false};
    std::thread worker([&] {
      char line[128];
      for (int i = 0; i < kRecords; ++i) {
        if (i % 2 == 0) {
          // The minute and second carry the index, the speed too: a torn record would not match.
          std::snprintf(line, sizeof line,
                        "G$GPRMC,00%02d%02d,A,3733.1234,N,12658.6800,E,%d,0,230394",
                        (i / 2) / 60 % 60, (i / 2) % 60, i / 2);
          store.OnTextData(line, int(std::strlen(line)) + 1, i * 10);
        } else {
          const char sample[5] = {'M', char(i & 0xFF), char(0x80), char(0x80), 0};
          store.OnTextData(sample, 5, i * 10);
        }
      }
      done = true;
    });
    int reads = 0, clears = 0;
    while (!done.load()) {
      CGPSData last = store.LastGps();
      if (last.valid) {
        const int k = int(std::lround(last.speed / 1.852));
        EXPECT_EQ(last.minute, k / 60 % 60);
        EXPECT_EQ(last.second, k % 60);
        EXPECT_NEAR(last.GetLatitude(), 37.552057, 1e-6);
      } else {
        EXPECT_EQ(last.latitude, 0.0);
      }
      const int g = store.GSensorCount();
      CGSensorData s = store.GSensor(g - 1);
      EXPECT_EQ(s.y, 0);
      if (clearing && ++reads % 50 == 0) {
        store.Clear();
        clears++;
      }
      std::this_thread::yield();
    }
    worker.join();
    if (!clearing) {
      EXPECT_EQ(store.GpsCount(), kRecords / 2);
      // Samples arrive at 10 ms steps for 100 s: the first of every second is kept.
      EXPECT_EQ(store.GSensorCount(), kRecords * 10 / 1000);
      EXPECT_EQ(store.LastGps().second, (kRecords / 2 - 1) % 60);
    } else {
      EXPECT_LE(store.GpsCount(), kRecords / 2);
      store.Clear();
      EXPECT_EQ(store.GpsCount(), 0);
      EXPECT_EQ(store.GSensorCount(), 0);
    }
  }
}

// --- A recording's text stream ------------------------------------------------------------------

using roadeye_test::BinDir;
using roadeye_test::Quote;

using roadeye_test::TempDir;

TEST(TextData, ReadsTheTextStreamOfARecording) {
  TempDir card;
  ASSERT_FALSE(card.path().empty());
  const std::string command = Quote(BinDir() + "/roadeye-mkcard") + " " +
                              Quote(card.path().string()) +
                              " --seconds 5 --count 1 --kinds REC --rear no --no-damaged"
                              " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  VexHandle h = VexStart();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(VexInitialise(h, card.path().c_str()), 1);
  char drive = 0;
  ASSERT_EQ(VexCardPoll(h, &drive), 1);
  VexCardAttach(h);
  ASSERT_EQ(VexKindCount(h, drive, kVexContinuous), 1);
  char name[kVexNameBytes] = {};
  std::uint8_t size[kVexSizeBytes] = {};
  int index = -1;
  ASSERT_EQ(VexKindList(h, drive, kVexContinuous, 1, name, size, &index), 1);
  ASSERT_NE(std::strstr(name, ".avi"), nullptr) << name;
  const int id = VexSelectByName(h, kVexContinuous, name);
  ASSERT_GE(id, 0) << name;
  ASSERT_EQ(VexOpenStream(h, kVexContinuous, 0, id), 1);

  // The engine's view: text records with a terminating zero, timed by the front pictures shown
  // so far at 30 per second.
  constexpr int kCapacity = 1 << 20;
  std::vector<std::uint8_t> buffer(kCapacity + 1);
  CTextData store;
  int frontPictures = 0, textRecords = 0, gpsRecords = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    std::uint8_t channel = 0, type = 0, flags = 0;
    int bytes = kCapacity;
    std::int32_t packetMs = 0;
    const int status = VexReadPacket(h, &channel, &type, &flags, &bytes, buffer.data(), &packetMs);
    if (status == kVexReadNotYet) continue;
    if (status != kVexReadOk) {
      EXPECT_EQ(status, kVexReadEnd);
      break;
    }
    if ((type == 0 || type == 2) && channel == 0) {
      frontPictures++;
    } else if (type == 3) {
      textRecords++;
      if (bytes > 0 && buffer[0] == 'G') gpsRecords++;
      buffer[std::size_t(bytes)] = 0;
      store.OnTextData(reinterpret_cast<const char*>(buffer.data()), bytes + 1,
                       frontPictures * 1000 / 30);
    }
  }
  VexRelease(h);

  EXPECT_EQ(frontPictures, 5 * 30);
  EXPECT_GT(textRecords, 10);
  EXPECT_EQ(gpsRecords, 5);
  EXPECT_EQ(store.GSensorCount(), 5);
  ASSERT_EQ(store.GpsCount(), 5);
  for (int i = 0; i < store.GpsCount(); ++i) {
    CGPSData fix = store.Gps(i);
    EXPECT_EQ(fix.valid, 1) << i;
    EXPECT_NEAR(fix.GetLatitude(), 37.566, 0.05) << i;
    EXPECT_NEAR(fix.GetLongitude(), 126.978, 0.05) << i;
    EXPECT_NE(fix.time, 0) << i;
    EXPECT_GE(fix.GetSpeed(), 0.0) << i;
    EXPECT_LT(fix.GetSpeed(), 200.0) << i;
  }
  for (int i = 0; i < store.GSensorCount(); ++i) {
    CGSensorData s = store.GSensor(i);
    EXPECT_LE(std::abs(s.x), 128) << i;
    EXPECT_LE(std::abs(s.y), 128) << i;
    EXPECT_LE(std::abs(s.z), 128) << i;
  }
  EXPECT_NE(SpeedReadout(store, SpeedUnitFromSetting(1)), "Km/h");
}

}  // namespace
