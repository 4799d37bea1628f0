// SPDX-License-Identifier: GPL-3.0-or-later
#include "metadata/Gpx.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "metadata/Nmea.h"

namespace metadata {
namespace {

std::string Gpx(const std::string& points, const char* version = "1/1") {
  return std::string(R"(<?xml version="1.0"?><gpx version="1.1" creator="test" )") +
         "xmlns=\"http://www.topografix.com/GPX/" + version + "\" xmlns:t=\"urn:t\">" + points +
         "</gpx>\n";
}

TEST(GpxTest, PointsOfEveryKindArePlacedFromTheFirstTimedOne) {
  const std::string xml = Gpx(R"(<wpt lat="1.5" lon="2.5"><time>yesterday</time></wpt>
    <wpt lat="37.5665" lon="126.9780"><time>2024-06-12T08:15:00Z</time></wpt>
    <rte><rtept lat="37.5666" lon="126.9781"><time>2024-06-12T17:15:01+09:00</time></rtept></rte>
    <trk><trkseg><trkpt lon="126.9782"><time>2024-06-12T08:15:02Z</time></trkpt>
    <trkpt lat="-37.5667" lon="-126.9783"><ele>41.5</ele><time>2024-06-12T08:15:02.500Z</time>
    <extensions><t:Ext><t:speed>12.5</t:speed><t:course>271.5</t:course></t:Ext></extensions>
    </trkpt></trkseg></trk>)");
  CameraMetadata m;
  ASSERT_TRUE(ParseGpx(xml, &m));
  ASSERT_EQ(m.fixes.size(), 4u);  // the point without a latitude is skipped
  EXPECT_EQ(m.fixes[0].mediaMs, -1);
  EXPECT_FALSE(m.fixes[0].hasClock);
  EXPECT_DOUBLE_EQ(m.fixes[0].latitude, 1.5);
  const int expected[] = {0, 1000, 2500};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m.fixes[i + 1].mediaMs, expected[i]);
    EXPECT_EQ(m.fixes[i + 1].clockMs, UtcMs(2024, 6, 12, 8, 15, 0) + expected[i]);
  }
  const Fix& last = m.fixes[3];
  EXPECT_DOUBLE_EQ(last.latitude, -37.5667);
  EXPECT_DOUBLE_EQ(last.longitude, -126.9783);
  EXPECT_DOUBLE_EQ(last.altitude, 41.5);
  EXPECT_DOUBLE_EQ(last.speedKmh, 12.5 * 3.6);
  EXPECT_DOUBLE_EQ(last.course, 271.5);
}

TEST(GpxTest, RefusesWhatIsNotAGpxDocumentWithPoints) {
  const std::string cases[] = {
      "",
      "<kml><Placemark><Point><coordinates>1,2</coordinates></Point></Placemark></kml>",
      Gpx(R"(<trk><trkseg><trkpt lat="1" lon="2">)"),  // cut short
      Gpx("<trk><trkseg></trkseg></trk>"),
      Gpx(R"(<wpt lat="91" lon="2"/><wpt lat="1e1" lon="2"/><wpt lat="1" lon="east"/>)"),
  };
  for (const std::string& xml : cases) {
    CameraMetadata m;
    EXPECT_FALSE(ParseGpx(xml, &m)) << xml;
    EXPECT_TRUE(m.Empty());
  }
}

// gpsbabel, an outside program, writes the NMEA of a GPX 1.0 track: both readers must give the
// same fixes (to the 0.001 minute and 0.01 knot gpsbabel writes), its VTG and GSA sentences
// ignored.
TEST(GpxTest, AgreesWithTheNmeaGpsbabelWritesOfTheSameTrack) {
  if (std::system("gpsbabel -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "gpsbabel is not installed";
  std::string points;
  for (int i = 0; i < 5; ++i) {
    char point[300];
    std::snprintf(
        point, sizeof point,
        R"(<trkpt lat="%.6f" lon="%.6f"><ele>%.1f</ele><time>2024-06-12T23:59:5%dZ</time>)"
        "<course>%.1f</course><speed>%.2f</speed><fix>3d</fix><sat>8</sat></trkpt>",
        -33.8688 - i * 0.0002, -151.2093 + i * 0.0003, 12.5 + i, 5 + i, 45.5 + i * 10,
        8.25 + i * 1.5);
    points += point;
  }
  const std::string gpx = Gpx("<trk><trkseg>" + points + "</trkseg></trk>", "1/0");
  char dir[] = "/tmp/roadeye-gpx-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string in = std::string(dir) + "/track.gpx", out = std::string(dir) + "/track.nmea";
  std::ofstream(in) << gpx;
  ASSERT_EQ(std::system(("gpsbabel -i gpx -f " + in + " -o nmea -F " + out).c_str()), 0);
  std::ifstream file(out);
  const std::string nmea((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::remove(in.c_str());
  std::remove(out.c_str());
  rmdir(dir);

  CameraMetadata fromGpx, fromNmea;
  ASSERT_TRUE(ParseGpx(gpx, &fromGpx));
  ASSERT_TRUE(ParseNmeaLog(nmea, 0, &fromNmea));
  ASSERT_EQ(fromGpx.fixes.size(), 5u);
  ASSERT_EQ(fromNmea.fixes.size(), fromGpx.fixes.size()) << nmea;
  for (std::size_t i = 0; i < fromGpx.fixes.size(); ++i) {
    const Fix& a = fromGpx.fixes[i];
    const Fix& b = fromNmea.fixes[i];
    EXPECT_EQ(a.mediaMs, b.mediaMs);
    EXPECT_EQ(a.clockMs, b.clockMs);
    EXPECT_TRUE(b.valid);
    EXPECT_NEAR(a.latitude, b.latitude, 1e-5);
    EXPECT_NEAR(a.longitude, b.longitude, 1e-5);
    EXPECT_DOUBLE_EQ(a.altitude, b.altitude);
    EXPECT_NEAR(a.speedKmh, b.speedKmh, 0.01 * 1.852);
    EXPECT_NEAR(a.course, b.course, 0.01);
  }
}

}  // namespace
}  // namespace metadata
