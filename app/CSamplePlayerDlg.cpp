// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CSamplePlayerDlg.h"

#include <wx/checkbox.h>
#include <wx/dcbuffer.h>
#include <wx/dcclient.h>
#include <wx/dirdlg.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>

#include <algorithm>

#include "app/CPicturePane.h"
#include "app/Desktop.h"
#include "app/ViewerConfig.h"
#include "map/gui/CMapView.h"
#include "resources/ResourceIds.h"
#include "resources/SkinImages.h"
#include "resources/core/StringTable.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"
#include "skin/CxSkinButton.h"
#include "skin/SkinBitmaps.h"
#include "skin/SkinEvents.h"
#include "support/Diag.h"
#include "telemetry/gui/CGraphStatic.h"

namespace {

// The map-size button's texts: the map is small or hidden, or it is large.
const char* const kMapEnlargeText = "지도 크게보기";
const char* const kMapShrinkText = "지도 작게보기";

// The trip view's box beside Select All.
constexpr char kTextTrips[] = "Trips";

// The colour under Select All.
const wxColour kSelectAllBrush(30, 32, 38);

int ShowMessageBox(const wxString& text, const wxString& caption, long style) {
  wxMessageDialog box(nullptr, text, caption, style);
  return box.ShowModal();
}

wxString Text(int koreanId, int englishId) {
  return wxString::FromUTF8(BilingualText(koreanId, englishId));
}

}  // namespace

CSamplePlayerDlg::CSamplePlayerDlg(const Options& options)
    : wxFrame(nullptr, wxID_ANY, wxString::FromUTF8(LoadStringById(kStrTitle)), wxDefaultPosition,
              wxSize(kNormalWidth, kNormalHeight),
              wxBORDER_NONE | wxMINIMIZE_BOX | wxSYSTEM_MENU | wxCLOSE_BOX | wxCLIP_CHILDREN),
      options_(options),
      messageBox_(&ShowMessageBox) {
  configPath_ = options.configPath.empty() ? ViewerConfigPath() : options.configPath;
  folderRunner_ = [this](const wxString& title, const wxString& start, wxString* folder) {
    return RunFolderDialog(title, start, folder);
  };
  // The command line's choice, else config.cfg's, else English; before any text or skin picture
  // with words is made.
  std::uint16_t language = options_.language;
  if (language == 0) language = ReadViewerConfigLanguage(configPath_);
  SetInterfaceLanguage(language != 0 ? language : kLangEnglish);
  SetSkinBitmapLoader(&LoadSkinBitmap);
  LetCompositorSizeWindow(this);
  SetBackgroundStyle(wxBG_STYLE_PAINT);
  SetBackgroundColour(*wxBLACK);
  CreateControls();
  MakeFeatures();
  BindEvents();
  InitDialog();
}

CSamplePlayerDlg::~CSamplePlayerDlg() { ShutDown(); }

CBitmapButtonTrans* CSamplePlayerDlg::MakeButton(int id, int normal, int selected, int focus,
                                                 int disabled) {
  auto* button = new CBitmapButtonTrans(this, id);
  button->SetTransparentColor(*wxBLACK);
  button->LoadBitmaps(normal, selected, focus, disabled);
  button->SizeToContent();
  return button;
}

