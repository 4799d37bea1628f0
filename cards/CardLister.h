// SPDX-License-Identifier: GPL-3.0-or-later
// Lists a card on a worker thread of its own, so that the window never waits on the card: first
// the recordings its folders and names make (quick: the first rows), then each recording described
// from its containers, in batches, oldest first. A newer request replaces one not yet started and
// cancels the one being listed; reports come through the request's callback, on the worker, each
// carrying the request's number so that a late report of a replaced request can be told apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cards/CardListing.h"
#include "platform/LatestJob.h"

namespace cards {

struct ListingReport {
  enum class Stage {
    kNames,      // every recording whose name gives its clock, not yet described
    kDescribed,  // a batch of recordings just described (their clock may be new)
    kDone,       // the listing is complete; no recordings
  };
  Stage stage = Stage::kNames;
  std::uint64_t request = 0;
  std::vector<CardRecording> recordings;
  bool truncated = false;
  bool readable = true;
};

class CardLister {
 public:
  using Report = std::function<void(ListingReport&& report)>;
  // Recordings described before a batch is reported.
  static constexpr std::size_t kBatch = 16;

  // `fixes` (may be null; the owner keeps it, living past the lister) finds the clock of a
  // recording whose name and container give none; it is called on the worker.
  explicit CardLister(VFixClock* fixes = nullptr);
  ~CardLister();
  CardLister(const CardLister&) = delete;
  CardLister& operator=(const CardLister&) = delete;

  // Lists the card at `root`, or, when `files` is not empty, those files alone (relative to
  // `root`). Returns the request's number. Starts the worker at the first call.
  std::uint64_t List(std::string root, std::vector<std::string> files, Report report);
  // Drops a waiting request and cancels the one being listed; no more of their reports come.
  void Cancel();
  // Cancels and ends the worker; returns once it has.
  void Stop();

 private:
  struct Job {
    std::uint64_t request = 0;
    std::string root;
    std::vector<std::string> files;
    Report report;
    VFixClock* fixes = nullptr;
  };
  static void Serve(const Job& job, const std::atomic<bool>& cancel);

  VFixClock* const fixes_;
  std::atomic<std::uint64_t> requests_{0};
  platform::LatestJob<Job> worker_;
};

}  // namespace cards
