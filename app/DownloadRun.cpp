// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/DownloadRun.h"

#include <wx/frame.h>
#include <wx/gauge.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "app/CProgressDlg.h"
#include "app/FamilyCard.h"
#include "app/ViewerConfig.h"
#include "app/ViewerDialogs.h"
#include "export/FamilyDownload.h"
#include "resources/core/StringTable.h"

wxDEFINE_EVENT(EVT_DOWNLOAD, wxThreadEvent);

namespace {

wxString Text(int koreanId, int englishId) {
  return wxString::FromUTF8(DisplayText(BilingualText(koreanId, englishId)));
}

// Why a recording gave no file, in the interface's language, the system's reason after it.
wxString ReasonText(const DownloadOutcome& o) {
  wxString text;
  switch (o.result) {
    case kConvertOpenFailed:
      text = Text(kStrCannotOpenKo, kStrCannotOpenEn);
      break;
    case kConvertCreateFailed:
      text = Text(kStrCannotCreateKo, kStrCannotCreateEn);
      break;
    case kConvertWriteFailed:
      text = Text(kStrCannotWriteKo, kStrCannotWriteEn);
      break;
    case kConvertCloseFailed:
      text = Text(kStrCannotFinishKo, kStrCannotFinishEn);
      break;
    case kConvertReadFailed:
      text = Text(kStrCannotReadKo, kStrCannotReadEn);
      break;
    case kConvertBadName:
      text = Text(kStrBadNameKo, kStrBadNameEn);
      break;
    case kConvertPathTooLong:
      text = Text(kStrPathTooLongKo, kStrPathTooLongEn);
      break;
    case kConvertDone:
    case kConvertStopped:
      return wxString::FromUTF8(o.reason);
  }
  if (o.systemError != 0) text += " (" + wxString::FromUTF8(std::strerror(o.systemError)) + ")";
  return text;
}

}  // namespace

DownloadRun::DownloadRun(wxFrame* window, Host* host, ViewerDialogs* dialogs, OutputFolder* folder)
    : window_(window), host_(host), dialogs_(dialogs), folder_(folder) {}

DownloadRun::~DownloadRun() { Stop(); }

void DownloadRun::Start() {
  progress_ = new CProgressDlg(window_);
  parser_.Start();
  quit_ = false;
  started_ = true;
  thread_.BeginThread(&DownloadRun::Worker, this);
}

void DownloadRun::Stop() {
  if (!started_) return;
  started_ = false;
  run_ = 0;
  quit_ = true;
  wake_.SetEvent();
  thread_.StopThread();
  parser_.Stop();
  parser_.SetLibraryHandle(nullptr);
}

void DownloadRun::DownloadRecordings(const FamilyCard* otherCard) {
  // One AVI is written at a time: a clip being written finishes first (a moment's work).
  if (busy_ || host_->ClipBeingWritten()) return;
  // The card is read for the files, not for playback, from here on.
  host_->StopPlayback();
  recordings_ = host_->TickedRecordings();
  familyRecordings_.clear();
  familyRoot_.clear();
  if (otherCard != nullptr && otherCard->IsOpen()) {
    // The rows name another family's recordings: the run takes copies of them.
    std::vector<std::string> found;
    for (const std::string& name : recordings_) {
      if (const cards::CardRecording* r = otherCard->Find(name)) {
        familyRecordings_.push_back(*r);
        found.push_back(name);
      }
    }
    recordings_ = std::move(found);
    familyRoot_ = otherCard->Root();
  }
  if (recordings_.empty()) {
    dialogs_->ShowMessage(Text(kStrSelectFileKo, kStrSelectFileEn), window_->GetTitle(),
                          wxOK | wxICON_INFORMATION);
    return;
  }
  if (familyRecordings_.empty()) parser_.SetLibraryHandle(host_->Library());
  StartRun();
}

void DownloadRun::StartRun() {
  wxString folder;
  if (!dialogs_->ChooseFolder(wxString::FromUTF8(kTextChooseFolder),
                              wxString::FromUTF8(folder_->Path()), &folder) ||
      folder.empty()) {
    return;
  }
  folder_->Remember(folder.utf8_string());

  progress_->SetContinue(true);
  // The bars take the full counts: a recording of 70,000 pictures is a bar of 70,000.
  progress_->RecordingBar()->SetRange(std::max<int>(1, int(recordings_.size())));
  progress_->RecordingBar()->SetValue(0);
  progress_->PictureBar()->SetValue(0);
  idleTitle_ = window_->GetTitle();
  {
    std::lock_guard<std::mutex> hold(jobLock_);
    job_ = std::make_unique<DownloadJob>(
        DownloadJob{recordings_, folder_->Path(), familyRecordings_, familyRoot_});
  }
  run_ = 1;
  busy_ = 1;
  wake_.SetEvent();
}

bool DownloadRun::Worker(void* self) {
  auto* run = static_cast<DownloadRun*>(self);
  // Nothing to do until a run is started or the window goes.
  run->wake_.WaitEvent(kWaitInfinite);
  if (run->quit_) return false;
  std::unique_ptr<DownloadJob> job;
  {
    std::lock_guard<std::mutex> hold(run->jobLock_);
    job = std::move(run->job_);
  }
  if (job) run->RunDownload(*job);
  return true;
}