void CSamplePlayerDlg::CreateControls() {
  // Made in the order the window holds them; the skins and places come in InitDialog.
  pause_ = MakeButton(kIdPause, kBmpPause, 0, 0, 0);
  frontPane_ = new CPicturePane(this, kIdFrontPane, wxPoint(4, 64), wxSize(0, 0));
  rearPane_ = new CPicturePane(this, kIdRearPane, wxPoint(650, 268), wxSize(0, 0));
  seek_ = new CBitmapSlider(this, kIdSeekSlider);
  volume_ = new CBitmapSlider(this, kIdVolumeSlider);
  brightness_ = new CBitmapSlider(this, kIdBrightnessSlider);
  totalTime_ = new wxStaticText(this, kIdTotalTime, "00:00:00", wxDefaultPosition, wxDefaultSize,
                                wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  currentTime_ = new wxStaticText(this, kIdCurrentTime, "00:00:00", wxDefaultPosition,
                                  wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  MakeButton(kIdSettings, kBmpSettings, kBmpSettingsSelected, kBmpSettings, 0);
  MakeButton(kIdCapture, kBmpCapture, kBmpCaptureSelected, kBmpCapture, 0);
  MakeButton(kIdZoom, kBmpZoom, kBmpZoomSelected, kBmpZoom, 0);
  MakeButton(kIdFullScreen, kBmpFullScreen, kBmpFullScreenSelected, kBmpFullScreen, 0);
  MakeButton(kIdMinimise, kBmpMinimise, kBmpMinimiseSelected, kBmpMinimise, 0);
  MakeButton(kIdClose, kBmpClose, kBmpCloseSelected, kBmpClose, 0);
  MakeButton(kIdPre, kBmpPre, kBmpPreSelected, kBmpPre, 0);
  play_ = MakeButton(kIdPlay, kBmpPlay, kBmpPlaySelected, kBmpPlay, 0);
  MakeButton(kIdStop, kBmpStop, kBmpStopSelected, kBmpStop, 0);
  MakeButton(kIdNext, kBmpNext, kBmpNextSelected, kBmpNext, 0);
  MakeButton(kIdOpen, kBmpOpen, kBmpOpenSelected, kBmpOpen, 0);
  auto* icon = MakeButton(kIdBrightnessIcon, kBmpBrightness, 0, 0, 0);
  icon->Enable(false);  // a picture, not a command
  list_ = new wxListCtrl(this, kIdRecordingList, wxPoint(650, 65), wxSize(320, 150),
                         wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_NONE);
  previousSize_ =
      MakeButton(kIdPreviousSize, kBmpPreviousSize, kBmpPreviousSizeSelected, kBmpPreviousSize, 0);
  mute_ = new CxSkinButton(this, kIdMute, wxEmptyString, CxSkinButton::kCheckBox);
  MakeButton(kIdSecondsBack, kBmpSecondsBack, kBmpSecondsBackSelected, kBmpSecondsBack, 0);
  MakeButton(kIdSecondsForward, kBmpSecondsForward, kBmpSecondsForwardSelected, kBmpSecondsForward,
             0);
  mapSize_ =
      MakeButton(kIdMapSize, kBmpMapSize, kBmpMapSizeSelected, kBmpMapSize, kBmpMapSizeDisabled);
  map_ = new CMapView(this, kIdMapView, wxPoint(650, 268), wxSize(0, 0));
  MakeButton(kIdFilterEvent, kBmpFilterEvent, kBmpFilterEventSelected, kBmpFilterEvent, 0);
  MakeButton(kIdFilterParking, kBmpFilterParking, kBmpFilterParkingSelected, kBmpFilterParking, 0);
  MakeButton(kIdFilterDriving, kBmpFilterDriving, kBmpFilterDrivingSelected, kBmpFilterDriving, 0);
  MakeButton(kIdFilterManual, kBmpFilterUser, kBmpFilterUserSelected, kBmpFilterUser, 0);
  MakeButton(kIdFilterAll, kBmpFilterAll, kBmpFilterAllSelected, kBmpFilterAll, 0);
  graph_ = new CGraphStatic(this, kIdGraph, wxPoint(30, 520), wxSize(760, 104));
  speed_ = new wxStaticText(this, kIdSpeed, "", wxDefaultPosition, wxDefaultSize,
                            wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  vehicle_ = new wxStaticText(this, kIdVehicle, "", wxDefaultPosition, wxDefaultSize,
                              wxALIGN_RIGHT | wxST_NO_AUTORESIZE);
  vehicle_->Hide();
  playSpeed_ = new wxStaticText(this, kIdPlaySpeed, wxString::FromUTF8("1×"), wxDefaultPosition,
                                wxDefaultSize, wxALIGN_CENTRE_HORIZONTAL | wxST_NO_AUTORESIZE);
  MakeButton(kIdFileDownload, kBmpFileDownload, kBmpFileDownloadSelected, kBmpFileDownload, 0);
  selectAll_ = new wxCheckBox(this, kIdSelectAll, wxEmptyString);
  trips_ = new wxCheckBox(this, kIdTrips, wxString::FromUTF8(kTextTrips));

  // Read-out colours: times white, speed red, on black; Select All red on its own colour.
  wxFont small = GetFont();
  small.SetPointSize(8);
  for (wxStaticText* t : {totalTime_, currentTime_, playSpeed_}) {
    t->SetForegroundColour(*wxWHITE);
    t->SetBackgroundColour(*wxBLACK);
    t->SetFont(small);
  }
  speed_->SetForegroundColour(*wxRED);
  speed_->SetBackgroundColour(*wxBLACK);
  speed_->SetFont(small);
  vehicle_->SetForegroundColour(*wxRED);
  vehicle_->SetBackgroundColour(*wxBLACK);
  vehicle_->SetFont(small);
  selectAll_->SetForegroundColour(*wxRED);
  selectAll_->SetBackgroundColour(kSelectAllBrush);
  selectAll_->SetFont(small);
  trips_->SetForegroundColour(*wxRED);
  trips_->SetBackgroundColour(kSelectAllBrush);
  trips_->SetFont(small);
}

void CSamplePlayerDlg::MakeFeatures() {
  download_ = std::make_unique<DownloadRun>(this, this, this, &outputFolder_);
  moment_ = std::make_unique<MomentControls>(this, this, this, &outputFolder_, &engine_, seek_,
                                             playSpeed_, options_.cardDir);
  // The moment controls follow the track for its event marks.
  trip_ = std::make_unique<TripTrack>(this, this, this, moment_.get(), &engine_, map_);
  trip_->SetExportDialogRunner([this](const wxString& defaultName, wxString* path) {
    return RunSaveDialog(defaultName, path, kTrackFileTypes);
  });
  capture_ =
      std::make_unique<PictureCapture>(this, this, this, &engine_, map_, frontPane_, rearPane_);
  capture_->SetSaveDialogRunner([this](const wxString& defaultName, wxString* path) {
    return RunSaveDialog(defaultName, path);
  });
  familyCard_ = std::make_unique<FamilyCard>(this, list_);
  familyCard_->SetRowsAdded([this] { ApplySelectAll(); });
  tripList_ = std::make_unique<TripList>(this);
}

void CSamplePlayerDlg::BindEvents() {
  Bind(wxEVT_PAINT, &CSamplePlayerDlg::OnPaint, this);
  Bind(wxEVT_ERASE_BACKGROUND, &CSamplePlayerDlg::OnEraseBackground, this);
  Bind(wxEVT_LEFT_DOWN, &CSamplePlayerDlg::OnLeftDown, this);
  Bind(wxEVT_LEFT_UP, &CSamplePlayerDlg::OnLeftUp, this);
  Bind(wxEVT_MOTION, &CSamplePlayerDlg::OnMotion, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &CSamplePlayerDlg::OnCaptureLost, this);
  Bind(wxEVT_CLOSE_WINDOW, &CSamplePlayerDlg::OnCloseWindow, this);
  Bind(wxEVT_SIZE, &CSamplePlayerDlg::OnSize, this);
  // Back in the window, the keyboard is where the layout can use it.
  Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& event) {
    if (event.GetActive()) CallAfter([this] { KeepKeyboard(); });
    event.Skip();
  });
  closeRetry_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { Close(true); });
  Bind(wxEVT_TIMER, &CSamplePlayerDlg::OnTimer, this);
  Bind(wxEVT_BUTTON, &CSamplePlayerDlg::OnButton, this);
  Bind(wxEVT_CHECKBOX, &CSamplePlayerDlg::OnMute, this, kIdMute);
  Bind(wxEVT_CHECKBOX, &CSamplePlayerDlg::OnSelectAll, this, kIdSelectAll);
  Bind(wxEVT_CHECKBOX, &CSamplePlayerDlg::OnTripsBox, this, kIdTrips);
  Bind(EVT_TRIPS_FOUND, &CSamplePlayerDlg::OnTripsFound, this);
  Bind(EVT_SLIDER_CHANGE_MSG, &CSamplePlayerDlg::OnSliderChange, this);
  Bind(EVT_RECORDING_ENDED, &CSamplePlayerDlg::OnRecordingEndedEvent, this);
  Bind(EVT_RECORDING_OPENED, &CSamplePlayerDlg::OnRecordingOpenedEvent, this);
  Bind(EVT_TRACK, [this](wxThreadEvent& event) { trip_->OnEvent(event); });
  Bind(EVT_CLIP, [this](wxThreadEvent& event) { moment_->OnClipEvent(event); });
  Bind(EVT_DOWNLOAD, [this](wxThreadEvent& event) { download_->OnEvent(event); });
  Bind(EVT_MOUNTS_CHANGED, &CSamplePlayerDlg::OnMountsChanged, this);
  Bind(EVT_CARD_LISTED, &CSamplePlayerDlg::OnCardListed, this);
  map_->SetTrackClickHandler([this](double lat, double lng) { trip_->OnTrackClicked(lat, lng); });
  list_->Bind(wxEVT_LIST_ITEM_RIGHT_CLICK, &CSamplePlayerDlg::OnListContextMenu, this);
  Bind(wxEVT_CHAR_HOOK, &CSamplePlayerDlg::OnCharHook, this);
  list_->Bind(wxEVT_LIST_ITEM_ACTIVATED, &CSamplePlayerDlg::OnListActivated, this);
  list_->Bind(wxEVT_LIST_ITEM_CHECKED, &CSamplePlayerDlg::OnListChecked, this);
  list_->Bind(wxEVT_LIST_ITEM_UNCHECKED, &CSamplePlayerDlg::OnListChecked, this);
  // The header is fixed: its columns are neither resized nor clicked.
  list_->Bind(wxEVT_LIST_COL_BEGIN_DRAG, &CSamplePlayerDlg::OnColumnDrag, this);
  list_->Bind(wxEVT_LIST_COL_DRAGGING, &CSamplePlayerDlg::OnColumnDrag, this);
  list_->Bind(wxEVT_LIST_COL_END_DRAG, &CSamplePlayerDlg::OnColumnDrag, this);
  TrackPointerOverList();
}

