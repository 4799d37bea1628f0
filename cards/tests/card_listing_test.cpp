// SPDX-License-Identifier: GPL-3.0-or-later
// Listing a card by its folders and names: which files make one recording, the order, the walk's
// bounds, Tesla's event files and the VEX card's own rules. The files here are placeholders (the
// names are what is read); the containers are read in card_describe_test.cpp.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cards/CardListing.h"
#include "support/testing/TempDir.h"

namespace fs = std::filesystem;
using cards::CardRecording;
using roadeye_test::TempDir;

namespace {

void Touch(const TempDir& card, const std::string& path, std::size_t bytes = 1000) {
  fs::create_directories(fs::path(card / path).parent_path());
  std::ofstream(card / path, std::ios::binary) << std::string(bytes, 'x');
}

std::vector<std::string> Names(const cards::CardScan& scan) {
  std::vector<std::string> names;
  for (const CardRecording& r : scan.recordings) names.push_back(r.name);
  return names;
}

std::string Cameras(const CardRecording& r) {
  std::string out;
  for (const cards::CameraFile& f : r.files) out += (out.empty() ? "" : "+") + f.camera;
  return out;
}

}  // namespace

TEST(CardListing, TheFilesOfOneMomentAreOneRecording) {
  TempDir card("group");
  // Novatek: the rear file's clock a second behind the front's, the same number.
  Touch(card, "DCIM/Movie/2024_0612_081500_001F.MP4");
  Touch(card, "DCIM/Movie/2024_0612_081501_001R.MP4");
  // The same number again a day later: the counter went round, another recording.
  Touch(card, "DCIM/Movie/2024_0613_081500_001F.MP4");
  // BlackVue (no numbers): two seconds apart stay two.
  Touch(card, "Record/20240612_090000_NF.mp4");
  Touch(card, "Record/20240612_090000_NR.mp4");
  Touch(card, "Record/20240612_090002_NF.mp4");
  // 70mai: the camera folders of one kind make one recording.
  Touch(card, "Normal/Front/NO20240612-100000-000005F.MP4");
  Touch(card, "Normal/Back/NO20240612-100000-000005B.MP4");
  // Two front files of one clock in different kinds stay apart.
  Touch(card, "Record/20240612_110000_EF.mp4");
  Touch(card, "Record/20240612_110000_NF.mp4");

  const cards::CardScan scan = cards::ScanCard(card.str());
  ASSERT_TRUE(scan.readable);
  EXPECT_EQ(Names(scan), (std::vector<std::string>{
                             "DCIM/Movie/2024_0612_081500_001F.MP4",
                             "Record/20240612_090000_NF.mp4",
                             "Record/20240612_090002_NF.mp4",
                             "Normal/Front/NO20240612-100000-000005F.MP4",
                             "Record/20240612_110000_EF.mp4",
                             "Record/20240612_110000_NF.mp4",
                             "DCIM/Movie/2024_0613_081500_001F.MP4",
                         }));
  EXPECT_EQ(Cameras(scan.recordings[0]), "front+rear");
  EXPECT_EQ(scan.recordings[0].bytes, 2000u);
  EXPECT_EQ(Cameras(scan.recordings[1]), "front+rear");
  EXPECT_EQ(Cameras(scan.recordings[2]), "front");
  EXPECT_EQ(Cameras(scan.recordings[3]), "front+rear");
  EXPECT_EQ(scan.recordings[4].kind, cards::Kind::kEvent);
  EXPECT_EQ(scan.recordings[5].kind, cards::Kind::kDriving);
}

