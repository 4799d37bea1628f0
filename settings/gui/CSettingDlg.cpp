// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/gui/CSettingDlg.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/slider.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "resources/core/StringTable.h"

namespace {

// Space between controls and around the groups, in pixels at the theme's font size.
constexpr int kGap = 6;

int ShowMessageBox(const wxString& text, const wxString& caption, long style) {
  wxMessageDialog box(nullptr, text, caption, style);
  return box.ShowModal();
}

// The number a list item shows ("2024", "24", "30"); -1 for no item.
int ItemNumber(const wxChoice* list) {
  const int i = list->GetSelection();
  if (i == wxNOT_FOUND) return kNoSelection;
  return std::atoi(list->GetString(static_cast<unsigned>(i)).utf8_str());
}

int SelectionOf(const wxChoice* list) {
  const int i = list->GetSelection();
  return i == wxNOT_FOUND ? kNoSelection : i;
}

void Select(wxChoice* list, int index) {
  list->SetSelection(index >= 0 && index < static_cast<int>(list->GetCount()) ? index
                                                                              : wxNOT_FOUND);
}

bool LeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 31;
  return month == 2 && LeapYear(year) ? 29 : kDays[month - 1];
}

// "1" ... last, or first ... last with a step.
wxArrayString Numbers(int first, int last) {
  wxArrayString items;
  for (int n = first; n <= last; ++n) items.Add(wxString::Format("%d", n));
  return items;
}

}  // namespace

int HourListIndex(int hour) { return hour == 0 ? 23 : hour - 1; }

std::tm ComputerLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

CSettingDlg::CSettingDlg(wxWindow* parent, const std::string& path, int language, Clock clock,
                         MessageBoxFn messageBox)
    : wxDialog(parent, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE),
      path_(path),
      language_(language),
      clock_(clock ? std::move(clock) : Clock(&ComputerLocalTime)),
      messageBox_(messageBox ? std::move(messageBox) : MessageBoxFn(&ShowMessageBox)) {
  CreateControls();
  ApplyCaptions();
  BindEvents();
  LoadSettings();
  GetSizer()->SetSizeHints(this);
  CentreOnParent();
}

wxString CSettingDlg::Caption(int koreanId, int englishId) const {
  const char* text = LoadStringById(language_ == kLangKorean ? koreanId : englishId);
  return wxString::FromUTF8(DisplayText(text));
}

