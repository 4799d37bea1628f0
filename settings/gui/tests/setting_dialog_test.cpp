// SPDX-License-Identifier: GPL-3.0-or-later
// The camera's settings dialog on a real display, on real settings files: what it shows of a
// file, what Save writes (and never writes), the controls' rules, the clock lists at any date, and
// the keyboard. Clicks and keys go through the X server where the gesture is the point.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/radiobut.h>
#include <wx/slider.h>
#include <wx/stattext.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Profile.h"
#include "resources/core/StringTable.h"
#include "settings/gui/CSettingDlg.h"
#include "skin/testing/Screen.h"
#include "support/Diag.h"
#include "support/testing/CivilTime.h"
#include "support/testing/TempDir.h"

namespace fs = std::filesystem;
namespace st = screentest;
using roadeye_test::TempDir;

namespace {

using roadeye_test::At;

// A camera's file as a card holds it: CR LF, a comment, a key and a section the viewer does not
// use, an earlier clock in the time section.
const std::string kFile =
    "; written by the camera\r\n"
    "[capacity]\r\n"
    "const=40\r\n"
    "event=20\r\n"
    "manual=10\r\n"
    "park=30\r\n"
    "\r\n"
    "[blackbox]\r\n"
    "vex_update=0\r\n"
    "mic_volume=5\r\n"
    "voice_volume=3\r\n"
    "acc_level=1\r\n"
    "motion_level=3\r\n"
    "mic_in=1\r\n"
    "voice_out=1\r\n"
    "power_off_vlt=12100\r\n"
    "front_led=1\r\n"
    "summer_time=0\r\n"
    "park_mode=1\r\n"
    "osd_speed=1\r\n"
    "language=us\r\n"
    "local_time=9.5\r\n"
    "model=ka-700\r\n"
    "version=2.0.4\r\n"
    "wifi_ssid=ROADEYE-7F\r\n"
    "\r\n"
    "[time]\r\n"
    "set=0\r\n"
    "year=2019\r\n"
    "month=5\r\n"
    "day=4\r\n"
    "hour=13\r\n"
    "min=2\r\n"
    "sec=1\r\n"
    "\r\n"
    "[gps]\r\n"
    "datum=WGS84\r\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string Key(const std::string& path, const char* section, const char* key) {
  char value[64] = {};
  GetProfileText(section, key, "<missing>", value, sizeof value, path.c_str());
  return value;
}

}  // namespace

class SettingDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagSetOutput(nullptr);
    fs::create_directories(card_.path() / "SETTING");
    path_ = (card_.path() / "SETTING" / "blackbox.cfg").string();
    WriteFile(path_, kFile);
  }
  void TearDown() override {
    dialog_.reset();
    DiagSetOutput(stdout);
  }

  // The dialog on the file, shown (not modal), with the clock at `now`.
  CSettingDlg* Open(std::tm now = At(2024, 6, 12, 8, 15, 0), int language = kLangEnglish) {
    dialog_.reset();
    dialog_.reset(new CSettingDlg(
        nullptr, path_, language, [now] { return now; },
        [this](const wxString& text, const wxString& caption, long) {
          messages_.push_back(caption + ": " + text);
          return wxID_OK;
        }));
    dialog_->Show();
    st::Pump(150);
    return dialog_.get();
  }
  template <class T>
  T* Control(int id) {
    return dynamic_cast<T*>(dialog_->FindWindow(id));
  }
  wxChoice* List(int id) { return Control<wxChoice>(id); }
  wxString Chosen(int id) { return List(id)->GetStringSelection(); }
  // Picks an item as the user does: the list reports its new choice.
  void Choose(int id, const wxString& item) {
    wxChoice* list = List(id);
    ASSERT_NE(list->FindString(item), wxNOT_FOUND) << item;
    list->SetStringSelection(item);
    wxCommandEvent event(wxEVT_CHOICE, id);
    event.SetEventObject(list);
    event.SetInt(list->GetSelection());
    list->GetEventHandler()->ProcessEvent(event);
  }
  // Clicks a control at its middle through the X server.
  void ClickOn(int id) {
    const wxRect r = dialog_->FindWindow(id)->GetScreenRect();
    st::Click(r.x + r.width / 2, r.y + r.height / 2);
  }
  // Save, as the button's click delivers it.
  void Save() {
    wxCommandEvent event(wxEVT_BUTTON, kIdSave);
    event.SetEventObject(dialog_->FindWindow(kIdSave));
    dialog_->GetEventHandler()->ProcessEvent(event);
    st::Pump(50);
  }

  TempDir card_{"settings-card"};
  std::string path_;
  std::unique_ptr<CSettingDlg, void (*)(CSettingDlg*)> dialog_{
      nullptr, [](CSettingDlg* d) { d->Destroy(); }};
  std::vector<wxString> messages_;
};

