// SPDX-License-Identifier: GPL-3.0-or-later
// The list's trip view: a card's trips (cards/Trips.h), found on a worker of their own when the
// view is asked for, a row each: the day, the start and end times, the length and the distance
// driven, the recordings and the events in it. The card is listed and described afresh by the
// cards library and every recording's track read for the distance, all on the worker, which
// posts one EVT_TRIPS_FOUND when it is done.
//
// Threads: everything here runs on the window thread except the worker, which touches only what it
// was given and posts its report.
#pragma once

#include <wx/event.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cards/CardListing.h"
#include "telemetry/TripSummary.h"
#include "vexlib/vexlib.h"

class wxListCtrl;

// Posted by the trip worker: its payload a TripsReport.
wxDECLARE_EVENT(EVT_TRIPS_FOUND, wxThreadEvent);

struct TripsReport {
  std::uint64_t serial = 0;
  std::vector<cards::CardRecording> recordings;
  std::vector<TripSummary> trips;
};

class TripList {
 public:
  explicit TripList(wxEvtHandler* window);
  ~TripList();
  TripList(const TripList&) = delete;
  TripList& operator=(const TripList&) = delete;

  // Finds the trips of the card at `root`, a VEX card's tracks read through `library` (the
  // caller's; it outlives the worker, which Stop ends). What was found before is dropped.
  void Find(const std::string& root, VexHandle library);
  // Ends the worker (it stops between two recordings) and forgets the card.
  void Stop();
  // Takes the worker's report; false for one of a card asked for before.
  bool OnEvent(wxThreadEvent& event);
  // True once the trips of the card last asked for are known.
  bool Ready() const { return ready_; }
  const std::string& Root() const { return root_; }
  const std::vector<TripSummary>& Trips() const { return report_.trips; }
  // A trip's recording by its listed name; null when it is none of them.
  const cards::CardRecording* Recording(const std::string& name) const;

  // Puts the trips into the list, a row each (the list's columns named for trips); a row's hidden
  // name column holds the trip's place among Trips().
  void Fill(wxListCtrl* list) const;

  // A trip row's texts: "2024.06.12"; "08:15 - 08:25"; "10:30, 12.4 km";
  // "10 recordings, 1 event".
  static std::string DayText(const TripSummary& t);
  static std::string TimesText(const TripSummary& t);
  static std::string LengthText(const TripSummary& t);
  static std::string CountsText(const TripSummary& t);

 private:
  wxEvtHandler* window_;
  std::thread worker_;
  std::shared_ptr<std::atomic<bool>> cancel_;
  std::uint64_t serial_ = 0;
  std::string root_;
  bool ready_ = false;
  TripsReport report_;
};