void CSamplePlayerDlg::InitDialog() {
  selectAll_->SetLabel(Text(kStrSelectAllKo, kStrSelectAllEn));
  SetIcons(LoadAppIconBundle());
  SetTitle(wxString::FromUTF8(LoadStringById(kStrTitle)));
  InitPlayer();
  LayoutControls(kLayoutNormal);
  background_ = LoadSkinBitmap(kBmpBackground);
  SetClientSize(background_.IsOk() ? background_.GetSize() : wxSize(kNormalWidth, kNormalHeight));
  CentreOnScreen();

  graphFeed_ = SetUpGSensorGraph(*graph_);

  ApplySkins();
  LoadConfig();
  outputFolder_.Load(configPath_);
  download_->Start();
  list_->SetBackgroundColour(*wxBLACK);
  list_->SetTextColour(*wxWHITE);
}

void CSamplePlayerDlg::ApplySkins() {
  // PLAY and Pause share one place; PLAY shows until something plays.
  PlaceWindow(play_, Place{261, 473, 15, 17});
  PlaceWindow(pause_, Place{261, 473, 15, 17});
  ShowPlayButton(true);
  mute_->SetSkinBitmaps(kBmpMute, kBmpMuteDown, 0, 0, 0, 0, 0, 1, 0);

  seek_->SetChannelBitmaps(kBmpSeekChannel, kBmpSeekChannelActive, true);
  seek_->SetThumbBitmaps(kBmpThumb, kBmpThumb, true);
  volume_->SetChannelBitmaps(kBmpLevelChannel, kBmpLevelChannelActive, true);
  volume_->SetThumbBitmaps(kBmpThumb, kBmpThumb, true);
  volume_->SetPageSize(25);
  volume_->SetRange(0, 99);
  brightness_->SetChannelBitmaps(kBmpLevelChannel, kBmpLevelChannelActive, true);
  brightness_->SetThumbBitmaps(kBmpThumb, kBmpThumb, true);
  brightness_->SetRange(-5, 5);
  for (CBitmapSlider* s : {seek_, volume_, brightness_}) s->SetFocusRectDrawing(false);
}

