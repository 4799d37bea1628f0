// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>

#include "metadata/CameraMetadata.h"

namespace metadata {
namespace {

TEST(CameraMetadataTest, UtcMsReadsACalendarDateAndRefusesOneThatIsNot) {
  EXPECT_EQ(UtcMs(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(UtcMs(2019, 2, 16, 15, 7, 50, 250), 1550329670250);
  EXPECT_EQ(UtcMs(2024, 2, 29, 0, 0, 0), 1709164800000);
  EXPECT_EQ(UtcMs(2023, 2, 29, 0, 0, 0), -1);  // no such day: it must not carry into March
  EXPECT_EQ(UtcMs(2023, 13, 1, 0, 0, 0), -1);
  EXPECT_EQ(UtcMs(2023, 1, 1, 24, 0, 0), -1);
  EXPECT_EQ(UtcMs(1969, 12, 31, 23, 59, 59), -1);
}

TEST(CameraMetadataTest, DegreesFromDmKeepsTheHemisphereAndRefusesMinutesPastSixty) {
  EXPECT_NEAR(DegreesFromDm(3733.1234, 90), 37.552057, 1e-6);
  EXPECT_NEAR(DegreesFromDm(-11719.62, 180), -117.327, 1e-6);
  EXPECT_TRUE(std::isnan(DegreesFromDm(3760.0, 90)));
  EXPECT_TRUE(std::isnan(DegreesFromDm(9100.0, 90)));
  EXPECT_TRUE(std::isnan(DegreesFromDm(std::nan(""), 180)));
}

}  // namespace
}  // namespace metadata
