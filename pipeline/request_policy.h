// What a request does after each attempt, decided without the network: the
// attempts allowed and the pause between them, the service's refusals, the
// account's limit and what a reply's finish says. The host sends, sleeps and
// raises; the records it writes are the ones decided here.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "pipeline/file_correction.h"
#include "pipeline/schedule.h"

namespace brivane::pipeline {

class RequestAttempts {
 public:
  // `allows(n)`: whether an attempt follows n failed ones (the caller's
  // `n < max_retries`, which need not be a whole number). The texts are
  // the limit and the pause as the records write them.
  RequestAttempts(std::function<bool(long long)> allows, std::string max_text,
                  std::string delay_text, Log &log);

  // Whether another attempt may go out.
  bool more() const { return allows_(failed_); }
  // An attempt goes out now: its start is recorded.
  void starting();
  // An attempt that failed through a checked branch: true when another
  // follows after the pause (recorded); false after the last one, whose
  // final message is recorded as the error the caller raises.
  bool retry_after(const std::string &final_message);
  // An attempt ended by a raised failure, recorded and counted: true when
  // the pause and another attempt follow.
  bool failed_by(const std::string &message, bool transport);
  // The error raised once no attempt is left, recorded.
  std::string exhausted(const std::string &last_failure);
  long long failed() const { return failed_; }

 private:
  bool count();

  std::function<bool(long long)> allows_;
  std::string max_text_, delay_text_;
  Log &log_;
  long long failed_ = 0;
};

// The message that ends a request the service refused for good (a bad key,
// a bad request, an empty account) when `stop_on_client_errors` is on;
// nothing for a status worth trying again.
std::optional<std::string> refusal_message(long status, bool stop_on_client_errors,
                                           std::string_view service_text);
inline bool empties_account(long status) { return status == 402; }

// The service pushing back (429, 503) halves the requests allowed in
// flight; each successful reply lets one more back in. The change is
// recorded.
void observe_status(AdaptiveLimit &limit, long status, long sent_in, Log &log);
// Finding the account's limit, a 429 beside other requests in flight is the
// account's limit speaking, not the service failing: the request goes again
// once another has finished, without a pause and without counting.
bool refused_by_account_limit(const AdaptiveLimit &limit, long status);

// How a reply ended, from its `finish_reason`.
struct Finish {
  bool cut_off = false;   // the token limit, or the service ran out of resources
  bool filtered = false;  // the content filter
  bool stored = false;    // only a finished reply is worth replaying
};
Finish finish_of(std::string_view finish_reason);

// The records of a reply's finish reason; `reasoning_tokens` names what a
// thinking model spent of a cut reply's budget.
void record_finish(std::string_view finish_reason, long long reasoning_tokens,
                   bool empty_content, Log &log);

}  // namespace brivane::pipeline
