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
  // Finding the account's limit: starts at `start` and doubles after each
  // round of successful replies (as many as the limit) until the service
  // first pushes back or `most` is reached; from then on a push-back halves
  // it and each round of successful replies adds one.
  AdaptiveLimit(int start, int most);

  // Waits until one more request may go out and counts it in flight.
  // False, without waiting further, once closed or refused.
  bool acquire();
  void release();
  // The new limit when the reply changed it. A push-back to a request sent
  // before the last halving (`sent_in`, the round() when it went out) is
  // part of the same burst and halves nothing more.
  std::optional<int> throttled(std::optional<long> sent_in = std::nullopt);
  // How many times the limit was halved so far.
  long round() const;
  // Successful replies so far, and a wait of at most `timeout` for one more
  // than `seen` (false, at once, when closed or refused): a request the
  // account refused goes again as soon as another one has finished.
  long successes() const;
  bool wait_for_success(long seen, std::chrono::milliseconds timeout);
  std::optional<int> succeeded();
  // Wakes every waiter; no request is let out afterwards.
  void close();
  // The service refused the account (not one request): no request is let
  // out afterwards, and each one that would have gone fails with `why`.
  void refuse(const std::string &why);
  std::optional<std::string> refusal() const;

  int limit() const;
  int in_flight() const;
  // The most requests that were in flight at once.
  int peak() const;
  // Still doubling: the service has not pushed back yet.
  bool probing() const;
  // Made to find the account's limit (the two-number constructor).
  bool finds_limit() const { return finds_limit_; }
  bool closed() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const int most_;
  int limit_;
  bool probing_ = false;
  const bool finds_limit_ = false;
  int successes_ = 0;  // in the current round, while probing
  int in_flight_ = 0;
  int peak_ = 0;
  long round_ = 0;
  long successes_total_ = 0;
  bool closed_ = false;
  std::optional<std::string> refusal_;
};

// Jobs 0..n-1 in batch order: workers take them in order, the merge waits
// for each one's completion in turn.
class FetchQueue {
 public:
  // `first_alone`: job 0 goes out on its own and the others wait for it to
  // finish, so they find its prompt in the service's prefix cache (stored
  // only once a request carrying it has finished).
  explicit FetchQueue(std::size_t jobs, bool first_alone = false);

  // The next job not yet taken, or nothing when all are taken or the queue
  // is closed. Blocks while the first job goes out alone.
  std::optional<std::size_t> take();
  // Jobs not yet taken.
  std::size_t left() const;
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
  bool first_alone_;
  bool closed_ = false;
};

}  // namespace brivane::pipeline