void CSamplePlayerDlg::InitPlayer() {
  SetSize(1020, 594);
  speedCode_ = 0;
  speedUnit_ = SpeedUnitFromSetting(1);
  engine_.SetEventCallback(&CSamplePlayerDlg::OnRecordingEnded, this);
  engine_.SetTextCallback(&CSamplePlayerDlg::OnTextData, this);
  decoder_.SetDecoderChoice(options_.decoder);
  engine_.SetDecoder(&decoder_);
  engine_.SetParser(&tripParser_);
  engine_.SetAudio(&audio_);
  // On a busy computer the pictures keep time with the sound rather than showing every one late.
  engine_.SetDropLatePictures(true);
  frontPane_->SetSize(4, 64, 0, 0);
  rearPane_->SetSize(650, 268, 0, 0);
  library_ = VexStart();
  VexInitialise(library_, options_.cardDir.empty() ? nullptr : options_.cardDir.c_str());
  parser_.SetLibraryHandle(library_);
  // A trip's next recording is opened ahead through a handle of its own (one stream a handle).
  tripLibrary_ = VexStart();
  VexInitialise(tripLibrary_, options_.cardDir.empty() ? nullptr : options_.cardDir.c_str());
  tripVex_.SetLibraryHandle(tripLibrary_);
  cardDrive_ = 0;
  download_->SetBusy(false);
  engineRunning_ = engine_.Run(frontPane_->Surface(), rearPane_->Surface());
  // The engine has opened the decoders: hardware or software, and why not hardware.
  DiagPrintf("Decoder: %s\n", decoder_.DecoderName().c_str());
  if (options_.files.empty() && options_.startCardPoll) cardPoll_.Start(kCardPollMs);
  // A card is seen the moment it is mounted; where the watch cannot run, the poll still
  // finds it. The watch's thread only posts an event to the window.
  if (options_.watchMounts) {
    mountWatch_.Start([this] { wxQueueEvent(this, new wxThreadEvent(EVT_MOUNTS_CHANGED)); });
  }
  layoutMode_ = kLayoutNormal;
  panes_ = PaneStates{};
  HideMap();
  PlaceWindow(seek_, Place{92, 432, 390, 14});
  PlaceWindow(volume_, Place{715, 474, 75, 14});
  PlaceWindow(brightness_, Place{864, 474, 81, 3});
  PlaceWindow(list_, kListPlace);

  // Six columns; only Type and Date have a width.
  if (list_->GetColumnCount() == 0) {
    list_->EnableCheckBoxes(true);
    // The type column is wider than its text needs: the row's check box shares it.
    list_->InsertColumn(0, Text(kStrColTypeKo, kStrColTypeEn), wxLIST_FORMAT_CENTRE, 84);
    list_->InsertColumn(1, Text(kStrColFilenameKo, kStrColFilenameEn), wxLIST_FORMAT_LEFT, 0);
    list_->InsertColumn(2, Text(kStrColDateKo, kStrColDateEn), wxLIST_FORMAT_CENTRE, 150);
    list_->InsertColumn(3, Text(kStrColRearKo, kStrColRearEn), wxLIST_FORMAT_CENTRE, 0);
    list_->InsertColumn(4, Text(kStrColSizeKo, kStrColSizeEn), wxLIST_FORMAT_CENTRE, 0);
    list_->InsertColumn(5, Text(kStrColPathKo, kStrColPathEn), wxLIST_FORMAT_CENTRE, 0);
  }
  // Recording files named on the command line are the card, listed once the list has its columns.
  if (!options_.files.empty()) OpenFiles();
}

