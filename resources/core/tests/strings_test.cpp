// SPDX-License-Identifier: GPL-3.0-or-later
// The string table: the pairs the viewer shows, the language choice and the shown form of texts.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "resources/core/StringTable.h"

namespace {

// The language before any test changed it.
const std::uint16_t kStartLanguage = InterfaceLanguage();

// Every Korean/English pair the viewer uses.
const std::vector<std::pair<int, int>> kPairs = {
    {kStrMemoryPartitionKo, kStrMemoryPartitionEn},
    {kStrContinuousKo, kStrContinuousEn},
    {kStrParkingKo, kStrParkingEn},
    {kStrEventKo, kStrEventEn},
    {kStrManualKo, kStrManualEn},
    {kStrStorageSumKo, kStrStorageSumEn},
    {kStrVehicleVoltageKo, kStrVehicleVoltageEn},
    {kStrOthersKo, kStrOthersEn},
    {kStrDaylightSavingKo, kStrDaylightSavingEn},
    {kStrTimeZoneKo, kStrTimeZoneEn},
    {kStrGetCurrentTimeKo, kStrGetCurrentTimeEn},
    {kStrVersionKo, kStrVersionEn},
    {kStrModelNameKo, kStrModelNameEn},
    {kStrFirmwareKo, kStrFirmwareEn},
    {kStrSettingsKo, kStrSettingsEn},
    {kStrMinKo, kStrMinEn},
    {kStrMaxKo, kStrMaxEn},
    {kStrVoiceRecordingKo, kStrVoiceRecordingEn},
    {kStrVoiceGuidanceKo, kStrVoiceGuidanceEn},
    {kStrImpactSensitivityKo, kStrImpactSensitivityEn},
    {kStrInsensitiveKo, kStrInsensitiveEn},
    {kStrSensitiveKo, kStrSensitiveEn},
    {kStrMotionSensitivityKo, kStrMotionSensitivityEn},
    {kStrSaveKo, kStrSaveEn},
    {kStrSettingTitleKo, kStrSettingTitleEn},
    {kStrPcViewerKo, kStrPcViewerEn},
    {kStrColFilenameKo, kStrColFilenameEn},
    {kStrColDateKo, kStrColDateEn},
    {kStrColSizeKo, kStrColSizeEn},
    {kStrColPathKo, kStrColPathEn},
    {kStrQuitQuestionKo, kStrQuitQuestionEn},
    {kStrSelectCaptionKo, kStrSelectCaptionEn},
    {kStrInitializeKo, kStrInitializeEn},
    {kStrParkingModeKo, kStrParkingModeEn},
    {kStrNoSettingsFileKo, kStrNoSettingsFileEn},
    {kStrSettingErrorTitleKo, kStrSettingErrorTitleEn},
    {kStrSettingErrorTextKo, kStrSettingErrorTextEn},
    {kStrColTypeKo, kStrColTypeEn},
    {kStrColRearKo, kStrColRearEn},
    {kStrNoCardKo, kStrNoCardEn},
    {kStrSelectFileKo, kStrSelectFileEn},
    {kStrSecurityLedKo, kStrSecurityLedEn},
    {kStrCardRemovedKo, kStrCardRemovedEn},
    {kStrSpeedUnitsKo, kStrSpeedUnitsEn},
    {kStrLanguageKo, kStrLanguageEn},
    {kStrSaveFailedKo, kStrSaveFailedEn},
    {kStrChooseValueKo, kStrChooseValueEn},
    {kStrSnapshotFailedKo, kStrSnapshotFailedEn},
    {kStrNoPictureYetKo, kStrNoPictureYetEn},
    {kStrDownloadMadeKo, kStrDownloadMadeEn},
    {kStrDownloadCancelledKo, kStrDownloadCancelledEn},
    {kStrDownloadNotMadeKo, kStrDownloadNotMadeEn},
    {kStrSelectAllKo, kStrSelectAllEn},
    {kStrWriteProtectedKo, kStrWriteProtectedEn},
    {kStrCannotOpenKo, kStrCannotOpenEn},
    {kStrCannotCreateKo, kStrCannotCreateEn},
    {kStrCannotWriteKo, kStrCannotWriteEn},
    {kStrCannotFinishKo, kStrCannotFinishEn},
    {kStrCannotReadKo, kStrCannotReadEn},
    {kStrBadNameKo, kStrBadNameEn},
    {kStrPathTooLongKo, kStrPathTooLongEn},
    {kStrZoomOwnWindowKo, kStrZoomOwnWindowEn},
    {kStrKindDrivingKo, kStrKindDrivingEn},
    {kStrKindEventKo, kStrKindEventEn},
    {kStrKindParkingKo, kStrKindParkingEn},
    {kStrKindUserKo, kStrKindUserEn},
    {kStrKindAllKo, kStrKindAllEn},
};

bool IsAscii(const char* s) {
  for (; *s != '\0'; ++s) {
    if (static_cast<unsigned char>(*s) >= 0x80) return false;
  }
  return true;
}

// Well-formed UTF-8: no stray continuation bytes, no overlong or cut sequences.
bool IsUtf8(const char* s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p != 0) {
    int more = 0;
    unsigned min = 0;
    unsigned cp = *p;
    if (*p < 0x80) {
      more = 0;
    } else if ((*p & 0xE0) == 0xC0) {
      more = 1, min = 0x80, cp = *p & 0x1F;
    } else if ((*p & 0xF0) == 0xE0) {
      more = 2, min = 0x800, cp = *p & 0x0F;
    } else if ((*p & 0xF8) == 0xF0) {
      more = 3, min = 0x10000, cp = *p & 0x07;
    } else {
      return false;
    }
    ++p;
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (*p & 0x3F);
    }
    if (more > 0 && cp < min) return false;
  }
  return true;
}

class StringsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetInterfaceLanguage(kLangEnglish); }
};

TEST_F(StringsTest, TheTableHoldsEveryPairAndTheTitleAndNothingElse) {
  std::set<int> expected = {kStrTitle};
  for (const auto& [ko, en] : kPairs) {
    expected.insert(ko);
    expected.insert(en);
  }
  const auto ids = StringIds();
  EXPECT_EQ(std::set<int>(ids.begin(), ids.end()), expected);
  for (const int id : expected) {
    const char* text = LoadStringById(id);
    ASSERT_NE(text, nullptr) << id;
    EXPECT_GT(std::strlen(text), 0u) << id;
    EXPECT_TRUE(IsUtf8(text)) << id;
  }
}

TEST_F(StringsTest, UnknownIdsGiveNothing) {
  for (const int id : {0, -1, 311, 403, 430, 459, 1000, 0x7FFFFFFF}) {
    EXPECT_EQ(LoadStringById(id), nullptr) << id;
  }
  EXPECT_STREQ(BilingualText(403, 404), "");
  SetInterfaceLanguage(kLangKorean);
  EXPECT_STREQ(BilingualText(403, kStrSaveEn), "");
}

TEST_F(StringsTest, EachPairHasAKoreanAndAnEnglishText) {
  for (const auto& [ko, en] : kPairs) {
    const char* korean = LoadStringById(ko);
    const char* english = LoadStringById(en);
    ASSERT_NE(korean, nullptr);
    ASSERT_NE(english, nullptr);
    EXPECT_TRUE(IsAscii(english)) << en << " " << english;
    if (ko == kStrPcViewerKo) {
      EXPECT_STREQ(korean, english);  // the product name is not translated
      continue;
    }
    EXPECT_STRNE(korean, english) << ko;
    EXPECT_FALSE(IsAscii(korean)) << ko << " " << korean;
  }
}

TEST_F(StringsTest, EnglishIsTheStartingLanguage) {
  EXPECT_EQ(kStartLanguage, kLangEnglish);
  EXPECT_STREQ(BilingualText(kStrQuitQuestionKo, kStrQuitQuestionEn), "Do you want to quit?");
}

TEST_F(StringsTest, TheLanguageChoosesTheText) {
  SetInterfaceLanguage(kLangKorean);
  EXPECT_EQ(InterfaceLanguage(), kLangKorean);
  EXPECT_STREQ(BilingualText(kStrQuitQuestionKo, kStrQuitQuestionEn), "종료 하시겠습니까?");
  EXPECT_STREQ(BilingualText(kStrSelectCaptionKo, kStrSelectCaptionEn), "선택");
  SetInterfaceLanguage(kLangEnglish);
  EXPECT_STREQ(BilingualText(kStrSelectCaptionKo, kStrSelectCaptionEn), "Select");
  SetInterfaceLanguage(12);  // any language but Korean shows English
  EXPECT_EQ(InterfaceLanguage(), 12);
  EXPECT_STREQ(BilingualText(kStrSelectFileKo, kStrSelectFileEn), "Select a file to save.");
}

TEST_F(StringsTest, TheTitleIsTheSameInEveryLanguage) {
  EXPECT_STREQ(LoadStringById(kStrTitle), "Roadeye (K70)");
  SetInterfaceLanguage(kLangKorean);
  EXPECT_STREQ(BilingualText(kStrTitle, kStrTitle), "Roadeye (K70)");
}

TEST_F(StringsTest, CardMessagesReadInFull) {
  EXPECT_STREQ(BilingualText(kStrCardRemovedKo, kStrCardRemovedEn),
               "The memory card has been removed.\nPlease check the card.");
  EXPECT_STREQ(BilingualText(kStrNoCardKo, kStrNoCardEn),
               "No memory card detected.\nPlease try again later.");
  EXPECT_STREQ(BilingualText(kStrNoSettingsFileKo, kStrNoSettingsFileEn),
               "Viewer cannot find the required files");
  SetInterfaceLanguage(kLangKorean);
  EXPECT_STREQ(BilingualText(kStrCardRemovedKo, kStrCardRemovedEn),
               "SD Card가 제거되었습니다.\nSD Card를 확인해 주세요.");
}

TEST_F(StringsTest, ShownTextsTurnDoublePercentIntoOne) {
  EXPECT_EQ(DisplayText(LoadStringById(kStrStorageSumEn)),
            "The sum of all the storage spaces is 100%.");
  EXPECT_EQ(DisplayText(LoadStringById(kStrSettingErrorTextEn)),
            "Check the storage space available.\r\nThe sum of all the storage spaces is 100%.");
  EXPECT_EQ(DisplayText(LoadStringById(kStrSettingErrorTextKo)),
            "저장 공간 설정을 확인해 주세요.\r\n저장공간의 합은 100%입니다.");
  EXPECT_EQ(DisplayText(LoadStringById(kStrContinuousKo)), "주행 녹화 (%)");
  EXPECT_EQ(DisplayText("%%%%"), "%%");
  EXPECT_EQ(DisplayText("50%"), "50%");
  EXPECT_EQ(DisplayText(nullptr), "");
}

}  // namespace
