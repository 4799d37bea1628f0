// SPDX-License-Identifier: GPL-3.0-or-later
// The player window: a borderless skinned window (975 x 635, dragged by its background) with the
// two picture panes, the map, the recording list, the G-sensor graph and the transport strip, and
// a full-screen layout. It owns the playback engine and everything handed to it, the card library
// handle and the card poll.
//
// The window's code is split by subject: start-up, settings, layouts and painting in
// CSamplePlayerDlg.cpp; the card and the recording list in CSamplePlayerDlg_Library.cpp; playing
// (transport, sliders, the tick, the engine's notifications, keys) in CSamplePlayerDlg_Player.cpp.
// Each feature that keeps state across events is a class of its own that the window owns and
// wires: the file download (DownloadRun), the trip on the map and its export (TripTrack), finding
// the moment (MomentControls) and snapshots with the zoom window (PictureCapture). They ask the
// window for what they need through their Host interfaces and ViewerDialogs, which it implements.
//
// Threads: everything here runs on the window thread except OnTextData and OnRecordingEnded,
// which the engine calls on its worker; they only touch the telemetry store (its own lock) and
// post an event.
#pragma once

#include <wx/bitmap.h>
#include <wx/frame.h>
#include <wx/timer.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppIds.h"
#include "app/DownloadRun.h"
#include "app/FamilyCard.h"
#include "app/Layout.h"
#include "app/MomentControls.h"
#include "app/Snapshot.h"
#include "app/TripList.h"
#include "app/TripTrack.h"
#include "app/ViewerConfig.h"
#include "app/ViewerDialogs.h"
#include "media/CContainerParser.h"
#include "media/CRecordingParser.h"
#include "media/CTripParser.h"
#include "media/CVEXParser.h"
#include "platform/MountWatch.h"
#include "playback/CDecoder.h"
#include "playback/CNOVMediaPlayer.h"
#include "playback/CWaveBox.h"
#include "playback/HardwareDecoding.h"
#include "settings/gui/CSettingDlg.h"
#include "skin/VSkinBackground.h"
#include "telemetry/CTextData.h"
#include "telemetry/SpeedReadout.h"
#include "telemetry/gui/GSensorGraphFeed.h"
#include "vexlib/vexlib.h"

class CBitmapButtonTrans;
class CBitmapSlider;
class CxSkinButton;
class CGraphStatic;
class CMapView;
class CPicturePane;
class wxCheckBox;
class wxListCtrl;
class wxListEvent;
class wxStaticText;

// Posted by the engine's worker when a recording has ended (the window's message 2024).
wxDECLARE_EVENT(EVT_RECORDING_ENDED, wxCommandEvent);
// Posted by the engine's worker when a recording has been opened and described: the event's int
// is the open's serial, its extra long the duration in ms.
wxDECLARE_EVENT(EVT_RECORDING_OPENED, wxCommandEvent);
// Posted by the mount watch's thread when a file system was mounted or unmounted.
wxDECLARE_EVENT(EVT_MOUNTS_CHANGED, wxThreadEvent);

// One recording found on the card while the list is filled.
struct RecordingEntry {
  std::string name;
  float sizeMb = 0;  // megabytes + 0.5: the integer part is the nearest whole number
};

// The list's kind codes: the card library's four kinds, and 4 for all of them.
constexpr int kListAllKinds = 4;