void CSettingDlg::CreateControls() {
  // Made in the order Tab goes through them: the memory partition and the settings (left), the
  // others and the version (right), then the buttons.
  auto* columns = new wxBoxSizer(wxHORIZONTAL);
  auto* left = new wxBoxSizer(wxVERTICAL);
  auto* right = new wxBoxSizer(wxVERTICAL);
  auto label = [](wxWindow* parent, int id) { return new wxStaticText(parent, id, wxEmptyString); };
  auto row = [](wxFlexGridSizer* grid, wxWindow* a, wxWindow* b) {
    grid->Add(a, 0, wxALIGN_CENTER_VERTICAL);
    grid->Add(b, 0, wxALIGN_CENTER_VERTICAL | wxEXPAND);
  };

  // Memory partition.
  auto* partitionBox = new wxStaticBox(this, kIdPartitionGroup, wxEmptyString);
  auto* partition = new wxStaticBoxSizer(partitionBox, wxVERTICAL);
  auto* shares = new wxFlexGridSizer(2, kGap, 2 * kGap);
  shares->AddGrowableCol(1);
  const wxArrayString shareItems = [] {
    wxArrayString items;
    for (int share = 10; share <= 70; share += 10) items.Add(wxString::Format("%d", share));
    return items;
  }();
  auto shareRow = [&](int labelId, int listId) {
    wxStaticText* text = label(partitionBox, labelId);
    auto* list = new wxChoice(partitionBox, listId, wxDefaultPosition, wxDefaultSize, shareItems);
    row(shares, text, list);
    return list;
  };
  continuous_ = shareRow(kIdContinuousLabel, kIdContinuousShare);
  parking_ = shareRow(kIdParkingLabel, kIdParkingShare);
  event_ = shareRow(kIdEventLabel, kIdEventShare);
  manual_ = shareRow(kIdManualLabel, kIdManualShare);
  partition->Add(shares, 0, wxEXPAND | wxALL, kGap);
  partition->Add(label(partitionBox, kIdStorageNote), 0, wxLEFT | wxRIGHT | wxBOTTOM, kGap);
  left->Add(partition, 0, wxEXPAND);

  // Settings: two switches with their volumes, and two sensitivities, on sliders of three steps.
  auto* settingsBox = new wxStaticBox(this, kIdSettingsGroup, wxEmptyString);
  auto* settings = new wxStaticBoxSizer(settingsBox, wxVERTICAL);
  auto* grid = new wxFlexGridSizer(3, kGap, 2 * kGap);
  grid->AddGrowableCol(2);
  auto slider = [&](int id) {
    auto* s = new wxSlider(settingsBox, id, 3, 1, 3, wxDefaultPosition, wxSize(160, -1),
                           wxSL_HORIZONTAL | wxSL_AUTOTICKS);
    s->SetTickFreq(1);
    s->SetLineSize(1);
    s->SetPageSize(1);
    return s;
  };
  auto ends = [&](int lowId, int highId) {
    auto* line = new wxBoxSizer(wxHORIZONTAL);
    line->Add(label(settingsBox, lowId), 0);
    line->AddStretchSpacer();
    line->Add(label(settingsBox, highId), 0);
    return line;
  };
  grid->AddSpacer(0);
  grid->AddSpacer(0);
  grid->Add(ends(kIdMinLabel, kIdMaxLabel), 0, wxEXPAND);
  grid->Add(label(settingsBox, kIdMicLabel), 0, wxALIGN_CENTER_VERTICAL);
  micIn_ = new wxCheckBox(settingsBox, kIdMicInCheck, wxEmptyString);
  grid->Add(micIn_, 0, wxALIGN_CENTER_VERTICAL);
  micVolume_ = slider(kIdMicVolume);
  grid->Add(micVolume_, 0, wxEXPAND);
  grid->Add(label(settingsBox, kIdVoiceLabel), 0, wxALIGN_CENTER_VERTICAL);
  voiceOut_ = new wxCheckBox(settingsBox, kIdVoiceOutCheck, wxEmptyString);
  grid->Add(voiceOut_, 0, wxALIGN_CENTER_VERTICAL);
  voiceVolume_ = slider(kIdVoiceVolume);
  grid->Add(voiceVolume_, 0, wxEXPAND);
  grid->AddSpacer(0);
  grid->AddSpacer(0);
  grid->Add(ends(kIdInsensitiveLabel, kIdSensitiveLabel), 0, wxEXPAND | wxTOP, kGap);
  grid->Add(label(settingsBox, kIdImpactLabel), 0, wxALIGN_CENTER_VERTICAL);
  grid->AddSpacer(0);
  impact_ = slider(kIdImpactLevel);
  grid->Add(impact_, 0, wxEXPAND);
  grid->Add(label(settingsBox, kIdMotionLabel), 0, wxALIGN_CENTER_VERTICAL);
  grid->AddSpacer(0);
  motion_ = slider(kIdMotionLevel);
  grid->Add(motion_, 0, wxEXPAND);
  settings->Add(grid, 0, wxEXPAND | wxALL, kGap);
  left->Add(settings, 0, wxEXPAND | wxTOP, kGap);

  // Others.
  auto* othersBox = new wxStaticBox(this, kIdOthersGroup, wxEmptyString);
  auto* others = new wxStaticBoxSizer(othersBox, wxVERTICAL);
  auto* rows = new wxFlexGridSizer(2, kGap, 2 * kGap);
  rows->AddGrowableCol(1);
  language_list_ = new wxChoice(othersBox, kIdLanguageList);
  language_list_->Append("English");
  language_list_->Append("French");
  row(rows, label(othersBox, kIdLanguageLabel), language_list_);
  timeZone_ = new wxChoice(othersBox, kIdTimeZoneList);
  for (int i = 0; i < kTimeZoneCount; ++i) timeZone_->Append(wxString::FromUTF8(TimeZoneText(i)));
  row(rows, label(othersBox, kIdTimeZoneLabel), timeZone_);
  getTime_ = new wxCheckBox(othersBox, kIdGetTimeCheck, wxEmptyString);
  row(rows, label(othersBox, kIdGetTimeLabel), getTime_);
  auto* clock = new wxBoxSizer(wxHORIZONTAL);
  year_ = new wxChoice(othersBox, kIdYearList);
  month_ = new wxChoice(othersBox, kIdMonthList, wxDefaultPosition, wxDefaultSize, Numbers(1, 12));
  day_ = new wxChoice(othersBox, kIdDayList);
  hour_ = new wxChoice(othersBox, kIdHourList, wxDefaultPosition, wxDefaultSize, Numbers(1, 24));
  minute_ =
      new wxChoice(othersBox, kIdMinuteList, wxDefaultPosition, wxDefaultSize, Numbers(0, 59));
  second_ =
      new wxChoice(othersBox, kIdSecondList, wxDefaultPosition, wxDefaultSize, Numbers(0, 59));
  for (wxChoice* list : {year_, month_, day_, hour_, minute_, second_}) {
    clock->Add(list, 0, wxRIGHT, kGap / 2);
  }
  rows->AddSpacer(0);
  rows->Add(clock, 0);
  auto pair = [&](int labelId, int firstId, const char* first, int secondId, const char* second,
                  wxRadioButton** a, wxRadioButton** b) {
    auto* line = new wxBoxSizer(wxHORIZONTAL);
    *a = new wxRadioButton(othersBox, firstId, first, wxDefaultPosition, wxDefaultSize, wxRB_GROUP);
    *b = new wxRadioButton(othersBox, secondId, second);
    line->Add(*a, 0, wxRIGHT, 2 * kGap);
    line->Add(*b, 0);
    rows->Add(label(othersBox, labelId), 0, wxALIGN_CENTER_VERTICAL);
    rows->Add(line, 0, wxALIGN_CENTER_VERTICAL);
  };
  pair(kIdSummerLabel, kIdSummerOn, " On", kIdSummerOff, " Off", &summerOn_, &summerOff_);
  pair(kIdSpeedLabel, kIdKmh, "   Km/h", kIdMph, "  Mile/h", &kmh_, &mph_);
  auto* voltageLine = new wxBoxSizer(wxHORIZONTAL);
  cutOff_ = new wxCheckBox(othersBox, kIdPowerOffCheck, wxEmptyString);
  voltage_ = new wxChoice(othersBox, kIdVoltageList);
  for (const CutOffVoltage& v : kCutOffVoltages) voltage_->Append(v.text);
  voltageLine->Add(cutOff_, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, kGap);
  voltageLine->Add(voltage_, 1);
  rows->Add(label(othersBox, kIdVoltageLabel), 0, wxALIGN_CENTER_VERTICAL);
  rows->Add(voltageLine, 0, wxEXPAND);
  pair(kIdLedLabel, kIdLedOn, " On", kIdLedOff, " Off", &ledOn_, &ledOff_);
  pair(kIdParkLabel, kIdParkOn, " On", kIdParkOff, " Off", &parkOn_, &parkOff_);
  others->Add(rows, 1, wxEXPAND | wxALL, kGap);
  right->Add(others, 1, wxEXPAND);

  // Version.
  auto* versionBox = new wxStaticBox(this, kIdVersionGroup, wxEmptyString);
  auto* version = new wxStaticBoxSizer(versionBox, wxVERTICAL);
  auto* versions = new wxFlexGridSizer(2, kGap, 2 * kGap);
  row(versions, label(versionBox, kIdViewerLabel),
      new wxStaticText(versionBox, kIdViewerVersion, kViewerVersion));
  model_text_ = new wxStaticText(versionBox, kIdModelName, wxEmptyString);
  row(versions, label(versionBox, kIdModelLabel), model_text_);
  firmware_ = new wxStaticText(versionBox, kIdFirmware, wxEmptyString);
  row(versions, label(versionBox, kIdFirmwareLabel), firmware_);
  version->Add(versions, 0, wxEXPAND | wxALL, kGap);
  right->Add(version, 0, wxEXPAND | wxTOP, kGap);

  columns->Add(left, 0, wxEXPAND | wxRIGHT, 2 * kGap);
  columns->Add(right, 1, wxEXPAND);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->Add(new wxButton(this, kIdInitialize, wxEmptyString), 0);
  buttons->AddStretchSpacer();
  auto* save = new wxButton(this, kIdSave, wxEmptyString);
  buttons->Add(save, 0);

  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(columns, 1, wxEXPAND | wxALL, 2 * kGap);
  top->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 2 * kGap);
  SetSizer(top);
}

