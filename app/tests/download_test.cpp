// SPDX-License-Identifier: GPL-3.0-or-later
// The file download from the window: ticked recordings become AVI files that ffprobe and ffmpeg
// read, with the progress dialog on the screen, Cancel, the busy flag, the remembered folder and
// the report of what failed; another family's ticked recordings are copied as the camera wrote
// them.
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "app/AppIds.h"
#include "app/CProgressDlg.h"
#include "media/CAVIWriter.h"
#include "media/VFileSystem.h"
#include "resources/core/StringTable.h"
#include "skin/testing/Screen.h"
#include "vexlib/VexReader.h"

using apptest::Output;
using apptest::PumpUntil;
using apptest::TempDir;
using apptest::Window;
namespace fs = std::filesystem;
namespace st = screentest;

namespace {

constexpr int kSeconds = 6;
constexpr int kFrontPictures = kSeconds * 30;

// A file's streams as ffprobe counts them, "codec:packets" each ("h264:180 h264:180
// pcm_s16le:6 unknown:0"; the last is the layout's text stream, which must stay empty).
std::string Streams(const std::string& file) {
  const std::string out = Output(
      "ffprobe -v error -count_packets -show_entries stream=codec_name,nb_read_packets -of "
      "csv=p=0 '" +
      file + "'");
  std::string streams;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::replace(line.begin(), line.end(), ',', ':');
    if (line.size() > 4 && line.compare(line.size() - 4, 4, ":N/A") == 0) {
      line.replace(line.size() - 3, 3, "0");
    }
    streams += (streams.empty() ? "" : " ") + line;
  }
  return streams;
}

// What ffmpeg says decoding the whole file (nothing for a sound file).
std::string DecodeErrors(const std::string& file) {
  return Output("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
}

int FrontPictures(const std::string& file) {
  return std::atoi(Output("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                          "stream=nb_read_packets -of csv=p=0 '" +
                          file + "'")
                       .c_str());
}

std::vector<std::string> FolderNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string Contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Holds the download's thread at a picture until the test lets it go.
class Gate {
 public:
  // Called on the download's thread: waits at picture `at` of the first recording.
  void Reached(int index) {
    std::unique_lock<std::mutex> hold(lock_);
    if (passed_ || index != at) return;
    waiting_ = true;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::seconds(20), [&] { return open_; });
    passed_ = true;
    waiting_ = false;
  }
  bool Waiting() {
    std::lock_guard<std::mutex> hold(lock_);
    return waiting_;
  }
  void Open() {
    std::lock_guard<std::mutex> hold(lock_);
    open_ = true;
    changed_.notify_all();
  }
  int at = 10;

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool waiting_ = false, open_ = false, passed_ = false;
};

