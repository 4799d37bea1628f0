// SPDX-License-Identifier: GPL-3.0-or-later
// Cards of other camera families in the window: listed on the worker, by kind, oldest first, with
// their dates and cameras and the damaged one known; recording files named on the command line
// listed on their own; the card going away empties the list.
#include <gtest/gtest.h>
#include <wx/listctrl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "app/AppIds.h"

using apptest::Cell;
using apptest::Click;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;

namespace {

// Every row of the list: type, date and cameras.
std::vector<std::string> Rows(CSamplePlayerDlg* w) {
  std::vector<std::string> rows;
  for (long row = 0; row < w->RecordingList()->GetItemCount(); ++row) {
    rows.push_back(Cell(w, row, 0) + " " + Cell(w, row, 2) + " " + Cell(w, row, 3));
  }
  return rows;
}

bool Listed(CSamplePlayerDlg* w) {
  return PumpUntil([&] { return w->OtherCard().Complete(); }, 60000);
}

}  // namespace

TEST(FamilyCardWindow, ANovatekCardListsByKindOldestFirstWithItsCameras) {
  TempDir config("config"), base("novatek");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family novatek --count 2 --seconds 2 --front 320x180 "
                                "--rear-size 160x90 --rear yes"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  // On arrival, the driving recordings of both days; the one cut short by a power loss among
  // them.
  EXPECT_EQ(Rows(w.get()),
            (std::vector<std::string>{"REC 2024.06.12 08:15:00 F+R", "REC 2024.06.12 08:15:04 F+R",
                                      "REC 2024.06.13 08:15:00 F+R"}));
  const auto damaged = [&](long row) {
    return w->OtherCard().Find(Cell(w.get(), row, 1).c_str())->damaged;
  };
  EXPECT_FALSE(damaged(0));
  EXPECT_TRUE(damaged(1));
  EXPECT_FALSE(damaged(2));
  EXPECT_EQ(Cell(w.get(), 0, 1), "DCIM/Movie/2024_0612_081500_001F.MP4");

  Click(w.get(), kIdFilterAll);
  EXPECT_EQ(Rows(w.get()),
            (std::vector<std::string>{"REC 2024.06.12 08:15:00 F+R", "EVT 2024.06.12 08:15:02 F+R",
                                      "REC 2024.06.12 08:15:04 F+R", "PAK 2024.06.12 08:15:23 F+R",
                                      "REC 2024.06.13 08:15:00 F+R", "EVT 2024.06.13 08:15:02 F+R",
                                      "PAK 2024.06.13 08:15:21 F+R"}));
  Click(w.get(), kIdFilterParking);
  EXPECT_EQ(Rows(w.get()).size(), 2u);

  // Playing them comes later: a double click or PLAY says so once and plays nothing, the list
  // as it was.
  apptest::DoubleClickRow(w.get(), 0);
  Click(w.get(), kIdPlay);
  ASSERT_EQ(w.messages.texts.size(), 2u);
  EXPECT_NE(w.messages.texts[0].find("cannot play this camera's files yet"), std::string::npos);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_EQ(Rows(w.get()).size(), 2u);
  // The card goes: the list empties and the user is told.
  fs::rename(card, card + ".gone");
  w->PollCard();
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);
  ASSERT_FALSE(w.messages.texts.empty());
  EXPECT_EQ(w.messages.texts.back(), "The memory card has been removed.\nPlease check the card.");
}

