#include "pipeline/schedule.h"

#include <algorithm>

namespace brivane::pipeline {

AdaptiveLimit::AdaptiveLimit(int most) : most_(std::max(most, 1)), limit_(most_) {}

bool AdaptiveLimit::acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return closed_ || refusal_ || in_flight_ < limit_; });
  if (closed_ || refusal_) return false;
  ++in_flight_;
  return true;
}

void AdaptiveLimit::release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --in_flight_;
  }
  changed_.notify_all();
}

std::optional<int> AdaptiveLimit::throttled() {
  std::lock_guard<std::mutex> lock(mutex_);
  int lowered = std::max(1, limit_ / 2);
  if (lowered == limit_) return std::nullopt;
  limit_ = lowered;
  return limit_;
}

std::optional<int> AdaptiveLimit::succeeded() {
  std::optional<int> raised;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (limit_ == most_) return std::nullopt;
    raised = ++limit_;
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

bool AdaptiveLimit::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

int AdaptiveLimit::in_flight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return in_flight_;
}

FetchQueue::FetchQueue(std::size_t jobs) : done_(jobs, false) {}

std::optional<std::size_t> FetchQueue::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || next_ >= done_.size()) return std::nullopt;
  return next_++;
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
