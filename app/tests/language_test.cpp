// SPDX-License-Identifier: GPL-3.0-or-later
// The interface language: chosen by the command line's option over config.cfg's "language" key,
// English without either, and Korean texts drawn with glyphs of a font that has Hangul. The
// drawing is read from the X server's pixels over the Select All check box.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <wx/checkbox.h>
#include <wx/listctrl.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <vector>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "resources/core/StringTable.h"
#include "skin/testing/Screen.h"

using apptest::Pump;
using apptest::PumpUntil;
using apptest::TempDir;
namespace st = screentest;

namespace {

// A window with no card, its settings in `configPath` and the language of the command line
// (0: none given); message boxes are answered No without being shown.
class LanguageWindow {
 public:
  LanguageWindow(const std::string& configPath, std::uint16_t language) {
    DiagSetOutput(nullptr);
    CSamplePlayerDlg::Options options;
    options.configPath = configPath;
    options.startCardPoll = false;
    options.watchMounts = false;
    options.language = language;
    window_ = new CSamplePlayerDlg(options);
    ref_ = window_;
    window_->SetMessageBox([](const wxString&, const wxString&, long) { return int(wxID_NO); });
    window_->Show();
    Pump(200);
  }
  ~LanguageWindow() {
    if (ref_) {
      ref_->Close(true);
      PumpUntil([&] { return !ref_; }, 10000);
    }
    DiagSetOutput(stdout);
    SetInterfaceLanguage(kLangEnglish);  // other tests of this program expect the start-up's
  }
  CSamplePlayerDlg* operator->() { return window_; }
  wxCheckBox* SelectAll() { return dynamic_cast<wxCheckBox*>(window_->FindControl(kIdSelectAll)); }
  std::string Header(int column) {
    wxListItem item;
    item.SetMask(wxLIST_MASK_TEXT);
    window_->RecordingList()->GetColumn(column, item);
    return item.GetText().utf8_string();
  }

 private:
  CSamplePlayerDlg* window_ = nullptr;
  wxWeakRef<CSamplePlayerDlg> ref_;
};

std::string WriteConfig(const TempDir& dir, const std::string& text) {
  const std::string path = dir.str() + "/config.cfg";
  std::ofstream(path) << text;
  return path;
}

// The check box's label set to `text` and drawn, as the screen shows it.
wxImage Drawn(wxCheckBox* box, const char* utf8) {
  box->SetLabel(wxString::FromUTF8(utf8));
  box->Refresh();
  box->Update();
  Pump(150);
  return st::GrabClient(box);
}

// The label's ink: its red text on the dark ground (the box's tick square is grey).
bool Ink(const wxImage& image, int x, int y) {
  const int r = image.GetRed(x, y), g = image.GetGreen(x, y);
  return r > 100 && r > g + 60;
}

// Where the ink lies and how much of each of its rows is inked.
struct InkShape {
  int top = -1, bottom = -1, count = 0;
  std::vector<double> rows;  // ink per row from top to bottom, as a share of the ink's width
};

InkShape Shape(const wxImage& image) {
  InkShape s;
  int left = image.GetWidth(), right = -1;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      if (!Ink(image, x, y)) continue;
      ++s.count;
      if (s.top < 0) s.top = y;
      s.bottom = y;
      left = std::min(left, x);
      right = std::max(right, x);
    }
  }
  for (int y = s.top; s.top >= 0 && y <= s.bottom; ++y) {
    int n = 0;
    for (int x = left; x <= right; ++x) n += Ink(image, x, y) ? 1 : 0;
    s.rows.push_back(double(n) / (right - left + 1));
  }
  return s;
}

// True when `drawn` has the ink of missing glyphs: the hollow boxes the text renderer draws
// for characters no font has, as in `boxes` (private-use characters), all of one height with
// their heavy top and bottom edges in the same rows.
bool LooksLikeMissingGlyphs(const wxImage& drawn, const wxImage& boxes) {
  const InkShape a = Shape(drawn), b = Shape(boxes);
  if (a.count == 0) return true;  // nothing drawn at all
  if (std::abs(a.top - b.top) > 1 || std::abs(a.bottom - b.bottom) > 1) return false;
  const std::size_t n = std::min(a.rows.size(), b.rows.size());
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < n; ++i) ma += a.rows[i] / n, mb += b.rows[i] / n;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    ab += (a.rows[i] - ma) * (b.rows[i] - mb);
    aa += (a.rows[i] - ma) * (a.rows[i] - ma);
    bb += (b.rows[i] - mb) * (b.rows[i] - mb);
  }
  return aa > 0 && bb > 0 && ab / std::sqrt(aa * bb) > 0.9;
}

