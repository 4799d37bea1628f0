// SPDX-License-Identifier: GPL-3.0-or-later
// The card and the recording list: the card poll, filling the list by kind, moving through it,
// and the camera's settings file on the card.
#include <wx/checkbox.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/stattext.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/CPicturePane.h"
#include "app/CSamplePlayerDlg.h"
#include "cards/CardListing.h"
#include "platform/Drives.h"
#include "platform/Profile.h"
#include "resources/core/StringTable.h"
#include "settings/CameraSettings.h"
#include "settings/gui/CSettingDlg.h"
#include "skin/CBitmapButtonTrans.h"
#include "skin/CBitmapSlider.h"
#include "support/Diag.h"
#include "telemetry/gui/CGraphStatic.h"
#include "vexlib/VexCard.h"

wxDEFINE_EVENT(EVT_MOUNTS_CHANGED, wxThreadEvent);

namespace {

// Recordings smaller than this (and not empty) are left out of the list.
constexpr std::uint32_t kSmallestRecording = 524288;
// Most recordings listed of one kind; a card holds far fewer, the bound only keeps a damaged
// card from asking for huge buffers.
constexpr int kMaxListed = 100000;

// A listed recording's name taken apart; a name that is not a recording's has no kind and no
// clock (every field zero).
vex::RecordingName Parsed(const std::string& name) {
  vex::RecordingName parsed;
  if (!vex::ParseRecordingName(name, true, &parsed)) parsed = vex::RecordingName();
  return parsed;
}

std::string SettingsPathOf(const std::string& root) { return root + "/SETTING/blackbox.cfg"; }

constexpr char kTextExportTrack[] = "Export track (GPX, KML, SRT)...";
constexpr char kTextSecondPicture[] = "Second picture: ";

}  // namespace

std::string CSamplePlayerDlg::RecordingDateText(const std::string& name) {
  const vex::RecordingName n = Parsed(name);
  if (n.kind < 0) return std::string();
  char text[32];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", n.year, n.month, n.day, n.hour,
                n.minute, n.second);
  return text;
}

std::string CSamplePlayerDlg::RecordingTypeLabel(const std::string& name) {
  switch (Parsed(name).kind) {
    case vex::kKindContinuous:
      return "REC";
    case vex::kKindEvent:
      return "EVT";
    case vex::kKindParking:
      return "PAK";
    case vex::kKindManual:
      return "MAN";
    default:
      return std::string();
  }
}

bool CSamplePlayerDlg::RecordingHasRear(const std::string& name) { return Parsed(name).rear; }

bool CSamplePlayerDlg::CompareRecordingTime(const std::string& a, const std::string& b) {
  return Parsed(a).stamp < Parsed(b).stamp;
}

void CSamplePlayerDlg::PollCard() {
  // Files named on the command line stand in for a card that neither comes nor goes.
  if (!options_.files.empty()) return;
  const char before = cardDrive_;
  char now = 0;
  VexCardPoll(library_, &now);
  // No VEX card: a card of another family, on a removable drive with a camera's folders or in
  // the folder named on the command line.
  std::string familyRoot;
  if (now == 0) now = FamilyCardDrive(&familyRoot);
  cardDrive_ = now;
  // The same drive letter with a card of another layout (a folder that a VEX card was written
  // into, or the other way round) is a new card too.
  if (now == before && familyRoot == familyCard_->Root()) return;
  // Another card, or none: its trips are not this one's.
  tripList_->Stop();
  if (tripView_) LeaveTripView();
  if (now != 0) {
    if (before != 0) {
      // Another card took over between two polls (a swap, or a card on an earlier drive): what
      // was listed and played belongs to the old one.
      list_->DeleteAllItems();
      StopPlayback();
      familyCard_->Close();
    }
    if (!familyRoot.empty()) {
      familyCard_->Open(familyRoot, {}, kVexContinuous);
      return;
    }
    VexCardAttach(library_);
    FillRecordingList(kVexContinuous);
    ReadSpeedUnits();
    return;
  }
  // The card went away: nothing of it stays on screen, and playback stops.
  familyCard_->Close();
  list_->DeleteAllItems();
  panes_ = PaneStates{};
  mapSize_->Enable(false);
  seek_->SetPos(0);
  ClearTelemetryView();
  StopPlayback();
  LayoutPanes();
  ShowCardMessage(kStrCardRemovedKo, kStrCardRemovedEn);
}