void DownloadRun::PostEvent(int update, long index, const wxString& text) {
  auto* event = new wxThreadEvent(EVT_DOWNLOAD);
  event->SetInt(update);
  event->SetExtraLong(index);
  event->SetString(text.Clone());
  wxQueueEvent(window_, event);
}

void DownloadRun::RunDownload(const DownloadJob& job) {
  // The worker's side of the run: what the conversion reports becomes events for the window.
  class Relay : public VDownloadProgress {
   public:
    explicit Relay(DownloadRun* run) : r_(run) {}
    void OnRecordingStart(int index, int count, const std::string& name) override {
      r_->PostEvent(kDownloadRecording, index,
                    wxString::Format("%d\t%s", count, wxString::FromUTF8(name)));
    }
    bool OnPicture(int index, int total) override {
      if (r_->pictureHook_) r_->pictureHook_(index);
      if (!r_->progress_->ShouldContinue()) {
        r_->PostEvent(kDownloadHide, 0, wxString());
        return false;
      }
      // One event on its way at a time, and always the one of the last picture, so that the
      // window is never flooded and each recording's bar ends full.
      const bool last = index + 1 >= total;
      if (!r_->picturesEventPending_.exchange(true) || last) {
        r_->PostEvent(kDownloadPictures, index + 1, wxString::Format("%d", total));
      }
      return true;
    }
    // A copy's bar in thousandths of the recording's bytes, as the pictures' bar goes.
    bool OnBytes(std::uint64_t done, std::uint64_t total) override {
      if (!r_->progress_->ShouldContinue()) {
        r_->PostEvent(kDownloadHide, 0, wxString());
        return false;
      }
      const std::uint64_t whole = total > 0 ? total : 1;
      const long permille = long(std::min(done, whole) * 1000 / whole);
      if (!r_->picturesEventPending_.exchange(true) || done >= total) {
        r_->PostEvent(kDownloadPictures, permille, "1000");
      }
      return true;
    }

   private:
    DownloadRun* r_;
  };

  PostEvent(kDownloadShow, 0, wxString());
  Relay relay(this);
  DownloadReport report;
  report.count = int(job.names.size());
  report.folder = job.folder;
  report.outcomes = job.family.empty()
                        ? DownloadToFolder(&parser_, job.folder, job.names, &relay, &run_)
                        : CopyFamilyToFolder(job.root, job.family, job.folder, &relay, &run_);
  report.cancelled = !progress_->ShouldContinue();
  auto* event = new wxThreadEvent(EVT_DOWNLOAD);
  event->SetInt(kDownloadFinished);
  event->SetPayload(report);
  wxQueueEvent(window_, event);
}

void DownloadRun::OnEvent(wxThreadEvent& event) {
  switch (event.GetInt()) {
    case kDownloadShow:
      progress_->Show();
      break;
    case kDownloadRecording: {
      const wxString count = event.GetString().BeforeFirst('\t');
      const wxString name = event.GetString().AfterFirst('\t');
      const long index = event.GetExtraLong();
      window_->SetTitle(wxString::Format("Make File %03ld/%03d [%s]", index, wxAtoi(count), name));
      progress_->NameText()->SetLabel(name);
      progress_->RecordingBar()->SetValue(
          std::min<int>(int(index) + 1, progress_->RecordingBar()->GetRange()));
      progress_->PictureBar()->SetValue(0);
      break;
    }
    case kDownloadPictures: {
      picturesEventPending_ = false;
      const int total = wxAtoi(event.GetString());
      wxGauge* bar = progress_->PictureBar();
      const int range = total > 0 ? total : 1000;
      if (bar->GetRange() != range) bar->SetRange(range);
      bar->SetValue(std::min(int(event.GetExtraLong()), range));
      break;
    }
    case kDownloadHide:
      progress_->Hide();
      break;
    case kDownloadFinished:
      Finish(event.GetPayload<DownloadReport>());
      break;
    default:
      break;
  }
  if (observer_) observer_(event.GetInt());
}

void DownloadRun::Finish(const DownloadReport& report) {
  progress_->Hide();
  busy_ = 0;
  window_->SetTitle(idleTitle_);
  int made = 0;
  wxString failures;
  for (const DownloadOutcome& o : report.outcomes) {
    if (o.Made()) {
      ++made;
    } else {
      failures += "\n" + wxString::FromUTF8(o.name) + ": " + ReasonText(o);
    }
  }
  wxString text;
  if (report.cancelled) text = Text(kStrDownloadCancelledKo, kStrDownloadCancelledEn) + "\n";
  text += wxString::Format(Text(kStrDownloadMadeKo, kStrDownloadMadeEn), made, report.count,
                           wxString::FromUTF8(report.folder));
  if (!failures.empty()) {
    text += "\n\n" + Text(kStrDownloadNotMadeKo, kStrDownloadNotMadeEn) + failures;
  }
  dialogs_->ShowMessage(text, window_->GetTitle(),
                        wxOK | (failures.empty() ? wxICON_INFORMATION : wxICON_WARNING));
}
