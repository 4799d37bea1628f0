// SPDX-License-Identifier: GPL-3.0-or-later
// The recording library as the user meets it: the card coming and going, the list of recordings
// by kind, the 512 KiB rule, OPEN, Select All and the row ticks, and the speed unit of the card.
#include <gtest/gtest.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/listctrl.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>

#include "AppTestSupport.h"
#include "WindowScreen.h"
#include "app/AppIds.h"
#include "app/CPicturePane.h"
#include "platform/Drives.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"

using apptest::Cell;
using apptest::Click;
using apptest::ClickCheckBox;
using apptest::KeepMapOffline;
using apptest::MapButtonShown;
using apptest::PauseShown;
using apptest::PlayShown;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kSmallest = 524288;  // 512 KiB

const char* const kNoCard = "No memory card detected.\nPlease try again later.";
const char* const kCardRemoved = "The memory card has been removed.\nPlease check the card.";

// One recording file of a card as the list should show it.
struct Row {
  std::string type, name, date, rear, size;
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
  return out << "{" << r.type << ", " << r.name << ", " << r.date << ", '" << r.rear << "', "
             << r.size << "}";
}

std::string KindWord(const std::string& fileName) { return fileName.substr(0, fileName.find('_')); }

// "KIND_YYYYMMDD_HHMMSS[_D].vex" as the list shows it.
Row RowOf(const std::string& fileName, std::uintmax_t size) {
  static const std::map<std::string, std::string> labels = {
      {"REC", "REC"}, {"EVENT", "EVT"}, {"PARKING", "PAK"}, {"MANUAL", "MAN"}};
  const std::string stamp = fileName.substr(fileName.find('_') + 1);  // YYYYMMDD_HHMMSS...
  Row r;
  r.type = labels.at(KindWord(fileName));
  r.name = fileName.substr(0, fileName.size() - 4) + ".avi";
  r.date = stamp.substr(0, 4) + "." + stamp.substr(4, 2) + "." + stamp.substr(6, 2) + " " +
           stamp.substr(9, 2) + ":" + stamp.substr(11, 2) + ":" + stamp.substr(13, 2);
  r.rear = fileName.find("_D.") != std::string::npos ? "0" : "";
  r.size = std::to_string(static_cast<int>(static_cast<double>(size) / 1048576.0 + 0.5)) + " MB";
  return r;
}