void CSamplePlayerDlg::LoadConfig() {
  EnsureViewerConfigFile(configPath_);
  brightness_->SetPos(ReadViewerConfigValue(configPath_, kConfigBrightness, kDefaultBrightness));
  ApplyBrightness(brightness_->GetPos());
  volume_->SetPos(ReadViewerConfigValue(configPath_, kConfigVolume, kDefaultVolume));
  ApplyVolume(volume_->GetPos());
}

void CSamplePlayerDlg::SaveConfig() {
  DiagPrintf("SaveConfig\n");
  DiagPrintf("Brightness => %d\n", brightness_->GetPos());
  WriteViewerConfigValue(configPath_, kConfigBrightness, brightness_->GetPos());
  DiagPrintf("Volume => %d\n", volume_->GetPos());
  WriteViewerConfigValue(configPath_, kConfigVolume, volume_->GetPos());
}

bool CSamplePlayerDlg::RunSaveDialog(const wxString& defaultName, wxString* path,
                                     const char* fileTypes) {
  // A save dialog (not an open one) that asks before it overwrites.
  wxFileDialog dialog(this, wxFileSelectorPromptStr, wxEmptyString, defaultName,
                      wxString::FromUTF8(fileTypes), wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() != wxID_OK) return false;
  *path = dialog.GetPath();
  return true;
}

bool CSamplePlayerDlg::RunFolderDialog(const wxString& title, const wxString& start,
                                       wxString* folder) {
  wxDirDialog dialog(this, title, start, wxDD_DEFAULT_STYLE);
  if (dialog.ShowModal() != wxID_OK) return false;
  *folder = dialog.GetPath();
  return true;
}

int CSamplePlayerDlg::ShowMessage(const wxString& text, const wxString& caption, long style) {
  return messageBox_(text, caption, style);
}

bool CSamplePlayerDlg::ChooseFolder(const wxString& title, const wxString& start,
                                    wxString* folder) {
  return folderRunner_(title, start, folder);
}

void CSamplePlayerDlg::CloseCommand() {
  if (DownloadBusy()) return;
  SaveConfig();
  StopPlayback();
  tick_.Stop();
  const int answer =
      messageBox_(Text(kStrQuitQuestionKo, kStrQuitQuestionEn),
                  Text(kStrSelectCaptionKo, kStrSelectCaptionEn), wxYES_NO | wxICON_QUESTION);
  if (answer != wxID_YES) return;
  cardPoll_.Stop();
  Close(true);
}

void CSamplePlayerDlg::EndSession() {
  if (shutDown_) return;
  SaveConfig();
  StopPlayback();
  tick_.Stop();
  cardPoll_.Stop();
  Close(true);
}

void CSamplePlayerDlg::OnCloseWindow(wxCloseEvent&) {
  // The map's last marker moves are answered first (in a few milliseconds): a browser destroyed
  // before its page answers leaves the answer nowhere to go.
  if (map_->PendingScripts() > 0 && closeWaits_ < 50) {
    ++closeWaits_;
    map_->Hide();
    closeRetry_.StartOnce(10);
    return;
  }
  ShutDown();
  Destroy();
}

void CSamplePlayerDlg::ShutDown() {
  if (shutDown_) return;
  shutDown_ = true;
  capture_->CloseZoomWindow();
  SaveConfig();
  cardPoll_.Stop();
  mountWatch_.Stop();
  tick_.Stop();
  engine_.Shutdown();
  engineRunning_ = false;
  download_->Stop();
  // The track readers use the library handle: they end before it is released.
  trip_->Stop();
  tripList_->Stop();
  moment_->Stop();
  familyCard_->Close();
  if (library_ != nullptr) {
    VexRelease(library_);
    library_ = nullptr;
    parser_.SetLibraryHandle(nullptr);
  }
  if (tripLibrary_ != nullptr) {
    VexRelease(tripLibrary_);
    tripLibrary_ = nullptr;
    tripVex_.SetLibraryHandle(nullptr);
  }
}

