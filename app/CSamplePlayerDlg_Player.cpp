// SPDX-License-Identifier: GPL-3.0-or-later
// Playing: opening and stopping a recording, the transport commands, the sliders, the 100 ms
// tick with its read-outs, the engine's two notifications and the keyboard.
#include <wx/listctrl.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "app/CPicturePane.h"
#include "app/CSamplePlayerDlg.h"
#include "map/gui/CMapView.h"
#include "resources/core/StringTable.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"
#include "skin/CxSkinButton.h"
#include "support/Diag.h"
#include "telemetry/CGPSData.h"
#include "telemetry/gui/CGraphStatic.h"

wxDEFINE_EVENT(EVT_RECORDING_ENDED, wxCommandEvent);
wxDEFINE_EVENT(EVT_RECORDING_OPENED, wxCommandEvent);

namespace {

// The waits after PLAY and Pause, as the transport has always had them: they keep a second press
// from landing before the engine has acted.
constexpr int kAfterPlayMs = 500;
constexpr int kAfterPauseMs = 300;

constexpr char kTextDamaged[] =
    "Part of this recording could not be read: its file is damaged (cut short, or its index "
    "lost).\nRoadeye plays what can be read.";
constexpr char kTextNotPlayable[] =
    "This recording's files could not be opened: they are damaged or not video files.";

// Left and right step ten seconds.
constexpr int kStepMs = 10000;

bool EngineOpen(CNOVMediaPlayer& engine) {
  const int status = engine.GetShowStatus();
  return status == CNOVMediaPlayer::kShowPlaying || status == CNOVMediaPlayer::kShowTwoShown;
}

}  // namespace

void CSamplePlayerDlg::ClearTelemetryView() {
  telemetry_.Clear();
  mapShownFixes_ = 0;
  SetSpeedText(SpeedUnitLabel());
  SetVehicleText(wxString());
  ResetGSensorGraph(graphFeed_);
  graph_->Refresh();
}

bool CSamplePlayerDlg::OpenRecording(const std::string& name) {
  if (DownloadBusy()) return false;
  if (cardDrive_ == 0) return true;
  // A trip row's name is the trip's place among the trips.
  if (tripView_) return OpenTrip(int(std::strtol(name.c_str(), nullptr, 10)));
  tripPlaying_ = -1;
  tripClock_.clear();
  if (familyCard_->IsOpen()) {
    secondCamera_ = 1;
    return OpenFamilyRecording(name, 0);
  }
  familyPlaying_.clear();
  SetSecondCaption("");
  parser_.SetLibraryHandle(library_);
  StopForNextRecording();
  ClearTelemetryView();
  // The engine opens the recording on its own thread: its length comes with the opened event. A
  // recording that cannot be read ends at once; the end notification moves on to the next.
  if (!engine_.OpenMedia(("/" + name).c_str())) {
    PlayNext();
    Refresh();
    return false;
  }
  trip_->Load(name);
  StartOpenedRecording();
  return true;
}

void CSamplePlayerDlg::StartOpenedRecording() {
  totalTime_->SetLabel("00:00:00");
  panes_.front = kPaneLarge;
  panes_.rear = kPaneHidden;
  panes_.map = kPaneHidden;
  map_->NavigateMapPage();
  HideMap();
  LayoutPanes();
  PlayOpenedRecording();
}

bool CSamplePlayerDlg::OpenTrip(int index) {
  const std::vector<TripSummary>& trips = tripList_->Trips();
  if (index < 0 || index >= int(trips.size())) return false;
  const TripSummary& trip = trips[std::size_t(index)];
  // Each recording as the engine opens it alone: a VEX one by its name, another camera's by its
  // front file and the second pane's.
  std::vector<std::string> names;
  for (const std::string& listed : trip.names) {
    const cards::CardRecording* r = tripList_->Recording(listed);
    if (r == nullptr) continue;
    if (r->family == cards::Family::kVex) {
      names.push_back("/" + listed);
    } else if (!r->files.empty()) {
      std::vector<std::string> paths{tripList_->Root() + "/" + r->files[0].path};
      if (r->files.size() > 1) paths.push_back(tripList_->Root() + "/" + r->files[1].path);
      names.push_back(ContainerRecordingName(paths));
    }
  }
  const std::string engineName = TripRecordingName(names);
  if (engineName.empty()) return false;
  familyPlaying_.clear();
  SetSecondCaption("");
  parser_.SetLibraryHandle(library_);
  // The second handle follows the card as the first does.
  char drive = 0;
  VexCardPoll(tripLibrary_, &drive);
  if (drive != 0) VexCardAttach(tripLibrary_);
  StopForNextRecording();
  ClearTelemetryView();
  tripPlaying_ = index;
  tripListed_ = trip.names;
  tripClock_.clear();
  trip_->Drop();
  engine_.OpenMedia(engineName.c_str());
  StartOpenedRecording();
  return true;
}

