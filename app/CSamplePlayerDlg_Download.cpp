// The file download: the recordings ticked in the list become AVI files in a folder the user
// picks. A worker thread converts them one after the other through a card reader of its own; the
// window shows its progress in the modeless progress dialog and the window's title, and a report
// at the end. The worker never touches a window: it posts events that the window thread applies.
#include <wx/dirdlg.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "app/CProgressDlg.h"
#include "app/CSamplePlayerDlg.h"
#include "app/ViewerConfig.h"
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

bool CSamplePlayerDlg::RunFolderDialog(const wxString& title, const wxString& start,
                                       wxString* folder) {
  wxDirDialog dialog(this, title, start, wxDD_DEFAULT_STYLE);
  if (dialog.ShowModal() != wxID_OK) return false;
  *folder = dialog.GetPath();
  return true;
}

void CSamplePlayerDlg::StartDownloadWorker() {
  outputFolder_.Load(configPath_);
  progress_ = new CProgressDlg(this);
  Bind(EVT_DOWNLOAD, &CSamplePlayerDlg::OnDownloadEvent, this);
  downloadParser_.Start();
  downloadQuit_ = false;
  downloadThread_.BeginThread(&CSamplePlayerDlg::DownloadWorker, this);
}

void CSamplePlayerDlg::StopDownloadWorker() {
  // A run in progress stops at its next packet; the recording being made is kept as far as it
  // got, complete.
  downloadRun_ = 0;
  downloadQuit_ = true;
  downloadWake_.SetEvent();
  downloadThread_.StopThread();
  downloadParser_.Stop();
  downloadParser_.SetLibraryHandle(nullptr);
}

void CSamplePlayerDlg::DownloadRecordings() {
  // One AVI is written at a time: a clip being written finishes first (a moment's work).
  if (downloadBusy_ || clipBusy_) return;
  // The card is read for the files, not for playback, from here on.
  StopPlayback();
  CollectTickedRecordings();
  if (downloadList_.empty()) {
    messageBox_(Text(kStrSelectFileKo, kStrSelectFileEn), GetTitle(), wxOK | wxICON_INFORMATION);
    return;
  }
  downloadParser_.SetLibraryHandle(library_);
  StartDownload();
}

void CSamplePlayerDlg::CollectTickedRecordings() {
  downloadList_.clear();
  for (long row = 0; row < list_->GetItemCount(); ++row) {
    if (list_->IsItemChecked(row))
      downloadList_.push_back(list_->GetItemText(row, 1).utf8_string());
  }
}

void CSamplePlayerDlg::StartDownload() {
  wxString folder;
  if (!folderRunner_(wxString::FromUTF8(kTextChooseFolder),
                     wxString::FromUTF8(outputFolder_.Path()), &folder) ||
      folder.empty()) {
    return;
  }
  outputFolder_.Remember(folder.utf8_string());

  progress_->SetContinue(true);
  // The bars take the full counts: a recording of 70,000 pictures is a bar of 70,000.
  progress_->RecordingBar()->SetRange(std::max<int>(1, int(downloadList_.size())));
  progress_->RecordingBar()->SetValue(0);
  progress_->PictureBar()->SetValue(0);
  idleTitle_ = GetTitle();
  {
    std::lock_guard<std::mutex> hold(downloadJobLock_);
    downloadJob_ = std::make_unique<DownloadJob>(DownloadJob{downloadList_, outputFolder_.Path()});
  }
  downloadRun_ = 1;
  downloadBusy_ = 1;
  downloadWake_.SetEvent();
}

bool CSamplePlayerDlg::DownloadWorker(void* self) {
  auto* window = static_cast<CSamplePlayerDlg*>(self);
  // Nothing to do until a run is started or the window goes.
  window->downloadWake_.WaitEvent(kWaitInfinite);
  if (window->downloadQuit_) return false;
  std::unique_ptr<DownloadJob> job;
  {
    std::lock_guard<std::mutex> hold(window->downloadJobLock_);
    job = std::move(window->downloadJob_);
  }
  if (job) window->RunDownload(*job);
  return true;
}

void CSamplePlayerDlg::PostDownloadEvent(int update, long index, const wxString& text) {
  auto* event = new wxThreadEvent(EVT_DOWNLOAD);
  event->SetInt(update);
  event->SetExtraLong(index);
  event->SetString(text.Clone());
  wxQueueEvent(this, event);
}

void CSamplePlayerDlg::RunDownload(const DownloadJob& job) {
  // The worker's side of the run: what the conversion reports becomes events for the window.
  class Relay : public VDownloadProgress {
   public:
    explicit Relay(CSamplePlayerDlg* window) : w_(window) {}
    void OnRecordingStart(int index, int count, const std::string& name) override {
      w_->PostDownloadEvent(kDownloadRecording, index,
                            wxString::Format("%d\t%s", count, wxString::FromUTF8(name)));
    }
    bool OnPicture(int index, int total) override {
      if (w_->pictureHook_) w_->pictureHook_(index);
      if (!w_->progress_->ShouldContinue()) {
        w_->PostDownloadEvent(kDownloadHide, 0, wxString());
        return false;
      }
      // One event on its way at a time, and always the one of the last picture, so that the
      // window is never flooded and each recording's bar ends full.
      const bool last = index + 1 >= total;
      if (!w_->picturesEventPending_.exchange(true) || last) {
        w_->PostDownloadEvent(kDownloadPictures, index + 1, wxString::Format("%d", total));
      }
      return true;
    }

   private:
    CSamplePlayerDlg* w_;
  };

  PostDownloadEvent(kDownloadShow, 0, wxString());
  Relay relay(this);
  DownloadReport report;
  report.count = int(job.names.size());
  report.folder = job.folder;
  report.outcomes =
      DownloadToFolder(&downloadParser_, job.folder, job.names, &relay, &downloadRun_);
  report.cancelled = !progress_->ShouldContinue();
  auto* event = new wxThreadEvent(EVT_DOWNLOAD);
  event->SetInt(kDownloadFinished);
  event->SetPayload(report);
  wxQueueEvent(this, event);
}

void CSamplePlayerDlg::OnDownloadEvent(wxThreadEvent& event) {
  switch (event.GetInt()) {
    case kDownloadShow:
      progress_->Show();
      break;
    case kDownloadRecording: {
      const wxString count = event.GetString().BeforeFirst('\t');
      const wxString name = event.GetString().AfterFirst('\t');
      const long index = event.GetExtraLong();
      SetTitle(wxString::Format("Make File %03ld/%03d [%s]", index, wxAtoi(count), name));
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
      FinishDownload(event.GetPayload<DownloadReport>());
      break;
    default:
      break;
  }
  if (downloadObserver_) downloadObserver_(event.GetInt());
}

void CSamplePlayerDlg::FinishDownload(const DownloadReport& report) {
  progress_->Hide();
  downloadBusy_ = 0;
  SetTitle(idleTitle_);
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
  messageBox_(text, GetTitle(), wxOK | (failures.empty() ? wxICON_INFORMATION : wxICON_WARNING));
}