void CSamplePlayerDlg::PlaceWindow(wxWindow* w, const Place& p) {
  if (w != nullptr) w->SetSize(p.x, p.y, p.w, p.h);
}

void CSamplePlayerDlg::LayoutControls(int mode) {
  if (mode == kLayoutNormal) {
    PlaceWindow(graph_, kGraphPlace);
    graph_->Show();
    SetSize(1020, 730);
    for (const ControlPlace& c : NormalControlPlaces()) {
      wxWindow* control = FindWindow(c.id);
      PlaceWindow(control, c.place);
      // Buttons keep their pictures' sizes where the two differ; PLAY and Pause share a place.
      auto* button = dynamic_cast<CBitmapButtonTrans*>(control);
      if (button != nullptr && c.id != kIdPlay && c.id != kIdPause && c.id != kIdBrightnessIcon) {
        button->SizeToContent();
      }
    }
    FindWindow(kIdOpen)->Show();
    previousSize_->Hide();
    for (int id : {kIdSettings, kIdCapture, kIdZoom, kIdMapSize, kIdFullScreen, kIdFilterEvent,
                   kIdFilterParking, kIdFilterDriving, kIdFilterManual, kIdFilterAll,
                   kIdFileDownload, kIdSelectAll, kIdTrips, kIdRecordingList}) {
      FindWindow(id)->Show();
    }
  } else {
    graph_->Hide();
    const wxSize client = GetClientSize();
    fullScreenSize_ = client;
    const Place picture = FullScreenPicturePlace(client.x, client.y);
    PlaceWindow(frontPane_, picture);
    PlaceWindow(rearPane_, picture);
    for (const ControlPlace& c : FullScreenControlPlaces(client.x, client.y)) {
      PlaceWindow(FindWindow(c.id), c.place);
    }
    FindWindow(kIdOpen)->Hide();
    for (int id : {kIdRecordingList, kIdSettings, kIdCapture, kIdZoom, kIdMapSize, kIdFullScreen,
                   kIdFilterEvent, kIdFilterParking, kIdFilterDriving, kIdFilterManual,
                   kIdFilterAll, kIdFileDownload, kIdSelectAll, kIdTrips}) {
      FindWindow(id)->Hide();
    }
    previousSize_->Show();
  }
  mapSize_->Enable(false);
  KeepKeyboard();
  Refresh();
}

void CSamplePlayerDlg::HideMap() {
  PlaceWindow(map_, kHiddenMapPlace);
  map_->Hide();
}

void CSamplePlayerDlg::KeepKeyboard() {
  // Keys reach the window's key hook only through a focused control of its own, and a control
  // that a layout (or the PLAY/Pause swap) hid keeps nothing. The seek slider, which every layout
  // shows, takes the keyboard then: the hook sees every key before it does.
  // The keyboard in another window (a dialog, another program) stays there.
  wxWindow* focus = wxWindow::FindFocus();
  const bool ours = focus != nullptr && wxGetTopLevelParent(focus) == this;
  if (ours ? !focus->IsShownOnScreen() : (focus == nullptr && IsActive())) seek_->SetFocus();
}

void CSamplePlayerDlg::OnColumnDrag(wxListEvent& event) { event.Veto(); }

void CSamplePlayerDlg::LayoutPanes() {
  auto placePane = [&](wxWindow* pane, int state) {
    if (state == kPaneHidden) {
      pane->Hide();
      return;
    }
    const Place& p = state == kPaneLarge ? kLargePlace : kSmallPlace;
    if (state == kPaneSmall) pane->SetSize(p.x, p.y, 0, 0);
    PlaceWindow(pane, p);
    pane->Show();
  };
  if (layoutMode_ == kLayoutNormal) {
    placePane(frontPane_, panes_.front);
    if (engine_.GetChannelCount() == 2) {
      placePane(rearPane_, panes_.rear);
    } else {
      rearPane_->Hide();
    }
    if (panes_.map == kPaneHidden) {
      HideMap();
      mapSize_->SetLabel(wxString::FromUTF8(kMapEnlargeText));
    } else {
      PlaceWindow(map_, panes_.map == kPaneLarge ? kLargePlace : kSmallPlace);
      mapSize_->SetLabel(
          wxString::FromUTF8(panes_.map == kPaneLarge ? kMapShrinkText : kMapEnlargeText));
      map_->Show();
      // The map lies above the pictures when they share a place.
      map_->Raise();
    }
  } else {
    const wxSize client = GetClientSize();
    const Place picture = FullScreenPicturePlace(client.x, client.y);
    PlaceWindow(frontPane_, picture);
    PlaceWindow(rearPane_, picture);
    frontPane_->Show(panes_.front == kPaneLarge);
    rearPane_->Show(panes_.rear == kPaneLarge);
    HideMap();
  }
  // Panes that changed size get their pictures drawn again at the new size (when not playing).
  engine_.RefreshPictures();
  KeepKeyboard();
  // The window paints when its thread is free again; waiting here would only delay that.
  Refresh();
}