// Four private-use characters and a space, the shape of "전체 선택": boxes whatever the font.
constexpr char kBoxesA[] = "\xEE\x80\x80\xEE\x80\x80 \xEE\x80\x80\xEE\x80\x80";  // U+E000
constexpr char kBoxesB[] = "\xEE\x80\x81\xEE\x80\x82 \xEE\x80\x83\xEE\x80\x84";  // U+E001..4

// The recording list's kind buttons carry their words in the interface's language: Korean ones
// are drawn, not the English ones of a window before.
TEST(InterfaceLanguage, TheKindButtonsShowTheirWordsInKorean) {
  TempDir dir("lang-kinds");
  const std::string config = WriteConfig(dir, "[config]\n");
  const int ids[] = {kIdFilterDriving, kIdFilterEvent, kIdFilterParking, kIdFilterManual,
                     kIdFilterAll};
  auto grab = [&](std::uint16_t language) {
    LanguageWindow w(config, language);
    w->Raise();
    Pump(200);
    std::vector<wxImage> shots;
    for (int id : ids) shots.push_back(st::GrabClient(w->FindControl(id)));
    return shots;
  };
  const std::vector<wxImage> english = grab(kLangEnglish);
  const std::vector<wxImage> korean = grab(kLangKorean);
  const std::vector<wxImage> englishAgain = grab(kLangEnglish);
  for (std::size_t i = 0; i < english.size(); ++i) {
    ASSERT_TRUE(korean[i].IsOk() && english[i].IsOk()) << i;
    EXPECT_GT(st::MeanDifference(korean[i], english[i]), 2.0) << "button " << i;
    EXPECT_LT(st::MeanDifference(englishAgain[i], english[i]), 0.5) << "button " << i;
  }
}

TEST(InterfaceLanguage, KoreanFromConfigIsDrawnAsHangulGlyphs) {
  TempDir dir("lang-ko");
  const std::string config = WriteConfig(dir, "[config]\nlanguage=ko\nvolume=40\n");
  LanguageWindow w(config, 0);
  wxCheckBox* box = w.SelectAll();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->GetLabel().utf8_string(), LoadStringById(kStrSelectAllKo));
  EXPECT_EQ(w.Header(0), LoadStringById(kStrColTypeKo));
  EXPECT_EQ(w.Header(2), LoadStringById(kStrColDateKo));

  const wxImage selectAll = st::GrabClient(box);
  ASSERT_TRUE(selectAll.IsOk());
  const wxImage boxes = Drawn(box, kBoxesA);
  // The detector itself: other missing characters are boxes like these.
  EXPECT_TRUE(LooksLikeMissingGlyphs(Drawn(box, kBoxesB), boxes));
  // Two Korean labels: glyphs, and different ones.
  const wxImage other = Drawn(box, LoadStringById(kStrColDateKo));
  EXPECT_FALSE(LooksLikeMissingGlyphs(selectAll, boxes));
  EXPECT_FALSE(LooksLikeMissingGlyphs(other, boxes));
  EXPECT_GT(Shape(selectAll).count, 20);
  EXPECT_GT(st::MeanDifference(selectAll, other), 1.0);
  w->SaveConfig();
  // The file keeps its language; the viewer never writes one.
  EXPECT_NE(apptest::ReadFile(config).find("language=ko"), std::string::npos);
}