// The clip writer's file, through a real one, whose first close waits until the test lets it
// finish: the moment a cancelled run spends closing and flushing its last file, made long.
class SlowCloseFile final : public VFileSystem {
 public:
  bool Open(const char* path, const char* mode) override { return file_.Open(path, mode); }
  int Write(const void* data, int length) override { return file_.Write(data, length); }
  int Seek(int offset, int origin) override { return file_.Seek(offset, origin); }
  bool IsOpen() override { return file_.IsOpen(); }
  void Close() override {
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (!released_) {
        closing_ = true;
        changed_.notify_all();
        changed_.wait_for(hold, std::chrono::seconds(20), [&] { return released_; });
      }
    }
    file_.Close();
  }
  bool Closing() {
    std::lock_guard<std::mutex> hold(lock_);
    return closing_;
  }
  void Release() {
    std::lock_guard<std::mutex> hold(lock_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  CFSNormal file_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool closing_ = false, released_ = false;
};

// A card of three recordings (driving and parking with a rear camera, an event without), listed
// together, and a folder for the files.
class DownloadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    card_.Make("download-card", "--seconds " + std::to_string(kSeconds) +
                                    " --count 1 --kinds REC,EVENT,PARKING --rear mixed "
                                    "--no-damaged --bitrate 2000");
  }
  static void TearDownTestSuite() { card_.Remove(); }
  void SetUp() override {
    ASSERT_TRUE(card_.Made()) << "roadeye-mkcard failed";
    fs::create_directories(clips_);
    Open(card_.str());
  }
  // A window over the card, its recordings all listed, its folder picker answering `clips_`.
  void Open(const std::string& card) {
    window_ = std::make_unique<Window>(card, config_.str() + "/config.cfg");
    W()->PollCard();
    apptest::Click(W(), kIdFilterAll);
    W()->SetFolderDialogRunner([this](const wxString& title, const wxString& start, wxString* f) {
      pickerTitles_.push_back(title);
      pickerStarts_.push_back(start);
      *f = answer_;
      return !answer_.empty();
    });
    W()->Download().SetObserver([this](int update) { Observe(update); });
  }
  CSamplePlayerDlg* W() { return window_->get(); }
  CProgressDlg* Progress() { return W()->Download().ProgressDialog(); }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (long i = 0; i < W()->RecordingList()->GetItemCount(); ++i) {
      names.push_back(apptest::Cell(W(), i, 1));
    }
    return names;
  }
  void TickAll() {
    for (long i = 0; i < W()->RecordingList()->GetItemCount(); ++i) {
      W()->RecordingList()->CheckItem(i, true);
    }
  }
  // FileDownload pressed; true once the run has ended with its report.
  bool Download() {
    const std::size_t before = window_->messages.texts.size();
    apptest::Click(W(), kIdFileDownload);
    return PumpUntil(
        [&] { return !W()->Download().Busy() && window_->messages.texts.size() > before; });
  }
  void Observe(int update) {
    if (update == kDownloadRecording) {
      titles_.push_back(W()->GetTitle());
      recordingBar_.push_back(Progress()->RecordingBar()->GetValue());
      lastPictures_.push_back(0);
    } else if (update == kDownloadPictures && !lastPictures_.empty()) {
      lastPictures_.back() = Progress()->PictureBar()->GetValue();
      EXPECT_EQ(Progress()->PictureBar()->GetRange(), kFrontPictures);
    }
    if (onUpdate_) onUpdate_(update);
  }
  wxString LastMessage() { return window_->messages.texts.back(); }
  // Cancel, pressed on the progress dialog's button.
  void PressCancel() {
    wxCommandEvent press(wxEVT_BUTTON, CProgressDlg::kIdCancel);
    press.SetEventObject(Progress()->CancelButton());
    Progress()->CancelButton()->GetEventHandler()->ProcessEvent(press);
  }

  static inline apptest::SuiteCard card_;
  TempDir config_{"download-config"};
  TempDir out_{"download-out"};
  std::string clips_ = out_.str() + "/clips";
  wxString answer_ = wxString::FromUTF8(clips_);
  std::unique_ptr<Window> window_;
  std::vector<wxString> pickerTitles_, pickerStarts_, titles_;
  std::vector<int> recordingBar_, lastPictures_;
  std::function<void(int)> onUpdate_;
};

}  // namespace

TEST_F(DownloadTest, TickedRecordingsBecomeAviFilesThatOutsideReadersPlay) {
  const std::vector<std::string> names = Names();
  ASSERT_EQ(names.size(), 3u);
  TickAll();
  ASSERT_TRUE(Download());

  // The picker: its fixed title, opening nowhere in particular the first time.
  ASSERT_EQ(pickerTitles_.size(), 1u);
  EXPECT_EQ(pickerTitles_[0], wxString::FromUTF8(kTextChooseFolder));
  EXPECT_EQ(pickerStarts_[0], "");
  // The title counts the recordings from 0; the recordings bar 1, 2, 3; the pictures bar reaches
  // each recording's picture count.
  ASSERT_EQ(titles_.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(titles_[i], wxString::Format("Make File %03zu/003 [%s]", i, names[i]));
    EXPECT_EQ(recordingBar_[i], int(i) + 1);
    EXPECT_EQ(lastPictures_[i], kFrontPictures) << names[i];
  }
  EXPECT_EQ(W()->GetTitle(), wxString::FromUTF8(LoadStringById(kStrTitle)));
  EXPECT_EQ(LastMessage(), wxString::Format("3 of 3 files were made in %s.", clips_));

  // Each file: every picture of both cameras or of the one, and sound; the text stream that the
  // layout declares holds nothing; ffmpeg decodes it silently.
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(FolderNames(clips_), sorted);
  for (const std::string& name : names) {
    const std::string file = clips_ + "/" + name;
    const bool rear = name.find("_D.") != std::string::npos;
    const std::string streams = Streams(file);
    const std::string pictures = "h264:" + std::to_string(kFrontPictures) + " ";
    EXPECT_TRUE(wxString(streams).StartsWith(pictures + (rear ? pictures : "") + "pcm_s16le:"))
        << name << ": " << streams;
    EXPECT_TRUE(wxString(streams).EndsWith(" unknown:0")) << name << ": " << streams;
    EXPECT_EQ(DecodeErrors(file), "") << name;
  }

  // The folder is offered again, also by a window started afresh.
  apptest::Click(W(), kIdFilterEvent);
  W()->RecordingList()->CheckItem(0, true);
  ASSERT_TRUE(Download());
  EXPECT_EQ(pickerStarts_.back(), answer_);
  window_.reset();
  Open(card_.str());
  W()->RecordingList()->CheckItem(0, true);
  answer_.clear();  // the user cancels the picker this time
  apptest::Click(W(), kIdFileDownload);
  apptest::Pump(100);
  EXPECT_EQ(pickerStarts_.back(), wxString::FromUTF8(clips_));
  EXPECT_FALSE(W()->Download().Busy());
}