void CSettingDlg::ApplyCaptions() {
  SetTitle(Caption(kStrSettingTitleKo, kStrSettingTitleEn));
  struct Item {
    int id, ko, en;
  };
  static constexpr Item kItems[] = {
      {kIdVoltageLabel, kStrVehicleVoltageKo, kStrVehicleVoltageEn},
      {kIdPartitionGroup, kStrMemoryPartitionKo, kStrMemoryPartitionEn},
      {kIdContinuousLabel, kStrContinuousKo, kStrContinuousEn},
      {kIdParkingLabel, kStrParkingKo, kStrParkingEn},
      {kIdEventLabel, kStrEventKo, kStrEventEn},
      {kIdManualLabel, kStrManualKo, kStrManualEn},
      {kIdStorageNote, kStrStorageSumKo, kStrStorageSumEn},
      {kIdOthersGroup, kStrOthersKo, kStrOthersEn},
      {kIdGetTimeLabel, kStrGetCurrentTimeKo, kStrGetCurrentTimeEn},
      {kIdTimeZoneLabel, kStrTimeZoneKo, kStrTimeZoneEn},
      {kIdSummerLabel, kStrDaylightSavingKo, kStrDaylightSavingEn},
      {kIdLedLabel, kStrSecurityLedKo, kStrSecurityLedEn},
      {kIdLanguageLabel, kStrLanguageKo, kStrLanguageEn},
      {kIdSpeedLabel, kStrSpeedUnitsKo, kStrSpeedUnitsEn},
      {kIdParkLabel, kStrParkingModeKo, kStrParkingModeEn},
      {kIdVersionGroup, kStrVersionKo, kStrVersionEn},
      {kIdViewerLabel, kStrPcViewerKo, kStrPcViewerEn},
      {kIdModelLabel, kStrModelNameKo, kStrModelNameEn},
      {kIdFirmwareLabel, kStrFirmwareKo, kStrFirmwareEn},
      {kIdSettingsGroup, kStrSettingsKo, kStrSettingsEn},
      {kIdMicLabel, kStrVoiceRecordingKo, kStrVoiceRecordingEn},
      {kIdVoiceLabel, kStrVoiceGuidanceKo, kStrVoiceGuidanceEn},
      {kIdImpactLabel, kStrImpactSensitivityKo, kStrImpactSensitivityEn},
      {kIdMotionLabel, kStrMotionSensitivityKo, kStrMotionSensitivityEn},
      {kIdMinLabel, kStrMinKo, kStrMinEn},
      {kIdMaxLabel, kStrMaxKo, kStrMaxEn},
      {kIdInsensitiveLabel, kStrInsensitiveKo, kStrInsensitiveEn},
      {kIdSensitiveLabel, kStrSensitiveKo, kStrSensitiveEn},
      {kIdInitialize, kStrInitializeKo, kStrInitializeEn},
      {kIdSave, kStrSaveKo, kStrSaveEn},
  };
  for (const Item& item : kItems) {
    if (wxWindow* w = FindWindow(item.id)) w->SetLabel(Caption(item.ko, item.en));
  }
}