void CSamplePlayerDlg::ToggleMapSize() {
  if (DownloadBusy()) return;
  panes_ = ::ToggleMapSize(panes_, engine_.GetChannelCount());
  LayoutPanes();
}

void CSamplePlayerDlg::ToggleFullScreen(bool previousSize) {
  if (DownloadBusy()) return;
  if (layoutMode_ == kLayoutNormal) {
    // Full screen covers the display the window is on (the work area, without panels).
    int display = wxDisplay::GetFromWindow(this);
    wxRect area = wxDisplay(display == wxNOT_FOUND ? 0u : unsigned(display)).GetClientArea();
    layoutMode_ = kLayoutFullScreen;
    if (!previousSize) background_ = wxBitmap();
    if (panes_.map == kPaneLarge) ToggleMapSize();
    SetSize(area);
    Maximize(true);
  } else {
    Maximize(false);
    layoutMode_ = kLayoutNormal;
    if (OnWaylandDisplay() && IsMaximized()) {
      // A Wayland window keeps the maximised size until the compositor has let it go; a window
      // that commits another size before that is cut off. The normal layout follows then.
      leavingFullScreen_ = true;
      FinishLeavingFullScreen(0);
      return;
    }
  }
  ShowLayout();
}

void CSamplePlayerDlg::FinishLeavingFullScreen(int tries) {
  if (layoutMode_ != kLayoutNormal) {
    leavingFullScreen_ = false;
    return;
  }
  // The compositor answers within a few frames; after a second the layout goes on regardless.
  if (IsMaximized() && tries < 100) {
    CallAfter([this, tries] {
      wxMilliSleep(10);
      FinishLeavingFullScreen(tries + 1);
    });
    return;
  }
  leavingFullScreen_ = false;
  ShowLayout();
}

void CSamplePlayerDlg::ShowLayout() {
  if (engine_.GetShowStatus() == CNOVMediaPlayer::kShowStopped) {
    currentTime_->SetLabel("00:00:00");
    totalTime_->SetLabel("00:00:00");
  }
  LayoutControls(layoutMode_);
  if (layoutMode_ == kLayoutNormal) {
    // Back from full screen: the skin and its size, in the middle of the screen.
    background_ = LoadSkinBitmap(kBmpBackground);
    SetClientSize(background_.GetSize());
    CentreOnScreen();
  }
  LayoutPanes();
}

void CSamplePlayerDlg::OnSize(wxSizeEvent& event) {
  event.Skip();
  // The full-screen layout follows the size the window really got (a window manager or a
  // compositor may give another than was asked for, or give it later).
  if (layoutMode_ != kLayoutFullScreen || leavingFullScreen_) return;
  if (GetClientSize() == fullScreenSize_ || relayoutPending_) return;
  relayoutPending_ = true;
  CallAfter([this] {
    relayoutPending_ = false;
    if (layoutMode_ != kLayoutFullScreen || GetClientSize() == fullScreenSize_) return;
    LayoutControls(kLayoutFullScreen);
    LayoutPanes();
  });
}

void CSamplePlayerDlg::PaintSkinBackground(wxDC& dc, const wxRect& rectInParent) {
  if (background_.IsOk() && layoutMode_ == kLayoutNormal) {
    dc.DrawBitmap(background_, 0, 0);
  } else {
    dc.SetBrush(*wxBLACK_BRUSH);
    dc.SetPen(*wxTRANSPARENT_PEN);
    dc.DrawRectangle(rectInParent);
  }
}

void CSamplePlayerDlg::OnPaint(wxPaintEvent&) {
  wxAutoBufferedPaintDC dc(this);
  const wxSize client = GetClientSize();
  if (IsIconized()) {
    dc.SetBackground(*wxBLACK_BRUSH);
    dc.Clear();
    dc.DrawIcon(LoadAppIcon(), (client.x - 48) / 2, (client.y - 48) / 2);
    return;
  }
  dc.SetBrush(*wxBLACK_BRUSH);
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.DrawRectangle(0, 0, client.x, client.y);
  if (background_.IsOk() && layoutMode_ == kLayoutNormal) {
    dc.DrawBitmap(background_, 0, 0);
    if (!secondCaption_.empty()) DrawSecondPaneCaption(dc, wxString::FromUTF8(secondCaption_));
  }
  // The picture panes paint their own last pictures. Asking the engine to draw them again from
  // here would loop: each picture it presents repaints the panes, which repaints the window.
}

