// SPDX-License-Identifier: GPL-3.0-or-later
// A worker thread that does one job at a time, always the newest asked for: a job asked for while
// another waits replaces it, and the one being done is told to give way through its cancel flag.
// The readers that answer the window (the track loader, the card lister) run on one each. The
// worker starts with the first job and sleeps on a condition between jobs.
//
// Its owner calls Stop before anything the jobs use goes away: the destructor stops too, but by
// then the owner's other members may be gone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace platform {

template <typename Job>
class LatestJob {
 public:
  // Does a job on the worker; `cancel` is set when a newer job, Cancel or Stop wants it to end.
  using Serve = std::function<void(Job& job, const std::atomic<bool>& cancel)>;

  explicit LatestJob(Serve serve) : serve_(std::move(serve)) {}
  ~LatestJob() { Stop(); }
  LatestJob(const LatestJob&) = delete;
  LatestJob& operator=(const LatestJob&) = delete;

  // Asks for `job`; false (and nothing done) once stopped.
  bool Post(Job job) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return false;
    pending_ = std::move(job);
    cancel_ = true;  // the job being done, if any, is out of date
    if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
    wake_.notify_one();
    return true;
  }

  // Drops the waiting job and tells the one being done to end.
  void Cancel() {
    std::lock_guard<std::mutex> hold(lock_);
    pending_.reset();
    cancel_ = true;
  }

  // Cancels and ends the worker; returns once it has.
  void Stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
      pending_.reset();
      cancel_ = true;
      wake_.notify_one();
    }
    if (worker_.joinable()) worker_.join();
  }

 private:
  void Run() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait(hold, [this] { return stopping_ || pending_.has_value(); });
        if (stopping_) return;
        job = std::move(*pending_);
        pending_.reset();
        cancel_ = false;
      }
      serve_(job, cancel_);
    }
  }

  Serve serve_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::optional<Job> pending_;
  std::atomic<bool> cancel_{false};
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace platform
