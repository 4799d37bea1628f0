// SPDX-License-Identifier: GPL-3.0-or-later
#include "cards/CardLister.h"

#include <utility>

namespace cards {

CardLister::CardLister(VFixClock* fixes) : fixes_(fixes), worker_(&CardLister::Serve) {}

CardLister::~CardLister() { Stop(); }

std::uint64_t CardLister::List(std::string root, std::vector<std::string> files, Report report) {
  const std::uint64_t request = ++requests_;
  worker_.Post(Job{request, std::move(root), std::move(files), std::move(report), fixes_});
  return request;
}

void CardLister::Cancel() { worker_.Cancel(); }

void CardLister::Stop() { worker_.Stop(); }

void CardLister::Serve(const Job& job, const std::atomic<bool>& cancel) {
  CardScan scan = job.files.empty() ? ScanCard(job.root, &cancel) : ScanFiles(job.root, job.files);
  if (cancel) return;

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
    DescribeRecording(job.root, &r, &cancel, job.fixes);
    if (cancel) return;
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