char CSamplePlayerDlg::FamilyCardDrive(std::string* root) {
  const std::string named = platform::ProcessDrives().ExtraFolder();
  for (const platform::Drive& drive : platform::ProcessDrives().Drives()) {
    // The folder named on the command line is a card whatever its layout, once it holds
    // anything; other drives when they hold a camera's folders.
    const bool given = drive.root == named && !cards::IsEmptyFolder(drive.root);
    if (given || cards::HasCameraFolders(drive.root)) {
      *root = drive.root;
      return drive.letter;
    }
  }
  return 0;
}

void CSamplePlayerDlg::OpenFiles() {
  // The files' deepest common folder is the listing's root; each file is listed under it.
  std::filesystem::path root = std::filesystem::path(options_.files.front()).parent_path();
  for (const std::string& file : options_.files) {
    const std::filesystem::path folder = std::filesystem::path(file).parent_path();
    std::filesystem::path common;
    for (auto a = root.begin(), b = folder.begin();
         a != root.end() && b != folder.end() && *a == *b; ++a, ++b) {
      common /= *a;
    }
    root = common;
  }
  std::vector<std::string> relative;
  for (const std::string& file : options_.files) {
    relative.push_back(std::filesystem::path(file).lexically_relative(root).string());
  }
  cardDrive_ = '*';
  familyCard_->Open(root.string(), std::move(relative), kListAllKinds);
}

void CSamplePlayerDlg::OnCardListed(wxThreadEvent& event) {
  if (shutDown_) return;
  // The trip view is entered only once the card is listed to its end; a report after that is a
  // new listing's, of the recordings.
  if (tripView_) LeaveTripView();
  const int moved = familyCard_->OnEvent(event, currentRow_);
  if (currentRow_ >= 0) currentRow_ += moved;
  if (list_->GetItemCount() == 0 && selectAll_->GetValue()) selectAll_->SetValue(false);
  ApplySelectAll();
}

void CSamplePlayerDlg::OnMountsChanged(wxThreadEvent&) {
  // A mount or unmount of any file system: the poll re-reads the drives and sees whether
  // the card came or went, at once rather than at the next tick of timer 101.
  if (shutDown_) return;
  PollCard();
}

void CSamplePlayerDlg::OnFilter(int kind) {
  if (DownloadBusy()) return;
  if (tripView_) LeaveTripView();
  list_->DeleteAllItems();
  FillRecordingList(kind);
}

void CSamplePlayerDlg::OnOpenCommand() {
  if (DownloadBusy()) return;
  if (cardDrive_ == 0) {
    ShowCardMessage(kStrNoCardKo, kStrNoCardEn);
    return;
  }
  if (tripView_) LeaveTripView();
  list_->DeleteAllItems();
  FillRecordingList(kVexContinuous);
}

void CSamplePlayerDlg::EnumerateKind(int kind, std::vector<RecordingEntry>& entries) {
  if (cardDrive_ == 0) return;
  const int n = std::clamp(VexKindCount(library_, cardDrive_, kind), 0, kMaxListed);
  if (n == 0) return;
  std::vector<char> names(static_cast<std::size_t>(n) * kVexNameBytes, 0);
  std::vector<std::uint8_t> sizes(static_cast<std::size_t>(n) * kVexSizeBytes, 0);
  std::vector<int> values(static_cast<std::size_t>(n), 0);
  const int m = std::clamp(
      VexKindList(library_, cardDrive_, kind, n, names.data(), sizes.data(), values.data()), 0, n);
  for (int i = 0; i < m; ++i) {
    const char* nameBytes = &names[static_cast<std::size_t>(i) * kVexNameBytes];
    std::string name(nameBytes, strnlen(nameBytes, kVexNameBytes - 1));
    // The whole 64-bit size: exFAT cards hold recordings of 4 GiB and more, whose low 32 bits
    // alone would make them look small (and leave them out) or list a wrong size.
    std::uint64_t size = 0;
    for (int b = kVexSizeBytes - 1; b >= 0; --b)
      size = (size << 8) | sizes[static_cast<std::size_t>(i) * kVexSizeBytes + b];
    RecordingEntry entry{name, 0.0f};
    if (size == 0) {
      // An empty size: listed only when the library cannot describe the recording either.
      char text[kVexTextBytes] = {};
      VexDescribeIndexed(library_, name.c_str(), values[static_cast<std::size_t>(i)], nullptr,
                         nullptr, nullptr, nullptr, text, nullptr);
      if (text[0] != '\0') continue;
    } else if (size < kSmallestRecording) {
      continue;
    } else {
      entry.sizeMb = static_cast<float>(static_cast<double>(size) / 1048576.0 + 0.5);
    }
    entries.push_back(std::move(entry));
  }
}