// While a run is held at a picture: the dialog is on the screen over the window, and every
// command of the window does nothing. Cancel then keeps the first file, shorter and whole, and
// makes no other.
TEST_F(DownloadTest, TheDialogShowsCommandsWaitAndCancelKeepsOneShorterFile) {
  const std::vector<std::string> names = Names();
  // Asked to keep screenshots (for the documentation), the dialog gets its caption from a window
  // manager.
  const char* keep = std::getenv("ROADEYE_TEST_SHOTS");
  if (keep != nullptr) {
    ASSERT_TRUE(st::StartWindowManager());
  }
  TickAll();
  W()->Raise();
  apptest::Pump(300);
  const wxRect screen = W()->GetScreenRect();
  const wxImage before = st::Grab(screen);
  Gate gate;
  W()->Download().SetPictureHook([&gate](int index) { gate.Reached(index); });
  const std::size_t messages = window_->messages.texts.size();
  apptest::Click(W(), kIdFileDownload);
  ASSERT_TRUE(PumpUntil([&] { return gate.Waiting(); })) << "the run was never held";

  // The dialog covers part of the window on the screen, and names the first recording.
  const wxRect dialog = Progress()->GetScreenRect();
  EXPECT_TRUE(screen.Contains(dialog.GetTopLeft())) << "the dialog is not over the window";
  const wxRect inside =
      wxRect(dialog.x - screen.x, dialog.y - screen.y, dialog.width, dialog.height)
          .Intersect(wxRect(screen.GetSize()));
  auto dialogShown = [&] {
    return st::MeanDifference(st::Crop(st::Grab(screen), inside), st::Crop(before, inside)) > 8;
  };
  EXPECT_TRUE(PumpUntil(dialogShown, 5000)) << "the progress dialog is not on the screen";
  if (keep != nullptr) {
    st::Grab(screen.Union(dialog).Inflate(0, 30))
        .SaveFile(std::string(keep) + "/download-progress.png", wxBITMAP_TYPE_PNG);
  }
  EXPECT_EQ(Progress()->NameText()->GetLabel(), names[0]);
  EXPECT_EQ(W()->GetTitle(), wxString::Format("Make File 000/003 [%s]", names[0]));

  // Nothing of playback, the list, capture, layout or the keys answers during the run.
  const int rows = W()->RecordingList()->GetItemCount();
  int saves = 0;
  W()->Capture().SetSaveDialogRunner(
      [&saves](const wxString&, wxString*) { return ++saves, false; });
  apptest::Click(W(), kIdPlay);
  apptest::DoubleClickRow(W(), 1);
  apptest::Click(W(), kIdFilterEvent);
  apptest::Click(W(), kIdCapture);
  apptest::Click(W(), kIdFullScreen);
  W()->HandleKey(WXK_SPACE, false);
  W()->HandleKey(WXK_RETURN, false);
  apptest::Pump(100);
  EXPECT_EQ(W()->CurrentRow(), -1);
  EXPECT_EQ(W()->Engine().GetShowStatus(), CNOVMediaPlayer::kShowStopped);
  EXPECT_EQ(W()->RecordingList()->GetItemCount(), rows);
  EXPECT_EQ(saves, 0);
  EXPECT_EQ(W()->LayoutMode(), kLayoutNormal);
  EXPECT_TRUE(W()->Download().Busy());

  PressCancel();
  gate.Open();
  ASSERT_TRUE(PumpUntil(
      [&] { return !W()->Download().Busy() && window_->messages.texts.size() > messages; }));

  EXPECT_EQ(titles_.size(), 1u);
  EXPECT_EQ(FolderNames(clips_), std::vector<std::string>{names[0]});
  const std::string file = clips_ + "/" + names[0];
  const int pictures = FrontPictures(file);
  EXPECT_GT(pictures, gate.at);
  EXPECT_LT(pictures, kFrontPictures);
  EXPECT_EQ(DecodeErrors(file), "");
  EXPECT_TRUE(LastMessage().StartsWith("The download was cancelled.\n1 of 3 files were made"))
      << LastMessage();

  // The dialog has left the screen, the title is the window's own, and the window plays again.
  EXPECT_TRUE(PumpUntil([&] { return st::MeanDifference(st::Grab(screen), before) < 3; }, 5000))
      << "the progress dialog stays on the screen";
  EXPECT_EQ(W()->GetTitle(), wxString::FromUTF8(LoadStringById(kStrTitle)));
  EXPECT_FALSE(W()->Download().Busy());
  apptest::DoubleClickRow(W(), 0);
  EXPECT_EQ(W()->CurrentRow(), 0);
  if (keep != nullptr) st::StopWindowManager();
}