class CSamplePlayerDlg : public wxFrame,
                         public VSkinBackground,
                         public ViewerDialogs,
                         public DownloadRun::Host,
                         public TripTrack::Host,
                         public MomentControls::Host,
                         public PictureCapture::Host {
 public:
  // Shows a message box: text, caption and wx style flags; returns wxID_YES, wxID_NO or wxID_OK.
  // Tests replace it so that no modal box waits for a user.
  using MessageBoxFn = std::function<int(const wxString& text, const wxString& caption, long)>;
  // Runs the camera's settings dialog (modally unless a test says otherwise); returns how it
  // ended.
  using SettingsDialogRunner = std::function<int(CSettingDlg& dialog)>;

  struct Options {
    std::string cardDir;  // a folder that counts as a removable drive (empty: none)
    // Recording files to list instead of a card (absolute paths); the card poll does not run.
    std::vector<std::string> files;
    std::string configPath;  // config.cfg (empty: the per-user settings folder's)
    bool startCardPoll = true;
    // Polls for the card the moment the mount table changes, besides the 500 ms poll.
    bool watchMounts = true;
    // The interface language chosen on the command line (kLangEnglish or kLangKorean); 0 leaves
    // the choice to config.cfg, then English.
    std::uint16_t language = 0;
    // Hardware decoding where the computer has it (auto), or software only.
    DecoderChoice decoder = DecoderChoice::kAuto;
  };

  explicit CSamplePlayerDlg(const Options& options);
  ~CSamplePlayerDlg() override;

  // VSkinBackground: the skin picture under a control (black in full screen).
  void PaintSkinBackground(wxDC& dc, const wxRect& rectInParent) override;

  // Start-up and shut-down.
  void InitPlayer();
  void LoadConfig();
  void SaveConfig();
  void SetMessageBox(MessageBoxFn fn) { messageBox_ = std::move(fn); }
  // Runs the folder picker with its title and the folder it opens at; true with the chosen one.
  using FolderDialogRunner =
      std::function<bool(const wxString& title, const wxString& start, wxString* folder)>;
  void SetFolderDialogRunner(FolderDialogRunner runner) { folderRunner_ = std::move(runner); }
  bool RunFolderDialog(const wxString& title, const wxString& start, wxString* folder);
  void SetSettingsDialogRunner(SettingsDialogRunner runner) { settingsRunner_ = std::move(runner); }
  // The save dialog itself (the snapshot's and the track export's runners unless a test
  // replaces them), for the given wx wildcard of file types (JPEG by default); true with the
  // chosen path when the user confirmed.
  bool RunSaveDialog(const wxString& defaultName, wxString* path,
                     const char* fileTypes = "jpeg file (*.jpg)|*.jpg");

  // Layouts and painting.
  void LayoutControls(int mode);
  void LayoutPanes() override;
  void ToggleMapSize();
  // The full-screen command and, with previousSize, the previous-size command.
  void ToggleFullScreen(bool previousSize);

  // The card and the recording list.
  void PollCard();
  // The mount watch's event: the card is polled at once.
  void OnMountsChanged(wxThreadEvent& event);
  // A report of the listing of another family's card (FamilyCard.h).
  void OnCardListed(wxThreadEvent& event);
  // Where a part of the trip playing starts on its timeline, its clock (seconds since 1970 of the
  // camera's clock) and its recording as listed.
  struct TripClock {
    int startMs = 0;
    std::int64_t clockSeconds = 0;
    std::string listed;
  };
  // The trip view: the box ticked or cleared, the trips found (TripList.h), a trip opened.
  void OnTripsBox(wxCommandEvent& event);
  void OnTripsFound(wxThreadEvent& event);
  bool OpenTrip(int index);
  // Back to the recordings: the box cleared, the columns as the recordings use them.
  void LeaveTripView();
  // The camera's clock of the day at a time of the trip playing ("HH:MM:SS"); empty when none.
  std::string TripClockText(int positionMs) const;
  // The part of the trip playing at a time of it; null when none.
  const TripClock* TripPartAt(int positionMs) const;
  // The drive holding another family's card, its root into *root; 0 when none.
  char FamilyCardDrive(std::string* root);
  // Lists the files of Options::files as the card.
  void OpenFiles();
  void FillRecordingList(int kind);
  void EnumerateKind(int kind, std::vector<RecordingEntry>& entries);
  static bool CompareRecordingTime(const std::string& a, const std::string& b);
  static std::string RecordingDateText(const std::string& name);
  static std::string RecordingTypeLabel(const std::string& name);
  static bool RecordingHasRear(const std::string& name);
  void PlayNext();
  // Ticks the list's Trips box: true once the trip view is on (another family's card is listed
  // to its end first). The trips come later, from the worker.
  bool ShowTrips();
  // True while the trip view shows its trips.
  bool TripsListed() const { return tripView_ && tripList_->Ready(); }
  void PlayPrevious();
  // Makes row the current row, marks it and opens its recording.
  void PlayRow(int row);
  void ReadSpeedUnits();
  bool OpenCardSettings();
  void ApplySpeedUnit(const std::string& path);

  // Playing.
  bool OpenRecording(const std::string& name);
  // Another family's recording: opened with the camera files the panes show, at positionMs.
  bool OpenFamilyRecording(const std::string& name, int positionMs);
  // Pauses and stops the recording before, its pictures gone from the panes.
  void StopForNextRecording();
  // A VEX recording or a trip asked of the engine: the read-outs cleared, the picture pane large
  // and the map's page loaded, and playing.
  void StartOpenedRecording();
  // The panes of the recording just asked for (its second camera's when it has one), and play.
  void PlayOpenedRecording();
  // The second pane shows the recording's next camera (of another family's recording with more
  // than two); the recording plays on from where it was.
  void ShowNextCamera();
  // Shows camera `index` (into the recording's files, not the front) in the second pane.
  void ShowCamera(int index);
  // Says once that the playing recording of another family is damaged.
  void TellDamage();
  void StopPlayback() override;
  void OnPlayCommand();
  void OnPauseCommand();
  void SecondsBack();
  void SecondsForward();
  void ApplyVolume(int position);
  void ApplyBrightness(int level);
  void OnPositionTick() override;
  void UpdateTimeLabels(int seconds, int totalSeconds);
  void UpdateGSensorGraph(int seconds);
  void OnSettingsCommand();

  // The features (window thread): the file download (button 1143), the trip on the map and
  // track export, finding the moment (speeds, picture steps, event marks, clips), snapshots and
  // the zoom window; and the folder that downloads and clips go to.
  DownloadRun& Download() { return *download_; }
  TripTrack& Trip() { return *trip_; }
  FamilyCard& OtherCard() { return *familyCard_; }
  MomentControls& Moment() { return *moment_; }
  PictureCapture& Capture() { return *capture_; }
  const std::string& TargetFolder() const { return outputFolder_.Path(); }

  // For tests and tools (window thread).
  int LayoutMode() const { return layoutMode_; }
  // True while a layout change waits for the desktop (leaving full screen on Wayland, a
  // full-screen layout made again at the size the compositor gave).
  bool LayoutSettling() const { return leavingFullScreen_ || relayoutPending_; }
  PaneStates Panes() const { return panes_; }
  int CurrentRow() const { return currentRow_; }
  char CardDrive() const override { return cardDrive_; }
  CNOVMediaPlayer& Engine() { return engine_; }
  CTextData& Telemetry() { return telemetry_; }
  const CTextData& Telemetry() const override { return telemetry_; }
  wxWindow* FindControl(int id) const { return FindWindow(id); }
  CPicturePane* FrontPane() const { return frontPane_; }
  CPicturePane* RearPane() const { return rearPane_; }
  wxListCtrl* RecordingList() const { return list_; }
  CBitmapSlider* SeekSlider() const { return seek_; }
  CBitmapSlider* VolumeSlider() const { return volume_; }
  CBitmapSlider* BrightnessSlider() const { return brightness_; }
  // The car's own state beside its speed; empty hides it.
  void SetVehicleText(const wxString& text);
  wxString SpeedText() const;
  wxString CurrentTimeText() const;
  // How often the time read-outs' texts were changed (each change redraws the read-out).
  int TimeLabelWrites() const { return timeLabelWrites_; }
  wxString TotalTimeText() const;
  const std::string& ConfigPath() const { return configPath_; }
  wxString SpeedUnitLabel() const { return wxString::FromUTF8(speedUnit_.label); }
  // Runs the close command (button 1001).
  void CloseCommand();
  // Ends the viewer as the close command's Yes does, without asking: the desktop is logging out
  // or the program was told to end (SIGTERM).
  void EndSession();
  // Handles a key press as the window's key hook does; true when the key was used.
  bool HandleKey(int keyCode, bool pointerInList, int modifiers = 0);

 private:
  // Start-up steps.
  void CreateControls();
  // Makes the features and hands each the controls it draws on and its default dialogs.
  void MakeFeatures();
  void InitDialog();
  void ApplySkins();
  void BindEvents();
  CBitmapButtonTrans* MakeButton(int id, int normal, int selected, int focus, int disabled);

  // Events.
  void OnPaint(wxPaintEvent& event);
  void OnEraseBackground(wxEraseEvent&) {}
  void OnLeftDown(wxMouseEvent& event);
  void OnLeftUp(wxMouseEvent& event);
  void OnMotion(wxMouseEvent& event);
  void OnCaptureLost(wxMouseCaptureLostEvent& event);
  void OnCloseWindow(wxCloseEvent& event);
  void OnTimer(wxTimerEvent& event);
  void OnButton(wxCommandEvent& event);
  void OnMute(wxCommandEvent& event);
  void OnSliderChange(wxCommandEvent& event);
  void OnRecordingEndedEvent(wxCommandEvent& event);
  void OnRecordingOpenedEvent(wxCommandEvent& event);
  // The seek slider's range and the total time of the open recording.
  void ShowRecordingLength(int durationMs);
  // Hides the map (GTK never gives a window no size: a map merely made small would stay on
  // screen where it last was).
  void HideMap();
  // After a layout change: a hidden control that had the keyboard hands it to the window.
  void KeepKeyboard();
  // The layout of the current mode, after the window changed mode.
  void ShowLayout();
  // Leaving full screen on Wayland: the normal layout once the window is no longer maximised.
  void FinishLeavingFullScreen(int tries);
  void OnSize(wxSizeEvent& event);
  void OnColumnDrag(wxListEvent& event);
  // Keeps pointerInList_ up to date from the list's enter and leave events.
  void TrackPointerOverList();
  void OnCharHook(wxKeyEvent& event);
  void OnListActivated(wxListEvent& event);
  void OnListChecked(wxListEvent& event);
  void OnSelectAll(wxCommandEvent& event);
  void OnFilter(int kind);
  void OnOpenCommand();
  void ApplySelectAll();
  void ClearTelemetryView();
  void SetSpeedText(const wxString& text);
  // Shows text in a time read-out unless it shows it already.
  void SetTimeLabel(wxStaticText* label, const wxString& text);
  void PlaceWindow(wxWindow* w, const Place& p);
  void ShowCardMessage(int koreanId, int englishId);

  // ViewerDialogs, through the runners.
  int ShowMessage(const wxString& text, const wxString& caption, long style) override;
  bool ChooseFolder(const wxString& title, const wxString& start, wxString* folder) override;
  // What the features ask of the window (their Host interfaces; StopPlayback, LayoutPanes,
  // OnPositionTick, CardDrive and Telemetry above are the window's own). The list:
  std::vector<std::string> TickedRecordings() const override;
  std::optional<std::string> RecordingInRow(int row) const override;
  std::string TelemetryName(const std::string& listed) const override;
  bool RecordingsListed() const override;
  std::string CurrentRecording() const override;
  std::string SecondCameraName() const override;
  bool RecordingStart(std::int64_t* seconds) const override;
  // The card:
  VexHandle Library() const override { return library_; }
  const std::string& SettingsPath() const override { return settingsPath_; }
  ReadoutUnit SpeedUnit() const override { return speedUnit_; }
  // Playing, and the other features:
  bool DownloadBusy() const override { return download_->Busy(); }
  bool RecordingOpen() const override { return tick_.IsRunning(); }
  bool PlayButtonShown() const override;
  void ShowPlayButton(bool play) override;
  void ShowPosition(int seconds, int totalSeconds) override;
  const std::string& PlayingRecording() const override {
    return familyPlaying_.empty() ? trip_->PlayingName() : familyPlaying_;
  }
  const cards::CardRecording* PlayingFamilyRecording(std::string* root) const override;
  bool TripRecordingAt(int ms, std::string* listed, int* startMs, int* endMs,
                       const cards::CardRecording** family, std::string* root) const override;
  int CurrentRecordingStartMs() const override;
  bool ClipBeingWritten() const override { return moment_->ClipBusy(); }

  // The list's context menu: track export.
  void OnListContextMenu(wxListEvent& event);

  // The engine's callbacks (worker thread).
  static void OnTextData(void* self, const char* text, int length, int timeMs);
  static void OnRecordingEnded(void* self, int code, int a, int b);

  Options options_;
  std::string configPath_;
  MessageBoxFn messageBox_;
  SettingsDialogRunner settingsRunner_ = [](CSettingDlg& dialog) { return dialog.ShowModal(); };
  // The card's settings file whose speed unit is shown (the snapshot's camera model).
  std::string settingsPath_;
  // Where the file download and the clip export go, kept in the viewer's profile.
  OutputFolder outputFolder_;

  // Owned by the window, in the order they are made.
  CBitmapButtonTrans* pause_ = nullptr;
  CNOVMediaPlayer engine_;
  CDecoder decoder_;
  CVEXParser parser_;
  // Other cameras' recordings, and the reader the engine is given, which picks one of the two
  // for each recording.
  CContainerParser containerParser_;
  CRecordingParser recordingParser_{&parser_, &containerParser_};
  // A trip's readers take turns: the one above, and these, with a card handle of their own.
  CVEXParser tripVex_;
  CContainerParser tripContainer_;
  CRecordingParser tripReader_{&tripVex_, &tripContainer_};
  CTripParser tripParser_{&recordingParser_, &tripReader_};
  VexHandle tripLibrary_ = nullptr;
  CWaveBox audio_;
  VexHandle library_ = nullptr;
  char cardDrive_ = 0;
  CPicturePane* frontPane_ = nullptr;
  CPicturePane* rearPane_ = nullptr;
  int layoutMode_ = kLayoutNormal;
  PaneStates panes_;
  CTextData telemetry_;
  int mapShownFixes_ = 0;  // GPS records in the store when the map was last moved
  CBitmapSlider* seek_ = nullptr;
  CBitmapSlider* volume_ = nullptr;
  CBitmapSlider* brightness_ = nullptr;
  wxStaticText* totalTime_ = nullptr;
  wxStaticText* currentTime_ = nullptr;
  CBitmapButtonTrans* play_ = nullptr;
  wxListCtrl* list_ = nullptr;
  int currentRow_ = -1;
  // Another family's recording playing: its name, the camera in the second pane (an index into
  // its files) and whether the user has been told it is damaged.
  std::string familyPlaying_;
  int secondCamera_ = 1;
  bool damageTold_ = false;
  // Beside "SECOND VIEW": the camera it shows, when the recording has more than the panes show.
  std::string secondCaption_;
  void SetSecondCaption(const std::string& caption);
  CBitmapButtonTrans* previousSize_ = nullptr;
  CxSkinButton* mute_ = nullptr;
  CBitmapButtonTrans* mapSize_ = nullptr;
  CMapView* map_ = nullptr;
  wxBitmap background_;
  CGraphStatic* graph_ = nullptr;
  GSensorGraph graphFeed_;
  wxStaticText* speed_ = nullptr;
  wxStaticText* vehicle_ = nullptr;
  wxStaticText* playSpeed_ = nullptr;
  wxCheckBox* selectAll_ = nullptr;
  FolderDialogRunner folderRunner_;
  int timeLabelWrites_ = 0;
  int speedCode_ = 0;
  ReadoutUnit speedUnit_ = SpeedUnitFromSetting(1);

  // The features, made by MakeFeatures after the controls they draw on; the window outlives
  // them, and ShutDown stops their workers before the library handle is released.
  std::unique_ptr<DownloadRun> download_;
  std::unique_ptr<MomentControls> moment_;
  std::unique_ptr<TripTrack> trip_;
  std::unique_ptr<PictureCapture> capture_;
  std::unique_ptr<FamilyCard> familyCard_;
  std::unique_ptr<TripList> tripList_;
  wxCheckBox* trips_ = nullptr;
  bool tripView_ = false;
  // The trip playing (an index into tripList_'s trips, -1 none), its recordings as listed, and
  // where each starts on its timeline.
  int tripPlaying_ = -1;
  std::vector<std::string> tripListed_;
  std::vector<TripClock> tripClock_;

  wxTimer tick_{this, kTimerPlaybackTick};
  // Closing waits (a few times 10 ms) for the map's page to answer the last marker moves.
  wxTimer closeRetry_;
  int closeWaits_ = 0;
  wxTimer cardPoll_{this, kTimerCardPoll};
  // Its callback runs on the watch's own thread and only posts EVT_MOUNTS_CHANGED; started
  // by InitPlayer, stopped by ShutDown before the window goes.
  platform::CMountWatch mountWatch_;

  // The client size the full-screen layout was made for; a window leaving full screen.
  wxSize fullScreenSize_;
  bool leavingFullScreen_ = false;
  bool relayoutPending_ = false;
  // Whether the mouse pointer is over the recording list (Up and Down then scroll it).
  bool pointerInList_ = false;
  // Dragging the borderless window by its background.
  bool dragging_ = false;
  wxPoint dragOffset_;
  // The engine runs between InitPlayer and destruction.
  bool engineRunning_ = false;
  bool shutDown_ = false;
  void ShutDown();
};
