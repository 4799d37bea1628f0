// SPDX-License-Identifier: GPL-3.0-or-later
// Reading each camera family's folders and names: the family, kind, camera, clock and number a
// file's place and name give, and the names that must not be taken for a family's.
#include <gtest/gtest.h>

#include <string>

#include "cards/CardNames.h"

using cards::CardFile;
using cards::Clock;
using cards::Family;
using cards::Kind;

namespace {

struct Case {
  const char* folder;
  const char* name;
  Family family;
  Kind kind;
  const char* camera;
  Clock clock;  // year 0: the name has no clock
  int sequence;
};

const Clock kMorning{2024, 6, 12, 8, 15, 0};
const Clock kNone{};

const Case kCases[] = {
    {"DCIM/Movie", "2024_0612_081500_001F.MP4", Family::kNovatek, Kind::kDriving, "front", kMorning,
     1},
    {"DCIM/Movie", "2024_0612_081500_001R.MP4", Family::kNovatek, Kind::kDriving, "rear", kMorning,
     1},
    {"DCIM/Movie", "2024_0612_081500_017.TS", Family::kNovatek, Kind::kDriving, "front", kMorning,
     17},
    {"dcim/movie/ro", "2024_0612_081500_002i.mov", Family::kNovatek, Kind::kEvent, "interior",
     kMorning, 2},
    {"DCIM/Movie/Parking", "2024_0612_081500_003PR.MP4", Family::kNovatek, Kind::kParking, "rear",
     kMorning, 3},
    {"DCIM/Movie", "2024_0612_081500_004PF.MP4", Family::kNovatek, Kind::kParking, "front",
     kMorning, 4},
    {"DCIM/Movie", "20240612081500_000123F.MP4", Family::kNovatek, Kind::kDriving, "front",
     kMorning, 123},
    {"DCIM/Movie", "20240612_081500_00001_N_A.MP4", Family::kVantrue, Kind::kDriving, "front",
     kMorning, 1},
    {"DCIM/Movie/RO", "20240612_081500_00002_E_B.MP4", Family::kVantrue, Kind::kEvent, "rear",
     kMorning, 2},
    {"DCIM/Movie/Parking", "20240612_081500_00003_P_C.MP4", Family::kVantrue, Kind::kParking,
     "interior", kMorning, 3},
    {"Record", "20240612_081500_NF.mp4", Family::kBlackVue, Kind::kDriving, "front", kMorning, -1},
    {"Record", "20240612_081500_ER.mp4", Family::kBlackVue, Kind::kEvent, "rear", kMorning, -1},
    {"Record", "20240612_081500_PI.mp4", Family::kBlackVue, Kind::kParking, "interior", kMorning,
     -1},
    {"Record", "20240612_081500_MF.mp4", Family::kBlackVue, Kind::kManual, "front", kMorning, -1},
    {"Record", "20240612_081500_IF.mp4", Family::kBlackVue, Kind::kEvent, "front", kMorning, -1},
    {"cont_rec", "REC_2024_06_12_08_15_00_F.MP4", Family::kThinkware, Kind::kDriving, "front",
     kMorning, -1},
    {"evt_rec", "EVT_2024_06_12_08_15_00_R.MP4", Family::kThinkware, Kind::kEvent, "rear", kMorning,
     -1},
    {"parking_rec", "MOT_2024_06_12_08_15_00_F.MP4", Family::kThinkware, Kind::kParking, "front",
     kMorning, -1},
    {"manual_rec", "MAN_2024_06_12_08_15_00_F.MP4", Family::kThinkware, Kind::kManual, "front",
     kMorning, -1},
    {"motion_rec", "MOT_2024_06_12_08_15_00_R.MP4", Family::kThinkware, Kind::kParking, "rear",
     kMorning, -1},
    {"BlackVue/Record", "20240612_081500_NF.mp4", Family::kBlackVue, Kind::kDriving, "front",
     kMorning, -1},
    {"motion_timelapse_rec", "TL_2024_06_12_08_15_00_F.MP4", Family::kThinkware, Kind::kParking,
     "front", kMorning, -1},
    {"Normal/Front", "NO20240612-081500-000001F.MP4", Family::k70mai, Kind::kDriving, "front",
     kMorning, 1},
    {"Normal/Back", "NO20240612-081500-000001B.MP4", Family::k70mai, Kind::kDriving, "rear",
     kMorning, 1},
    {"Event/Front", "EV20240612-081500-000002F.MP4", Family::k70mai, Kind::kEvent, "front",
     kMorning, 2},
    {"Parking/Interior", "PA20240612-081500-000003I.MP4", Family::k70mai, Kind::kParking,
     "interior", kMorning, 3},
    {"TeslaCam/RecentClips", "2024-06-12_08-15-00-front.mp4", Family::kTesla, Kind::kDriving,
     "front", kMorning, -1},
    {"TeslaCam/SavedClips/2024-06-12_08-16-00", "2024-06-12_08-15-00-left_repeater.mp4",
     Family::kTesla, Kind::kManual, "left_repeater", kMorning, -1},
    {"TeslaCam/SentryClips/2024-06-12_08-16-00", "2024-06-12_08-15-00-BACK.mp4", Family::kTesla,
     Kind::kParking, "back", kMorning, -1},
    {"DCIM/105UNSVD", "GRMN0042.MP4", Family::kGarmin, Kind::kDriving, "front", kNone, 42},
    {"DCIM/100EVENT", "grmn0001.mp4", Family::kGarmin, Kind::kEvent, "front", kNone, 1},
    {"DCIM/101SAVED", "GRMN0003.MP4", Family::kGarmin, Kind::kManual, "front", kNone, 3},
    {"DCIM/100PARKM", "GRMN0002.MP4", Family::kGarmin, Kind::kParking, "front", kNone, 2},
    // Any other folder: driving; the clock, camera and number from a known name form, or a clock
    // anywhere in the name, or none.
    {"Videos", "VID_20240612_081500.mp4", Family::kGeneric, Kind::kDriving, "front", kMorning, -1},
    {"Videos/trip", "clip-20240612-081500-x.mkv", Family::kGeneric, Kind::kDriving, "front",
     kMorning, -1},
    {"backup/ro", "2024_0612_081500_009R.MP4", Family::kGeneric, Kind::kDriving, "rear", kMorning,
     9},
    {"", "MOVI0002.avi", Family::kGeneric, Kind::kDriving, "front", kNone, -1},
    {"Record", "20240612_081500_NX.mp4", Family::kGeneric, Kind::kDriving, "front", kMorning, -1},
    {"DCIM/Movie", "20240612_081500_00001_X_A.MP4", Family::kGeneric, Kind::kDriving, "front",
     kMorning, -1},
};

}  // namespace

