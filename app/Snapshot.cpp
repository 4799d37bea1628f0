// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Snapshot.h"

#include <wx/filename.h>
#include <wx/frame.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/CPicturePane.h"
#include "app/CZoomDlg.h"
#include "app/ViewerDialogs.h"
#include "map/gui/CMapView.h"
#include "platform/Profile.h"
#include "playback/CNOVMediaPlayer.h"
#include "resources/core/StringTable.h"
#include "settings/CameraSettings.h"
#include "settings/gui/CSettingDlg.h"
#include "support/CivilDate.h"
#include "support/Diag.h"
#include "telemetry/CGPSData.h"
#include "telemetry/CTextData.h"
#include "vexlib/VexCard.h"

#ifndef ROADEYE_VERSION
#define ROADEYE_VERSION "0"
#endif

namespace {

// Splits seconds since 1970 into a date and a time.
void Split(long long seconds, int* y, int* mo, int* d, int* h, int* mi, int* s) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  std::int64_t year = 0;
  CivilFromDays(days, &year, mo, d);
  *y = static_cast<int>(year);
  *h = static_cast<int>(rest / 3600);
  *mi = static_cast<int>(rest % 3600 / 60);
  *s = static_cast<int>(rest % 60);
}

}  // namespace

std::string SnapshotDefaultName(const std::tm& now) {
  char name[96];
  std::snprintf(name, sizeof name, "Capture_%d%d%d_%d%d%d.jpg", now.tm_year + 1900, now.tm_mon + 1,
                now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  return name;
}

std::string SnapshotBaseName(const std::string& path, bool hasExtension) {
  // Only the dialog's ".jpg" is cut, as four characters: "x.jpeg" keeps "x.".
  if (!hasExtension || path.size() < 4) return path;
  return path.substr(0, path.size() - 4);
}

bool RecordingClock(const std::string& name, int positionMs, SnapshotEvidence* evidence) {
  // The camera's clock when the recording started; the picture's tags hold four-digit years from
  // 1970 on.
  vex::RecordingName parsed;
  std::int64_t clock = 0;
  if (!vex::ParseRecordingName(name, true, &parsed) || parsed.year < 1970 ||
      !vex::ClockSeconds(parsed, &clock)) {
    return false;
  }
  const long long at = clock + std::max(0, positionMs) / 1000;
  Split(at, &evidence->year, &evidence->month, &evidence->day, &evidence->hour, &evidence->minute,
        &evidence->second);
  return true;
}

SnapshotFix FixOf(const CGPSData& fix, float speedFactor, bool mph) {
  SnapshotFix out;
  if (fix.valid == 0 || fix.month < 1 || fix.month > 12 || fix.day < 1 || fix.day > 31) {
    return out;
  }
  out.valid = true;
  out.latitude = fix.GetLatitude();
  out.longitude = fix.GetLongitude();
  out.speed = speedFactor * fix.GetSpeed();
  out.mph = mph;
  // The record keeps the sentence's UTC hour plus the camera's 9 (not brought back under 24):
  // back to UTC, across midnight if need be.
  const long long at = DaysFromCivil(2000 + fix.year, fix.month, fix.day) * 86400 +
                       (fix.hour - 9) * 3600LL + fix.minute * 60 + fix.second;
  int second = 0;
  Split(at, &out.year, &out.month, &out.day, &out.hour, &out.minute, &second);
  out.second = second;
  return out;
}

PictureCapture::PictureCapture(wxFrame* window, Host* host, ViewerDialogs* dialogs,
                               CNOVMediaPlayer* engine, CMapView* map, CPicturePane* frontPane,
                               CPicturePane* rearPane)
    : window_(window),
      host_(host),
      dialogs_(dialogs),
      engine_(engine),
      map_(map),
      frontPane_(frontPane),
      rearPane_(rearPane),
      clock_(&ComputerLocalTime) {}

PictureCapture::~PictureCapture() { CloseZoomWindow(); }

SnapshotEvidence PictureCapture::SnapshotEvidenceNow() {
  SnapshotEvidence evidence;
  const std::string name = host_->CurrentRecording();
  evidence.description = name;
  std::int64_t start = 0;
  // The time within the recording: a trip's timeline runs over several.
  const int positionMs = std::max(0, engine_->GetPositionMs() - host_->CurrentRecordingStartMs());
  if (!RecordingClock(name, positionMs, &evidence) && host_->RecordingStart(&start)) {
    // Another camera's recording: its clock from its listing.
    const long long at = start + positionMs / 1000;
    Split(at, &evidence.year, &evidence.month, &evidence.day, &evidence.hour, &evidence.minute,
          &evidence.second);
  }
  const CTextData& telemetry = host_->Telemetry();
  if (telemetry.GpsCount() > 0) {
    const ReadoutUnit unit = host_->SpeedUnit();
    evidence.fix = FixOf(telemetry.LastGps(), unit.factor, wxString::FromUTF8(unit.label) == "MPH");
  }
  evidence.software = std::string("Roadeye ") + ROADEYE_VERSION;
  const std::string& settingsPath = host_->SettingsPath();
  if (!settingsPath.empty()) {
    char text[kSettingsValueBytes] = {};
    GetProfileText("blackbox", "make", "", text, sizeof text, settingsPath.c_str());
    evidence.make = text;
    GetProfileText("blackbox", "model", "", text, sizeof text, settingsPath.c_str());
    evidence.model = text;
  }
  return evidence;
}

void PictureCapture::CaptureSnapshot() {
  if (host_->DownloadBusy()) return;
  const int status = engine_->GetShowStatus();
  if ((status != CNOVMediaPlayer::kShowPlaying && status != CNOVMediaPlayer::kShowTwoShown) ||
      !host_->RecordingsListed()) {
    return;
  }
  // Held while the dialog is open: the pictures saved are the ones on screen.
  engine_->Pause();
  const std::tm now = clock_();
  wxString chosen;
  if (saveDialogRunner_(wxString::FromUTF8(SnapshotDefaultName(now)), &chosen)) {
    const std::string path = chosen.utf8_string();
    const std::string base = SnapshotBaseName(path, !wxFileName(chosen).GetExt().empty());
    const SnapshotEvidence evidence = SnapshotEvidenceNow();
    std::vector<std::pair<std::string, int>> failed;
    const int channels = engine_->GetChannelCount() > 1 ? 2 : 1;
    for (int channel = 0; channel < channels; ++channel) {
      const std::string file =
          base + (channel == 0 ? std::string("_front") : "_" + host_->SecondCameraName()) + ".jpg";
      errno = 0;
      if (!engine_->SavePicture(channel, file.c_str(), &evidence)) {
        failed.emplace_back(file, errno);  // the other camera's file is still tried
      }
    }
    if (!failed.empty()) {
      wxString lines;
      for (const auto& [file, error] : failed) {
        const wxString reason = error == ENODATA
                                    ? wxString::FromUTF8(DisplayText(
                                          BilingualText(kStrNoPictureYetKo, kStrNoPictureYetEn)))
                                    : wxString::FromUTF8(std::strerror(error != 0 ? error : EIO));
        lines += "\n" + wxString::FromUTF8(file) + ": " + reason;
      }
      dialogs_->ShowMessage(wxString::Format(wxString::FromUTF8(DisplayText(BilingualText(
                                                 kStrSnapshotFailedKo, kStrSnapshotFailedEn))),
                                             lines),
                            window_->GetTitle(), wxOK | wxICON_WARNING);
    }
  }
  // A recording that was playing goes on; one that was held stays held.
  if (status == CNOVMediaPlayer::kShowPlaying) {
    host_->ShowPlayButton(false);
    engine_->Resume();
    window_->Refresh();
  }
  host_->LayoutPanes();
}

void PictureCapture::OpenZoomWindow() {
  CloseZoomWindow();
  zoom_ = new CZoomDlg(window_, [this](const wxPoint& screen, const wxSize& size, wxImage* image) {
    return ZoomPicture(screen, size, image);
  });
  zoom_->Show();
  zoom_->Refresh();
  zoom_->Raise();
}

void PictureCapture::CloseZoomWindow() {
  if (zoom_ != nullptr) {
    zoom_->Destroy();
    zoom_ = nullptr;
  }
}

CZoomDlg::Found PictureCapture::ZoomPicture(const wxPoint& screen, const wxSize& size,
                                            wxImage* image) {
  using Found = CZoomDlg::Found;
  // The map lies above the pictures where they share a place.
  if (map_->IsShown() && map_->GetScreenRect().Contains(screen)) return Found::kNoPane;
  for (int channel = 0; channel < 2; ++channel) {
    CPicturePane* pane = channel == 0 ? frontPane_ : rearPane_;
    if (!pane->IsShown() || !pane->GetScreenRect().Contains(screen)) continue;
    int width = 0, height = 0;
    const wxSize shown = pane->GetClientSize();
    if (shown.x <= 0 || shown.y <= 0) return Found::kNoPane;
    if (!engine_->GetPictureSize(channel, &width, &height)) return Found::kNoPicture;
    // The point in the picture's own pixels, and as many of them as the zoom window shows at two
    // times the pane's scale, or one to one where the pane shrinks the picture more than that.
    const wxPoint at = screen - pane->GetScreenPosition();
    const double scaleX = std::max(1.0, 2.0 * shown.x / width);
    const double scaleY = std::max(1.0, 2.0 * shown.y / height);
    const int w = std::max(2, static_cast<int>(size.x / scaleX));
    const int h = std::max(2, static_cast<int>(size.y / scaleY));
    const int cx = static_cast<int>(static_cast<long long>(at.x) * width / shown.x);
    const int cy = static_cast<int>(static_cast<long long>(at.y) * height / shown.y);
    // The region comes as RGB, the image's own layout: straight into it.
    if (!image->IsOk() || image->GetSize() != size) image->Create(size.x, size.y, false);
    return engine_->CopyPictureRegion(channel, cx - w / 2, cy - h / 2, w, h, image->GetData(),
                                      size.x * 3, size.x, size.y)
               ? Found::kPicture
               : Found::kNoPicture;
  }
  return Found::kNoPane;
}
