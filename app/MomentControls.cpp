// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MomentControls.h"

#include <wx/stattext.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "app/Layout.h"
#include "app/ViewerConfig.h"
#include "app/ViewerDialogs.h"
#include "export/ClipExport.h"
#include "media/CVEXParser.h"
#include "playback/CNOVMediaPlayer.h"
#include "skin/CBitmapSlider.h"
#include "support/Diag.h"

wxDEFINE_EVENT(EVT_CLIP, wxThreadEvent);

namespace {

constexpr char kTextClipCaption[] = "Export clip";
constexpr char kTextChooseClipFolder[] = "Choose the folder for the clip";
constexpr char kTextOutBeforeIn[] =
    "The out point (O) must come after the in point (I): set the in point again.";
constexpr char kTextClipBusy[] = "A clip is being written: wait for it to finish.";
constexpr char kTextClipMixedCameras[] =
    "The clip's recordings come from cameras of two kinds, which one file cannot hold: set both "
    "points in recordings of one camera.";

// "1/4×", "1/2×", "1×", "2×" ... for a speed in quarters.
wxString SpeedLabel(int quarters) {
  if (quarters < CNOVMediaPlayer::kNormalSpeed) {
    return wxString::FromUTF8(
        ("1/" + std::to_string(CNOVMediaPlayer::kNormalSpeed / quarters) + "×").c_str());
  }
  return wxString::FromUTF8(
      (std::to_string(quarters / CNOVMediaPlayer::kNormalSpeed) + "×").c_str());
}

// "00:00:12.3"
std::string ClockText(int ms) {
  char text[16];
  FormatClock(ms / 1000, text);
  return std::string(text) + "." + std::to_string(ms % 1000 / 100);
}

// Tells the window how the clip's export ended (on the clip's worker). how: what the span is;
// offsetMs: where the clip's first recording starts on the timeline played (a trip's).
void PostClipReport(wxEvtHandler* window, const ClipOutcome& outcome, const char* how,
                    int offsetMs) {
  ClipReport report;
  report.ok = outcome.result == kClipDone;
  if (report.ok) {
    report.path = outcome.files.front();
    report.message = "Saved the clip from " + ClockText(offsetMs + outcome.span.startMs) + " to " +
                     ClockText(offsetMs + outcome.span.endMs) + " (" + how + ") as:";
    for (const auto& file : outcome.files) report.message += "\n" + file;
  } else {
    report.message = "The clip could not be saved: " + outcome.reason;
  }
  auto* event = new wxThreadEvent(EVT_CLIP);
  event->SetPayload(report);
  wxQueueEvent(window, event);
}

}  // namespace

MomentControls::MomentControls(wxEvtHandler* window, Host* host, ViewerDialogs* dialogs,
                               OutputFolder* folder, CNOVMediaPlayer* engine, CBitmapSlider* seek,
                               wxStaticText* playSpeed, std::string cardDir)
    : window_(window),
      host_(host),
      dialogs_(dialogs),
      folder_(folder),
      engine_(engine),
      seek_(seek),
      playSpeed_(playSpeed),
      cardDir_(std::move(cardDir)) {}

MomentControls::~MomentControls() { JoinClipWorker(); }

void MomentControls::TrackCleared() {
  marks_ = EventMarks{};
  seek_->SetMarks({});
  clipInMs_ = clipOutMs_ = -1;
}

void MomentControls::MarksFound(const EventMarks& marks) {
  marks_ = marks;
  seek_->SetMarks(marks_.markSeconds, marks_.triggerSecond);
  DiagPrintf("Event marks => %d, trigger %d\n", static_cast<int>(marks_.markSeconds.size()),
             marks_.triggerSecond);
}

void MomentControls::OnClipEvent(wxThreadEvent& event) {
  const ClipReport report = event.GetPayload<ClipReport>();
  clipBusy_ = false;
  JoinClipWorker();
  DiagPrintf("Clip => %s\n", report.ok ? report.path.c_str() : report.message.c_str());
  dialogs_->ShowMessage(wxString::FromUTF8(report.message), "Export clip",
                        wxOK | (report.ok ? wxICON_INFORMATION : wxICON_ERROR));
  if (clipObserver_) clipObserver_(report.ok, report.message);
}

