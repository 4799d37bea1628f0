// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/core/StringTable.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>

namespace {

struct Entry {
  int id;
  const char* text;
};

// Sorted by id. Korean entries first in each pair.
constexpr Entry kEntries[] = {
    {kStrMemoryPartitionKo, "저장 공간(%)"},
    {kStrMemoryPartitionEn, "Memory partition"},
    {kStrContinuousKo, "주행 녹화 (%)"},
    {kStrContinuousEn, "Continuous "},
    {kStrParkingKo, "주차 녹화 (%)"},
    {kStrParkingEn, "Parking"},
    {kStrEventKo, "이벤트 녹화 (%)"},
    {kStrEventEn, "Event"},
    {kStrManualKo, "강제 녹화 (%)"},
    {kStrManualEn, "Manual"},
    {kStrStorageSumKo, "(주의) 저장 공간의 합은 100%% 입니다."},
    {kStrStorageSumEn, "The sum of all the storage spaces is 100%%."},
    {kStrVehicleVoltageKo, "전압설정 (V)"},
    {kStrVehicleVoltageEn, "Vehicle voltage"},
    {kStrOthersKo, "기타 설정"},
    {kStrOthersEn, "Others"},
    {kStrDaylightSavingKo, "써머타임"},
    {kStrDaylightSavingEn, "Daylight Saving"},
    {kStrTimeZoneKo, "세계표준시 (시간)"},
    {kStrTimeZoneEn, "Set time zone"},
    {kStrGetCurrentTimeKo, "PC 시간 동기화"},
    {kStrGetCurrentTimeEn, "Get current time"},
    {kStrVersionKo, "버전 정보"},
    {kStrVersionEn, "Version"},
    {kStrModelNameKo, "모델명"},
    {kStrModelNameEn, "Model name"},
    {kStrFirmwareKo, "펌웨어"},
    {kStrFirmwareEn, "Firmware Ver."},
    {kStrSettingsKo, "설정"},
    {kStrSettingsEn, "Settings"},
    {kStrMinKo, "최소"},
    {kStrMinEn, "min"},
    {kStrMaxKo, "최대"},
    {kStrMaxEn, "max"},
    {kStrVoiceRecordingKo, "음성 녹음"},
    {kStrVoiceRecordingEn, "Voice recording"},
    {kStrVoiceGuidanceKo, "음성 안내"},
    {kStrVoiceGuidanceEn, "Voice guidance"},
    {kStrImpactSensitivityKo, "G-센서 감도"},
    {kStrImpactSensitivityEn, "Impact Sensitivity"},
    {kStrInsensitiveKo, "둔감"},
    {kStrInsensitiveEn, "Insensitive"},
    {kStrSensitiveKo, "민감"},
    {kStrSensitiveEn, "Sensitive"},
    {kStrMotionSensitivityKo, "모션 감도"},
    {kStrMotionSensitivityEn, "Motion Sensitivity"},
    {kStrSaveKo, "저장"},
    {kStrSaveEn, "Save"},
    {kStrSettingTitleKo, "블랙박스 설정"},
    {kStrSettingTitleEn, "Dash cam setting"},
    {kStrPcViewerKo, "PC Viewer"},
    {kStrPcViewerEn, "PC Viewer"},
    {kStrTitle, "Roadeye (K70)"},
    {kStrColFilenameKo, "파일이름"},
    {kStrColFilenameEn, "Filename"},
    {kStrColDateKo, "날짜"},
    {kStrColDateEn, "Date"},
    {kStrColSizeKo, "크기"},
    {kStrColSizeEn, "Size"},
    {kStrColPathKo, "경로"},
    {kStrColPathEn, "Path"},
    {kStrQuitQuestionKo, "종료 하시겠습니까?"},
    {kStrQuitQuestionEn, "Do you want to quit?"},
    {kStrSelectCaptionKo, "선택"},
    {kStrSelectCaptionEn, "Select"},
    {kStrInitializeKo, "설정 초기화"},
    {kStrInitializeEn, "Initialize"},
    {kStrParkingModeKo, "주차모드"},
    {kStrParkingModeEn, "Parking Mode"},
    {kStrNoSettingsFileKo, "경로에 블랙박스 정보가 없습니다.\n확인 후 다시 한번 시도해 주세요."},
    {kStrNoSettingsFileEn, "Viewer cannot find the required files"},
    {kStrSettingErrorTitleKo, "블랙박스 설정 오류"},
    {kStrSettingErrorTitleEn, "DashCam setting error"},
    {kStrSettingErrorTextKo, "저장 공간 설정을 확인해 주세요.\r\n저장공간의 합은 100%%입니다."},
    {kStrSettingErrorTextEn,
     "Check the storage space available.\r\nThe sum of all the storage spaces is 100%%."},
    {kStrColTypeKo, "종류"},
    {kStrColTypeEn, "Type"},
    {kStrColRearKo, "후방"},
    {kStrColRearEn, "Rear"},
    {kStrNoCardKo, "SD Card를 인식하지 못하였습니다.\n잠시 후 다시 시도해 주세요."},
    {kStrNoCardEn, "No memory card detected.\nPlease try again later."},
    {kStrSelectFileKo, "저장할 파일을 선택하여 주세요."},
    {kStrSelectFileEn, "Select a file to save."},
    {kStrSecurityLedKo, "전방 LED"},
    {kStrSecurityLedEn, "Security LED"},
    {kStrCardRemovedKo, "SD Card가 제거되었습니다.\nSD Card를 확인해 주세요."},
    {kStrCardRemovedEn, "The memory card has been removed.\nPlease check the card."},
    {kStrSpeedUnitsKo, "속도 표기 방식"},
    {kStrSpeedUnitsEn, "Units of Speed"},
    {kStrLanguageKo, "언어 설정"},
    {kStrLanguageEn, "Language"},
    {kStrSaveFailedKo,
     "설정을 메모리 카드에 저장하지 못했습니다: %s\n카드의 설정은 바뀌지 않았습니다."},
    {kStrSaveFailedEn,
     "The settings could not be saved on the memory card: %s\nThe card's settings have not "
     "been changed."},
    {kStrChooseValueKo, "\"%s\" 값을 선택해 주세요. 아무것도 저장하지 않았습니다."},
    {kStrChooseValueEn, "Please choose a value for \"%s\". Nothing has been saved."},
    {kStrSnapshotFailedKo, "스냅샷을 저장하지 못했습니다:%s"},
    {kStrSnapshotFailedEn, "The snapshot could not be saved:%s"},
    {kStrNoPictureYetKo, "아직 화면이 없습니다"},
    {kStrNoPictureYetEn, "no picture yet"},
    {kStrDownloadMadeKo, "파일 %d개를 만들었습니다 (전체 %d개, 폴더 %s)."},
    {kStrDownloadMadeEn, "%d of %d files were made in %s."},
    {kStrDownloadCancelledKo, "다운로드가 취소되었습니다."},
    {kStrDownloadCancelledEn, "The download was cancelled."},
    {kStrDownloadNotMadeKo, "만들지 못한 파일:"},
    {kStrDownloadNotMadeEn, "Not made:"},
    {kStrSelectAllKo, "전체 선택"},
    {kStrSelectAllEn, "Select All"},
    {kStrWriteProtectedKo, "카드가 쓰기 금지되어 있어 설정을 저장하지 못했습니다."},
    {kStrWriteProtectedEn, "The card is write-protected: the settings were not saved."},
    {kStrCannotOpenKo, "녹화 파일을 열 수 없습니다"},
    {kStrCannotOpenEn, "the recording cannot be opened"},
    {kStrCannotCreateKo, "파일을 만들 수 없습니다"},
    {kStrCannotCreateEn, "the file cannot be created"},
    {kStrCannotWriteKo, "파일에 모두 쓰지 못했습니다 (디스크가 가득 찼거나 파일이 너무 큽니다)"},
    {kStrCannotWriteEn, "the file could not take every packet (disk full or too large)"},
    {kStrCannotFinishKo, "파일을 마무리하지 못했습니다"},
    {kStrCannotFinishEn, "the file could not be finished"},
    {kStrCannotReadKo, "카드에서 녹화 파일을 끝까지 읽지 못했습니다"},
    {kStrCannotReadEn, "the card could not be read to the end of the recording"},
    {kStrBadNameKo, "녹화 파일의 이름이 아닙니다"},
    {kStrBadNameEn, "not a plain recording name"},
    {kStrPathTooLongKo, "저장할 경로가 시스템이 허용하는 길이보다 깁니다"},
    {kStrPathTooLongEn, "the destination path is longer than the system allows"},
    {kStrZoomOwnWindowKo, "확대 (여기서는 Roadeye 창만 확대할 수 있습니다)"},
    {kStrZoomOwnWindowEn, "Zoom (only Roadeye's window can be magnified here)"},
    {kStrKindDrivingKo, "주행"},
    {kStrKindDrivingEn, "Driving"},
    {kStrKindEventKo, "이벤트"},
    {kStrKindEventEn, "Event"},
    {kStrKindParkingKo, "주차"},
    {kStrKindParkingEn, "Parking"},
    {kStrKindUserKo, "사용자"},
    {kStrKindUserEn, "User"},
    {kStrKindAllKo, "전체"},
    {kStrKindAllEn, "All"},
};

constexpr bool SortedById() {
  for (std::size_t i = 1; i < std::size(kEntries); ++i) {
    if (kEntries[i - 1].id >= kEntries[i].id) return false;
  }
  return true;
}
static_assert(SortedById(), "string table entries must be sorted by id, each id once");

constexpr auto kIds = [] {
  std::array<int, std::size(kEntries)> ids{};
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = kEntries[i].id;
  return ids;
}();

std::atomic<std::uint16_t> gLanguage{kLangEnglish};

}  // namespace

const char* LoadStringById(int id) {
  const auto it = std::lower_bound(std::begin(kEntries), std::end(kEntries), id,
                                   [](const Entry& e, int wanted) { return e.id < wanted; });
  return it != std::end(kEntries) && it->id == id ? it->text : nullptr;
}

std::span<const int> StringIds() { return kIds; }

void SetInterfaceLanguage(std::uint16_t primaryLanguageId) {
  gLanguage.store(primaryLanguageId, std::memory_order_relaxed);
}

std::uint16_t InterfaceLanguage() { return gLanguage.load(std::memory_order_relaxed); }

const char* BilingualText(int koreanId, int englishId) {
  const char* text = LoadStringById(InterfaceLanguage() == kLangKorean ? koreanId : englishId);
  return text != nullptr ? text : "";
}

std::string DisplayText(const char* text) {
  std::string shown;
  if (text == nullptr) return shown;
  for (const char* p = text; *p != '\0'; ++p) {
    shown.push_back(*p);
    if (p[0] == '%' && p[1] == '%') ++p;
  }
  return shown;
}
