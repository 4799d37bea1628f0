// SPDX-License-Identifier: GPL-3.0-or-later
// roadeye-convert --list on the cards roadeye-mkcard writes for every family: each recording once,
// oldest first, with its family, kind, the camera's clock, its length, its cameras and files, and
// the one cut short by a power loss marked damaged; a file given alone lists that file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/tests/ToolsTestSupport.h"

namespace tools_test {
namespace {

inline std::string Convert() { return BinDir() + "/roadeye-convert"; }

std::vector<nlohmann::json> ListJson(const fs::path& card) {
  return ConvertJsonLines("--list", card);
}

struct ListCase {
  const char* family;
  // The whole recordings, oldest first: kind and clock (literals: a table the compiler makes light
  // work of).
  std::vector<std::pair<const char*, const char*>> recordings;
  std::vector<const char*> cameras;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.family; }

class CardListTest : public ToolsTest, public ::testing::WithParamInterface<ListCase> {};

const std::vector<const char*> kTwo{"front", "rear"};

}  // namespace

TEST_P(CardListTest, EveryRecordingOnceOldestFirstWithItsKindClockAndCameras) {
  NeedFfmpeg();
  const ListCase& c = GetParam();
  MakeCard(card(), std::string("--family ") + c.family +
                       " --seconds 2 --count 1 --front 320x180 --rear-size 160x90 --rear yes");
  const std::vector<nlohmann::json> listed = ListJson(card());
  ASSERT_EQ(listed.size(), c.recordings.size() + 1) << "the whole ones and the damaged one";
  std::vector<std::pair<std::string, std::string>> whole;
  std::string previous;
  int damaged = 0;
  for (const nlohmann::json& r : listed) {
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r.value("family", ""), c.family);
    const std::string start = r.value("start", "");
    EXPECT_LE(previous, start) << "oldest first";
    previous = start;
    EXPECT_EQ(r["name"], r["files"][0]) << "the name is the front camera's file";
    for (const auto& file : r["files"])
      EXPECT_TRUE(fs::is_regular_file(card() / file.get<std::string>()));
    EXPECT_GT(r.value("bytes", 0), 0);
    if (r.value("damaged", false)) {
      ++damaged;
      continue;
    }
    EXPECT_EQ(r["cameras"].get<std::vector<std::string>>(),
              std::vector<std::string>(c.cameras.begin(), c.cameras.end()));
    EXPECT_NEAR(r.value("seconds", 0.0), 2.0, 0.05);
    whole.emplace_back(r.value("kind", ""), start);
  }
  EXPECT_EQ(damaged, 1);
  EXPECT_EQ(whole, (std::vector<std::pair<std::string, std::string>>(c.recordings.begin(),
                                                                     c.recordings.end())));
}

INSTANTIATE_TEST_SUITE_P(
    Families, CardListTest,
    ::testing::Values(ListCase{"novatek",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"parking", "2024-06-12T08:15:23"}},
                               kTwo},
                      ListCase{"vantrue",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"parking", "2024-06-12T08:15:23"}},
                               kTwo},
                      ListCase{"blackvue",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"manual", "2024-06-12T08:15:04"},
                                {"parking", "2024-06-12T08:15:25"}},
                               kTwo},
                      ListCase{"thinkware",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"manual", "2024-06-12T08:15:04"},
                                {"parking", "2024-06-12T08:15:25"}},
                               kTwo},
                      ListCase{"70mai",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"parking", "2024-06-12T08:15:23"}},
                               kTwo},
                      ListCase{"tesla",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"manual", "2024-06-12T08:15:02"},
                                {"parking", "2024-06-12T08:15:23"}},
                               {"front", "back", "left_repeater", "right_repeater"}},
                      // Garmin's clock is in the container alone.
                      ListCase{"garmin",
                               {{"driving", "2024-06-12T08:15:00"},
                                {"event", "2024-06-12T08:15:02"},
                                {"manual", "2024-06-12T08:15:04"},
                                {"parking", "2024-06-12T08:15:25"}},
                               {"front"}},
                      ListCase{"generic", {{"driving", "2024-06-12T08:15:00"}}, {"front"}}));

TEST_F(ToolsTest, TeslasSavedAndSentryClipsCarryTheirEvent) {
  NeedFfmpeg();
  MakeCard(card(),
           "--family tesla --kinds MANUAL,PARKING --count 1 --seconds 1 --front 160x90 "
           "--no-damaged");
  const std::vector<nlohmann::json> listed = ListJson(card());
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].value("kind", ""), "manual");
  EXPECT_EQ(listed[0]["event"].value("reason", ""), "user_interaction_dashcam_icon_tapped");
  EXPECT_EQ(listed[1].value("kind", ""), "parking");
  EXPECT_EQ(listed[1]["event"].value("reason", ""), "sentry_aware_object_detection");
  for (const nlohmann::json& r : listed) {
    // The event is the clips' end: the folder's name, after the recording's start.
    EXPECT_GT(r["event"].value("time", ""), r.value("start", ""));
    EXPECT_NEAR(r["event"].value("latitude", 0.0), 37.56, 0.05);
  }
}

TEST_F(ToolsTest, ListingOneFileAndRefusingWhatIsNoCard) {
  NeedFfmpeg();
  MakeCard(card(), "--family generic --seconds 2 --count 2 --front 320x180 --no-damaged");
  // A file alone, its clock in its container only.
  const std::vector<nlohmann::json> one = ListJson(card() / "Videos/trips/MOVI0002.mp4");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].value("name", ""), "MOVI0002.mp4");
  EXPECT_EQ(one[0].value("start", ""), "2024-06-13T08:15:00");
  EXPECT_FALSE(one[0].value("damaged", true));

  const Outcome people = RunCommand(Quote(Convert()) + " --list " + Quote(card().string()));
  EXPECT_EQ(people.exitCode, 0);
  EXPECT_EQ(Lines(people.out).size(), 2u);
  EXPECT_NE(people.out.find("2024-06-12T08:15:00  driving"), std::string::npos) << people.out;

  EXPECT_EQ(RunCommand(Quote(Convert()) + " --list " + Quote((card() / "none").string())).exitCode,
            2);
  std::ofstream(card() / "notes.txt") << "not a recording";
  EXPECT_EQ(
      RunCommand(Quote(Convert()) + " --list " + Quote((card() / "notes.txt").string())).exitCode,
      2);
  EXPECT_EQ(RunCommand(Quote(Convert()) + " --list --gpx " + Quote(card().string())).exitCode, 2);
}

}  // namespace tools_test