// The rows a card's files of the given kinds make: big enough ones, oldest first.
std::vector<Row> ExpectedRows(const std::string& card, const std::vector<std::string>& kinds) {
  std::vector<std::pair<std::string, Row>> found;
  for (const auto& e : fs::directory_iterator(card + "/VEX")) {
    const std::string file = e.path().filename().string();
    if (std::find(kinds.begin(), kinds.end(), KindWord(file)) == kinds.end()) continue;
    if (e.file_size() < kSmallest) continue;
    found.emplace_back(file.substr(file.find('_') + 1, 15), RowOf(file, e.file_size()));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<Row> rows;
  for (const auto& f : found) rows.push_back(f.second);
  return rows;
}

std::vector<Row> ShownRows(CSamplePlayerDlg* w) {
  std::vector<Row> rows;
  for (long i = 0; i < w->RecordingList()->GetItemCount(); ++i) {
    rows.push_back(Row{Cell(w, i, 0), Cell(w, i, 1), Cell(w, i, 2), Cell(w, i, 3), Cell(w, i, 4)});
    EXPECT_EQ(Cell(w, i, 5), "") << "row " << i;  // the path column stays empty
  }
  return rows;
}

void CopyFolder(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// A copy of `source` made exactly `size` bytes long (cut, or lengthened with a hole).
void WriteSized(const std::string& source, const std::string& path, std::uintmax_t size) {
  fs::copy_file(source, path, fs::copy_options::overwrite_existing);
  fs::resize_file(path, size);
}

void ReplaceInFile(const std::string& path, const std::string& from, const std::string& to) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  in.close();
  std::string text = s.str();
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << path;
  text.replace(at, from.size(), to);
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

// Two cards shared by the tests: one written by roadeye-mkcard with every kind, and one made by
// hand from its recordings with chosen names and sizes.
class LibraryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mixed_ = new TempDir("library-mixed");
    made_ = apptest::MakeCard(mixed_->str(),
                              "--seconds 6 --count 2 --rear mixed --no-damaged --bitrate 2000");
    if (!made_) return;
    // The largest one- and two-camera recordings are the sources of the hand-made card.
    std::string single, dual;
    std::uintmax_t singleSize = 0, dualSize = 0;
    for (const auto& e : fs::directory_iterator(mixed_->str() + "/VEX")) {
      const bool rear = e.path().filename().string().find("_D.") != std::string::npos;
      std::string& best = rear ? dual : single;
      std::uintmax_t& bestSize = rear ? dualSize : singleSize;
      if (e.file_size() > bestSize) {
        best = e.path().string();
        bestSize = e.file_size();
      }
    }
    made_ = singleSize >= kSmallest && dualSize >= kSmallest;
    handMade_ = new TempDir("library-handmade");
    const std::string vex = handMade_->str() + "/VEX/";
    fs::create_directories(vex);
    fs::copy_file(single, vex + "EVENT_20140301_115959.vex");
    fs::copy_file(dual, vex + "REC_20140301_120000_D.vex");
    WriteSized(single, vex + "REC_20140301_100000.vex", 300000);
    WriteSized(single, vex + "REC_20140301_100100.vex", 524288);
    WriteSized(single, vex + "REC_20140301_100200.vex", 1572864);
    WriteSized(single, vex + "PARKING_20140301_110000.vex", 524287);
    // More than 4 GiB: a card formatted with exFAT holds such files. A hole, not real bytes.
    std::error_code ec;
    fs::copy_file(single, vex + "REC_20140301_100300.vex", ec);
    fs::resize_file(vex + "REC_20140301_100300.vex", kHuge, ec);
    huge_ = !ec;
  }
  static void TearDownTestSuite() {
    delete mixed_;
    delete handMade_;
    mixed_ = handMade_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(made_) << "roadeye-mkcard failed"; }

  static constexpr std::uintmax_t kHuge = 4294967296ull + 1000;
  static inline TempDir* mixed_ = nullptr;
  static inline TempDir* handMade_ = nullptr;
  static inline bool made_ = false;
  static inline bool huge_ = false;
  TempDir config_{"config"};
  std::string Config() const { return config_.str() + "/config.cfg"; }
};

TEST_F(LibraryTest, EachFilterListsItsKindOldestFirst) {
  const std::string card = mixed_->str();
  Window w(card, Config());
  w->PollCard();
  ASSERT_NE(w->CardDrive(), 0);
  EXPECT_TRUE(w.messages.texts.empty());

  // A card arriving lists its driving recordings.
  const std::vector<Row> driving = ExpectedRows(card, {"REC"});
  ASSERT_GE(driving.size(), 2u);
  EXPECT_EQ(ShownRows(w.get()), driving);
  // The card's clock started at 2024-06-12 08:15:00 with a two-camera recording.
  EXPECT_EQ(driving[0],
            (Row{"REC", "REC_20240612_081500_D.avi", "2024.06.12 08:15:00", "0", driving[0].size}));

  const std::vector<std::pair<int, std::vector<std::string>>> filters = {
      {kIdFilterEvent, {"EVENT"}},   {kIdFilterParking, {"PARKING"}},
      {kIdFilterManual, {"MANUAL"}}, {kIdFilterAll, {"REC", "EVENT", "PARKING", "MANUAL"}},
      {kIdFilterDriving, {"REC"}},
  };
  for (const auto& [button, kinds] : filters) {
    Click(w.get(), button);
    const std::vector<Row> expected = ExpectedRows(card, kinds);
    EXPECT_FALSE(expected.empty()) << button;
    EXPECT_EQ(ShownRows(w.get()), expected) << "filter " << button;
  }

  // All kinds are sorted together by time, not listed kind after kind.
  Click(w.get(), kIdFilterAll);
  std::vector<std::string> types;
  for (long i = 0; i < w->RecordingList()->GetItemCount(); ++i)
    types.push_back(Cell(w.get(), i, 0));
  ASSERT_GE(types.size(), 3u);
  EXPECT_EQ(types[0], "REC");
  EXPECT_EQ(types[1], "EVT");
  EXPECT_EQ(std::count(types.begin(), types.end(), "REC"), static_cast<long>(driving.size()));
  EXPECT_NE(types[2], "EVT");
}

