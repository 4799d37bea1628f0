// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the moment that matters: the playback speed one step slower or faster (keys [, ] and
// \), picture steps while paused (. and ,), the open recording's event marks over the seek slider
// and the jumps between them (Ctrl+PageUp, Ctrl+PageDown), and evidence clips of a span of the
// playing recording (I and O): an AVI of a VEX recording, one MP4 of every camera of another
// family's (export/ClipExport.h). A clip is written by a worker of its own, one at a time, which
// answers with an EVT_CLIP event to the window; the window hands it to OnClipEvent.
//
// Threads: everything here runs on the window thread except the clip's worker, which reads the
// card through a library handle and parser of its own and only posts its event. The worker is
// joined before the next clip starts and at Stop.
#pragma once

#include <wx/event.h>
#include <wx/string.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/TripTrack.h"
#include "cards/CardListing.h"
#include "telemetry/EventMarks.h"

class CBitmapSlider;
class CNOVMediaPlayer;
class OutputFolder;
class ViewerDialogs;
class wxStaticText;

// Posted by the clip's worker when the clip's export ended: the payload is a ClipReport.
wxDECLARE_EVENT(EVT_CLIP, wxThreadEvent);

// What the clip's worker hands the window.
struct ClipReport {
  bool ok = false;      // the clip was written
  std::string path;     // its first file
  std::string message;  // what to tell the user
};

class MomentControls : public TripTrack::Follower {
 public:
  // What the controls ask of the window they belong to (window thread).
  class Host {
   public:
    virtual ~Host() = default;
    // Whether a file download holds the window's commands.
    virtual bool DownloadBusy() const = 0;
    // Whether a recording is open (from its open to its stop).
    virtual bool RecordingOpen() const = 0;
    // Whether PLAY shows in the transport strip: the recording is held.
    virtual bool PlayButtonShown() const = 0;
    // Shows PLAY (true) or Pause in their shared place.
    virtual void ShowPlayButton(bool play) = 0;
    // The playback tick's read-outs, at once.
    virtual void OnPositionTick() = 0;
    // The read-outs at a second of the recording: the seek slider's thumb and the two times.
    virtual void ShowPosition(int seconds, int totalSeconds) = 0;
    // The recording playing (the one whose track was asked for); empty when none.
    virtual const std::string& PlayingRecording() const = 0;
    // The recording playing when it is another camera family's, with its card's folder in
    // *root; null while a VEX recording (or none) plays, as until a window plays such files.
    virtual const cards::CardRecording* PlayingFamilyRecording(std::string* root) const {
      (void)root;
      return nullptr;
    }
    // A trip playing: the recording at `ms` of its timeline (as listed), where it starts and
    // ends on the timeline (the next one's start, or the trip's end) and, for another camera
    // family's, its listing with the card's folder in *root (null for a VEX recording). False
    // while no trip plays.
    virtual bool TripRecordingAt(int ms, std::string* listed, int* startMs, int* endMs,
                                 const cards::CardRecording** family, std::string* root) const {
      (void)ms, (void)listed, (void)startMs, (void)endMs, (void)family, (void)root;
      return false;
    }
  };

  // window: where the clip's event goes; seek: the slider the marks are drawn over; playSpeed:
  // the speed's read-out; cardDir: the folder given as the card (empty: none), which the clip's
  // worker opens a library of its own on. All the pointers stay the caller's and outlive this.
  MomentControls(wxEvtHandler* window, Host* host, ViewerDialogs* dialogs, OutputFolder* folder,
                 CNOVMediaPlayer* engine, CBitmapSlider* seek, wxStaticText* playSpeed,
                 std::string cardDir);
  // Joins the clip's worker (see Stop).
  ~MomentControls() override;
  MomentControls(const MomentControls&) = delete;
  MomentControls& operator=(const MomentControls&) = delete;

  // The playback speed one step slower (-1), faster (+1) or back to normal (0).
  void ChangeSpeed(int step);
  // Pauses and shows the picture `delta` pictures on, both cameras.
  void StepPicture(int delta);
  // Moves to the next or the previous event mark.
  void JumpToMark(bool next);
  // The clip's in (true) or out point at the picture on screen; the out point, with an in point
  // before it, asks for a folder and exports the clip there on the worker.
  void SetClipPoint(bool in);
  // The window's side of the clip's event (EVT_CLIP).
  void OnClipEvent(wxThreadEvent& event);
  // Returns once a clip being written is done.
  void Stop();
  // Whether a clip is being written.
  bool ClipBusy() const { return clipBusy_; }

  // TripTrack::Follower: the marks and the clip's points go with the track; the marks found come
  // over the seek slider.
  void TrackCleared() override;
  void MarksFound(const EventMarks& marks) override;

  const EventMarks& Marks() const { return marks_; }
  int ClipInMs() const { return clipInMs_; }
  int ClipOutMs() const { return clipOutMs_; }
  wxString PlaySpeedText() const;
  // Called on the window thread when a clip export ended: written or not, and the message shown.
  void SetClipObserver(std::function<void(bool ok, const std::string& message)> observer) {
    clipObserver_ = std::move(observer);
  }

 private:
  void ShowPlaySpeed();
  void ExportClip();
  void JoinClipWorker();

  wxEvtHandler* window_;
  Host* host_;
  ViewerDialogs* dialogs_;
  OutputFolder* folder_;
  CNOVMediaPlayer* engine_;
  CBitmapSlider* seek_;
  wxStaticText* playSpeed_;
  const std::string cardDir_;

  // The open recording's event marks and the clip's points (ms, -1 unset).
  EventMarks marks_;
  int clipInMs_ = -1;
  int clipOutMs_ = -1;
  // The clip export's worker: one at a time; joined before the next and at Stop.
  std::thread clipWorker_;
  std::atomic<bool> clipBusy_{false};
  std::function<void(bool, const std::string&)> clipObserver_;
};