TEST_F(SettingDialogTest, ShowsTheCardsValues) {
  Open();
  st::Pump(200);
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    st::GrabClient(dialog_.get()).SaveFile(std::string(dir) + "/settings.png", wxBITMAP_TYPE_PNG);
  }
  EXPECT_EQ(Chosen(kIdContinuousShare), "40");
  EXPECT_EQ(Chosen(kIdEventShare), "20");
  EXPECT_EQ(Chosen(kIdManualShare), "10");
  EXPECT_EQ(Chosen(kIdParkingShare), "30");
  EXPECT_EQ(Chosen(kIdVoltageList), "12.0v/24.0v");  // 12100 -> index 1
  EXPECT_EQ(Chosen(kIdTimeZoneList), "(GMT+09:30) Darwin, Adelaide");
  EXPECT_EQ(Control<wxStaticText>(kIdModelName)->GetLabel(), "KB-700");
  EXPECT_EQ(Control<wxStaticText>(kIdFirmware)->GetLabel(), "2.0.4");
  EXPECT_EQ(Control<wxStaticText>(kIdViewerVersion)->GetLabel(), "2.3.7");
  EXPECT_EQ(Control<wxSlider>(kIdMicVolume)->GetValue(), 3);
  EXPECT_EQ(Control<wxSlider>(kIdImpactLevel)->GetValue(), 1);
  EXPECT_TRUE(Control<wxRadioButton>(kIdLedOn)->GetValue());
  EXPECT_TRUE(Control<wxRadioButton>(kIdParkOn)->GetValue());
  EXPECT_TRUE(Control<wxRadioButton>(kIdKmh)->GetValue());
  EXPECT_EQ(dialog_->GetTitle(), "Dash cam setting");
  EXPECT_EQ(dialog_->FindWindow(kIdStorageNote)->GetLabel(),
            "The sum of all the storage spaces is 100%.");
}

// Shares that add up to 100 are saved (and the dialog ends as OK); any other sum shows the
// storage message, writes nothing and keeps the dialog open with the user's choices.
TEST_F(SettingDialogTest, SharesSaveOnlyWhenTheyAddUpTo100) {
  Open();
  Choose(kIdParkingShare, "40");
  Save();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0],
            "DashCam setting error: Check the storage space available.\r\nThe sum of all the "
            "storage spaces is 100%.");
  EXPECT_EQ(ReadFile(path_), kFile);
  EXPECT_TRUE(dialog_->IsShown());
  EXPECT_EQ(Chosen(kIdParkingShare), "40");

  Choose(kIdParkingShare, "30");
  Save();
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_FALSE(dialog_->IsShown());
  EXPECT_EQ(dialog_->GetReturnCode(), wxID_OK);
  EXPECT_EQ(Key(path_, "capacity", "park"), "30");
  EXPECT_EQ(Key(path_, "blackbox", "vex_update"), "1");
}

// What Save writes: every key the dialog owns in the file's order, nothing else touched (the
// comment, the unknown key and section, the CR LF line ends), and with "Get current time" clear
// only set=0 in the time section (the earlier clock stays).
TEST_F(SettingDialogTest, SaveWritesOnlyTheDialogsKeys) {
  Open();
  Save();
  std::string expected = kFile;
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"vex_update=0", "vex_update=1"}, {"power_off_vlt=12100", "power_off_vlt=12000"}}) {
    expected.replace(expected.find(from), from.size(), to);
  }
  EXPECT_EQ(ReadFile(path_), expected);
}

// A speed unit the viewer does not know (osd_speed=7) stays the camera's through a save, until
// the user picks a unit.
TEST_F(SettingDialogTest, AnUnknownSpeedUnitIsKeptUnlessOneIsPicked) {
  std::string file = kFile;
  file.replace(file.find("osd_speed=1"), 11, "osd_speed=7");
  WriteFile(path_, file);
  Open();
  Save();
  EXPECT_EQ(Key(path_, "blackbox", "osd_speed"), "7");
  Open();
  ClickOn(kIdMph);
  Save();
  EXPECT_EQ(Key(path_, "blackbox", "osd_speed"), "2");
}