void CSamplePlayerDlg::FillRecordingList(int kind) {
  if (familyCard_->IsOpen()) {
    familyCard_->Fill(kind);
    if (list_->GetItemCount() == 0 && selectAll_->GetValue()) selectAll_->SetValue(false);
    ApplySelectAll();
    return;
  }
  std::vector<RecordingEntry> entries;
  if (kind >= kVexEvent && kind <= kVexManual) {
    EnumerateKind(kind, entries);
  } else if (kind == kListAllKinds) {
    for (int k = kVexEvent; k <= kVexManual; ++k) EnumerateKind(k, entries);
  }
  // Oldest first. Recordings with the same time keep the library's order (a stable sort, so
  // that the list does not reshuffle them from one fill to the next).
  std::stable_sort(entries.begin(), entries.end(),
                   [](const RecordingEntry& a, const RecordingEntry& b) {
                     return CompareRecordingTime(a.name, b.name);
                   });
  list_->Freeze();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const RecordingEntry& e = entries[i];
    const long row =
        list_->InsertItem(static_cast<long>(i), wxString::FromUTF8(RecordingTypeLabel(e.name)));
    list_->SetItem(row, 1, wxString::FromUTF8(e.name));
    list_->SetItem(row, 2, wxString::FromUTF8(RecordingDateText(e.name)));
    list_->SetItem(row, 3, RecordingHasRear(e.name) ? "0" : "");
    list_->SetItem(row, 4, wxString::Format("%d MB", static_cast<int>(e.sizeMb)));
  }
  list_->Thaw();
  if (list_->GetItemCount() == 0 && selectAll_->GetValue()) selectAll_->SetValue(false);
  ApplySelectAll();
}

void CSamplePlayerDlg::ApplySelectAll() {
  const bool tick = selectAll_->GetValue();
  for (long i = 0; i < list_->GetItemCount(); ++i) {
    if (list_->IsItemChecked(i) != tick) list_->CheckItem(i, tick);
  }
}

void CSamplePlayerDlg::OnSelectAll(wxCommandEvent&) { ApplySelectAll(); }

std::vector<std::string> CSamplePlayerDlg::TickedRecordings() const {
  std::vector<std::string> names;
  for (long row = 0; row < list_->GetItemCount(); ++row) {
    if (!list_->IsItemChecked(row)) continue;
    if (!tripView_) {
      names.push_back(list_->GetItemText(row, 1).utf8_string());
    } else if (row < long(tripList_->Trips().size())) {
      // A ticked trip: its recordings.
      for (const std::string& n : tripList_->Trips()[std::size_t(row)].names) names.push_back(n);
    }
  }
  return names;
}

std::optional<std::string> CSamplePlayerDlg::RecordingInRow(int row) const {
  if (row < 0 || row >= list_->GetItemCount() || tripView_) return std::nullopt;
  return list_->GetItemText(row, 1).utf8_string();
}

std::string CSamplePlayerDlg::TelemetryName(const std::string& listed) const {
  if (!familyCard_->IsOpen()) return listed;
  const cards::CardRecording* r = familyCard_->Find(listed);
  if (r == nullptr || r->files.empty()) return listed;
  return ContainerRecordingName({familyCard_->Root() + "/" + r->files.front().path});
}

bool CSamplePlayerDlg::RecordingsListed() const { return list_->GetItemCount() > 0; }

std::string CSamplePlayerDlg::CurrentRecording() const {
  if (const TripClock* at = TripPartAt(engine_.GetPositionMs())) return at->listed;
  if (currentRow_ < 0 || currentRow_ >= list_->GetItemCount()) return std::string();
  return list_->GetItemText(currentRow_, 1).ToStdString();
}