TEST_F(DownloadTest, NothingTickedOrThePickerCancelledStartsNothing) {
  ASSERT_TRUE(Download());
  EXPECT_EQ(LastMessage(), "Select a file to save.");
  EXPECT_TRUE(pickerTitles_.empty()) << "a folder picker was shown";

  W()->RecordingList()->CheckItem(1, true);
  answer_.clear();
  apptest::Click(W(), kIdFileDownload);
  apptest::Pump(300);
  EXPECT_EQ(pickerTitles_.size(), 1u);
  EXPECT_FALSE(W()->Download().Busy());
  EXPECT_TRUE(titles_.empty());
  EXPECT_EQ(window_->messages.texts.size(), 1u);
  EXPECT_EQ(W()->TargetFolder(), "");
  EXPECT_TRUE(FolderNames(clips_).empty());
}

TEST_F(DownloadTest, TheReportNamesEachFailureAndItsReason) {
  // A folder that is a file: nothing can be made there.
  const std::string blocker = out_.str() + "/a-file";
  std::ofstream(blocker) << "x";
  answer_ = wxString::FromUTF8(blocker);
  TickAll();
  ASSERT_TRUE(Download());
  const wxString report = LastMessage();
  EXPECT_TRUE(report.StartsWith("0 of 3 files were made")) << report;
  for (const std::string& name : Names()) {
    EXPECT_NE(
        report.Find(wxString::FromUTF8(name + ": the file cannot be created (Not a directory)")),
        wxNOT_FOUND)
        << report;
  }
}

// In the Korean interface the report gives its reasons in Korean, the system's after them.
TEST_F(DownloadTest, TheReportGivesItsReasonsInTheInterfacesLanguage) {
  const std::string blocker = out_.str() + "/a-file";
  std::ofstream(blocker) << "x";
  answer_ = wxString::FromUTF8(blocker);
  W()->RecordingList()->CheckItem(0, true);
  SetInterfaceLanguage(kLangKorean);
  const bool ended = Download();
  SetInterfaceLanguage(kLangEnglish);
  ASSERT_TRUE(ended);
  const wxString reason = wxString::FromUTF8(LoadStringById(kStrCannotCreateKo));
  EXPECT_NE(LastMessage().Find(wxString::FromUTF8(Names()[0]) + ": " + reason + " (" +
                               wxString::FromUTF8(std::strerror(ENOTDIR)) + ")"),
            wxNOT_FOUND)
      << LastMessage();
}

