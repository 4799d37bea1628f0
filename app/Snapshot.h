// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures out of the player: snapshots of the pictures on screen as JPEG files carrying the
// recording's evidence (its time, the car's position and speed, the camera), and the zoom window
// over the picture panes. The free functions name a snapshot and read its evidence: the default
// file name the save dialog offers, the base name both cameras' files are named from, and the
// recording's own clock and GPS fix at the moment shown. PictureCapture is the window's capture
// and zoom commands, with the save dialog, the clock and the zoom window they keep.
//
// Threads: the window thread only.
#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>
#include <wx/string.h>

#include <ctime>
#include <functional>
#include <string>

#include "app/CZoomDlg.h"
#include "support/SnapshotExif.h"
#include "telemetry/SpeedReadout.h"

class CGPSData;
class CMapView;
class CNOVMediaPlayer;
class CPicturePane;
class CTextData;
class ViewerDialogs;
class wxFrame;

// "Capture_<year><month><day>_<hour><minute><second>.jpg", each number without leading zeros.
std::string SnapshotDefaultName(const std::tm& now);
// The path chosen without its last four characters (the ".jpg") when the dialog reported an
// extension, else the whole path.
std::string SnapshotBaseName(const std::string& path, bool hasExtension);
// The camera's clock at positionMs into the recording named (KIND_YYYYMMDD_HHMMSS...), into
// evidence's date and time fields. False (fields untouched) for a name without a valid time.
bool RecordingClock(const std::string& name, int positionMs, SnapshotEvidence* evidence);
// A GPS fix as snapshot evidence: position, the speed in the card's unit (km/h times the factor)
// and the fix's UTC date and time (the record keeps the hour as UTC + 9). An invalid fix gives no
// fix.
SnapshotFix FixOf(const CGPSData& fix, float speedFactor, bool mph);

class PictureCapture {
 public:
  // What the capture asks of the window it belongs to.
  class Host {
   public:
    virtual ~Host() = default;
    // Whether a file download holds the window's commands.
    virtual bool DownloadBusy() const = 0;
    // Whether the recording list holds any row.
    virtual bool RecordingsListed() const = 0;
    // The recording in the list's current row; empty when no row is current.
    virtual std::string CurrentRecording() const = 0;
    // Another camera's recording playing: the camera in the second pane ("rear", a Tesla camera's
    // name), and the camera's clock at the recording's start (seconds from 1970) when known.
    virtual std::string SecondCameraName() const { return "rear"; }
    virtual bool RecordingStart(std::int64_t* seconds) const {
      (void)seconds;
      return false;
    }
    // Where CurrentRecording starts on the timeline playing, in ms: 0 but in a trip.
    virtual int CurrentRecordingStartMs() const { return 0; }
    // The open recording's telemetry (its last fix).
    virtual const CTextData& Telemetry() const = 0;
    // The unit of the speed read-out, the card's.
    virtual ReadoutUnit SpeedUnit() const = 0;
    // The card's settings file (empty while none was found): the camera's make and model.
    virtual const std::string& SettingsPath() const = 0;
    // Shows PLAY (true) or Pause in their shared place.
    virtual void ShowPlayButton(bool play) = 0;
    // Places the panes of the current layout again (their pictures drawn again at their size).
    virtual void LayoutPanes() = 0;
  };

  // Runs the snapshot's save dialog with its default file name; true with the chosen path.
  using SaveDialogRunner = std::function<bool(const wxString& defaultName, wxString* path)>;

  // window: the parent of the zoom window, whose title captions the messages. All the pointers
  // stay the caller's and outlive the capture.
  PictureCapture(wxFrame* window, Host* host, ViewerDialogs* dialogs, CNOVMediaPlayer* engine,
                 CMapView* map, CPicturePane* frontPane, CPicturePane* rearPane);
  // Closes the zoom window (see CloseZoomWindow).
  ~PictureCapture();
  PictureCapture(const PictureCapture&) = delete;
  PictureCapture& operator=(const PictureCapture&) = delete;

  // The capture command (button 1017, F4): the pictures on screen, both cameras, to the files
  // the save dialog names. The recording is held while the dialog is open.
  void CaptureSnapshot();
  // The evidence of the picture shown now: the recording's clock, its fix, the card's camera.
  SnapshotEvidence SnapshotEvidenceNow();
  void SetSaveDialogRunner(SaveDialogRunner runner) { saveDialogRunner_ = std::move(runner); }
  // The computer's local time (the snapshot's default name); tests set their own.
  void SetClock(std::function<std::tm()> clock) { clock_ = std::move(clock); }

  // The zoom command (button 1121): a new zoom window in place of one open.
  void OpenZoomWindow();
  // Destroys the zoom window, if one is open (shut-down).
  void CloseZoomWindow();
  CZoomDlg* ZoomWindow() const { return zoom_; }
  // The zoom window's source over the picture panes (see CZoomDlg::PictureSource).
  CZoomDlg::Found ZoomPicture(const wxPoint& screen, const wxSize& size, wxImage* image);

 private:
  wxFrame* window_;
  Host* host_;
  ViewerDialogs* dialogs_;
  CNOVMediaPlayer* engine_;
  CMapView* map_;
  CPicturePane* frontPane_;
  CPicturePane* rearPane_;

  SaveDialogRunner saveDialogRunner_;
  std::function<std::tm()> clock_;
  // The zoom window, a child of the window; null while none is open.
  CZoomDlg* zoom_ = nullptr;
};