void CSamplePlayerDlg::OnLeftDown(wxMouseEvent& event) {
  // The borderless window is dragged by its background in the normal layout.
  if (layoutMode_ != kLayoutNormal) {
    event.Skip();
    return;
  }
  if (OnWaylandDisplay()) {
    // A Wayland client cannot place its window: the compositor moves it.
    const wxPoint at = ClientToScreen(event.GetPosition());
    BeginWindowMove(this, at.x, at.y);
    return;
  }
  dragging_ = true;
  dragOffset_ = ClientToScreen(event.GetPosition()) - GetPosition();
  CaptureMouse();
}

void CSamplePlayerDlg::OnMotion(wxMouseEvent& event) {
  if (dragging_ && event.Dragging() && event.LeftIsDown()) {
    Move(ClientToScreen(event.GetPosition()) - dragOffset_);
  }
  event.Skip();
}

void CSamplePlayerDlg::OnLeftUp(wxMouseEvent& event) {
  if (dragging_) {
    dragging_ = false;
    if (HasCapture()) ReleaseMouse();
  }
  event.Skip();
}

void CSamplePlayerDlg::OnCaptureLost(wxMouseCaptureLostEvent&) { dragging_ = false; }

void CSamplePlayerDlg::OnTimer(wxTimerEvent& event) {
  if (event.GetId() == kTimerCardPoll) {
    PollCard();
  } else if (event.GetId() == kTimerPlaybackTick) {
    OnPositionTick();
  }
}

void CSamplePlayerDlg::OnButton(wxCommandEvent& event) {
  switch (event.GetId()) {
    case kIdClose:
      CloseCommand();
      break;
    case kIdMinimise:
      if (!DownloadBusy()) Iconize(true);
      break;
    case kIdFullScreen:
      ToggleFullScreen(false);
      break;
    case kIdPreviousSize:
      ToggleFullScreen(true);
      break;
    case kIdMapSize:
      ToggleMapSize();
      break;
    case kIdPlay:
      OnPlayCommand();
      break;
    case kIdPause:
      OnPauseCommand();
      break;
    case kIdStop:
      StopPlayback();
      break;
    case kIdPre:
      PlayPrevious();
      break;
    case kIdNext:
      PlayNext();
      break;
    case kIdSecondsBack:
      SecondsBack();
      break;
    case kIdSecondsForward:
      SecondsForward();
      break;
    case kIdOpen:
      OnOpenCommand();
      break;
    case kIdSettings:
      OnSettingsCommand();
      break;
    case kIdCapture:
      capture_->CaptureSnapshot();
      break;
    case kIdZoom:
      capture_->OpenZoomWindow();
      break;
    case kIdFileDownload:
      // VEX recordings are converted; another family's are copied as the camera wrote them.
      download_->DownloadRecordings(familyCard_->IsOpen() ? familyCard_.get() : nullptr);
      break;
    case kIdFilterEvent:
      OnFilter(kVexEvent);
      break;
    case kIdFilterDriving:
      OnFilter(kVexContinuous);
      break;
    case kIdFilterParking:
      OnFilter(kVexParking);
      break;
    case kIdFilterManual:
      OnFilter(kVexManual);
      break;
    case kIdFilterAll:
      OnFilter(kListAllKinds);
      break;
    default:
      event.Skip();
      break;
  }
}

bool CSamplePlayerDlg::PlayButtonShown() const { return play_->IsShown(); }

void CSamplePlayerDlg::ShowPlayButton(bool play) {
  play_->Show(play);
  pause_->Show(!play);
  play_->Refresh();
  pause_->Refresh();
  KeepKeyboard();
}

void CSamplePlayerDlg::ShowCardMessage(int koreanId, int englishId) {
  messageBox_(Text(koreanId, englishId), GetTitle(), wxOK | wxICON_INFORMATION);
}

wxString CSamplePlayerDlg::SpeedText() const { return speed_->GetLabel(); }
wxString CSamplePlayerDlg::CurrentTimeText() const { return currentTime_->GetLabel(); }
wxString CSamplePlayerDlg::TotalTimeText() const { return totalTime_->GetLabel(); }

void CSamplePlayerDlg::SetVehicleText(const wxString& text) {
  if (vehicle_->GetLabel() != text) vehicle_->SetLabel(text);
  if (vehicle_->IsShown() != !text.empty()) vehicle_->Show(!text.empty());
}

void CSamplePlayerDlg::SetSpeedText(const wxString& text) {
  if (speed_->GetLabel() != text) speed_->SetLabel(text);
}