void CSamplePlayerDlg::OnListContextMenu(wxListEvent& event) {
  const int row = static_cast<int>(event.GetIndex());
  wxMenu menu;
  menu.Append(kIdExportTrack, wxString::FromUTF8(kTextExportTrack));
  menu.Bind(
      wxEVT_MENU, [this, row](wxCommandEvent&) { trip_->ExportTracks(row); }, kIdExportTrack);
  // The playing recording's cameras, when it has more than the panes show: the second pane's.
  const cards::CardRecording* playing =
      row == currentRow_ && !familyPlaying_.empty() ? familyCard_->Find(familyPlaying_) : nullptr;
  if (playing != nullptr && playing->files.size() > 2) {
    menu.AppendSeparator();
    const int cameras = std::min<int>(int(playing->files.size()), 16);
    for (int i = 1; i < cameras; ++i) {
      const std::string label =
          std::string(kTextSecondPicture) + playing->files[std::size_t(i)].camera;
      menu.AppendRadioItem(kIdSecondCamera + i, wxString::FromUTF8(label))
          ->Check(i == secondCamera_);
    }
    menu.Bind(
        wxEVT_MENU, [this](wxCommandEvent& e) { ShowCamera(e.GetId() - kIdSecondCamera); },
        kIdSecondCamera + 1, kIdSecondCamera + cameras - 1);
  }
  list_->PopupMenu(&menu);
}

void CSamplePlayerDlg::OnListChecked(wxListEvent&) {
  bool all = list_->GetItemCount() > 0;
  for (long i = 0; i < list_->GetItemCount() && all; ++i) all = list_->IsItemChecked(i);
  if (selectAll_->GetValue() != all) selectAll_->SetValue(all);
}

void CSamplePlayerDlg::OnListActivated(wxListEvent& event) {
  if (DownloadBusy()) return;
  const long row = event.GetIndex();
  const wxString name = list_->GetItemText(row, 1);
  if (name.empty()) return;
  currentRow_ = static_cast<int>(row);
  if (!OpenRecording(name.ToStdString())) {
    currentRow_ = -1;
    return;
  }
  ShowPlayButton(false);
  for (long i = 0; i < list_->GetItemCount(); ++i) {
    list_->SetItemState(i, 0, wxLIST_STATE_SELECTED | wxLIST_STATE_DROPHILITED);
  }
  list_->SetItemState(row, wxLIST_STATE_FOCUSED | wxLIST_STATE_SELECTED,
                      wxLIST_STATE_FOCUSED | wxLIST_STATE_SELECTED);
  list_->SetFocus();
  list_->Refresh();
}

void CSamplePlayerDlg::PlayNext() {
  if (DownloadBusy()) return;
  if (currentRow_ + 1 >= list_->GetItemCount()) {
    StopPlayback();
    return;
  }
  PlayRow(currentRow_ + 1);
}

void CSamplePlayerDlg::PlayPrevious() {
  if (DownloadBusy()) return;
  if (currentRow_ <= 0) {
    StopPlayback();
    return;
  }
  if (currentRow_ - 1 >= list_->GetItemCount()) return;
  PlayRow(currentRow_ - 1);
}

void CSamplePlayerDlg::PlayRow(int row) {
  currentRow_ = row;
  const wxString name = list_->GetItemText(row, 1);
  if (name.empty()) return;
  // Only the row being played is marked.
  for (long i = 0; i < list_->GetItemCount(); ++i) {
    list_->SetItemState(i, 0, wxLIST_STATE_SELECTED | wxLIST_STATE_DROPHILITED);
  }
  list_->SetItemState(row, wxLIST_STATE_SELECTED | wxLIST_STATE_DROPHILITED,
                      wxLIST_STATE_SELECTED | wxLIST_STATE_DROPHILITED);
  // Opening may move on past rows that do not open, or empty the list; scroll only to a row
  // that is still there.
  if (OpenRecording(name.ToStdString()) && row < list_->GetItemCount()) list_->EnsureVisible(row);
  list_->Refresh();
}

void CSamplePlayerDlg::ReadSpeedUnits() {
  platform::ProcessDrives().Refresh();
  for (const platform::Drive& drive : platform::ProcessDrives().Drives()) {
    const std::string path = SettingsPathOf(drive.root);
    if (!SettingsFileExists(path)) CreateDefaultSettingsFile(library_, path);
    if (SettingsFileExists(path)) ApplySpeedUnit(path);
  }
}

bool CSamplePlayerDlg::OpenCardSettings() {
  platform::ProcessDrives().Refresh();
  for (const platform::Drive& drive : platform::ProcessDrives().Drives()) {
    const std::string path = SettingsPathOf(drive.root);
    if (!SettingsFileExists(path)) CreateDefaultSettingsFile(library_, path);
    if (!SettingsFileExists(path)) continue;
    DiagPrintf("Camera settings: %s\n", path.c_str());
    {
      CSettingDlg dialog(this, path, InterfaceLanguage());
      settingsRunner_(dialog);
    }
    // Saved or not, the card's unit is shown again.
    ApplySpeedUnit(path);
    return true;
  }
  return false;
}

