// SPDX-License-Identifier: GPL-3.0-or-later
// The viewer's string table: every user-visible text as a pair of entries, one Korean and one
// English, looked up by id. A process-wide interface language picks the Korean entry when it is
// Korean (18) and the English one otherwise; it starts as English (9).
//
// Texts are kept in the form they are handed to printf-style formatting, where some write a
// percent sign as "%%"; DisplayText gives the text to show. All texts are UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// Primary language ids.
inline constexpr std::uint16_t kLangEnglish = 9;
inline constexpr std::uint16_t kLangKorean = 18;

// String ids. A pair is a Korean id (…Ko) and an English id (…En).
inline constexpr int kStrMemoryPartitionKo = 312, kStrMemoryPartitionEn = 313;
inline constexpr int kStrContinuousKo = 314, kStrContinuousEn = 315;
inline constexpr int kStrParkingKo = 316, kStrParkingEn = 317;
inline constexpr int kStrEventKo = 318, kStrEventEn = 319;
inline constexpr int kStrManualKo = 320, kStrManualEn = 321;
inline constexpr int kStrStorageSumKo = 322, kStrStorageSumEn = 323;
inline constexpr int kStrVehicleVoltageKo = 326, kStrVehicleVoltageEn = 327;
inline constexpr int kStrOthersKo = 330, kStrOthersEn = 331;
inline constexpr int kStrDaylightSavingKo = 334, kStrDaylightSavingEn = 335;
inline constexpr int kStrTimeZoneKo = 336, kStrTimeZoneEn = 337;
inline constexpr int kStrGetCurrentTimeKo = 338, kStrGetCurrentTimeEn = 339;
inline constexpr int kStrVersionKo = 340, kStrVersionEn = 341;
inline constexpr int kStrModelNameKo = 342, kStrModelNameEn = 343;
inline constexpr int kStrFirmwareKo = 344, kStrFirmwareEn = 345;
inline constexpr int kStrSettingsKo = 346, kStrSettingsEn = 347;
inline constexpr int kStrMinKo = 348, kStrMinEn = 349;
inline constexpr int kStrMaxKo = 350, kStrMaxEn = 351;
inline constexpr int kStrVoiceRecordingKo = 352, kStrVoiceRecordingEn = 353;
inline constexpr int kStrVoiceGuidanceKo = 354, kStrVoiceGuidanceEn = 355;
inline constexpr int kStrImpactSensitivityKo = 356, kStrImpactSensitivityEn = 357;
inline constexpr int kStrInsensitiveKo = 358, kStrInsensitiveEn = 359;
inline constexpr int kStrSensitiveKo = 360, kStrSensitiveEn = 361;
inline constexpr int kStrMotionSensitivityKo = 362, kStrMotionSensitivityEn = 363;
inline constexpr int kStrSaveKo = 396, kStrSaveEn = 397;
inline constexpr int kStrSettingTitleKo = 398, kStrSettingTitleEn = 399;
inline constexpr int kStrPcViewerKo = 400, kStrPcViewerEn = 401;  // the same text in both
inline constexpr int kStrTitle = 402;                             // the window title, one text
inline constexpr int kStrColFilenameKo = 405, kStrColFilenameEn = 406;
inline constexpr int kStrColDateKo = 407, kStrColDateEn = 408;
inline constexpr int kStrColSizeKo = 409, kStrColSizeEn = 410;
inline constexpr int kStrColPathKo = 411, kStrColPathEn = 412;
inline constexpr int kStrQuitQuestionKo = 413, kStrQuitQuestionEn = 414;
inline constexpr int kStrSelectCaptionKo = 415, kStrSelectCaptionEn = 416;
inline constexpr int kStrInitializeKo = 417, kStrInitializeEn = 418;
inline constexpr int kStrParkingModeKo = 419, kStrParkingModeEn = 420;
inline constexpr int kStrNoSettingsFileKo = 421, kStrNoSettingsFileEn = 422;
inline constexpr int kStrSettingErrorTitleKo = 423, kStrSettingErrorTitleEn = 424;
inline constexpr int kStrSettingErrorTextKo = 425, kStrSettingErrorTextEn = 426;
inline constexpr int kStrColTypeKo = 431, kStrColTypeEn = 442;
inline constexpr int kStrColRearKo = 443, kStrColRearEn = 444;
inline constexpr int kStrNoCardKo = 445, kStrNoCardEn = 446;
inline constexpr int kStrSelectFileKo = 447, kStrSelectFileEn = 448;
inline constexpr int kStrSecurityLedKo = 451, kStrSecurityLedEn = 452;
inline constexpr int kStrCardRemovedKo = 453, kStrCardRemovedEn = 454;
inline constexpr int kStrSpeedUnitsKo = 455, kStrSpeedUnitsEn = 456;
inline constexpr int kStrLanguageKo = 457, kStrLanguageEn = 458;
// Messages of the settings dialog that say what went wrong with a save (a %s each: the reason the
// system gave, the name of the list without a choice).
inline constexpr int kStrSaveFailedKo = 900, kStrSaveFailedEn = 901;
inline constexpr int kStrChooseValueKo = 902, kStrChooseValueEn = 903;
// A snapshot that could not be written: a line per file (name and reason) follows the text; the
// reason for a camera that has shown no picture yet.
inline constexpr int kStrSnapshotFailedKo = 904, kStrSnapshotFailedEn = 905;
inline constexpr int kStrNoPictureYetKo = 906, kStrNoPictureYetEn = 907;
// The report at the end of a file download: how many files were made of how many and where (%d,
// %d, %s); that the user cancelled the run; the heading of the lines (recording: reason) of the
// recordings that gave no file.
inline constexpr int kStrDownloadMadeKo = 908, kStrDownloadMadeEn = 909;
inline constexpr int kStrDownloadCancelledKo = 910, kStrDownloadCancelledEn = 911;
inline constexpr int kStrDownloadNotMadeKo = 912, kStrDownloadNotMadeEn = 913;
// The recording list's check box that ticks every row.
inline constexpr int kStrSelectAllKo = 914, kStrSelectAllEn = 915;
// The settings dialog's save on a write-protected card (a read-only mount).
inline constexpr int kStrWriteProtectedKo = 916, kStrWriteProtectedEn = 917;
// Why a download made no file for a recording (the system's reason may follow in brackets).
inline constexpr int kStrCannotOpenKo = 918, kStrCannotOpenEn = 919;
inline constexpr int kStrCannotCreateKo = 920, kStrCannotCreateEn = 921;
inline constexpr int kStrCannotWriteKo = 922, kStrCannotWriteEn = 923;
inline constexpr int kStrCannotFinishKo = 924, kStrCannotFinishEn = 925;
inline constexpr int kStrCannotReadKo = 926, kStrCannotReadEn = 927;
inline constexpr int kStrBadNameKo = 928, kStrBadNameEn = 929;
inline constexpr int kStrPathTooLongKo = 930, kStrPathTooLongEn = 931;
// The zoom window's title where the screen cannot be read (a Wayland session).
inline constexpr int kStrZoomOwnWindowKo = 932, kStrZoomOwnWindowEn = 933;
// The words of the recording list's kind buttons.
inline constexpr int kStrKindDrivingKo = 934, kStrKindDrivingEn = 935;
inline constexpr int kStrKindEventKo = 936, kStrKindEventEn = 937;
inline constexpr int kStrKindParkingKo = 938, kStrKindParkingEn = 939;
inline constexpr int kStrKindUserKo = 940, kStrKindUserEn = 941;
inline constexpr int kStrKindAllKo = 942, kStrKindAllEn = 943;

// Fixed Korean texts that are shown whatever the interface language and have no table entry.
inline constexpr const char kTextMapEnlarge[] = "지도 크게보기";
inline constexpr const char kTextMapShrink[] = "지도 작게보기";
inline constexpr const char kTextChooseFolder[] = "저장 폴더 지정";
inline constexpr const char kTextInvalidArgument[] = "잘못된 인수가 발견되었습니다.";

// The stored text of a string id; nullptr for an id the table does not hold.
const char* LoadStringById(int id);

// Every id the table holds, in increasing order.
std::span<const int> StringIds();

// The process-wide interface language (a primary language id). Safe from any thread.
void SetInterfaceLanguage(std::uint16_t primaryLanguageId);
std::uint16_t InterfaceLanguage();

// The Korean text when the interface language is Korean, the English text otherwise; "" when
// the chosen id is unknown.
const char* BilingualText(int koreanId, int englishId);

// A stored text as it is shown: each "%%" becomes "%", a lone "%" stays. A null text gives "".
std::string DisplayText(const char* text);
