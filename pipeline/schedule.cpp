#include "pipeline/schedule.h"

#include <algorithm>

namespace brivane::pipeline {

AdaptiveLimit::AdaptiveLimit(int most) : most_(std::max(most, 1)), limit_(most_) {}

AdaptiveLimit::AdaptiveLimit(int start, int most)
    : most_(std::max(most, 1)),
      limit_(std::clamp(start, 1, most_)),
      probing_(limit_ < most_),
      finds_limit_(true) {}

bool AdaptiveLimit::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return closed_ || refusal_ || in_flight_ < limit_; });
  if (closed_ || refusal_) return false;
  peak_ = std::max(peak_, ++in_flight_);
  return true;
}

void AdaptiveLimit::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_;
  }
  changed_.notify_all();
}

std::optional<int> AdaptiveLimit::throttled(std::optional<long> sent_in) {
  std::lock_guard<std::mutex> lock(mutex_);
  probing_ = false;  // the account's limit is found
  successes_ = 0;
  if (sent_in && *sent_in < round_) return std::nullopt;
  int lowered = std::max(1, limit_ / 2);
  if (lowered == limit_) return std::nullopt;
  limit_ = lowered;
  ++round_;
  return limit_;
}

long AdaptiveLimit::successes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return successes_total_;
}

bool AdaptiveLimit::wait_for_success(long seen, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return closed_ || refusal_ || successes_total_ > seen; });
  return !closed_ && !refusal_;
}

long AdaptiveLimit::round() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return round_;
}

std::optional<int> AdaptiveLimit::succeeded() {
  std::optional<int> raised;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++successes_total_;
    changed_.notify_all();
    if (limit_ == most_) return std::nullopt;
    if (probing_) {
      // A whole round at this limit went through: try twice as many.
      if (++successes_ < limit_) return std::nullopt;
      successes_ = 0;
      limit_ = std::min(most_, limit_ * 2);
      probing_ = limit_ < most_;
      raised = limit_;
    } else if (finds_limit_) {
      // Near the account's limit: one more per round, so the next refusal
      // costs one request, not a round's worth.
      if (++successes_ < limit_) return std::nullopt;
      successes_ = 0;
      raised = ++limit_;
    } else {
      raised = ++limit_;
    }
  }
  changed_.notify_all();
  return raised;
}

void AdaptiveLimit::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

void AdaptiveLimit::refuse(const std::string &why) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refusal_) refusal_ = why;
  }
  changed_.notify_all();
}

std::optional<std::string> AdaptiveLimit::refusal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusal_;
}

int AdaptiveLimit::limit() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limit_;
}

int AdaptiveLimit::peak() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

bool AdaptiveLimit::probing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return probing_;
}

bool AdaptiveLimit::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

int AdaptiveLimit::in_flight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_flight_;
}

FetchQueue::FetchQueue(std::size_t jobs, bool first_alone)
    : done_(jobs, false), first_alone_(first_alone) {}

std::optional<std::size_t> FetchQueue::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (first_alone_ && next_ >= 1) {
    finished_.wait(lock, [&] { return closed_ || done_[0]; });
  }
  if (closed_ || next_ >= done_.size()) return std::nullopt;
  return next_++;
}

std::size_t FetchQueue::left() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_.size() - std::min(next_, done_.size());
}

void FetchQueue::finish(std::size_t job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_[job] = true;
  }
  finished_.notify_all();
}

bool FetchQueue::wait(std::size_t job, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait_for(lock, timeout, [&] { return closed_ || done_[job]; });
  return done_[job];
}

void FetchQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  finished_.notify_all();
}

bool FetchQueue::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

}  // namespace brivane::pipeline