// The card taken away while its first recording is converted: that file is made (it was open),
// the others are reported as unreadable, and the window goes on working.
TEST_F(DownloadTest, ACardRemovedDuringTheRunEndsItWithAReport) {
  TempDir copy("download-card-copy");
  fs::copy(card_.str(), copy.str(), fs::copy_options::recursive);
  window_.reset();
  Open(copy.str());
  const std::vector<std::string> names = Names();
  TickAll();
  W()->Download().SetPictureHook([&](int index) {
    if (index == 10) fs::remove_all(copy.str() + "/VEX");
  });
  ASSERT_TRUE(Download());
  const wxString report = LastMessage();
  EXPECT_TRUE(report.StartsWith("1 of 3 files were made")) << report;
  EXPECT_NE(report.Find(wxString::FromUTF8(names[1] + ": the recording cannot be opened")),
            wxNOT_FOUND)
      << report;
  EXPECT_EQ(FolderNames(clips_), std::vector<std::string>{names[0]});
  EXPECT_EQ(DecodeErrors(clips_ + "/" + names[0]), "");
  // The window notices the card is gone and stays usable.
  W()->PollCard();
  EXPECT_EQ(W()->RecordingList()->GetItemCount(), 0);
  apptest::Click(W(), kIdFilterEvent);
  EXPECT_TRUE(window_->Alive());
}

// Without the test's picker: the desktop's folder picker comes up over the window, and Escape
// cancels it without a run.
TEST_F(DownloadTest, TheRealFolderPickerComesAndEscapeCancelsIt) {
  ASSERT_TRUE(st::StartWindowManager());
  W()->SetFolderDialogRunner([this](const wxString& title, const wxString& start, wxString* f) {
    return W()->RunFolderDialog(title, start, f);
  });
  TickAll();
  apptest::Pump(300);
  const wxRect screen(0, 0, 1280, 1024);
  const wxImage before = st::Grab(screen);
  double change = 0;
  W()->CallAfter([&] {
    st::Pump(1500);  // the chooser takes a moment to show its folders
    change = st::MeanDifference(st::Grab(screen), before);
    st::PressKey("Escape");
  });
  apptest::Click(W(), kIdFileDownload);
  apptest::Pump(300);
  EXPECT_GT(change, 5) << "no folder picker came up on the screen";
  EXPECT_FALSE(W()->Download().Busy());
  EXPECT_TRUE(titles_.empty());
  EXPECT_TRUE(FolderNames(clips_).empty());
  EXPECT_EQ(W()->TargetFolder(), "");
  st::StopWindowManager();
}

// The card going bad during the run (its reads fail from the middle of the first recording on):
// no file is left for any recording, the report says why, and with the card good again the same
// download makes every file.
TEST_F(DownloadTest, ACardFailingDuringTheRunLeavesNoFileAndTheNextRunWorks) {
  const std::vector<std::string> names = Names();
  TickAll();
  const std::string first =
      card_.str() + "/VEX/" + names[0].substr(0, names[0].size() - 4) + ".vex";
  vex::SetReadFaults({.failAfterBytes = static_cast<long long>(fs::file_size(first) / 2)});
  const bool ended = Download();
  vex::ClearReadFaults();
  ASSERT_TRUE(ended);
  const wxString report = LastMessage();
  EXPECT_TRUE(report.StartsWith("0 of 3 files were made")) << report;
  EXPECT_NE(report.Find(wxString::FromUTF8(
                names[0] + ": the card could not be read to the end of the recording")),
            wxNOT_FOUND)
      << report;
  EXPECT_TRUE(FolderNames(clips_).empty());
  ASSERT_TRUE(Download());
  EXPECT_EQ(LastMessage(), wxString::Format("3 of 3 files were made in %s.", clips_));
  EXPECT_EQ(FolderNames(clips_).size(), 3u);
}