TEST_F(LibraryTest, SmallRecordingsAreLeftOutAndSizesRoundToWholeMegabytes) {
  Window w(handMade_->str(), Config());
  w->PollCard();
  std::vector<Row> expected = {
      {"REC", "REC_20140301_100100.avi", "2014.03.01 10:01:00", "", "1 MB"},
      {"REC", "REC_20140301_100200.avi", "2014.03.01 10:02:00", "", "2 MB"},
      {"REC", "REC_20140301_100300.avi", "2014.03.01 10:03:00", "", "4096 MB"},
      RowOf("REC_20140301_120000_D.vex",
            fs::file_size(handMade_->str() + "/VEX/REC_20140301_120000_D.vex")),
  };
  if (!huge_) expected.erase(expected.begin() + 2);  // no room for the hole on this disk
  EXPECT_EQ(ShownRows(w.get()), expected);
  EXPECT_EQ(expected.back().rear, "0");

  // Across kinds, the event recording of 11:59:59 comes before the driving one of 12:00:00.
  Click(w.get(), kIdFilterAll);
  const std::vector<Row> all = ShownRows(w.get());
  ASSERT_EQ(all.size(), expected.size() + 1);
  EXPECT_EQ(all[all.size() - 2].type, "EVT");
  EXPECT_EQ(all[all.size() - 2].date, "2014.03.01 11:59:59");
  EXPECT_EQ(all[all.size() - 2].rear, "");
  EXPECT_EQ(all.back().type, "REC");
  EXPECT_EQ(all.back().date, "2014.03.01 12:00:00");
  EXPECT_EQ(all.back().rear, "0");

  // One byte under 512 KiB is too small.
  Click(w.get(), kIdFilterParking);
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);
}

TEST_F(LibraryTest, OpenWithoutACardSaysSoAndACardAppearingFillsTheList) {
  TempDir base("late");
  const std::string card = base.str() + "/card";  // not there yet
  Window w(card, Config());
  w->PollCard();
  EXPECT_EQ(w->CardDrive(), 0);
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);

  // OPEN by key and by button.
  EXPECT_TRUE(w->HandleKey(WXK_F2, false));
  Click(w.get(), kIdOpen);
  ASSERT_EQ(w.messages.texts.size(), 2u);
  EXPECT_EQ(w.messages.texts[0], kNoCard);
  EXPECT_EQ(w.messages.texts[1], kNoCard);
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);

  // The card folder turns up while the window runs.
  CopyFolder(mixed_->str(), card);
  w->PollCard();
  EXPECT_NE(w->CardDrive(), 0);
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(card, {"REC"}));

  // OPEN with the card lists the driving recordings again, whatever the filter showed.
  Click(w.get(), kIdFilterEvent);
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(card, {"EVENT"}));
  Click(w.get(), kIdOpen);
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(card, {"REC"}));
  EXPECT_EQ(w.messages.texts.size(), 2u);
}