void CSettingDlg::BindEvents() {
  Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { UpdateEnabledStates(); });
  // Picking a unit makes it the one saved.
  for (const int id : {kIdKmh, kIdMph}) {
    Bind(
        wxEVT_RADIOBUTTON,
        [this](wxCommandEvent& event) {
          speedShown_ = event.GetId() == kIdMph ? SpeedUnit::kMph : SpeedUnit::kKmh;
          event.Skip();
        },
        id);
  }
  Bind(
      wxEVT_CHOICE, [this](wxCommandEvent&) { RefillDays(); }, kIdMonthList);
  Bind(wxEVT_BUTTON, &CSettingDlg::OnSave, this, kIdSave);
  Bind(wxEVT_BUTTON, &CSettingDlg::OnInitialize, this, kIdInitialize);
  Bind(wxEVT_CHAR_HOOK, &CSettingDlg::OnCharHook, this);
}

void CSettingDlg::LoadSettings() {
  CameraSettings s;
  LoadCameraSettings(path_, &s);
  ShowSettings(s);
  model_ = s.model;
  version_ = s.version;
  model_text_->SetLabel(wxString::FromUTF8(model_));
  firmware_->SetLabel(wxString::FromUTF8(version_));
  getTime_->SetValue(false);
  UpdateEnabledStates();
  OnModelName(model_text_->GetLabel());
  Layout();
}