void MomentControls::Stop() { JoinClipWorker(); }

wxString MomentControls::PlaySpeedText() const { return playSpeed_->GetLabel(); }

void MomentControls::ShowPlaySpeed() {
  const int speed = engine_->GetSpeed();
  playSpeed_->SetLabel(SpeedLabel(speed));
  // Away from the normal pace the read-out stands out; beyond twice it also says the sound is off.
  playSpeed_->SetForegroundColour(speed == CNOVMediaPlayer::kNormalSpeed ? *wxWHITE
                                                                         : wxColour(255, 176, 0));
  playSpeed_->SetToolTip(CNOVMediaPlayer::SoundAtSpeed(speed)
                             ? wxString::FromUTF8("Playback speed")
                             : wxString::FromUTF8("Playback speed (no sound at this speed)"));
  playSpeed_->Refresh();
}

void MomentControls::ChangeSpeed(int step) {
  if (host_->DownloadBusy()) return;
  const auto* first = std::begin(CNOVMediaPlayer::kSpeeds);
  const auto* last = std::end(CNOVMediaPlayer::kSpeeds);
  const auto* at = std::find(first, last, engine_->GetSpeed());
  if (at == last) at = std::find(first, last, CNOVMediaPlayer::kNormalSpeed);
  if (step < 0 && at != first) --at;
  if (step > 0 && at + 1 != last) ++at;
  const int speed = step == 0 ? CNOVMediaPlayer::kNormalSpeed : *at;
  engine_->SetSpeed(speed);
  DiagPrintf("Playback speed => %d/4\n", speed);
  ShowPlaySpeed();
}

void MomentControls::StepPicture(int delta) {
  if (host_->DownloadBusy() || !host_->RecordingOpen()) return;
  // Steps are taken while paused: the first one pauses.
  if (!host_->PlayButtonShown()) {
    host_->ShowPlayButton(true);
    engine_->Pause();
  }
  if (!engine_->StepPictures(delta)) return;
  // The read-outs show the picture asked for at once.
  host_->OnPositionTick();
}

void MomentControls::JumpToMark(bool next) {
  if (host_->DownloadBusy() || !host_->RecordingOpen() || marks_.markSeconds.empty()) return;
  // Paused, the picture on screen is where the user stands; playing, the position.
  const int at = host_->PlayButtonShown() && engine_->GetShownPicture() >= 0
                     ? engine_->GetShownPictureMs()
                     : engine_->GetPositionMs();
  const int second =
      next ? NextMarkSecond(marks_.markSeconds, at) : PreviousMarkSecond(marks_.markSeconds, at);
  if (second < 0) return;
  DiagPrintf("Event mark => %d s\n", second);
  if (host_->PlayButtonShown()) {
    // Paused: the mark's own picture, both cameras.
    engine_->ShowPicture(second * engine_->GetFrontRate());
  } else {
    engine_->SeekToMs(second * 1000);
  }
  host_->ShowPosition(second, engine_->GetDurationMs() / 1000);
}

void MomentControls::SetClipPoint(bool in) {
  if (host_->DownloadBusy() || !host_->RecordingOpen()) return;
  const int at = host_->PlayButtonShown() && engine_->GetShownPicture() >= 0
                     ? engine_->GetShownPictureMs()
                     : engine_->GetPositionMs();
  if (in) {
    clipInMs_ = at;
    clipOutMs_ = -1;
    DiagPrintf("Clip in => %d ms\n", at);
    return;
  }
  if (clipInMs_ < 0 || at <= clipInMs_) {
    dialogs_->ShowMessage(wxString::FromUTF8(kTextOutBeforeIn),
                          wxString::FromUTF8(kTextClipCaption), wxOK | wxICON_INFORMATION);
    return;
  }
  clipOutMs_ = at;
  DiagPrintf("Clip out => %d ms\n", at);
  ExportClip();
}