void CSamplePlayerDlg::StopForNextRecording() {
  engine_.Pause();
  engine_.StopMedia();
  // The panes show black until this recording's own pictures come, never the last ones of the
  // recording before.
  frontPane_->ClearPicture();
  rearPane_->ClearPicture();
}

void CSamplePlayerDlg::PlayOpenedRecording() {
  mapSize_->Enable(false);
  panes_.rear = engine_.GetChannelCount() == 2 ? kPaneSmall : kPaneHidden;
  tick_.Start(kPlaybackTickMs);
  LayoutPanes();
  ShowPlayButton(false);
  engine_.Resume();
  Refresh();
}

bool CSamplePlayerDlg::OpenFamilyRecording(const std::string& name, int positionMs) {
  const cards::CardRecording* r = familyCard_->Find(name);
  std::vector<std::string> paths;
  if (r != nullptr && !r->files.empty()) {
    const std::string root = familyCard_->Root() + "/";
    paths.push_back(root + r->files[0].path);
    if (r->files.size() > 1) {
      secondCamera_ = std::clamp(secondCamera_, 1, int(r->files.size()) - 1);
      paths.push_back(root + r->files[std::size_t(secondCamera_)].path);
    }
  }
  const std::string engineName = ContainerRecordingName(paths);
  if (engineName.empty()) {
    currentRow_ = -1;
    messageBox_(wxString::FromUTF8(kTextNotPlayable), GetTitle(), wxOK | wxICON_INFORMATION);
    return false;
  }
  familyPlaying_ = name;
  damageTold_ = false;
  std::string caption;
  if (r != nullptr && r->files.size() > 2) {
    // "left_repeater": "LEFT REPEATER"
    for (char c : r->files[std::size_t(secondCamera_)].camera) {
      caption += c == '_' ? ' ' : char(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  SetSecondCaption(caption);
  StopForNextRecording();
  if (positionMs <= 0) ClearTelemetryView();
  engine_.OpenMedia(engineName.c_str());
  if (positionMs > 0) engine_.SeekToMs(positionMs);
  if (positionMs <= 0) {
    totalTime_->SetLabel("00:00:00");
    // The camera's own GPS and G-sensor data, read ahead for the map and the event marks.
    trip_->Load(engineName);
  }
  panes_.front = kPaneLarge;
  panes_.map = kPaneHidden;
  if (positionMs <= 0) map_->NavigateMapPage();
  HideMap();
  PlayOpenedRecording();
  return true;
}

void CSamplePlayerDlg::ShowCamera(int index) {
  if (familyPlaying_.empty() || !tick_.IsRunning()) return;
  const cards::CardRecording* r = familyCard_->Find(familyPlaying_);
  if (r == nullptr || index < 1 || index >= int(r->files.size()) || index == secondCamera_) return;
  secondCamera_ = index;
  const bool paused = play_->IsShown();
  OpenFamilyRecording(familyPlaying_, engine_.GetPositionMs());
  if (paused) {
    engine_.Pause();
    ShowPlayButton(true);
  }
}

const cards::CardRecording* CSamplePlayerDlg::PlayingFamilyRecording(std::string* root) const {
  if (familyPlaying_.empty()) return nullptr;
  *root = familyCard_->Root();
  return familyCard_->Find(familyPlaying_);
}

std::string CSamplePlayerDlg::SecondCameraName() const {
  const cards::CardRecording* r =
      familyPlaying_.empty() ? nullptr : familyCard_->Find(familyPlaying_);
  if (r == nullptr || secondCamera_ >= int(r->files.size())) return "rear";
  // Goes into a file name: the listing's own camera names, letters, digits and "_" only.
  std::string name;
  for (char c : r->files[std::size_t(secondCamera_)].camera) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') name += c;
  }
  return name.empty() ? "second" : name;
}

bool CSamplePlayerDlg::RecordingStart(std::int64_t* seconds) const {
  // A trip's recording at the picture on screen.
  if (const TripClock* at = TripPartAt(engine_.GetPositionMs())) {
    *seconds = at->clockSeconds;
    return true;
  }
  const cards::CardRecording* r =
      familyPlaying_.empty() ? nullptr : familyCard_->Find(familyPlaying_);
  if (r == nullptr || !r->HasClock()) return false;
  *seconds = r->startSeconds;
  return true;
}

void CSamplePlayerDlg::ShowNextCamera() {
  if (familyPlaying_.empty()) return;
  const cards::CardRecording* r = familyCard_->Find(familyPlaying_);
  if (r == nullptr || r->files.size() < 3) return;
  ShowCamera(secondCamera_ + 1 < int(r->files.size()) ? secondCamera_ + 1 : 1);
}

void CSamplePlayerDlg::SetSecondCaption(const std::string& caption) {
  if (caption == secondCaption_) return;
  secondCaption_ = caption;
  RefreshRect(wxRect(kSmallPlace.x, kSmallPlace.y - 20, kSmallPlace.w, 18));
}

void CSamplePlayerDlg::StopPlayback() {
  if (DownloadBusy()) return;
  familyPlaying_.clear();
  SetSecondCaption("");
  ClearTelemetryView();
  trip_->Drop();
  // The graph's rest lines.
  graph_->AddValue(graphFeed_.x, kGraphOffsetX);
  graph_->AddValue(graphFeed_.y, kGraphOffsetY);
  graph_->AddValue(graphFeed_.z, kGraphOffsetZ);
  graph_->Refresh();
  engine_.Pause();
  engine_.StopMedia();
  engine_.SeekToMs(0);
  tick_.Stop();
  // Nothing of the recording stays on screen: the window's idle look shows through.
  frontPane_->SetSize(4, 64, 0, 0);
  rearPane_->SetSize(650, 268, 0, 0);
  frontPane_->Hide();
  rearPane_->Hide();
  frontPane_->ClearPicture();
  rearPane_->ClearPicture();
  HideMap();
  mapSize_->Enable(false);
  seek_->SetPos(0);
  currentTime_->SetLabel("00:00:00");
  totalTime_->SetLabel("00:00:00");
  currentRow_ = -1;
  ShowPlayButton(true);
  engine_.StopMedia();
  panes_ = PaneStates{};
  KeepKeyboard();
  Refresh();
}

void CSamplePlayerDlg::OnPlayCommand() {
  if (DownloadBusy()) return;
  const int rows = list_->GetItemCount();
  if (!(EngineOpen(engine_) && rows > 0)) {
    if (rows == 0) return;
    long r = list_->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
    if (r < 0) r = 0;
    if (r != currentRow_) {
      currentRow_ = static_cast<int>(r);
      if (!OpenRecording(list_->GetItemText(r, 1).ToStdString())) return;
    }
    // On the last row the next recording after this one is the first.
    if (currentRow_ == rows - 1) currentRow_ = -1;
    if (currentRow_ >= 0) {
      list_->SetItemState(currentRow_, wxLIST_STATE_FOCUSED | wxLIST_STATE_SELECTED,
                          wxLIST_STATE_FOCUSED | wxLIST_STATE_SELECTED);
    }
    list_->SetFocus();
    list_->Refresh();
  }
  ShowPlayButton(false);
  engine_.Resume();
  wxMilliSleep(kAfterPlayMs);
}

void CSamplePlayerDlg::OnPauseCommand() {
  if (DownloadBusy()) return;
  if (!EngineOpen(engine_)) return;
  ShowPlayButton(true);
  engine_.Pause();
  wxMilliSleep(kAfterPauseMs);
}

void CSamplePlayerDlg::SecondsBack() {
  const int target = engine_.GetPositionMs() - kStepMs;
  if (target > 0) engine_.SeekToMs(target);
}

void CSamplePlayerDlg::SecondsForward() {
  const int target = engine_.GetPositionMs() + kStepMs;
  if (static_cast<long long>(seek_->GetRangeMax()) * 1000 - target >= 2) engine_.SeekToMs(target);
}

void CSamplePlayerDlg::OnSliderChange(wxCommandEvent& event) {
  switch (event.GetId()) {
    case kIdSeekSlider:
      // The position the slider was let go at, which the message carries: a playback tick
      // handled before this message has already put the thumb back to the playing position.
      seek_->SetPos(event.GetInt());
      engine_.SeekToMs(seek_->GetPos() * 1000);
      break;
    case kIdVolumeSlider:
      ApplyVolume(volume_->GetPos());
      break;
    case kIdBrightnessSlider:
      ApplyBrightness(brightness_->GetPos());
      break;
    default:
      break;
  }
}

void CSamplePlayerDlg::OnMute(wxCommandEvent&) { ApplyVolume(volume_->GetPos()); }

void CSamplePlayerDlg::ApplyVolume(int position) {
  if (mute_->GetCheck()) {
    audio_.SetVolume(0);
    return;
  }
  const double v = position * 655.35;
  audio_.SetVolume(static_cast<int>(v));
  mute_->SetCheck(false);
}

void CSamplePlayerDlg::ApplyBrightness(int level) {
  engine_.SetBrightness(0, level);
  engine_.SetBrightness(1, level);
  engine_.RefreshPictures();
}

void CSamplePlayerDlg::OnSettingsCommand() {
  if (DownloadBusy()) return;
  if (EngineOpen(engine_)) OnPauseCommand();
  if (!OpenCardSettings()) ShowCardMessage(kStrNoSettingsFileKo, kStrNoSettingsFileEn);
}

void CSamplePlayerDlg::OnPositionTick() {
  // A drag of the seek slider is not overridden. The slider knows it is being dragged; asking
  // the toolkit for the pointer's buttons would need a pointer (a Wayland seat may have none).
  if (seek_->IsDragging()) return;
  const int s = engine_.GetPositionMs() / 1000;
  const int total = engine_.GetDurationMs() / 1000;
  const int shown = engine_.GetShownPicture();
  if (play_->IsShown() && shown >= 0 && tick_.IsRunning()) {
    // Paused on a picture: its own time, to the tenth of a second.
    const int ms = engine_.GetShownPictureMs();
    char text[24];
    FormatClock(ms / 1000, text);
    SetTimeLabel(currentTime_, wxString::Format("%s.%d", text, ms % 1000 / 100));
    FormatClock(total, text);
    SetTimeLabel(totalTime_, text);
    seek_->SetPos(ms / 1000);
    // A trip's time is the camera's clock of the day.
    if (!tripClock_.empty()) SetTimeLabel(currentTime_, wxString::FromUTF8(TripClockText(ms)));
  } else {
    seek_->SetPos(s);
    UpdateTimeLabels(s, total);
    if (!tripClock_.empty()) {
      SetTimeLabel(currentTime_, wxString::FromUTF8(TripClockText(engine_.GetPositionMs())));
    }
  }
  const int fixes = telemetry_.GpsCount();
  if (fixes > 0) {
    const CGPSData fix = telemetry_.LastGps();
    // The page is told only of a new record: once a second, not at every tick.
    if (fixes != mapShownFixes_) {
      map_->ShowPosition(fix);
      mapShownFixes_ = fixes;
    }
    if (fix.valid != 0) {
      if (!mapSize_->IsEnabled() && layoutMode_ != kLayoutFullScreen) {
        mapSize_->Enable(true);
        if (panes_.map == kPaneHidden) {
          panes_.map = kPaneSmall;
          LayoutPanes();
        }
      }
      SetSpeedText(wxString::FromUTF8(SpeedReadout(telemetry_, speedUnit_)));
    }
  }
  // A car's own state (gear, blinkers, brake, autopilot) beside the speed while it has one.
  const std::string vehicle = VehicleReadout(telemetry_.LastVehicle());
  SetVehicleText(vehicle.empty() ? wxString()
                                 : wxString::FromUTF8(SpeedReadout(telemetry_, speedUnit_) + "   " +
                                                      vehicle + " "));
  UpdateGSensorGraph(s);
}

void CSamplePlayerDlg::UpdateTimeLabels(int seconds, int totalSeconds) {
  char text[16];
  FormatClock(seconds, text);
  SetTimeLabel(currentTime_, text);
  FormatClock(totalSeconds, text);
  SetTimeLabel(totalTime_, text);
}

void CSamplePlayerDlg::ShowPosition(int seconds, int totalSeconds) {
  seek_->SetPos(seconds);
  UpdateTimeLabels(seconds, totalSeconds);
}

void CSamplePlayerDlg::SetTimeLabel(wxStaticText* label, const wxString& text) {
  if (label->GetLabel() == text) return;
  label->SetLabel(text);
  ++timeLabelWrites_;
}

void CSamplePlayerDlg::UpdateGSensorGraph(int seconds) {
  ::UpdateGSensorGraph(graphFeed_, telemetry_, seconds);
}

void CSamplePlayerDlg::OnTextData(void* self, const char* text, int length, int timeMs) {
  static_cast<CSamplePlayerDlg*>(self)->telemetry_.OnTextData(text, length, timeMs);
}

void CSamplePlayerDlg::OnRecordingEnded(void* self, int code, int a, int b) {
  auto* window = static_cast<CSamplePlayerDlg*>(self);
  if (code == CNOVMediaPlayer::kEventEnded) {
    wxQueueEvent(window, new wxCommandEvent(EVT_RECORDING_ENDED));
  } else if (code == CNOVMediaPlayer::kEventOpened) {
    auto* event = new wxCommandEvent(EVT_RECORDING_OPENED);
    event->SetInt(a);
    event->SetExtraLong(b);
    wxQueueEvent(window, event);
  }
}

void CSamplePlayerDlg::OnRecordingOpenedEvent(wxCommandEvent& event) {
  // Only the answer to the latest open, while it is still open.
  if (event.GetInt() != engine_.OpenSerial() || !tick_.IsRunning()) return;
  ShowRecordingLength(static_cast<int>(event.GetExtraLong()));
  if (tripPlaying_ >= 0) {
    // Where each of the trip's recordings starts on its timeline, and its clock.
    tripClock_.clear();
    const std::vector<TripSegment> segments = tripParser_.Segments();
    for (const TripSegment& s : segments) {
      for (const std::string& listed : tripListed_) {
        const cards::CardRecording* r = tripList_->Recording(listed);
        if (r == nullptr) continue;
        const std::vector<std::string> files = ContainerRecordingFiles(s.name.c_str());
        const bool same =
            r->family == cards::Family::kVex
                ? s.name == "/" + listed
                : !files.empty() && !r->files.empty() &&
                      files.front() == tripList_->Root() + "/" + r->files.front().path;
        if (!same) continue;
        tripClock_.push_back(TripClock{s.startMs, r->startSeconds, listed});
        break;
      }
    }
    // The whole trip's track on the map, and its marks, on the trip's timeline.
    std::vector<std::string> names;
    std::vector<int> starts;
    for (const TripClock& c : tripClock_) {
      names.push_back(TelemetryName(c.listed));
      starts.push_back(c.startMs);
    }
    if (!tripClock_.empty()) trip_->LoadTrip(tripClock_.front().listed, names, starts);
  }
  if (!familyPlaying_.empty() && engine_.GetChannelCount() == 1 && panes_.rear != kPaneHidden) {
    // A camera's file that did not open leaves its pane out.
    panes_.rear = kPaneHidden;
    rearPane_->ClearPicture();
    LayoutPanes();
  }
  TellDamage();
}

void CSamplePlayerDlg::TellDamage() {
  // Another camera's file that could not be read whole plays as far as it goes, and says so once.
  if (familyPlaying_.empty() || damageTold_ || !containerParser_.Damaged()) return;
  damageTold_ = true;
  messageBox_(wxString::FromUTF8(kTextDamaged), GetTitle(), wxOK | wxICON_INFORMATION);
}

void CSamplePlayerDlg::ShowRecordingLength(int durationMs) {
  int total = durationMs / 1000;
  if (total <= 0) total = 60;
  seek_->SetRange(0, total, true);
  char text[16];
  FormatClock(total, text);
  totalTime_->SetLabel(text);
}

void CSamplePlayerDlg::OnRecordingEndedEvent(wxCommandEvent&) {
  // The end crosses from the engine's thread as a posted event; by the time it is handled the
  // user may have stopped playback or opened another recording, and moving on then would restart
  // playback or skip a row. Only an end that still stands moves on: a recording is open (the tick
  // runs from open to stop) and the engine has stopped.
  if (!tick_.IsRunning()) return;
  if (engine_.GetShowStatus() != CNOVMediaPlayer::kShowStopped ||
      engine_.GetRunState() != CNOVMediaPlayer::kIdle) {
    return;
  }
  TellDamage();
  PlayNext();
}

bool CSamplePlayerDlg::HandleKey(int keyCode, bool pointerInList, int modifiers) {
  DiagPrintf("Press Button => %d\n", keyCode);
  if (DownloadBusy()) return true;
  switch (keyCode) {
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      ToggleFullScreen(layoutMode_ != kLayoutNormal);
      return true;
    case WXK_SPACE:
      if (play_->IsShown() && list_->GetItemCount() > 0) {
        OnPlayCommand();
      } else {
        OnPauseCommand();
      }
      return true;
    case WXK_PAGEUP:
      // With Ctrl: the previous event mark; alone, the next recording as ever.
      if (modifiers & wxMOD_CONTROL) {
        moment_->JumpToMark(false);
      } else {
        PlayNext();
      }
      return true;
    case WXK_PAGEDOWN:
      if (modifiers & wxMOD_CONTROL) {
        moment_->JumpToMark(true);
      } else {
        PlayPrevious();
      }
      return true;
    case '[':
      moment_->ChangeSpeed(-1);
      return true;
    case ']':
      moment_->ChangeSpeed(1);
      return true;
    case '\\':
      moment_->ChangeSpeed(0);
      return true;
    case '.':
      moment_->StepPicture(1);
      return true;
    case ',':
      moment_->StepPicture(-1);
      return true;
    case 'I':
      moment_->SetClipPoint(true);
      return true;
    case 'O':
      moment_->SetClipPoint(false);
      return true;
    case WXK_LEFT:
      DiagPrintf("Press Button => VK_LEFT\n");
      SecondsBack();
      return true;
    case WXK_RIGHT:
      DiagPrintf("Press Button => VK_RIGHT\n");
      SecondsForward();
      return true;
    case WXK_UP:
    case WXK_DOWN:
      if (pointerInList) return false;  // the list scrolls
      volume_->SetPos(std::clamp(volume_->GetPos() + (keyCode == WXK_UP ? 5 : -5), 0, 99));
      volume_->Refresh();
      // Heard at once, not at the next mouse release.
      ApplyVolume(volume_->GetPos());
      return true;
    case WXK_F2:
      OnOpenCommand();
      return true;
    case WXK_F3:
      OnSettingsCommand();
      return true;
    case WXK_F4:
      capture_->CaptureSnapshot();
      return true;
    case 'T':
      trip_->ExportTracks();
      return true;
    case 'C':
      ShowNextCamera();
      return true;
    default:
      return true;
  }
}

void CSamplePlayerDlg::OnCharHook(wxKeyEvent& event) {
  // The pointer's place comes from the list's own enter and leave events: asking the toolkit
  // where the pointer is needs a pointer, which a Wayland seat may not have.
  const bool inList = list_->IsShown() && pointerInList_;
  if (!HandleKey(event.GetKeyCode(), inList, event.GetModifiers())) event.Skip();
}

void CSamplePlayerDlg::TrackPointerOverList() {
  auto track = [this](wxWindow* w) {
    w->Bind(wxEVT_ENTER_WINDOW, [this](wxMouseEvent& e) {
      pointerInList_ = true;
      e.Skip();
    });
    w->Bind(wxEVT_LEAVE_WINDOW, [this](wxMouseEvent& e) {
      // Leaving the list's rows for its header (or back) stays inside the list.
      const wxPoint at = list_->ScreenToClient(
          static_cast<wxWindow*>(e.GetEventObject())->ClientToScreen(e.GetPosition()));
      pointerInList_ = wxRect(list_->GetSize()).Contains(at);
      e.Skip();
    });
  };
  track(list_);
  for (wxWindow* child : list_->GetChildren()) track(child);
}