void CSettingDlg::ShowSettings(const CameraSettings& s) {
  Select(continuous_, s.continuousShare);
  Select(event_, s.eventShare);
  Select(manual_, s.manualShare);
  Select(parking_, s.parkingShare);
  cutOff_->SetValue(s.cutOff);
  if (s.cutOff) {
    Select(voltage_, s.cutOffVoltage);
  } else if (voltage_->GetSelection() == wxNOT_FOUND) {
    voltage_->SetSelection(0);
  }
  (s.frontLed ? ledOn_ : ledOff_)->SetValue(true);
  micIn_->SetValue(s.micIn);
  voiceOut_->SetValue(s.voiceOut);
  voiceVolume_->SetValue(s.voiceVolume);
  micVolume_->SetValue(s.micVolume);
  motion_->SetValue(s.motionLevel);
  impact_->SetValue(s.impactLevel);
  Select(timeZone_, s.timeZone);
  (s.summerTime ? summerOn_ : summerOff_)->SetValue(true);
  (s.parkMode ? parkOn_ : parkOff_)->SetValue(true);
  if (s.speedUnit != SpeedUnit::kUnchanged) {
    (s.speedUnit == SpeedUnit::kMph ? mph_ : kmh_)->SetValue(true);
  }
  speedShown_ = s.speedUnit;
  Select(language_list_, s.language);
  SetClockNow();
}

void CSettingDlg::SetClockNow() {
  const std::tm now = clock_();
  const int year = now.tm_year + 1900;
  // From the first year the camera knows (or the computer's, if earlier) to ten years on: the
  // computer's year is always there to choose.
  const int first = std::min(kFirstClockYear, year);
  const int last = year + 10;
  if (year_->GetCount() != static_cast<unsigned>(last - first + 1) ||
      ItemNumber(year_) == kNoSelection || std::atoi(year_->GetString(0).utf8_str()) != first) {
    year_->Set(Numbers(first, last));
  }
  Select(year_, year - first);
  Select(month_, now.tm_mon);
  RefillDays();
  Select(day_, now.tm_mday - 1);
  Select(hour_, HourListIndex(now.tm_hour));
  Select(minute_, now.tm_min);
  Select(second_, std::min(now.tm_sec, 59));  // a leap second shows as 59
}

void CSettingDlg::RefillDays() {
  const int year = ItemNumber(year_);
  const int month = ItemNumber(month_);
  if (year == kNoSelection || month == kNoSelection) return;
  const int days = DaysIn(year, month);
  if (static_cast<int>(day_->GetCount()) == days) return;
  day_->Set(Numbers(1, days));
  day_->SetSelection(0);
}

void CSettingDlg::UpdateEnabledStates() {
  micVolume_->Enable(micIn_->GetValue());
  voiceVolume_->Enable(voiceOut_->GetValue());
  voltage_->Enable(cutOff_->GetValue());
  for (wxChoice* list : {year_, month_, day_, hour_, minute_, second_}) {
    list->Enable(getTime_->GetValue());
  }
}

void CSettingDlg::Initialize() {
  CameraSettings s;
  s.continuousShare = 3;  // 40
  s.eventShare = 1;       // 20
  s.manualShare = 0;      // 10
  s.parkingShare = 2;     // 30
  s.cutOff = true;
  s.cutOffVoltage = 2;  // 12.2v/24.2v
  s.frontLed = false;
  s.micIn = true;
  s.voiceOut = true;
  s.voiceVolume = 2;
  s.micVolume = 3;
  s.motionLevel = 2;
  s.impactLevel = 2;
  s.timeZone = 2;  // -8 hours
  s.summerTime = false;
  s.parkMode = false;
  s.speedUnit = SpeedUnit::kKmh;
  s.language = kLanguageEnglish;
  ShowSettings(s);
  getTime_->SetValue(false);
  UpdateEnabledStates();
}