// Voice recording off disables its slider and saves mic_in 0 with the slider's volume.
TEST_F(SettingDialogTest, VoiceRecordingOffKeepsItsVolume) {
  Open();
  ClickOn(kIdMicInCheck);
  EXPECT_FALSE(Control<wxCheckBox>(kIdMicInCheck)->GetValue());
  EXPECT_FALSE(dialog_->FindWindow(kIdMicVolume)->IsEnabled());
  Control<wxSlider>(kIdMicVolume)->SetValue(1);
  Save();
  EXPECT_EQ(Key(path_, "blackbox", "mic_in"), "0");
  EXPECT_EQ(Key(path_, "blackbox", "mic_volume"), "1");
}

// The On/Off pairs and the unit pair: clicking the ticked one keeps it, clicking the other moves
// the tick.
TEST_F(SettingDialogTest, PairsAreRadioButtons) {
  Open();
  auto* on = Control<wxRadioButton>(kIdSummerOn);
  auto* off = Control<wxRadioButton>(kIdSummerOff);
  ClickOn(kIdSummerOff);
  EXPECT_TRUE(off->GetValue());
  EXPECT_FALSE(on->GetValue());
  ClickOn(kIdSummerOn);
  EXPECT_TRUE(on->GetValue());
  EXPECT_FALSE(off->GetValue());
  ClickOn(kIdMph);
  EXPECT_TRUE(Control<wxRadioButton>(kIdMph)->GetValue());
  EXPECT_FALSE(Control<wxRadioButton>(kIdKmh)->GetValue());
  Save();
  EXPECT_EQ(Key(path_, "blackbox", "summer_time"), "1");
  EXPECT_EQ(Key(path_, "blackbox", "osd_speed"), "2");
}

// The day list follows the chosen month and year, when the month is chosen.
TEST_F(SettingDialogTest, TheDayListFollowsTheMonth) {
  Open(At(2015, 1, 10, 9, 0, 0));
  ClickOn(kIdGetTimeCheck);
  ASSERT_TRUE(List(kIdDayList)->IsEnabled());
  Choose(kIdYearList, "2016");
  Choose(kIdMonthList, "2");
  EXPECT_EQ(List(kIdDayList)->GetCount(), 29u);
  EXPECT_EQ(Chosen(kIdDayList), "1");
  Choose(kIdYearList, "2015");
  EXPECT_EQ(List(kIdDayList)->GetCount(), 29u) << "a year alone does not refill the days";
  Choose(kIdMonthList, "2");
  EXPECT_EQ(List(kIdDayList)->GetCount(), 28u);
  Choose(kIdMonthList, "4");
  EXPECT_EQ(List(kIdDayList)->GetCount(), 30u);
  Choose(kIdYearList, "2024");
  Choose(kIdMonthList, "2");
  EXPECT_EQ(List(kIdDayList)->GetCount(), 29u);
}

struct ModelCase {
  const char* line;  // the model line in the file ("" for none)
  const char* shown;
};

class ModelNameTest : public SettingDialogTest, public ::testing::WithParamInterface<ModelCase> {};

