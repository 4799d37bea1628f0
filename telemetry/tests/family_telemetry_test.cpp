// SPDX-License-Identifier: GPL-3.0-or-later
// Another camera's data reaches the read-out, the track and the car's state through the text
// records VEX recordings carry: what the records say must come out of them unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "media/CContainerParser.h"
#include "metadata/TextRecords.h"
#include "support/testing/Command.h"
#include "support/testing/TempDir.h"
#include "telemetry/CTextData.h"
#include "telemetry/TrackReader.h"

namespace {

TEST(FamilyTelemetryTest, AFixRecordKeepsPositionSpeedCourseAndUtc) {
  metadata::Fix fix;
  fix.valid = true;
  fix.latitude = -33.8567844;
  fix.longitude = -151.2152967;  // west: a position no real car reaches, but a sign to keep
  fix.speedKmh = 87.3;
  fix.course = 12.5;
  fix.utcMs = metadata::UtcMs(2024, 12, 31, 23, 59, 59, 500);
  const std::string record = metadata::FixRecord(fix);
  TrackBuilder builder;
  builder.Add(CGPSData(record.c_str(), int(record.size())), 1500);
  metadata::Fix lost = fix;
  lost.valid = false;
  const std::string none = metadata::FixRecord(lost);
  builder.Add(CGPSData(none.c_str(), int(none.size())), 2500);
  const Track track = builder.Take("t");
  ASSERT_EQ(track.PointCount(), 1) << record;
  const TrackPoint& p = track.segments.front().front();
  EXPECT_EQ(p.timeMs, 1500);
  EXPECT_NEAR(p.latitude, fix.latitude, 1e-6);
  EXPECT_NEAR(p.longitude, fix.longitude, 1e-6);
  EXPECT_NEAR(p.speedKmh, 87.3, 1e-3);
  EXPECT_NEAR(p.course, 12.5, 1e-3);
  EXPECT_EQ(p.utcTime, fix.utcMs / 1000);
}

TEST(FamilyTelemetryTest, ACarsStateIsKeptAndShownBesideTheSpeed) {
  metadata::VehicleState state;
  state.gear = 'D';
  state.blinkLeft = true;
  state.brake = true;
  state.autopilot = 2;
  const std::string record = metadata::VehicleRecord(state);
  CTextData store;
  store.OnTextData(record.c_str(), int(record.size()) + 1, 0);
  const CVehicleData kept = store.LastVehicle();
  EXPECT_TRUE(kept.present);
  EXPECT_EQ(VehicleReadout(kept), "D  <  BRAKE  AUTOSTEER");
  EXPECT_EQ(store.GpsCount(), 0);  // not taken for a fix or a sample
  EXPECT_EQ(store.GSensorCount(), 0);

  metadata::VehicleState parked;
  parked.gear = 'P';
  parked.blinkRight = true;
  const std::string second = metadata::VehicleRecord(parked);
  store.OnTextData(second.c_str(), int(second.size()), 1000);
  EXPECT_EQ(VehicleReadout(store.LastVehicle()), "P  >");
  store.Clear();
  EXPECT_EQ(VehicleReadout(store.LastVehicle()), "");
}

// A Tesla's recording as the card writer makes it: the track and the samples are read ahead from
// the front camera's pictures, a fix and a sample for each.
TEST(FamilyTelemetryTest, ATeslasTrackAndSamplesAreReadAheadFromItsPictures) {
  roadeye_test::TempDir dir("telemetry-tesla");
  const std::string card = dir.str() + "/card";
  const auto made = roadeye_test::RunCommand(
      roadeye_test::Quote(roadeye_test::BinDir() + "/roadeye-mkcard") + " " +
          roadeye_test::Quote(card) +
          " --family tesla --seconds 2 --count 1 --kinds REC --front 160x90 --fps 10 --no-damaged",
      true);
  ASSERT_EQ(made.exitCode, 0) << made.out;
  const std::string front = card + "/TeslaCam/RecentClips/2024-06-12_08-15-00-front.mp4";
  RecordingTelemetry read;
  ASSERT_EQ(
      ReadRecordingTelemetry(nullptr, ContainerRecordingName({front}).c_str(), &read, nullptr),
      TrackReadResult::kOk);
  EXPECT_EQ(read.track.PointCount(), 20);
  EXPECT_EQ(read.gsensor.size(), 20u);
  EXPECT_EQ(read.track.format, "tesla");
  EXPECT_EQ(read.track.clockOffsetMinutes, 540);
  EXPECT_EQ(read.track.name, "2024-06-12_08-15-00-front.mp4");
}

}  // namespace
