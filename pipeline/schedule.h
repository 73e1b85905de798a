// Scheduling of a batch's requests when several may be in flight: the
// windows are fetched in batch order by a few workers, under a limit that
// backs off when the service pushes back, while the merge takes the replies
// in batch order. Python-free and thread-safe; callers that hold a lock of
// their own (the host's) must drop it around the blocking calls.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace brivane::pipeline {

// How many requests may be in flight: starts at `most`, halves (never below
// one) when the service pushes back, and grows by one per successful reply,
// up to `most`.
class AdaptiveLimit {
 public:
  explicit AdaptiveLimit(int most);

  // Waits until one more request may go out and counts it in flight.
  // False, without waiting further, once closed or refused.
  bool acquire();
  void release();
  // The new limit when the reply changed it.
  std::optional<int> throttled();
  std::optional<int> succeeded();
  // Wakes every waiter; no request is let out afterwards.
  void close();
  // The service refused the account (not one request): no request is let
  // out afterwards, and each one that would have gone fails with `why`.
  void refuse(const std::string &why);
  std::optional<std::string> refusal() const;

  int limit() const;
  int in_flight() const;
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const int most_;
  int limit_;
  int in_flight_ = 0;
  bool closed_ = false;
  std::optional<std::string> refusal_;
};

// Jobs 0..n-1 in batch order: workers take them in order, the merge waits
// for each one's completion in turn.
class FetchQueue {
 public:
  explicit FetchQueue(std::size_t jobs);

  // The next job not yet taken, or nothing when all are taken or the queue
  // is closed.
  std::optional<std::size_t> take();
  void finish(std::size_t job);
  // Waits up to `timeout` for the job to finish; true when it has. A closed
  // queue stops the wait early (false unless the job finished).
  bool wait(std::size_t job, std::chrono::milliseconds timeout);
  // No job is handed out afterwards; waiters wake.
  void close();
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<bool> done_;
  std::size_t next_ = 0;
  bool closed_ = false;
};

}  // namespace brivane::pipeline