void CSamplePlayerDlg::ApplySpeedUnit(const std::string& path) {
  settingsPath_ = path;
  const int code = ReadSpeedUnitSetting(path);
  if (code == speedCode_) return;
  speedCode_ = code;
  speedUnit_ = SpeedUnitFromSetting(code);
  SetSpeedText(SpeedUnitLabel());
}

void CSamplePlayerDlg::OnTripsBox(wxCommandEvent&) {
  if (DownloadBusy()) {
    trips_->SetValue(tripView_);
    return;
  }
  if (!trips_->GetValue()) {
    LeaveTripView();
    list_->DeleteAllItems();
    FillRecordingList(kVexContinuous);
    return;
  }
  // Another family's card is listed to its end first: its listing puts rows into the list.
  std::string root;
  if (familyCard_->IsOpen()) {
    if (familyCard_->Complete()) root = familyCard_->Root();
  } else if (cardDrive_ != 0) {
    for (const platform::Drive& drive : platform::ProcessDrives().Drives()) {
      if (drive.letter == cardDrive_) root = drive.root;
    }
  }
  if (root.empty()) {
    trips_->SetValue(false);
    return;
  }
  tripView_ = true;
  list_->DeleteAllItems();
  if (tripList_->Ready() && tripList_->Root() == root) {
    tripList_->Fill(list_);
  } else {
    tripList_->Find(root, familyCard_->IsOpen() ? nullptr : library_);
  }
}

bool CSamplePlayerDlg::ShowTrips() {
  if (tripView_) return true;
  trips_->SetValue(true);
  wxCommandEvent ticked(wxEVT_CHECKBOX, kIdTrips);
  OnTripsBox(ticked);
  return tripView_;
}

void CSamplePlayerDlg::OnTripsFound(wxThreadEvent& event) {
  if (shutDown_ || !tripList_->OnEvent(event) || !tripView_) return;
  tripList_->Fill(list_);
  if (selectAll_->GetValue()) ApplySelectAll();
}

void CSamplePlayerDlg::LeaveTripView() {
  tripView_ = false;
  trips_->SetValue(false);
  const struct {
    int column, width, korean, english;
  } columns[] = {{0, 84, kStrColTypeKo, kStrColTypeEn},
                 {1, 0, kStrColFilenameKo, kStrColFilenameEn},
                 {2, 150, kStrColDateKo, kStrColDateEn},
                 {3, 0, kStrColRearKo, kStrColRearEn},
                 {4, 0, kStrColSizeKo, kStrColSizeEn}};
  for (const auto& c : columns) {
    wxListItem item;
    item.SetText(wxString::FromUTF8(BilingualText(c.korean, c.english)));
    list_->SetColumn(c.column, item);
    list_->SetColumnWidth(c.column, c.width);
  }
}

const CSamplePlayerDlg::TripClock* CSamplePlayerDlg::TripPartAt(int positionMs) const {
  const TripClock* at = nullptr;
  for (const TripClock& c : tripClock_) {
    if (at == nullptr || c.startMs <= positionMs) at = &c;
  }
  return at;
}

bool CSamplePlayerDlg::TripRecordingAt(int ms, std::string* listed, int* startMs, int* endMs,
                                       const cards::CardRecording** family,
                                       std::string* root) const {
  const TripClock* at = TripPartAt(ms);
  if (at == nullptr) return false;
  *listed = at->listed;
  *startMs = at->startMs;
  *endMs =
      at + 1 != tripClock_.data() + tripClock_.size() ? (at + 1)->startMs : engine_.GetDurationMs();
  const cards::CardRecording* r = tripList_->Recording(at->listed);
  *family = r != nullptr && r->family != cards::Family::kVex ? r : nullptr;
  *root = tripList_->Root();
  return true;
}

int CSamplePlayerDlg::CurrentRecordingStartMs() const {
  const TripClock* at = TripPartAt(engine_.GetPositionMs());
  return at != nullptr ? at->startMs : 0;
}

std::string CSamplePlayerDlg::TripClockText(int positionMs) const {
  const TripClock* at = TripPartAt(positionMs);
  if (at == nullptr) return std::string();
  const cards::Clock clock =
      cards::ClockFromSeconds(at->clockSeconds + (positionMs - at->startMs) / 1000);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", clock.hour, clock.minute, clock.second);
  return text;
}