TEST(CardListing, TeslaClipsGroupByCameraAndCarryTheirEvent) {
  TempDir card("tesla");
  const std::string saved = "TeslaCam/SavedClips/2024-06-12_08-16-00/";
  for (const char* camera : {"front", "back", "left_repeater", "right_repeater"}) {
    Touch(card, saved + "2024-06-12_08-15-00-" + camera + ".mp4");
    Touch(card, std::string("TeslaCam/RecentClips/2024-06-12_08-14-00-") + camera + ".mp4");
  }
  std::ofstream(card / (saved + "event.json"))
      << R"({"timestamp":"2024-06-12T08:16:00","city":"Seoul","est_lat":"37.5665",)"
      << R"("est_lon":"126.9780","reason":"user_interaction_dashcam_icon_tapped","camera":"0"})";
  const cards::CardScan scan = cards::ScanCard(card.str());
  ASSERT_EQ(scan.recordings.size(), 2u);
  EXPECT_EQ(scan.recordings[0].kind, cards::Kind::kDriving);
  EXPECT_FALSE(scan.recordings[0].hasEvent);
  const CardRecording& kept = scan.recordings[1];
  EXPECT_EQ(kept.name, saved + "2024-06-12_08-15-00-front.mp4");
  EXPECT_EQ(kept.kind, cards::Kind::kManual);
  EXPECT_EQ(Cameras(kept), "front+back+left_repeater+right_repeater");
  ASSERT_TRUE(kept.hasEvent);
  EXPECT_EQ(kept.event.reason, "user_interaction_dashcam_icon_tapped");
  EXPECT_EQ(kept.event.city, "Seoul");
  EXPECT_EQ(cards::ClockText(kept.event.time), "2024-06-12T08:16:00");
  ASSERT_TRUE(kept.event.hasPlace);
  EXPECT_DOUBLE_EQ(kept.event.latitude, 37.5665);

  cards::ClipEvent event;
  for (const char* bad : {"", "[]", "{", R"({"camera":"0"})", R"({"reason":7})"}) {
    EXPECT_FALSE(cards::ParseClipEvent(bad, &event)) << bad;
  }
  ASSERT_TRUE(cards::ParseClipEvent(R"({"reason":"x","est_lat":"nan","est_lon":"1e999"})", &event));
  EXPECT_FALSE(event.hasPlace);
}

TEST(CardListing, TheWalkStaysOnTheCardAndWithinItsBounds) {
  TempDir card("walk"), outside("outside");
  Touch(outside, "Record/20240612_090000_NF.mp4");
  Touch(card, "Videos/VID_20240612_080000.mp4");
  Touch(card, ".Trash/VID_20240612_080001.mp4");
  Touch(card, "a/b/c/d/e/f/VID_20240612_080002.mp4");    // six folders down: listed
  Touch(card, "a/b/c/d/e/f/g/VID_20240612_080003.mp4");  // seven: not
  fs::create_directory_symlink(outside.path() / "Record", card.path() / "Record");
  fs::create_directory_symlink(card.path(), card.path() / "Videos" / "loop");
  fs::create_symlink(outside / "Record/20240612_090000_NF.mp4",
                     card / "Videos/VID_20240612_090000.mp4");
  const cards::CardScan scan = cards::ScanCard(card.str());
  EXPECT_EQ(Names(scan), (std::vector<std::string>{"Videos/VID_20240612_080000.mp4",
                                                   "a/b/c/d/e/f/VID_20240612_080002.mp4"}));
  EXPECT_FALSE(scan.truncated);
  EXPECT_FALSE(cards::ScanCard(card / "missing").readable);
}

TEST(CardListing, ListsGivenFilesAloneAndVexByItsOwnRules) {
  TempDir card("files");
  Touch(card, "clips/2024_0612_081500_001F.MP4");
  Touch(card, "clips/2024_0612_081500_001R.MP4");
  Touch(card, "clips/notes.txt");
  Touch(card, "clips/2024_0612_081700_002F.MP4");
  Touch(card, "2024_0612_081900_003F.MP4");
  const cards::CardScan files = cards::ScanFiles(
      card / "clips", {"../2024_0612_081900_003F.MP4", "2024_0612_081500_001R.MP4",
                       "2024_0612_081500_001F.MP4", "notes.txt", "/etc/passwd", "missing.mp4"});
  ASSERT_EQ(files.recordings.size(), 1u);
  EXPECT_EQ(files.recordings[0].name, "2024_0612_081500_001F.MP4");
  EXPECT_EQ(Cameras(files.recordings[0]), "front+rear");

  // VEX: its folder through the card library, the small recordings left out, empty ones kept.
  Touch(card, "VEX/REC_20240612_081500_D.vex", 600000);
  Touch(card, "VEX/EVENT_20240612_081000.vex", 300000);
  Touch(card, "VEX/PARKING_20240612_090000.vex", 0);
  const cards::CardScan vex = cards::ScanCard(card.str());
  std::vector<std::string> vexNames;
  for (const CardRecording& r : vex.recordings) {
    if (r.family == cards::Family::kVex) vexNames.push_back(r.name + " " + Cameras(r));
  }
  EXPECT_EQ(vexNames, (std::vector<std::string>{"REC_20240612_081500_D.avi front+rear",
                                                "PARKING_20240612_090000.avi front"}));
  EXPECT_TRUE(cards::HasCameraFolders(card.str()));
  EXPECT_FALSE(cards::HasCameraFolders(card / "clips"));
}
