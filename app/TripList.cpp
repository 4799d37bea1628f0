// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/TripList.h"

#include <wx/listctrl.h>

#include <cmath>
#include <cstdio>

#include "metadata/FixClock.h"

wxDEFINE_EVENT(EVT_TRIPS_FOUND, wxThreadEvent);

namespace {

// The trip view's columns: the day, the times, the length and distance, the counts.
// The first three fill the list's width (the day's column shares its room with the row's check
// box); the counts are seen by scrolling.
constexpr int kDayWidth = 118, kTimesWidth = 94, kLengthWidth = 108, kCountsWidth = 150;

}  // namespace

TripList::TripList(wxEvtHandler* window) : window_(window) {}

TripList::~TripList() { Stop(); }

void TripList::Stop() {
  if (cancel_) cancel_->store(true);
  if (worker_.joinable()) worker_.join();
  cancel_.reset();
  ready_ = false;
  root_.clear();
  report_ = TripsReport();
}

void TripList::Find(const std::string& root, VexHandle library) {
  Stop();
  root_ = root;
  cancel_ = std::make_shared<std::atomic<bool>>(false);
  const std::uint64_t serial = ++serial_;
  worker_ = std::thread([window = window_, root, library, serial, cancel = cancel_] {
    auto report = std::make_shared<TripsReport>();
    report->serial = serial;
    cards::CardScan scan = cards::ScanCard(root, cancel.get());
    metadata::CFixClock fixes;
    for (cards::CardRecording& r : scan.recordings) {
      if (cancel->load()) return;
      cards::DescribeRecording(root, &r, cancel.get(), &fixes);
    }
    cards::SortRecordings(&scan.recordings);
    report->trips = SummariseTrips(root, scan.recordings, library, cancel.get());
    if (cancel->load()) return;
    report->recordings = std::move(scan.recordings);
    auto* event = new wxThreadEvent(EVT_TRIPS_FOUND);
    event->SetPayload(report);
    wxQueueEvent(window, event);
  });
}

bool TripList::OnEvent(wxThreadEvent& event) {
  const auto report = event.GetPayload<std::shared_ptr<TripsReport>>();
  if (!report || report->serial != serial_ || root_.empty()) return false;
  report_ = std::move(*report);
  ready_ = true;
  return true;
}

const cards::CardRecording* TripList::Recording(const std::string& name) const {
  for (const cards::CardRecording& r : report_.recordings) {
    if (r.name == name) return &r;
  }
  return nullptr;
}

std::string TripList::DayText(const TripSummary& t) {
  const cards::Clock c = t.trip.Start();
  char text[16];
  std::snprintf(text, sizeof text, "%04d.%02d.%02d", c.year, c.month, c.day);
  return text;
}

std::string TripList::TimesText(const TripSummary& t) {
  const cards::Clock a = t.trip.Start(), b = t.trip.End();
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d - %02d:%02d", a.hour, a.minute, b.hour, b.minute);
  return text;
}

std::string TripList::LengthText(const TripSummary& t) {
  const long long s = std::llround(t.trip.seconds);
  char text[48];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld, %.1f km", s / 3600, s / 60 % 60, s % 60,
                  t.metres / 1000);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld, %.1f km", s / 60, s % 60, t.metres / 1000);
  }
  return text;
}

std::string TripList::CountsText(const TripSummary& t) {
  const std::size_t n = t.names.size();
  const int e = t.trip.events;
  char text[64];
  std::snprintf(text, sizeof text, "%zu recording%s, %d event%s", n, n == 1 ? "" : "s", e,
                e == 1 ? "" : "s");
  return text;
}

void TripList::Fill(wxListCtrl* list) const {
  list->Freeze();
  list->DeleteAllItems();
  const struct {
    int column, width;
    const char* title;
  } columns[] = {{0, kDayWidth, "Day"},
                 {1, 0, "Trip"},
                 {2, kTimesWidth, "Time"},
                 {3, kLengthWidth, "Length"},
                 {4, kCountsWidth, "Recordings"}};
  for (const auto& c : columns) {
    wxListItem item;
    item.SetText(c.title);
    list->SetColumn(c.column, item);
    list->SetColumnWidth(c.column, c.width);
  }
  const std::vector<TripSummary>& trips = report_.trips;
  for (std::size_t i = 0; i < trips.size(); ++i) {
    const long row = list->InsertItem(long(i), wxString::FromUTF8(DayText(trips[i])));
    list->SetItem(row, 1, wxString::Format("%zu", i));
    list->SetItem(row, 2, wxString::FromUTF8(TimesText(trips[i])));
    list->SetItem(row, 3, wxString::FromUTF8(LengthText(trips[i])));
    list->SetItem(row, 4, wxString::FromUTF8(CountsText(trips[i])));
  }
  list->Thaw();
}