// Cancel, and FileDownload again while the cancelled run still closes and flushes its file: the
// second press starts nothing until the first run's report is in, and the next run then makes
// every recording, each under its own name, with the window's title given back after each run.
TEST_F(DownloadTest, ADownloadAskedForWhileACancelledRunFinishesWaitsForItsReport) {
  const std::vector<std::string> names = Names();
  TickAll();
  const wxString title = W()->GetTitle();
  Gate gate;
  W()->Download().SetPictureHook([&gate](int index) { gate.Reached(index); });
  SlowCloseFile file;
  ASSERT_TRUE(aviSetFileSystem(&file));
  // Whatever happens below, the window's worker is let go and gone before the file is.
  struct Restore {
    SlowCloseFile& file;
    std::unique_ptr<Window>& window;
    ~Restore() {
      file.Release();
      window.reset();
      aviSetFileSystem(nullptr);
    }
  } restore{file, window_};
  const std::size_t messages = window_->messages.texts.size();
  apptest::Click(W(), kIdFileDownload);
  ASSERT_TRUE(PumpUntil([&] { return gate.Waiting(); })) << "the run was never held";
  PressCancel();
  gate.Open();
  ASSERT_TRUE(PumpUntil([&] { return file.Closing(); })) << "the cancelled file was not closed";

  apptest::Click(W(), kIdFileDownload);
  apptest::Pump(200);
  EXPECT_EQ(pickerTitles_.size(), 1u) << "a second run was started while the first finished";
  EXPECT_TRUE(W()->Download().Busy());
  file.Release();
  ASSERT_TRUE(PumpUntil(
      [&] { return !W()->Download().Busy() && window_->messages.texts.size() > messages; }));
  EXPECT_EQ(window_->messages.texts.size(), messages + 1);
  EXPECT_TRUE(LastMessage().StartsWith("The download was cancelled.\n1 of 3 files were made"))
      << LastMessage();
  EXPECT_EQ(W()->GetTitle(), title);
  EXPECT_EQ(FolderNames(clips_), std::vector<std::string>{names[0]});

  titles_.clear();
  ASSERT_TRUE(Download());
  EXPECT_EQ(LastMessage(), wxString::Format("3 of 3 files were made in %s.", clips_));
  ASSERT_EQ(titles_.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(titles_[i], wxString::Format("Make File %03zu/003 [%s]", i, names[i]));
  }
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(FolderNames(clips_), sorted);
  for (const std::string& name : names) {
    EXPECT_EQ(FrontPictures(clips_ + "/" + name), kFrontPictures) << name;
  }
  EXPECT_EQ(W()->GetTitle(), title);
}

// A Tesla card's saved, Sentry and recent clips, every one ticked: each camera's file lands in the
// folder with the card's bytes, the pictures bar following each recording's bytes to its end.
TEST(FamilyDownloadWindow, TickedRecordingsOfAnotherFamilyAreCopiedAsTheCameraWroteThem) {
  TempDir config("download-config"), base("download-tesla"), out("download-tesla-out");
  const std::string card = base.str() + "/card";
  ASSERT_TRUE(apptest::MakeCard(card, "--family tesla --count 1 --seconds 2 --front 320x180"));
  Window w(card, config.str() + "/config.cfg");
  w->SetFolderDialogRunner([&](const wxString&, const wxString&, wxString* f) {
    *f = wxString::FromUTF8(out.str());
    return true;
  });
  std::vector<int> barEnds;
  w->Download().SetObserver([&](int update) {
    CProgressDlg* progress = w->Download().ProgressDialog();
    if (update == kDownloadRecording) barEnds.push_back(0);
    if (update == kDownloadPictures && !barEnds.empty()) {
      EXPECT_EQ(progress->PictureBar()->GetRange(), 1000);
      barEnds.back() = progress->PictureBar()->GetValue();
    }
  });
  w->PollCard();
  apptest::Click(w.get(), kIdFilterAll);
  ASSERT_TRUE(PumpUntil([&] { return w->OtherCard().Complete(); }, 60000));
  apptest::ClickCheckBox(w.get(), kIdSelectAll, true);
  const long rows = w->RecordingList()->GetItemCount();
  ASSERT_GT(rows, 1);
  const std::size_t before = w.messages.texts.size();
  apptest::Click(w.get(), kIdFileDownload);
  ASSERT_TRUE(PumpUntil([&] { return !w->Download().Busy() && w.messages.texts.size() > before; }));
  EXPECT_EQ(w.messages.texts.back(),
            wxString::Format("%ld of %ld files were made in %s.", rows, rows, out.str()));
  EXPECT_EQ(barEnds, std::vector<int>(std::size_t(rows), 1000));

  std::size_t cameraFiles = 0;
  for (const auto& e : fs::recursive_directory_iterator(card)) {
    if (e.path().extension() != ".mp4") continue;
    ++cameraFiles;
    const fs::path copy = out.path() / e.path().filename();
    EXPECT_EQ(Contents(copy.string()), Contents(e.path().string())) << copy;
  }
  EXPECT_EQ(FolderNames(out.str()).size(), cameraFiles);
}