TEST(FamilyCardWindow, FilesNamedOnTheCommandLineAreListedOnTheirOwn) {
  TempDir config("config"), card("files");
  ASSERT_TRUE(apptest::MakeCard(card.str(),
                                "--family tesla --kinds REC,MANUAL --count 1 "
                                "--seconds 2 --front 320x180 --no-damaged"));
  CSamplePlayerDlg::Options options = Window::Options("", config.str() + "/config.cfg");
  const std::string recent = card.str() + "/TeslaCam/RecentClips/";
  for (const char* camera : {"front", "back"}) {
    options.files.push_back(recent + "2024-06-12_08-15-00-" + camera + ".mp4");
  }
  for (const auto& e : fs::recursive_directory_iterator(card.path() / "TeslaCam/SavedClips")) {
    if (e.path().filename().string().ends_with("-front.mp4")) options.files.push_back(e.path());
  }
  Window w(options);
  // No card poll: the files are listed at once, every kind together.
  ASSERT_TRUE(Listed(w.get()));
  EXPECT_EQ(Rows(w.get()), (std::vector<std::string>{"REC 2024.06.12 08:15:00 2 cams",
                                                     "MAN 2024.06.12 08:15:02 F"}));
  EXPECT_EQ(Cell(w.get(), 0, 1), "RecentClips/2024-06-12_08-15-00-front.mp4");
  w->PollCard();
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 2) << "the poll leaves the files alone";
}

TEST(FamilyCardWindow, RecordingsDatedByTheirContainerComeInTheirPlace) {
  TempDir config("config"), base("generic");
  const std::string card = base.str() + "/card";
  // Every other recording is named by a number alone: its clock is in its container, and its row
  // comes once that has been read, between the rows the names gave at once.
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family generic --count 3 --seconds 2 --front 320x180 "
                                "--no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  EXPECT_EQ(Rows(w.get()),
            (std::vector<std::string>{"REC 2024.06.12 08:15:00 F", "REC 2024.06.12 08:15:02 F",
                                      "REC 2024.06.13 08:15:00 F"}));
  EXPECT_EQ(Cell(w.get(), 1, 1), "Videos/trips/MOVI0002.mp4");
}

TEST(FamilyCardWindow, AThousandRowsComeInOrderAndSelectAllTicksThemAll) {
  TempDir config("config"), base("many"), source("source");
  ASSERT_TRUE(apptest::MakeCard(source.str(),
                                "--family blackvue --kinds REC --count 1 "
                                "--seconds 1 --front 320x180 --no-damaged"));
  // A thousand recordings a minute apart, listed in several batches of rows.
  const fs::path record = base.path() / "card" / "Record";
  fs::create_directories(record);
  for (int i = 0; i < 1000; ++i) {
    char name[48];
    std::snprintf(name, sizeof name, "20240612_%02d%02d00_NF.mp4", i / 60 % 24, i % 60);
    fs::create_hard_link(source.path() / "Record/20240612_081500_NF.mp4", record / name);
  }
  Window w((base.path() / "card").string(), config.str() + "/config.cfg");
  apptest::ClickCheckBox(w.get(), kIdSelectAll, true);
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  wxListCtrl* list = w->RecordingList();
  ASSERT_EQ(list->GetItemCount(), 1000);
  for (long row = 0; row < 1000; ++row) {
    char date[32];
    std::snprintf(date, sizeof date, "2024.06.12 %02ld:%02ld:00", row / 60 % 24, row % 60);
    ASSERT_EQ(Cell(w.get(), row, 2), date) << row;
    ASSERT_TRUE(list->IsItemChecked(row)) << row;
  }
}

TEST(FamilyCardWindow, AVexCardWrittenIntoTheFolderTakesOver) {
  TempDir config("config"), base("swap");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family generic --count 1 --seconds 1 --front 320x180 "
                                "--no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  ASSERT_EQ(Cell(w.get(), 0, 1), "Videos/VID_20240612_081500.mp4");
  // The same folder, now a VEX card: the card library lists it, the other listing is dropped.
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--kinds REC --count 1 --seconds 6 --bitrate 2000 "
                                "--no-damaged --rear yes"));
  w->PollCard();
  EXPECT_FALSE(w->OtherCard().IsOpen());
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  EXPECT_EQ(Cell(w.get(), 0, 1), "REC_20240612_081500_D.avi");
}
