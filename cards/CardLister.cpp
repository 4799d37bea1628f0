// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/CardLister.h"

#include <utility>

namespace cards {

CardLister::~CardLister() { Stop(); }

std::uint64_t CardLister::List(std::string root, std::vector<std::string> files, Report report) {
  std::lock_guard<std::mutex> hold(lock_);
  pending_ = Job{++requests_, std::move(root), std::move(files), std::move(report)};
  cancel_ = true;  // the one being listed gives way
  if (!worker_.joinable() && !stopping_) worker_ = std::thread([this] { Run(); });
  wake_.notify_one();
  return requests_;
}

void CardLister::Cancel() {
  std::lock_guard<std::mutex> hold(lock_);
  pending_.reset();
  cancel_ = true;
}

void CardLister::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    pending_.reset();
    cancel_ = true;
    wake_.notify_one();
  }
  if (worker_.joinable()) worker_.join();
}

void CardLister::Run() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      wake_.wait(hold, [&] { return stopping_ || pending_.has_value(); });
      if (stopping_) return;
      job = std::move(*pending_);
      pending_.reset();
      cancel_ = false;
    }
    Serve(job);
  }
}

void CardLister::Serve(const Job& job) {
  CardScan scan = job.files.empty() ? ScanCard(job.root, &cancel_) : ScanFiles(job.root, job.files);
  if (cancel_) return;

  // The first rows: what the names alone say, oldest first.
  ListingReport names;
  names.request = job.request;
  names.truncated = scan.truncated;
  names.readable = scan.readable;
  for (const CardRecording& r : scan.recordings) {
    if (r.HasClock()) names.recordings.push_back(r);
  }
  job.report(std::move(names));

  ListingReport batch;
  batch.stage = ListingReport::Stage::kDescribed;
  batch.request = job.request;
  for (CardRecording& r : scan.recordings) {
    DescribeRecording(job.root, &r, &cancel_);
    if (cancel_) return;
    batch.recordings.push_back(r);
    if (batch.recordings.size() >= kBatch) {
      job.report(std::move(batch));
      batch = ListingReport{};
      batch.stage = ListingReport::Stage::kDescribed;
      batch.request = job.request;
    }
  }
  if (!batch.recordings.empty()) job.report(std::move(batch));
  ListingReport done;
  done.stage = ListingReport::Stage::kDone;
  done.request = job.request;
  job.report(std::move(done));
}

}  // namespace cards