TEST_P(ModelNameTest, ModelAsShown) {
  std::string file = kFile;
  const std::string line = "model=ka-700\r\n";
  file.replace(file.find(line), line.size(), GetParam().line);
  WriteFile(path_, file);
  Open();
  EXPECT_EQ(Control<wxStaticText>(kIdModelName)->GetLabel(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Models, ModelNameTest,
                         ::testing::Values(ModelCase{"model=KA-700\r\n", "KB-700"},
                                           ModelCase{"model=KB-700\r\n", "KB-700"},
                                           ModelCase{"model=RE-2CH\r\n", "RE-2CH"},
                                           ModelCase{"", "0"}));

// Initialize sets the controls to the camera's defaults without writing; closing then leaves the
// file byte for byte.
TEST_F(SettingDialogTest, InitializeThenCloseWritesNothing) {
  Open();
  ClickOn(kIdInitialize);
  EXPECT_EQ(Chosen(kIdContinuousShare), "40");
  EXPECT_EQ(Chosen(kIdVoltageList), "12.2v/24.2v");
  EXPECT_EQ(Chosen(kIdTimeZoneList), "(GMT-08:00) Pacific Time (US and Canada), Tijuana");
  EXPECT_TRUE(Control<wxRadioButton>(kIdLedOff)->GetValue());
  EXPECT_EQ(Control<wxSlider>(kIdMicVolume)->GetValue(), 3);
  EXPECT_EQ(Control<wxSlider>(kIdVoiceVolume)->GetValue(), 2);
  dialog_->Close();
  st::Pump(100);
  EXPECT_EQ(ReadFile(path_), kFile);
}

// A computer clock the year list once ended before, and the first hour of the day: the dialog
// opens with every clock list chosen and sends that time.
TEST_F(SettingDialogTest, AnyComputerTimeOpensAndIsSent) {
  Open(At(2031, 3, 5, 0, 30, 15));
  EXPECT_EQ(Chosen(kIdYearList), "2031");
  EXPECT_EQ(Chosen(kIdHourList), "24") << "midnight is the list's hour 24";
  EXPECT_EQ(Chosen(kIdDayList), "5");
  EXPECT_EQ(List(kIdYearList)->GetString(0), "2014");
  EXPECT_EQ(List(kIdYearList)->GetString(List(kIdYearList)->GetCount() - 1), "2041");
  EXPECT_TRUE(messages_.empty());
  ClickOn(kIdGetTimeCheck);
  Save();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(Key(path_, "time", "set"), "1");
  EXPECT_EQ(Key(path_, "time", "year"), "2031");
  EXPECT_EQ(Key(path_, "time", "month"), "3");
  EXPECT_EQ(Key(path_, "time", "day"), "5");
  EXPECT_EQ(Key(path_, "time", "hour"), "24");
  EXPECT_EQ(Key(path_, "time", "min"), "30");
  EXPECT_EQ(Key(path_, "time", "sec"), "15");
}

// A settings file that cannot be written (a write-protected card) is reported with the reason;
// the dialog stays open with the user's choices and the file is as it was.
TEST_F(SettingDialogTest, AFileThatCannotBeWrittenIsReported) {
  Open();
  ClickOn(kIdMph);
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  Save();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find(std::strerror(EACCES)), wxString::npos) << messages_[0];
  EXPECT_NE(messages_[0].find("have not been changed"), wxString::npos) << messages_[0];
  EXPECT_TRUE(dialog_->IsShown());
  EXPECT_TRUE(Control<wxRadioButton>(kIdMph)->GetValue());
  EXPECT_EQ(ReadFile(path_), kFile);
}

// A card whose file system is read-only (a write-protected card): the message says so in the
// interface language, with no system wording, and the file is as it was. The card's SETTING
// folder is bind-mounted read-only on itself; where mounting is refused the test is skipped.
TEST_F(SettingDialogTest, AWriteProtectedCardIsSaidToBe) {
  const std::string folder = (card_.path() / "SETTING").string();
  if (::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mounts are refused here (" << std::strerror(errno)
                 << "); run as root or in a mount namespace to test a write-protected card";
  }
  struct Unmount {
    std::string at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{folder};
  ASSERT_EQ(::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
      << std::strerror(errno);
  for (const int language : {kLangEnglish, kLangKorean}) {
    messages_.clear();
    Open(At(2024, 6, 12, 8, 15, 0), language);
    ClickOn(kIdMph);
    Save();
    ASSERT_EQ(messages_.size(), 1u);
    const wxString expected = wxString::FromUTF8(
        language == kLangKorean ? "카드가 쓰기 금지되어 있어 설정을 저장하지 못했습니다."
                                : "The card is write-protected: the settings were not saved.");
    EXPECT_TRUE(messages_[0].EndsWith(": " + expected)) << messages_[0];
    EXPECT_TRUE(dialog_->IsShown());
    EXPECT_EQ(ReadFile(path_), kFile);
  }
}

// A list the file leaves without a choice (a share no list offers) stops the save before anything
// is written, and says which list.
TEST_F(SettingDialogTest, AListWithoutAChoiceWritesNothing) {
  std::string file = kFile;
  file.replace(file.find("event=20"), 8, "event=95");
  WriteFile(path_, file);
  Open();
  EXPECT_EQ(List(kIdEventShare)->GetSelection(), wxNOT_FOUND);
  Save();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("\"Event\""), wxString::npos) << messages_[0];
  EXPECT_EQ(ReadFile(path_), file);
  EXPECT_TRUE(dialog_->IsShown());
}

// What is saved shows again when the dialog is opened anew.
TEST_F(SettingDialogTest, SavedValuesComeBack) {
  Open();
  Choose(kIdContinuousShare, "50");
  Choose(kIdParkingShare, "20");
  Choose(kIdTimeZoneList, "(GMT+01:00) Brussels, Madrid, Paris, Berlin, Bern, Rome");
  Choose(kIdLanguageList, "French");
  Choose(kIdVoltageList, "11.8v/23.8v");
  ClickOn(kIdVoiceOutCheck);
  ClickOn(kIdParkOff);
  ClickOn(kIdMph);
  const CameraSettings chosen = dialog_->Chosen();
  Save();
  ASSERT_TRUE(messages_.empty());
  Open();
  const CameraSettings shown = dialog_->Chosen();
  EXPECT_EQ(shown.continuousShare, chosen.continuousShare);
  EXPECT_EQ(shown.parkingShare, chosen.parkingShare);
  EXPECT_EQ(shown.timeZone, chosen.timeZone);
  EXPECT_EQ(shown.language, kLanguageFrench);
  EXPECT_EQ(shown.cutOffVoltage, 0);
  EXPECT_FALSE(shown.voiceOut);
  EXPECT_FALSE(shown.parkMode);
  EXPECT_EQ(shown.speedUnit, SpeedUnit::kMph);
  EXPECT_EQ(Key(path_, "blackbox", "local_time"), "1.0");
  EXPECT_EQ(Key(path_, "blackbox", "language"), "fr");
}

// The keyboard, under a window manager that gives the dialog the keyboard: Tab goes on to the
// next list (whose choice the arrow keys then change), Enter ends the dialog as OK without
// writing, Esc cancels, and Enter on the Save button saves.
TEST_F(SettingDialogTest, TheKeyboard) {
  ASSERT_TRUE(st::StartWindowManager());
  Open();
  dialog_->Raise();
  dialog_->FindWindow(kIdContinuousShare)->SetFocus();
  st::Pump(300);
  st::PressKey("Tab");
  st::PressKey("Down");
  EXPECT_EQ(Chosen(kIdContinuousShare), "40");
  EXPECT_EQ(Chosen(kIdParkingShare), "40") << "Tab went on to the parking share";
  st::PressKey("Return");
  EXPECT_FALSE(dialog_->IsShown());
  EXPECT_EQ(dialog_->GetReturnCode(), wxID_OK);
  EXPECT_EQ(ReadFile(path_), kFile);

  Open();
  dialog_->Raise();
  st::Pump(300);
  st::PressKey("Escape");
  EXPECT_FALSE(dialog_->IsShown());
  EXPECT_EQ(dialog_->GetReturnCode(), wxID_CANCEL);

  Open();
  dialog_->Raise();
  ClickOn(kIdMph);
  dialog_->FindWindow(kIdSave)->SetFocus();
  st::Pump(300);
  st::PressKey("Return");
  EXPECT_FALSE(dialog_->IsShown());
  EXPECT_EQ(Key(path_, "blackbox", "osd_speed"), "2");
  dialog_.reset();
  st::StopWindowManager();
}

// The captions in Korean, for an interface in Korean.
TEST_F(SettingDialogTest, KoreanCaptions) {
  Open(At(2024, 6, 12, 8, 15, 0), kLangKorean);
  st::Pump(200);
  if (const char* dir = std::getenv("ROADEYE_TEST_SHOTS")) {
    st::GrabClient(dialog_.get())
        .SaveFile(std::string(dir) + "/settings-korean.png", wxBITMAP_TYPE_PNG);
  }
  EXPECT_EQ(dialog_->GetTitle(), wxString::FromUTF8("블랙박스 설정"));
  EXPECT_EQ(dialog_->FindWindow(kIdSave)->GetLabel(), wxString::FromUTF8("저장"));
  EXPECT_EQ(dialog_->FindWindow(kIdStorageNote)->GetLabel(),
            wxString::FromUTF8("(주의) 저장 공간의 합은 100% 입니다."));
}