TEST(InterfaceLanguage, EnglishWithoutAChoiceAndForAnythingElse) {
  TempDir dir("lang-en");
  for (const char* text : {"", "[config]\nlanguage=fr\n", "[config]\nlanguage=korean\n"}) {
    LanguageWindow w(WriteConfig(dir, text), 0);
    wxCheckBox* box = w.SelectAll();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->GetLabel(), "Select All") << text;
    EXPECT_EQ(w.Header(0), LoadStringById(kStrColTypeEn)) << text;
    const wxImage english = st::GrabClient(box);
    const wxImage korean = Drawn(box, LoadStringById(kStrSelectAllKo));
    const wxImage boxes = Drawn(box, kBoxesA);
    EXPECT_FALSE(LooksLikeMissingGlyphs(english, boxes)) << text;
    EXPECT_GT(st::MeanDifference(english, korean), 1.0) << text;
  }
}

TEST(InterfaceLanguage, TheOptionWinsOverTheFileAndIsNotSaved) {
  TempDir dir("lang-option");
  const std::string config = WriteConfig(dir, "[config]\nlanguage=ko\n");
  {
    LanguageWindow w(config, kLangEnglish);
    EXPECT_EQ(w.SelectAll()->GetLabel(), "Select All");
    EXPECT_EQ(InterfaceLanguage(), kLangEnglish);
  }
  EXPECT_NE(apptest::ReadFile(config).find("language=ko"), std::string::npos);
  const std::string english = WriteConfig(dir, "[config]\nlanguage=en\n");
  {
    LanguageWindow w(english, kLangKorean);
    EXPECT_EQ(w.SelectAll()->GetLabel().utf8_string(), LoadStringById(kStrSelectAllKo));
    EXPECT_EQ(w.Header(4), LoadStringById(kStrColSizeKo));
  }
  EXPECT_NE(apptest::ReadFile(english).find("language=en"), std::string::npos);
}

// The program's command line answers without a display.
std::string Roadeye() { return std::string(ROADEYE_BIN_DIR) + "/roadeye"; }

struct ProgramRun {
  int code = -1;
  std::string out, err;
};

ProgramRun RunRoadeye(const std::string& args, const TempDir& dir) {
  const std::string out = dir.str() + "/out", err = dir.str() + "/err";
  const int status = std::system(("env -u DISPLAY -u WAYLAND_DISPLAY '" + Roadeye() + "' " + args +
                                  " > '" + out + "' 2> '" + err + "'")
                                     .c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, apptest::ReadFile(out),
          apptest::ReadFile(err)};
}

TEST(RoadeyeCommandLine, HelpVersionAndWrongOptionsTheGnuWay) {
  TempDir dir("cli");
  const ProgramRun help = RunRoadeye("--help", dir);
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.out.rfind("Usage: roadeye [OPTION]... [CARD_FOLDER | RECORDING_FILE...]\n", 0), 0u)
      << help.out;
  for (const char* option :
       {"--card", "--config-dir", "--language", "--decoder", "--play", "--full-screen",
        "--full-screen-at", "--back-at", "--screenshot", "--after", "--help", "--version"}) {
    EXPECT_NE(help.out.find(std::string(" ") + option + " "), std::string::npos) << option;
  }
  EXPECT_NE(help.out.find("Report bugs"), std::string::npos);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(RunRoadeye("-h", dir).out, help.out);

  const ProgramRun version = RunRoadeye("--version", dir);
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("roadeye (Roadeye) ", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("\nCopyright (C) "), std::string::npos) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 3);

  // The decoder's two names are taken (the help after them answers), nothing else is.
  for (const char* right : {"--decoder software --help", "--decoder=auto --help"}) {
    const ProgramRun r = RunRoadeye(right, dir);
    EXPECT_EQ(r.code, 0) << right << ": " << r.err;
    EXPECT_EQ(r.out, help.out) << right;
  }
  EXPECT_NE(help.out.find("  --decoder software|auto "), std::string::npos) << help.out;
  for (const char* wrong : {"--bogus", "--language fr", "--after soon", "--card", "stray",
                            "--decoder vaapi", "--decoder=", "--decoder Auto", "--decoder"}) {
    const ProgramRun r = RunRoadeye(wrong, dir);
    EXPECT_EQ(r.code, 2) << wrong;
    EXPECT_EQ(r.out, "") << wrong;
    EXPECT_EQ(r.err.rfind("roadeye: ", 0), 0u) << wrong << ": " << r.err;
    EXPECT_NE(r.err.find("\nTry 'roadeye --help' for more information.\n"), std::string::npos)
        << wrong << ": " << r.err;
  }
}

}  // namespace
