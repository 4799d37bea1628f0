// SPDX-License-Identifier: GPL-3.0-or-later
// Which clock a recording's fixes carry, told from the fixes and the name's clock together.
#include <gtest/gtest.h>

#include <cmath>

#include "metadata/RecordingClock.h"

namespace metadata {
namespace {

constexpr std::int64_t kMinute = 60000;
// 2024-06-12 08:15:00, the camera's clock in the recording's name.
const std::int64_t kName = UtcMs(2024, 6, 12, 8, 15, 0);

// Ten fixes a second apart at Seoul; `clock(i)` the clock record i carries, or none.
CameraMetadata Drive(std::int64_t first, bool clocked, int invalidFirst = 0) {
  CameraMetadata d;
  for (int i = 0; i < 10; ++i) {
    Fix f;
    f.mediaMs = i * 1000;
    f.valid = i >= invalidFirst;
    f.latitude = 37.55;
    f.longitude = 126.98;
    f.hasClock = clocked;
    f.clockMs = first + i * 1000;
    d.fixes.push_back(f);
  }
  return d;
}

TEST(RecordingClockTest, RecordsInUtcGiveTheCamerasOffset) {
  CameraMetadata d = Drive(kName - 9 * 60 * kMinute + 1000, true);
  const RecordingClock c = SettleClock(&d, kName);
  EXPECT_TRUE(c.offsetKnown);
  EXPECT_FALSE(c.estimated);
  EXPECT_EQ(c.offsetMinutes, 540);
  EXPECT_EQ(c.Describe(), "camera clock UTC+9");
  EXPECT_EQ(d.fixes[3].utcMs, kName - 540 * kMinute + 4000);
}

TEST(RecordingClockTest, UtcUntilTheFirstFixThenLocalTimeIsUndone) {
  // Three records in UTC before the first fix, then the camera's clock (UTC + 5:30).
  CameraMetadata d = Drive(kName - 330 * kMinute, true, 3);
  for (int i = 3; i < 10; ++i) d.fixes[std::size_t(i)].clockMs += 330 * kMinute;
  const RecordingClock c = SettleClock(&d, kName);
  EXPECT_EQ(c.jumpMinutes, 330);
  EXPECT_EQ(c.offsetMinutes, 330);
  EXPECT_EQ(c.Describe(), "camera clock UTC+5:30");
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(d.fixes[std::size_t(i)].utcMs, kName - 330 * kMinute + i * 1000) << i;
  }
}

TEST(RecordingClockTest, RecordsInTheNamesClockFarFromGreenwichAreLocalTime) {
  CameraMetadata d = Drive(kName, true);
  const RecordingClock c = SettleClock(&d, kName);
  EXPECT_FALSE(c.recordsUtc);
  EXPECT_TRUE(c.estimated);
  // Seoul keeps Korea's UTC + 9, not its longitude's hour (8).
  EXPECT_EQ(c.offsetMinutes, 540);
  EXPECT_EQ(d.fixes[0].utcMs, kName - 540 * kMinute);

  CameraMetadata perth = Drive(kName, true);
  for (Fix& f : perth.fixes) f.latitude = -31.95, f.longitude = 115.86;
  EXPECT_EQ(SettleClock(&perth, kName).offsetMinutes, 480);  // elsewhere the longitude's hour

  CameraMetadata london = Drive(kName, true);
  for (Fix& f : london.fixes) f.longitude = -0.12;
  const RecordingClock l = SettleClock(&london, kName);
  EXPECT_TRUE(l.recordsUtc);
  EXPECT_EQ(l.offsetMinutes, 0);
  EXPECT_FALSE(l.estimated);
}

TEST(RecordingClockTest, FixesWithoutAClockTakeTheNamesAndTheirPlace) {
  CameraMetadata d = Drive(0, false);
  for (Fix& f : d.fixes) f.mediaMs = -1;  // placed by their order alone
  const RecordingClock c = SettleClock(&d, kName);
  EXPECT_TRUE(c.estimated);
  EXPECT_EQ(d.fixes[4].mediaMs, 4000);
  EXPECT_EQ(d.fixes[4].utcMs, kName - 540 * kMinute + 4000);

  CameraMetadata none = Drive(0, false);
  const RecordingClock n = SettleClock(&none, -1);
  EXPECT_FALSE(n.offsetKnown);
  EXPECT_EQ(n.Describe(), "camera clock unknown");
  EXPECT_EQ(none.fixes[0].utcMs, -1);
}

TEST(RecordingClockTest, ARecordingWithoutANameClockStartsAtItsFirstFix) {
  CameraMetadata d = Drive(kName + 2000, true);
  const RecordingClock c = SettleClock(&d, -1);
  EXPECT_FALSE(c.offsetKnown);
  EXPECT_EQ(c.startUtcMs, kName + 2000);
}

TEST(RecordingClockTest, SpeedComesFromThePositionsWhenTheCameraGivesNone) {
  CameraMetadata d = Drive(kName, true);
  for (std::size_t i = 0; i < d.fixes.size(); ++i) {
    d.fixes[i].latitude = 37.55 + double(i) * 0.0001;  // 11.1 m a second north
  }
  FillSpeedFromPositions(&d);
  EXPECT_NEAR(d.fixes[5].speedKmh, 40.0, 0.2);

  CameraMetadata given = Drive(kName, true);
  given.fixes[2].latitude += 0.001;
  for (Fix& f : given.fixes) f.speedKmh = 30;
  FillSpeedFromPositions(&given);
  EXPECT_EQ(given.fixes[5].speedKmh, 30);
}

}  // namespace
}  // namespace metadata
