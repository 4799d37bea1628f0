// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FamilyCard.h"

#include <wx/listctrl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

wxDEFINE_EVENT(EVT_CARD_LISTED, wxThreadEvent);

namespace {

// The list's value for every kind at once.
constexpr int kAllKinds = 4;
// The cameras' column, beside the date.
constexpr int kCamerasWidth = 70;
// Rows put into the list on one turn of the window's events.
constexpr std::size_t kFillBatch = 250;

// Rows in the list's order: oldest first, ties by name.
bool Before(const cards::CardRecording& a, const cards::CardRecording& b) {
  if (a.startSeconds != b.startSeconds) return a.startSeconds < b.startSeconds;
  return a.name < b.name;
}

}  // namespace

FamilyCard::FamilyCard(wxEvtHandler* window, wxListCtrl* list) : window_(window), list_(list) {
  fillTimer_.Bind(wxEVT_TIMER, [this](wxTimerEvent&) { FillMore(fill_); });
}

FamilyCard::~FamilyCard() {
  fillTimer_.Stop();
  lister_.Stop();
}

void FamilyCard::Open(const std::string& root, std::vector<std::string> files, int kind) {
  Close();
  ShowCamerasColumn(true);
  root_ = root;
  open_ = true;
  kind_ = kind;
  wxEvtHandler* window = window_;
  request_ = lister_.List(root, std::move(files), [window](cards::ListingReport&& report) {
    auto* event = new wxThreadEvent(EVT_CARD_LISTED);
    event->SetPayload(std::make_shared<cards::ListingReport>(std::move(report)));
    wxQueueEvent(window, event);
  });
}

void FamilyCard::Close() {
  if (open_) ShowCamerasColumn(false);
  lister_.Cancel();
  open_ = false;
  complete_ = false;
  root_.clear();
  recordings_.clear();
  index_.clear();
  shown_.clear();
  order_.clear();
  waiting_.clear();
  filling_ = false;
  fillTimer_.Stop();
}

bool FamilyCard::Shows(const cards::CardRecording& r) const {
  return r.HasClock() && (kind_ == kAllKinds || int(r.kind) == kind_);
}

void FamilyCard::Fill(int kind) {
  kind_ = kind;
  list_->DeleteAllItems();
  shown_.clear();
  order_.clear();
  for (std::size_t i = 0; i < recordings_.size(); ++i) {
    if (Shows(recordings_[i])) order_.push_back(i);
  }
  std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
    return Before(recordings_[a], recordings_[b]);
  });
  ++fill_;
  filling_ = true;
  FillMore(fill_);
}

void FamilyCard::FillMore(std::uint64_t fill) {
  // A newer fill, or the card closed, took over.
  if (fill != fill_ || !filling_) return;
  // Rows go in a few hundred at a time, each batch on its own turn of the window's events, so that
  // a card of thousands keeps the window answering while its rows come.
  const std::size_t end = std::min(order_.size(), shown_.size() + kFillBatch);
  list_->Freeze();
  for (std::size_t row = shown_.size(); row < end; ++row) {
    list_->InsertItem(long(row), wxString());
    SetRow(long(row), recordings_[order_[row]]);
    shown_.push_back(order_[row]);
  }
  list_->Thaw();
  if (shown_.size() < order_.size()) {
    // On a timer, not as a posted call: the toolkit draws and takes input in between.
    fillTimer_.StartOnce(1);
  } else {
    filling_ = false;
    order_.clear();
    // What came while the rows went in.
    std::vector<std::shared_ptr<cards::ListingReport>> waiting;
    waiting.swap(waiting_);
    for (const auto& report : waiting) Take(*report, -1);
  }
  if (rowsAdded_) rowsAdded_();
}

int FamilyCard::OnEvent(wxThreadEvent& event, int row) {
  const auto report = event.GetPayload<std::shared_ptr<cards::ListingReport>>();
  if (!open_ || !report || report->request != request_) return 0;
  if (report->stage == cards::ListingReport::Stage::kNames) {
    // The first rows: the list is filled whole.
    for (const cards::CardRecording& r : report->recordings) {
      if (index_.emplace(r.name, recordings_.size()).second) recordings_.push_back(r);
    }
    Fill(kind_);
    return 0;
  }
  if (filling_) {
    waiting_.push_back(report);
    return 0;
  }
  return Take(*report, row);
}

