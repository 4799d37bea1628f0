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
#include "WindowScreen.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "app/Layout.h"
#include "app/MomentControls.h"
#include "app/Snapshot.h"
#include "playback/CNOVMediaPlayer.h"

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

  // They play: both cameras in their panes, on the screen.
  apptest::DoubleClickRow(w.get(), 0);
  EXPECT_EQ(w->CurrentRow(), 0);
  EXPECT_TRUE(PumpUntil([&] { return w->TotalTimeText() == "00:00:02"; }));
  EXPECT_EQ(w->Engine().GetChannelCount(), 2);
  ASSERT_TRUE(PumpUntil(
      [&] { return w->FrontPane()->PresentedCount() > 0 && w->RearPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->FrontPane(), kLargePlace, "family-front"));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->RearPane(), kSmallPlace, "family-rear"));
  EXPECT_GT(apptest::MeanLevel(w->FrontPane()->LastPicture()), 20);  // a scene, not black
  EXPECT_TRUE(w.messages.texts.empty());
  w->StopPlayback();
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

TEST(FamilyCardWindow, TeslasCamerasTakeTurnsInTheSecondPane) {
  TempDir config("config"), base("tesla");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family tesla --kinds REC --count 1 --seconds 6 "
                                "--front 320x240 --rear-size 320x240 --no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  ASSERT_EQ(w->RecordingList()->GetItemCount(), 1);
  const cards::CardRecording* r = w->OtherCard().Find(Cell(w.get(), 0, 1));
  ASSERT_NE(r, nullptr);
  ASSERT_GE(r->files.size(), 3u);
  apptest::DoubleClickRow(w.get(), 0);
  ASSERT_TRUE(PumpUntil([&] { return w->RearPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->RearPane(), kSmallPlace, "tesla-second"));
  const wxImage before = w->RearPane()->LastPicture();
  // Beside "SECOND VIEW", the camera's name.
  const Place caption{kSmallPlace.x + 70, kSmallPlace.y - 20, 200, 16};
  const wxImage captionBefore =
      screentest::Grab(apptest::OnScreen(apptest::Origin(w.get()), caption));
  EXPECT_GT(screentest::MeanDifference(captionBefore, apptest::SkinOver(caption)), 1.0);
  // C: the next camera; the recording goes on from where it was, the second pane showing it.
  PumpUntil([&] { return w->Engine().GetPositionMs() >= 1000; });
  const int at = w->Engine().GetPositionMs();
  w->HandleKey('C', false);
  ASSERT_TRUE(PumpUntil([&] { return w->RearPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->RearPane(), kSmallPlace, "tesla-third"));
  EXPECT_GE(w->Engine().GetPositionMs(), at - 1000) << "not back to the start";
  EXPECT_EQ(w->CurrentRow(), 0);
  // Each of Tesla's cameras writes its own name into its pictures: the pane shows another one.
  EXPECT_GT(screentest::MeanDifference(before, w->RearPane()->LastPicture()), 1.0);
  EXPECT_TRUE(w.messages.texts.empty());
  EXPECT_TRUE(apptest::Eventually([&]() -> testing::AssertionResult {
    const wxImage now = screentest::Grab(apptest::OnScreen(apptest::Origin(w.get()), caption));
    if (screentest::MeanDifference(now, captionBefore) > 1.0) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the caption still names the camera before";
  }));

  // A snapshot: each shown camera at its own size, named by its camera, dated by the recording's
  // clock (read back by exiftool).
  const std::string shot = base.str() + "/shot.jpg";
  w->Capture().SetSaveDialogRunner([&](const wxString&, wxString* path) {
    *path = wxString::FromUTF8(shot);
    return true;
  });
  w->HandleKey(WXK_F4, false);
  const std::string second = base.str() + "/shot_" + r->files[2].camera + ".jpg";
  ASSERT_TRUE(fs::exists(base.str() + "/shot_front.jpg"));
  ASSERT_TRUE(fs::exists(second)) << second;
  EXPECT_EQ(apptest::Output("exiftool -s -s -s -ImageSize " + base.str() + "/shot_front.jpg"),
            "320x240\n");
  EXPECT_EQ(apptest::Output("exiftool -s -s -s -DateTimeOriginal " + second).substr(0, 16),
            "2024:06:12 08:15");
}

// A Tesla recording's own data on the screen: its speed in the read-out, the car's state (gear,
// blinkers, brake) on the caption row and its acceleration on the graph, each drawn where the
// skin was bare before it played.
TEST(FamilyCardWindow, ATeslaRecordingShowsItsSpeedTheCarsStateAndItsGraph) {
  TempDir config("config"), base("tesla-state");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family tesla --kinds REC --count 1 --seconds 8 "
                                "--front 320x240 --rear-size 320x240 --no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  apptest::KeepMapOffline(w.get());
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  const struct {
    const char* what;
    Place place;
  } shown[] = {{"speed", apptest::NormalPlaceOf(kIdSpeed)},
               {"car state", apptest::NormalPlaceOf(kIdVehicle)},
               {"graph", kGraphPlace}};
  std::vector<wxImage> idle;
  for (const auto& s : shown) {
    idle.push_back(screentest::Grab(apptest::OnScreen(apptest::Origin(w.get()), s.place)));
  }
  apptest::DoubleClickRow(w.get(), 0);
  // Each is looked at until it has been seen drawn once while the recording plays.
  bool seen[std::size(shown)] = {};
  PumpUntil([&] {
    bool all = true;
    for (std::size_t i = 0; i < std::size(shown); ++i) {
      if (!seen[i]) {
        const wxImage now =
            screentest::Grab(apptest::OnScreen(apptest::Origin(w.get()), shown[i].place));
        seen[i] = apptest::ChangedPixels(now, idle[i], 40) >= 30;
      }
      all = all && seen[i];
    }
    return all;
  });
  for (std::size_t i = 0; i < std::size(shown); ++i) EXPECT_TRUE(seen[i]) << shown[i].what;
  EXPECT_TRUE(w.messages.texts.empty());
}

TEST(FamilyCardWindow, ADamagedRecordingPlaysWhatCanBeReadAndSaysSo) {
  TempDir config("config"), base("damaged");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family novatek --kinds REC --count 1 --seconds 2 "
                                "--front 320x180 --rear-size 160x90 --rear yes --no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  const cards::CardRecording* r = w->OtherCard().Find(Cell(w.get(), 0, 1));
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->files.size(), 2u);
  // The rear file loses its index after the listing (the card pulled while the camera wrote).
  fs::resize_file(card + "/" + r->files[1].path, 1000);
  apptest::DoubleClickRow(w.get(), 0);
  ASSERT_TRUE(PumpUntil([&] { return !w.messages.texts.empty(); }));
  EXPECT_NE(w.messages.texts[0].find("could not be read"), std::string::npos);
  EXPECT_EQ(w->Engine().GetChannelCount(), 1);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));
  EXPECT_TRUE(apptest::PictureShown(w.get(), w->FrontPane(), kLargePlace, "damaged-front"));
  EXPECT_EQ(w.messages.texts.size(), 1u) << "said once";
}

