// SPDX-License-Identifier: GPL-3.0-or-later
// The card of another camera family (or the recording files named on the command line) in the
// recording list. Its listing runs on the cards library's worker (cards/CardLister.h): the rows
// its names give come first, then each recording as its containers are read, each report posted
// to the window as EVT_CARD_LISTED and put into the list here, at its place by clock, without
// moving the rows already there. The VEX card keeps its own listing through the card library.
//
// Threads: everything runs on the window thread except the lister's callback, which only posts.
#pragma once

#include <wx/event.h>
#include <wx/timer.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cards/CardLister.h"
#include "metadata/FixClock.h"

class wxListCtrl;

// Posted by the listing worker: its payload a cards::ListingReport.
wxDECLARE_EVENT(EVT_CARD_LISTED, wxThreadEvent);

class FamilyCard {
 public:
  // `window` gets the events; `list` is the recording list the rows go into.
  FamilyCard(wxEvtHandler* window, wxListCtrl* list);
  ~FamilyCard();
  FamilyCard(const FamilyCard&) = delete;
  FamilyCard& operator=(const FamilyCard&) = delete;

  // Starts listing the card at `root` (or the files under it, when given), dropping what was
  // listed before. The list is filled as reports come, with the recordings of `kind` (a card
  // library kind, or 4 for all).
  void Open(const std::string& root, std::vector<std::string> files, int kind);
  // Forgets the card: no more of its reports are taken.
  void Close();
  bool IsOpen() const { return open_; }
  const std::string& Root() const { return root_; }
  // True once every recording has been described and its row is in the list.
  bool Complete() const { return complete_ && !filling_; }
  // Called whenever rows went into the list without a report of the worker (a fill's later
  // batches), so that the window can tick them as Select All says.
  void SetRowsAdded(std::function<void()> added) { rowsAdded_ = std::move(added); }

  // Takes a report of the worker. Returns how many rows went in before `row` (so that the window
  // can keep its current row).
  int OnEvent(wxThreadEvent& event, int row);
  // Empties the list and fills it with the recordings of `kind` known so far, a batch of rows
  // at a time.
  void Fill(int kind);

  const std::vector<cards::CardRecording>& Recordings() const { return recordings_; }
  // The recording of a row's name; null when none.
  const cards::CardRecording* Find(const std::string& name) const;

  // The list's texts of a recording: REC, EVT, PAK or MAN; "YYYY.MM.DD HH:MM:SS"; the cameras.
  static std::string TypeLabel(const cards::CardRecording& r);
  static std::string DateText(const cards::CardRecording& r);
  static std::string CamerasText(const cards::CardRecording& r);
  // F, R and I joined by "+", or "N cams" for Tesla's cameras.
  static std::string CamerasShort(const cards::CardRecording& r);

 private:
  bool Shows(const cards::CardRecording& r) const;
  // Puts a recording into the list, or updates its row; returns whether a row was inserted and
  // where.
  bool Place(const cards::CardRecording& r, long* insertedAt);
  int Take(const cards::ListingReport& report, int row);
  void FillMore(std::uint64_t fill);
  void SetRow(long row, const cards::CardRecording& r);
  void ShowCamerasColumn(bool show);

  wxEvtHandler* window_;
  wxListCtrl* list_;
  metadata::CFixClock fixClock_;  // before the lister, whose worker uses it
  cards::CardLister lister_{&fixClock_};
  std::string root_;
  std::uint64_t request_ = 0;
  bool open_ = false;
  bool complete_ = false;
  int kind_ = 1;
  std::vector<cards::CardRecording> recordings_;        // every kind, in the order they came
  std::unordered_map<std::string, std::size_t> index_;  // name: its place in recordings_
  std::vector<std::size_t> shown_;                      // the list's rows: indices into recordings_
  std::vector<std::size_t> order_;                      // a fill's rows, in order, while it runs
  std::uint64_t fill_ = 0;
  bool filling_ = false;
  // Reports that came while a fill ran, taken when it ends.
  std::vector<std::shared_ptr<cards::ListingReport>> waiting_;
  std::function<void()> rowsAdded_;
  wxTimer fillTimer_;  // the next batch of a fill
};
