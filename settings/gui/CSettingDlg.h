// SPDX-License-Identifier: GPL-3.0-or-later
// The camera's settings dialog: the settings file on the card (blackbox.cfg) shown in four groups
// (memory partition, settings, others, version), edited, and written back by Save. Enter ends the
// dialog without writing (as OK), Esc and the close box cancel; only Save writes, and a save that
// cannot be written says why and keeps the dialog open with the user's choices.
//
// The computer's clock (for "Get current time") and the message boxes can be replaced, so that
// tests run with any date and answer the boxes themselves.
#pragma once

#include <wx/dialog.h>

#include <ctime>
#include <functional>
#include <string>

#include "settings/CameraSettings.h"

class wxCheckBox;
class wxChoice;
class wxRadioButton;
class wxSlider;
class wxStaticText;

// Item ids of the dialog's controls.
enum SettingDlgId : int {
  kIdPowerOffCheck = 1158,
  kIdContinuousShare = 1173,
  kIdParkingShare = 1174,
  kIdEventShare = 1176,
  kIdManualShare = 1178,
  kIdVoltageList = 1177,
  kIdMicInCheck = 1154,
  kIdVoiceOutCheck = 1156,
  kIdMicVolume = 1170,
  kIdVoiceVolume = 1172,
  kIdImpactLevel = 1186,
  kIdMotionLevel = 1171,
  kIdLanguageList = 1164,
  kIdTimeZoneList = 1161,
  kIdGetTimeCheck = 1162,
  kIdYearList = 1180,
  kIdMonthList = 1181,
  kIdDayList = 1182,
  kIdHourList = 1183,
  kIdMinuteList = 1184,
  kIdSecondList = 1185,
  kIdSummerOn = 1189,
  kIdSummerOff = 1190,
  kIdKmh = 1237,
  kIdMph = 1137,
  kIdLedOn = 1236,
  kIdLedOff = 1136,
  kIdParkOn = 1159,
  kIdParkOff = 1160,
  kIdViewerVersion = 1168,
  kIdModelName = 1188,
  kIdFirmware = 1169,
  kIdInitialize = 1165,
  kIdSave = 1163,
  // Labels and group boxes.
  kIdVoltageLabel = 1206,
  kIdPartitionGroup = 1200,
  kIdContinuousLabel = 1201,
  kIdParkingLabel = 1202,
  kIdEventLabel = 1203,
  kIdManualLabel = 1204,
  kIdStorageNote = 1205,
  kIdOthersGroup = 1208,
  kIdGetTimeLabel = 1210,
  kIdTimeZoneLabel = 1211,
  kIdSummerLabel = 1209,
  kIdLedLabel = 1242,
  kIdLanguageLabel = 1224,
  kIdSpeedLabel = 1207,
  kIdParkLabel = 1225,
  kIdVersionGroup = 1212,
  kIdViewerLabel = 1213,
  kIdModelLabel = 1214,
  kIdFirmwareLabel = 1215,
  kIdSettingsGroup = 1166,
  kIdMicLabel = 1216,
  kIdVoiceLabel = 1217,
  kIdImpactLabel = 1218,
  kIdMotionLabel = 1219,
  kIdMinLabel = 1220,
  kIdMaxLabel = 1221,
  kIdInsensitiveLabel = 1222,
  kIdSensitiveLabel = 1223,
};

// The version of the viewer the dialog shows.
inline constexpr char kViewerVersion[] = "2.3.7";

// The first year the clock's year list offers; it ends ten years after the computer's year.
inline constexpr int kFirstClockYear = 2014;

class CSettingDlg : public wxDialog {
 public:
  // The computer's local time.
  using Clock = std::function<std::tm()>;
  // Shows a message box (text, caption, wx style); returns the button pressed.
  using MessageBoxFn = std::function<int(const wxString& text, const wxString& caption, long)>;

  // Reads the file at path into the controls. language: kLangEnglish (what the dialog opens in)
  // or kLangKorean, for its captions and messages.
  CSettingDlg(wxWindow* parent, const std::string& path, int language, Clock clock = {},
              MessageBoxFn messageBox = {});

  // File -> controls.
  void LoadSettings();
  // Controls -> file, for Save. False (nothing written) when the shares do not add up to 100, a
  // list has no choice or the file cannot be written; the user has been told which.
  bool SaveSettings();
  // Receives the model name as shown; nothing to do with it.
  void OnModelName(const wxString& name) { (void)name; }
  // The controls as the Initialize button sets them (nothing is written).
  void Initialize();
  // Rebuilds the day list for the chosen year and month when its length differs.
  void RefillDays();

  // The controls' values as a save would write them.
  CameraSettings Chosen() const;
  const std::string& Path() const { return path_; }

 private:
  void CreateControls();
  void ApplyCaptions();
  void BindEvents();
  void ShowSettings(const CameraSettings& s);
  // The clock lists at the computer's time.
  void SetClockNow();
  void UpdateEnabledStates();
  void OnSave(wxCommandEvent& event);
  void OnInitialize(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);
  wxString Caption(int koreanId, int englishId) const;
  int Message(const wxString& text, int captionKo, int captionEn);

  std::string path_;
  int language_;
  Clock clock_;
  MessageBoxFn messageBox_;
  std::string model_ = "0", version_ = "0";

  wxChoice* continuous_ = nullptr;
  wxChoice* parking_ = nullptr;
  wxChoice* event_ = nullptr;
  wxChoice* manual_ = nullptr;
  wxCheckBox* micIn_ = nullptr;
  wxCheckBox* voiceOut_ = nullptr;
  wxSlider* micVolume_ = nullptr;
  wxSlider* voiceVolume_ = nullptr;
  wxSlider* impact_ = nullptr;
  wxSlider* motion_ = nullptr;
  wxChoice* language_list_ = nullptr;
  wxChoice* timeZone_ = nullptr;
  wxCheckBox* getTime_ = nullptr;
  wxChoice* year_ = nullptr;
  wxChoice* month_ = nullptr;
  wxChoice* day_ = nullptr;
  wxChoice* hour_ = nullptr;
  wxChoice* minute_ = nullptr;
  wxChoice* second_ = nullptr;
  wxRadioButton* summerOn_ = nullptr;
  wxRadioButton* summerOff_ = nullptr;
  wxRadioButton* kmh_ = nullptr;
  wxRadioButton* mph_ = nullptr;
  // The unit the file gave (kUnchanged for one the viewer does not know) until the user picks one.
  SpeedUnit speedShown_ = SpeedUnit::kUnchanged;
  wxCheckBox* cutOff_ = nullptr;
  wxChoice* voltage_ = nullptr;
  wxRadioButton* ledOn_ = nullptr;
  wxRadioButton* ledOff_ = nullptr;
  wxRadioButton* parkOn_ = nullptr;
  wxRadioButton* parkOff_ = nullptr;
  wxStaticText* model_text_ = nullptr;
  wxStaticText* firmware_ = nullptr;
};

// The hour list offers "1" ... "24" (as the camera's own menu does); the computer's hour h is item
// h - 1, and midnight (hour 0) is item "24". The camera's settings reader takes 0 ... 24.
int HourListIndex(int hour);
// The local time of the computer.
std::tm ComputerLocalTime();