int FamilyCard::Take(const cards::ListingReport& report, int row) {
  if (report.stage == cards::ListingReport::Stage::kDone) {
    complete_ = true;
    return 0;
  }
  int before = 0;
  list_->Freeze();
  for (const cards::CardRecording& r : report.recordings) {
    long at = -1;
    if (Place(r, &at) && row >= 0 && at <= row + before) ++before;
  }
  list_->Thaw();
  return before;
}

bool FamilyCard::Place(const cards::CardRecording& r, long* insertedAt) {
  const auto known = index_.find(r.name);
  const std::size_t index = known == index_.end() ? recordings_.size() : known->second;
  const bool wasShown = known != index_.end() && Shows(recordings_[index]);
  if (known == index_.end()) {
    index_.emplace(r.name, index);
    recordings_.push_back(r);
  } else {
    recordings_[index] = r;
  }
  const cards::CardRecording& now = recordings_[index];
  if (!Shows(now)) return false;
  // Rows keep their place: a recording's clock only ever comes once.
  const auto at =
      std::lower_bound(shown_.begin(), shown_.end(), index,
                       [&](std::size_t a, std::size_t) { return Before(recordings_[a], now); });
  const long row = long(at - shown_.begin());
  if (wasShown && at != shown_.end() && *at == index) {
    SetRow(row, now);
    return false;
  }
  shown_.insert(at, index);
  list_->InsertItem(row, wxString());
  SetRow(row, now);
  *insertedAt = row;
  return true;
}

void FamilyCard::SetRow(long row, const cards::CardRecording& r) {
  list_->SetItem(row, 0, wxString::FromUTF8(TypeLabel(r)));
  list_->SetItem(row, 1, wxString::FromUTF8(r.name));
  list_->SetItem(row, 2, wxString::FromUTF8(DateText(r)));
  list_->SetItem(row, 3, wxString::FromUTF8(CamerasShort(r)));
  list_->SetItem(row, 4, wxString::Format("%d MB", int(double(r.bytes) / 1048576.0 + 0.5)));
  // A damaged recording (no pictures, or cut short without its index) shows in grey.
  list_->SetItemTextColour(row, r.damaged ? wxColour(128, 128, 128) : *wxWHITE);
}

const cards::CardRecording* FamilyCard::Find(const std::string& name) const {
  const auto known = index_.find(name);
  return known == index_.end() ? nullptr : &recordings_[known->second];
}

std::string FamilyCard::TypeLabel(const cards::CardRecording& r) {
  switch (r.kind) {
    case cards::Kind::kDriving:
      return "REC";
    case cards::Kind::kEvent:
      return "EVT";
    case cards::Kind::kParking:
      return "PAK";
    case cards::Kind::kManual:
      return "MAN";
  }
  return "REC";
}

std::string FamilyCard::DateText(const cards::CardRecording& r) {
  if (!r.HasClock()) return std::string();
  const cards::Clock& c = r.start;
  char text[32];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d %02d:%02d:%02d", c.year, c.month, c.day, c.hour,
                c.minute, c.second);
  return text;
}

void FamilyCard::ShowCamerasColumn(bool show) {
  // The VEX card's list keeps the column hidden (its rear mark is there); other cards have room
  // to say which cameras each recording has.
  wxListItem heading;
  heading.SetMask(wxLIST_MASK_TEXT);
  heading.SetText(show ? wxString("Cameras") : wxString());
  if (show) list_->SetColumn(3, heading);
  list_->SetColumnWidth(3, show ? kCamerasWidth : 0);
}

std::string FamilyCard::CamerasShort(const cards::CardRecording& r) {
  std::string out;
  for (const cards::CameraFile& f : r.files) {
    const char* letter = f.camera == "front"      ? "F"
                         : f.camera == "rear"     ? "R"
                         : f.camera == "interior" ? "I"
                                                  : nullptr;
    if (!letter) return std::to_string(r.files.size()) + " cams";
    out += (out.empty() ? "" : "+") + std::string(letter);
  }
  return out;
}

std::string FamilyCard::CamerasText(const cards::CardRecording& r) {
  std::string out;
  for (const cards::CameraFile& f : r.files) out += (out.empty() ? "" : "+") + f.camera;
  return out;
}