TEST(FamilyCardWindow, AnEvidenceClipOfANovatekRecordingIsOneMp4OfItsCameras) {
  TempDir config("config"), base("clip");
  const std::string card = base.str() + "/card", out = base.str() + "/out";
  fs::create_directories(out);
  ASSERT_TRUE(apptest::MakeCard(card,
                                "--family novatek --kinds REC --count 1 --seconds 4 "
                                "--front 320x180 --rear-size 160x90 --rear yes --no-damaged"));
  Window w(card, config.str() + "/config.cfg");
  w->PollCard();
  ASSERT_TRUE(Listed(w.get()));
  apptest::DoubleClickRow(w.get(), 0);
  ASSERT_TRUE(PumpUntil([&] { return w->TotalTimeText() == "00:00:04"; }));
  w->OnPauseCommand();
  ASSERT_TRUE(w->Engine().ShowPicture(35));
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  ASSERT_TRUE(w->HandleKey('I', false));
  ASSERT_TRUE(w->Engine().ShowPicture(95));
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kIdle; }));
  w->SetFolderDialogRunner([&](const wxString&, const wxString&, wxString* folder) {
    *folder = wxString::FromUTF8(out);
    return true;
  });
  bool ended = false, ok = false;
  w->Moment().SetClipObserver([&](bool success, const std::string&) {
    ended = true;
    ok = success;
  });
  ASSERT_TRUE(w->HandleKey('O', false));
  ASSERT_TRUE(PumpUntil([&] { return ended; }, 60000));
  ASSERT_TRUE(ok) << (w.messages.texts.empty() ? "" : w.messages.texts.back().ToStdString());
  std::string clip;
  for (const auto& e : fs::directory_iterator(out)) {
    if (e.path().extension() == ".mp4") clip = e.path().string();
  }
  ASSERT_FALSE(clip.empty());
  // Both cameras and the sound, read by ffprobe without a warning.
  EXPECT_EQ(
      apptest::Output("ffprobe -v warning -show_entries stream=codec_type -of csv=p=0 " + clip),
      "video\nvideo\naudio\n");
}