CameraSettings CSettingDlg::Chosen() const {
  CameraSettings s;
  s.continuousShare = SelectionOf(continuous_);
  s.eventShare = SelectionOf(event_);
  s.manualShare = SelectionOf(manual_);
  s.parkingShare = SelectionOf(parking_);
  s.micVolume = micVolume_->GetValue();
  s.voiceVolume = voiceVolume_->GetValue();
  s.impactLevel = impact_->GetValue();
  s.motionLevel = motion_->GetValue();
  s.micIn = micIn_->GetValue();
  s.voiceOut = voiceOut_->GetValue();
  s.cutOff = cutOff_->GetValue();
  s.cutOffVoltage = SelectionOf(voltage_);
  s.frontLed = ledOn_->GetValue();
  s.summerTime = summerOn_->GetValue();
  s.parkMode = parkOn_->GetValue();
  // A unit the file gave that the viewer does not know is kept unless the user picked one.
  s.speedUnit = speedShown_ == SpeedUnit::kUnchanged ? SpeedUnit::kUnchanged
                : kmh_->GetValue()                   ? SpeedUnit::kKmh
                                                     : SpeedUnit::kMph;
  s.language = SelectionOf(language_list_) == kLanguageFrench ? kLanguageFrench : kLanguageEnglish;
  s.timeZone = SelectionOf(timeZone_);
  s.model = model_;
  s.version = version_;
  s.clock.send = getTime_->GetValue();
  s.clock.year = ItemNumber(year_);
  s.clock.month = ItemNumber(month_);
  s.clock.day = ItemNumber(day_);
  s.clock.hour = ItemNumber(hour_);
  s.clock.minute = ItemNumber(minute_);
  s.clock.second = ItemNumber(second_);
  return s;
}

int CSettingDlg::Message(const wxString& text, int captionKo, int captionEn) {
  return messageBox_(text, Caption(captionKo, captionEn), wxOK | wxICON_WARNING);
}

bool CSettingDlg::SaveSettings() {
  int error = 0;
  const SaveResult result = SaveCameraSettings(path_, Chosen(), &error);
  if (result == SaveResult::kSaved) return true;
  if (result == SaveResult::kCapacityNot100) {
    Message(Caption(kStrSettingErrorTextKo, kStrSettingErrorTextEn), kStrSettingErrorTitleKo,
            kStrSettingErrorTitleEn);
  } else if (result == SaveResult::kWriteProtected) {
    Message(Caption(kStrWriteProtectedKo, kStrWriteProtectedEn), kStrSettingErrorTitleKo,
            kStrSettingErrorTitleEn);
  } else if (result == SaveResult::kWriteFailed) {
    Message(wxString::Format(Caption(kStrSaveFailedKo, kStrSaveFailedEn),
                             wxString::FromUTF8(std::strerror(error))),
            kStrSettingErrorTitleKo, kStrSettingErrorTitleEn);
  } else {
    // A list without a choice: the file is left as it was; the user is told which list.
    int labelId = kIdContinuousLabel;
    switch (result) {
      case SaveResult::kNoEventShare:
        labelId = kIdEventLabel;
        break;
      case SaveResult::kNoManualShare:
        labelId = kIdManualLabel;
        break;
      case SaveResult::kNoParkingShare:
        labelId = kIdParkingLabel;
        break;
      case SaveResult::kNoCutOffVoltage:
        labelId = kIdVoltageLabel;
        break;
      case SaveResult::kNoContinuousShare:
        break;
      default:
        labelId = kIdGetTimeLabel;
        break;
    }
    wxString name = FindWindow(labelId)->GetLabel();
    name.Trim(true).Trim(false);
    Message(wxString::Format(Caption(kStrChooseValueKo, kStrChooseValueEn), name),
            kStrSettingErrorTitleKo, kStrSettingErrorTitleEn);
  }
  return false;
}

void CSettingDlg::OnSave(wxCommandEvent&) {
  if (!SaveSettings()) return;  // the dialog stays open with the user's choices
  if (IsModal()) {
    EndModal(wxID_OK);
  } else {
    SetReturnCode(wxID_OK);
    Hide();
  }
}

void CSettingDlg::OnInitialize(wxCommandEvent&) { Initialize(); }

void CSettingDlg::OnCharHook(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
  const bool escape = key == WXK_ESCAPE;
  // A focused button takes Enter itself (Save saves); anywhere else Enter ends the dialog as OK
  // without writing, and Esc cancels.
  if (!(enter || escape) || (enter && dynamic_cast<wxButton*>(FindFocus()) != nullptr)) {
    event.Skip();
    return;
  }
  const int code = enter ? wxID_OK : wxID_CANCEL;
  if (IsModal()) {
    EndModal(code);
  } else {
    SetReturnCode(code);
    Hide();
  }
}