TEST(CardNames, EachFamilysFoldersAndNamesSayKindCameraClockAndNumber) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(std::string(c.folder) + "/" + c.name);
    CardFile f;
    ASSERT_TRUE(cards::ReadCardFileName(c.folder, c.name, &f));
    EXPECT_EQ(cards::FamilyName(f.family), std::string(cards::FamilyName(c.family)));
    EXPECT_EQ(cards::KindName(f.kind), std::string(cards::KindName(c.kind)));
    EXPECT_EQ(f.camera, c.camera);
    EXPECT_EQ(f.hasClock, c.clock.year != 0);
    if (c.clock.year != 0) {
      EXPECT_EQ(cards::ClockText(f.clock), cards::ClockText(c.clock));
    }
    EXPECT_EQ(f.sequence, c.sequence);
  }
}

TEST(CardNames, OnlyVideoFilesAndRealClocksAreTaken) {
  CardFile f;
  for (const char* name : {"2024_0612_081500_001F.JPG", "2024_0612_081500_001F.gps", ".hidden.mp4",
                           "event.json", "mp4", "2024_0612_081500_001F"}) {
    EXPECT_FALSE(cards::ReadCardFileName("DCIM/Movie", name, &f)) << name;
  }
  // An impossible date or a damaged field is no clock: the file is a generic one without a clock.
  for (const char* name :
       {"2024_0231_081500_001F.MP4", "2024_0612_246000_001F.MP4", "2024_06x2_081500_001F.MP4",
        "20241312_081500_NF.mp4", "2024-06-12_08-15-60-front.mp4"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(cards::ReadCardFileName("DCIM/Movie", name, &f));
    EXPECT_EQ(f.family, Family::kGeneric);
    EXPECT_FALSE(f.hasClock);
  }
  // Folder names far deeper than a card's, or huge names, are read without harm.
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "a/";
  EXPECT_FALSE(cards::ReadCardFileName(deep + "DCIM/Movie", "2024_0612_081500_001F.MP4", &f));
  const std::string huge(100000, '9');
  ASSERT_TRUE(cards::ReadCardFileName("Record", huge + ".mp4", &f));
  EXPECT_FALSE(f.hasClock);
}

TEST(CardNames, ClocksConvertBothWays) {
  Clock c;
  ASSERT_TRUE(cards::ParseClockText("2024-02-29T23:59:59.000000Z", &c));
  EXPECT_EQ(cards::ClockText(c), "2024-02-29T23:59:59");
  EXPECT_EQ(cards::ClockText(cards::ClockFromSeconds(cards::ClockSeconds(c) + 1)),
            "2024-03-01T00:00:00");
  EXPECT_FALSE(cards::ParseClockText("2023-02-29T10:00:00", &c));
  EXPECT_FALSE(cards::ParseClockText("2024-06-12", &c));
}