TEST_F(LibraryTest, SelectAllTicksEveryRowAndFollowsTheRowTicks) {
  Window w(handMade_->str(), Config());
  w->PollCard();
  wxListCtrl* list = w->RecordingList();
  auto* selectAll = dynamic_cast<wxCheckBox*>(w->FindControl(kIdSelectAll));
  ASSERT_NE(selectAll, nullptr);
  const long rows = list->GetItemCount();
  ASSERT_GE(rows, 3);
  auto ticked = [&] {
    long n = 0;
    for (long i = 0; i < list->GetItemCount(); ++i) n += list->IsItemChecked(i);
    return n;
  };
  EXPECT_EQ(ticked(), 0);

  ClickCheckBox(w.get(), kIdSelectAll, true);
  EXPECT_EQ(ticked(), rows);
  EXPECT_TRUE(selectAll->GetValue());

  // Unticking one row clears Select All; ticking it again, the last one unticked, sets it.
  list->CheckItem(1, false);
  EXPECT_FALSE(selectAll->GetValue());
  EXPECT_EQ(ticked(), rows - 1);
  list->CheckItem(1, true);
  EXPECT_TRUE(selectAll->GetValue());

  // A new list under a ticked Select All comes ticked.
  Click(w.get(), kIdFilterAll);
  EXPECT_GT(list->GetItemCount(), rows);
  EXPECT_EQ(ticked(), list->GetItemCount());
  EXPECT_TRUE(selectAll->GetValue());

  // Unticking rows one by one: Select All goes at the first.
  list->CheckItem(0, false);
  EXPECT_FALSE(selectAll->GetValue());
  list->CheckItem(0, true);
  EXPECT_TRUE(selectAll->GetValue());

  ClickCheckBox(w.get(), kIdSelectAll, false);
  EXPECT_EQ(ticked(), 0);

  // An empty list leaves Select All unticked.
  ClickCheckBox(w.get(), kIdSelectAll, true);
  Click(w.get(), kIdFilterManual);
  EXPECT_EQ(list->GetItemCount(), 0);
  EXPECT_FALSE(selectAll->GetValue());
}

TEST_F(LibraryTest, RemovingTheCardWhilePlayingStopsAndEmptiesEverything) {
  TempDir base("removal");
  const std::string card = base.str() + "/card";
  CopyFolder(mixed_->str(), card);
  Window w(card, Config());
  KeepMapOffline(w.get());
  w->PollCard();
  ASSERT_GE(w->RecordingList()->GetItemCount(), 2);

  w->PlayNext();
  EXPECT_EQ(w->CurrentRow(), 0);
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 5; }));
  ASSERT_TRUE(PumpUntil([&] { return w->CurrentTimeText() != "00:00:00"; }));
  EXPECT_TRUE(PauseShown(w.get()));

  fs::rename(card, card + ".out");
  w->PollCard();
  EXPECT_EQ(w->CardDrive(), 0);
  EXPECT_EQ(w->RecordingList()->GetItemCount(), 0);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w.get()));
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");
  EXPECT_EQ(w->TotalTimeText(), "00:00:00");
  EXPECT_EQ(w->SeekSlider()->GetPos(), 0);
  EXPECT_EQ(w->SpeedText(), "Km/h");
  EXPECT_EQ(w->Panes(), PaneStates{});
  EXPECT_TRUE(MapButtonShown(w.get(), false));
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  ASSERT_EQ(w.messages.texts.size(), 1u);
  EXPECT_EQ(w.messages.texts[0], kCardRemoved);

  // Nothing is drawn any more.
  apptest::Pump(300);
  const int shown = w->FrontPane()->PresentedCount();
  apptest::Pump(300);
  EXPECT_EQ(w->FrontPane()->PresentedCount(), shown);
  EXPECT_EQ(w->CurrentTimeText(), "00:00:00");

  // The card back in: its driving recordings are listed again, nothing plays.
  fs::rename(card + ".out", card);
  w->PollCard();
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(card, {"REC"}));
  EXPECT_EQ(w.messages.texts.size(), 1u);
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w.get()));
}

