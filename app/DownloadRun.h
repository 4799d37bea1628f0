// SPDX-License-Identifier: GPL-3.0-or-later
// The file download (button 1143): the recordings ticked in the list become AVI files in a folder
// the user picks; another camera family's recordings are copied there as the camera wrote them
// (export/FamilyDownload.h). A worker thread converts them one after the other through a card
// reader of its own; the window shows the run's progress in the modeless progress dialog and in its
// title, and a report at the end. The worker never touches a window: it posts EVT_DOWNLOAD events
// to the window, which hands them to OnEvent.
//
// Threads: everything here runs on the window thread except the worker's routine (Worker and
// RunDownload), which reads the job (under jobLock_), the run and quit flags, the progress dialog's
// continue flag and the picture hook, and posts events.
#pragma once

#include <wx/event.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "export/FolderDownload.h"
#include "media/CVEXParser.h"
#include "platform/Threads.h"
#include "vexlib/vexlib.h"

class CProgressDlg;
class FamilyCard;
class OutputFolder;
class ViewerDialogs;
class wxFrame;

// Posted by the download's worker: the event's int is a DownloadUpdate.
wxDECLARE_EVENT(EVT_DOWNLOAD, wxThreadEvent);

// The end of a file download: what became of each recording begun, of how many named, and
// whether the user cancelled the run.
struct DownloadReport {
  std::vector<DownloadOutcome> outcomes;
  int count = 0;
  std::string folder;  // where the files were made
  bool cancelled = false;
};

// What one file download converts and where: the worker's own copy, taken when the run starts, so
// that the run never reads the window's list or folder.
struct DownloadJob {
  std::vector<std::string> names;
  std::string folder;
  // Another family's card: the recordings of the names, copied from the card at root. Empty for
  // the VEX card, whose recordings are converted.
  std::vector<cards::CardRecording> family;
  std::string root;
};

// What the download's worker tells the window (an EVT_DOWNLOAD event's int).
enum DownloadUpdate : int {
  kDownloadShow,       // the run begins: show the progress dialog
  kDownloadRecording,  // a recording begins: extra long = index, string = "count\tname"
  kDownloadPictures,   // the pictures bar: extra long = pictures done, string = their total
                       // (for a copy: thousandths of the recording's bytes, of 1000)
  kDownloadHide,       // Cancel was seen: hide the dialog
  kDownloadFinished,   // the run ended: payload = DownloadReport
};

class DownloadRun {
 public:
  // What the run asks of the window it belongs to (window thread).
  class Host {
   public:
    virtual ~Host() = default;
    // The names of the recordings ticked in the list, from the top.
    virtual std::vector<std::string> TickedRecordings() const = 0;
    // Stops playback: the card is read for the files, not for playback, from the run's start.
    virtual void StopPlayback() = 0;
    // Whether an evidence clip is being written (one AVI is written at a time).
    virtual bool ClipBeingWritten() const = 0;
    // The card library's handle, which the run's own reader reads through.
    virtual VexHandle Library() const = 0;
  };

  // window: the progress dialog's parent, whose title follows the run and which the worker's
  // events go to. The window, its host and dialogs and the folder stay the caller's and outlive
  // the run.
  DownloadRun(wxFrame* window, Host* host, ViewerDialogs* dialogs, OutputFolder* folder);
  // Stops the worker (see Stop).
  ~DownloadRun();
  DownloadRun(const DownloadRun&) = delete;
  DownloadRun& operator=(const DownloadRun&) = delete;

  // Makes the (hidden) progress dialog and starts the worker, which waits for a run.
  void Start();
  // A run in progress stops at its next packet, the recording being made kept as far as it got,
  // complete; returns once the worker has ended. Does nothing when the worker is not running.
  void Stop();

  // The command: the ticked recordings, to a folder the picker asks for. With otherCard (open,
  // the window's list of another family's card), its ticked recordings are copied.
  void DownloadRecordings(const FamilyCard* otherCard = nullptr);
  // The window's side of the worker's events (EVT_DOWNLOAD).
  void OnEvent(wxThreadEvent& event);

  // The busy flag: set from the start of a run until the window has its report. Only the window
  // thread sets and clears it, so that a run still finishing its last file (a cancel closes and
  // flushes it) keeps the window's commands, and another download, waiting. The window clears it
  // when the player starts; tests hold the commands with it.
  bool Busy() const { return busy_ != 0; }
  void SetBusy(bool busy) { busy_ = busy ? 1 : 0; }

  // Called on the window thread after the window applied each of the run's updates (its kind);
  // tests follow a run through it.
  void SetObserver(std::function<void(int)> observer) { observer_ = std::move(observer); }
  // Called on the worker before each front picture is converted (its index); tests hold a run at
  // a known point through it. Set only while no run is under way.
  void SetPictureHook(std::function<void(int)> hook) { pictureHook_ = std::move(hook); }
  CProgressDlg* ProgressDialog() const { return progress_; }

 private:
  void StartRun();
  static bool Worker(void* self);
  void RunDownload(const DownloadJob& job);
  void PostEvent(int update, long index, const wxString& text);
  void Finish(const DownloadReport& report);

  wxFrame* window_;
  Host* host_;
  ViewerDialogs* dialogs_;
  OutputFolder* folder_;
  bool started_ = false;

  // The busy flag (see Busy); the window thread's only.
  std::atomic<int> busy_{0};
  // The run's own flag, handed to the conversion: 1 while the run goes on; the conversion clears
  // it when the progress says stop (Cancel), Stop at shut-down.
  std::atomic<int> run_{0};
  // Window thread only: the recordings of the run being started, the title to restore after it.
  std::vector<std::string> recordings_;
  std::vector<cards::CardRecording> familyRecordings_;
  std::string familyRoot_;
  wxString idleTitle_;
  std::function<void(int)> observer_;
  // Made by Start, owned by the window as its child; the worker reads its continue flag.
  CProgressDlg* progress_ = nullptr;
  // The next run, handed from the window to the worker at its start. Under jobLock_.
  std::mutex jobLock_;
  std::unique_ptr<DownloadJob> job_;
  CVEXParser parser_;  // the run's own card reader: nothing of playback reaches it
  CSingleThread thread_{"Download"};
  CWaitEvent wake_;
  std::atomic<bool> quit_{false};
  // Whether an event moving the pictures bar is on its way to the window.
  std::atomic<bool> picturesEventPending_{false};
  std::function<void(int)> pictureHook_;
};