void MomentControls::ExportClip() {
  if (host_->PlayingRecording().empty() || clipInMs_ < 0 || clipOutMs_ <= clipInMs_) return;
  if (clipBusy_) {
    dialogs_->ShowMessage(wxString::FromUTF8(kTextClipBusy), wxString::FromUTF8(kTextClipCaption),
                          wxOK | wxICON_INFORMATION);
    return;
  }
  ClipRequest request;
  request.name = host_->PlayingRecording();
  request.fromMs = clipInMs_;
  request.toMs = clipOutMs_;
  std::string familyRoot;
  const cards::CardRecording* family = host_->PlayingFamilyRecording(&familyRoot);
  std::vector<cards::CardRecording> families;
  if (family != nullptr) families.push_back(*family);
  int offsetMs = 0;
  std::string listed;
  int startMs = 0, endMs = 0;
  if (host_->TripRecordingAt(clipInMs_, &listed, &startMs, &endMs, &family, &familyRoot)) {
    // A trip's clip: the recording holding the in point from there, each one after it whole,
    // up to the one holding the out point.
    request.name = listed;
    request.fromMs = clipInMs_ - startMs;
    offsetMs = startMs;
    families.clear();
    const bool familyKind = family != nullptr;
    if (familyKind) families.push_back(*family);
    while (endMs < clipOutMs_ && endMs > startMs) {
      const int partStart = endMs;
      if (!host_->TripRecordingAt(partStart, &listed, &startMs, &endMs, &family, &familyRoot) ||
          startMs != partStart) {
        break;
      }
      if ((family != nullptr) != familyKind) {
        dialogs_->ShowMessage(wxString::FromUTF8(kTextClipMixedCameras),
                              wxString::FromUTF8(kTextClipCaption), wxOK | wxICON_INFORMATION);
        return;
      }
      request.following.push_back(listed);
      if (familyKind) families.push_back(*family);
    }
    request.toMs = clipOutMs_ - startMs;
    family = familyKind ? &families.front() : nullptr;
  }
  wxString folder;
  if (!dialogs_->ChooseFolder(wxString::FromUTF8(kTextChooseClipFolder),
                              wxString::FromUTF8(folder_->Path()), &folder) ||
      folder.empty()) {
    return;
  }
  // The next clip, and the next download, start in the same folder.
  folder_->Remember(folder.utf8_string());
  JoinClipWorker();
  request.folder = folder.utf8_string();
  clipBusy_ = true;
  if (family != nullptr) {
    // Another family's files are read by libavformat alone: no card library is needed.
    clipWorker_ = std::thread([window = window_, request, families, familyRoot, offsetMs] {
      PostClipReport(
          window, ::ExportFamilyClip(familyRoot, families, request, nullptr, nullptr, nullptr),
          "from the key pictures at or before the in point, every camera's own pictures", offsetMs);
    });
    return;
  }
  const std::string cardDir = cardDir_;
  // The worker reads the card through a library handle and parser of its own: the engine's
  // stream on the window's handle goes on undisturbed.
  clipWorker_ = std::thread([window = window_, request, cardDir, offsetMs] {
    VexHandle library = VexStart();
    VexInitialise(library, cardDir.empty() ? nullptr : cardDir.c_str());
    char drive = 0;
    VexCardPoll(library, &drive);
    VexCardAttach(library);
    ClipOutcome outcome;
    {
      CVEXParser parser;
      parser.SetLibraryHandle(library);
      parser.Start();
      outcome = ::ExportClip(&parser, library, request, nullptr, nullptr, nullptr);
      parser.Stop();
    }
    VexRelease(library);
    PostClipReport(window, outcome, "rounded out to the key pictures a clip starts and ends at",
                   offsetMs);
  });
}

void MomentControls::JoinClipWorker() {
  if (clipWorker_.joinable()) clipWorker_.join();
}