TEST_F(LibraryTest, ACardWithMphSettingsShowsMph) {
  TempDir base("mph");
  const std::string card = base.str() + "/card";
  CopyFolder(mixed_->str(), card);
  ReplaceInFile(card + "/SETTING/blackbox.cfg", "osd_speed=1", "osd_speed=2");
  Window w(card, Config());
  EXPECT_EQ(w->SpeedUnitLabel(), "Km/h");
  w->PollCard();
  EXPECT_EQ(w->SpeedUnitLabel(), "MPH");
  EXPECT_EQ(w->SpeedText(), "MPH");
}

TEST_F(LibraryTest, ACardWithoutSettingsGetsTheCamerasDefaults) {
  TempDir base("nosettings");
  const std::string card = base.str() + "/card";
  CopyFolder(mixed_->str(), card);
  fs::remove_all(card + "/SETTING");
  fs::create_directories(card + "/SETTING");
  Window w(card, Config());
  w->PollCard();
  EXPECT_TRUE(fs::exists(card + "/SETTING/blackbox.cfg"));
  EXPECT_EQ(w->SpeedUnitLabel(), "Km/h");
}

// The gear button opens the camera's settings dialog on the card's file: a user changes the speed
// unit to miles and saves, and the window's speed read-out says MPH at once. The card's file
// differs from before only in the keys the dialog writes.
TEST_F(LibraryTest, TheSettingsButtonOpensTheDialogAndItsSpeedUnitShowsAtOnce) {
  TempDir base("settings-dialog");
  const std::string card = base.str() + "/card";
  CopyFolder(mixed_->str(), card);
  const std::string cfg = card + "/SETTING/blackbox.cfg";
  // Lines the camera wrote that the viewer does not know stay as they are.
  ReplaceInFile(cfg, "[time]", "; set by the camera\r\nwifi=ROADEYE-7F\r\n\r\n[time]");
  const std::string before = apptest::ReadFile(cfg);
  Window w(card, Config());
  w->PollCard();
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->Engine().GetRunState() == CNOVMediaPlayer::kPlaying; }));

  int runs = 0;
  std::string shownContinuous;
  bool playingWhileOpen = true;
  w->SetSettingsDialogRunner([&](CSettingDlg& dialog) {
    ++runs;
    playingWhileOpen = w->Engine().GetRunState() == CNOVMediaPlayer::kPlaying;
    shownContinuous = dynamic_cast<wxChoice*>(dialog.FindWindow(kIdContinuousShare))
                          ->GetStringSelection()
                          .ToStdString();
    // The user's clicks, on the dialog as it runs, once it is on the screen. A dialog the clicks
    // missed ends after a while, so that the test fails instead of waiting for ever.
    wxTimer guard;
    guard.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) { dialog.EndModal(wxID_ABORT); });
    guard.StartOnce(20000);
    dialog.CallAfter([&dialog] {
      screentest::Pump(300);
      const wxRect mph = dialog.FindWindow(kIdMph)->GetScreenRect();
      screentest::Click(mph.x + mph.width / 2, mph.y + mph.height / 2);
      const wxRect save = dialog.FindWindow(kIdSave)->GetScreenRect();
      screentest::Click(save.x + save.width / 2, save.y + save.height / 2);
    });
    const int ended = dialog.ShowModal();
    EXPECT_EQ(ended, wxID_OK);
    return ended;
  });
  apptest::Click(w.get(), kIdSettings);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(playingWhileOpen) << "playback is paused first";
  EXPECT_EQ(shownContinuous, "40");
  EXPECT_EQ(w->SpeedUnitLabel(), "MPH");
  EXPECT_EQ(w->SpeedText().Right(3), "MPH");

  // Only the keys the dialog writes changed.
  std::string expected = before;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"vex_update=0", "vex_update=1"}, {"osd_speed=1", "osd_speed=2"}}) {
    const std::size_t at = expected.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    expected.replace(at, from.size(), to);
  }
  EXPECT_EQ(apptest::ReadFile(cfg), expected);

  // F3 opens it too, but not while a download runs.
  w->Download().SetBusy(true);
  EXPECT_TRUE(w->HandleKey(WXK_F3, false));
  EXPECT_EQ(runs, 1);
  w->Download().SetBusy(false);
  w->SetSettingsDialogRunner([&](CSettingDlg&) {
    ++runs;
    return int(wxID_CANCEL);
  });
  EXPECT_TRUE(w->HandleKey(WXK_F3, false));
  EXPECT_EQ(runs, 2);

  // Without the file (and a folder to make it in), the message says the viewer found nothing.
  fs::remove_all(card + "/SETTING");
  apptest::Click(w.get(), kIdSettings);
  EXPECT_EQ(runs, 2);
  ASSERT_FALSE(w.messages.texts.empty());
  EXPECT_EQ(w.messages.texts.back(), "Viewer cannot find the required files");
}

// Cards on two removable drives: the folder given to the window (D) and an SD card mounted
// elsewhere (E), described to the drive layer by a mount table of the test's own.
class LibraryTwoDrivesTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    sd_ = base_.str() + "/sd";
    folder_ = base_.str() + "/folder";
    fs::create_directories(sd_);
    fs::create_directories(folder_);
    std::ofstream(base_.str() + "/mountinfo")
        << "40 27 179:1 / " << sd_ << " rw - vfat /dev/mmcblk0p1 rw\n";
    platform::ProcessDrives().SetSources(base_.str() + "/mountinfo", base_.str() + "/no-sys");
  }
  void TearDown() override {
    platform::ProcessDrives().SetSources("/proc/self/mountinfo", "/sys/class/block");
  }
  TempDir base_{"drives"};
  std::string sd_, folder_;
};

TEST_F(LibraryTwoDrivesTest, TheSpeedUnitIsThatOfTheLaterDrive) {
  CopyFolder(mixed_->str(), sd_);
  ReplaceInFile(sd_ + "/SETTING/blackbox.cfg", "osd_speed=1", "osd_speed=2");
  CopyFolder(mixed_->str() + "/SETTING", folder_ + "/SETTING");  // osd_speed=1, no recordings
  Window w(folder_, Config());
  w->PollCard();
  EXPECT_EQ(w->CardDrive(), 'E');
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(sd_, {"REC"}));
  EXPECT_EQ(w->SpeedUnitLabel(), "MPH");
}

TEST_F(LibraryTwoDrivesTest, AnotherCardTakingOverReplacesTheListAndStopsPlayback) {
  CopyFolder(mixed_->str(), sd_);
  Window w(folder_, Config());
  KeepMapOffline(w.get());
  w->PollCard();
  ASSERT_EQ(w->CardDrive(), 'E');
  ASSERT_GE(w->RecordingList()->GetItemCount(), 2);
  w->PlayNext();
  ASSERT_TRUE(PumpUntil([&] { return w->FrontPane()->PresentedCount() > 0; }));

  // Recordings appear on the earlier drive: it becomes the card.
  fs::create_directories(folder_ + "/VEX");
  for (const char* name : {"REC_20140301_100100.vex", "REC_20140301_120000_D.vex"}) {
    fs::copy_file(handMade_->str() + "/VEX/" + name, folder_ + "/VEX/" + name);
  }
  w->PollCard();
  EXPECT_EQ(w->CardDrive(), 'D');
  EXPECT_EQ(ShownRows(w.get()), ExpectedRows(folder_, {"REC"}));
  EXPECT_EQ(w->CurrentRow(), -1);
  EXPECT_TRUE(PlayShown(w.get()));
  EXPECT_EQ(w->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_TRUE(w.messages.texts.empty());
}
