// How often the store is asked when it does not answer as it should. A 429 waits as long as its
// Retry-After says (seconds or an HTTP date, at most an hour); a store fault (5xx), a network
// failure, a time-out or a certificate nobody trusts doubles the wait from the poll interval up
// to 15 minutes while such answers go on; any other refusal (4xx) waits as a fault does, since
// asking again every minute will not change the answer. A successful answer ends the wait.
// Only scheduled polls wait; an admin's connection test never does. Times are game seconds.
#pragma once

#include <ctime>
#include <string>

#include "host/store_https.h"

namespace gildmark {

inline constexpr int kMaxRetryAfterSeconds = 3600;
inline constexpr int kMaxBackoffSeconds = 15 * 60;

class StoreBackoff {
 public:
  // `started`: the polls now come less often than the schedule (told once); `ended`: a
  // success after that. A single failure only waits for the next regular poll.
  enum class Change { none, started, ended };
  // Takes in one answer of the store, to a request sent at game time `sent_at` and answered at
  // `now`. Doubling waits count from the sending, so that a slow failure does not also skip
  // the next regular poll; Retry-After counts from the answer, as the store meant it.
  Change OnReply(const host::HttpsReply& reply, double sent_at, double now, int interval_seconds,
                 std::time_t wall_now);
  // A scheduled poll at `now` may go out. A doubling wait ends at the regular poll nearest to
  // it (a request answered late must not cost another interval); Retry-After is kept to the
  // second (a timer check is a whole second, so half a second early counts as on time).
  bool Allows(double now) const { return !waiting_ || now + slack_ >= next_poll_; }
  // The polls come less often than the schedule.
  bool BackingOff() const { return told_; }
  // Whole seconds until a scheduled poll may go out again (0 when it may now).
  long long SecondsLeft(double now) const;

 private:
  Change Tell(bool beyond_schedule);

  bool waiting_ = false;
  bool told_ = false;
  double next_poll_ = 0;
  double slack_ = 0.5;
  double wait_ = 0;  // the last doubling wait; 0 before the first
};

// "429 Too Many Requests", "503 Service Unavailable: <the store's text>", "could not connect",
// "timed out", "certificate not trusted: ..." - what went wrong, in a few words.
std::string DescribeFailure(const host::HttpsReply& reply);
const char* StatusReason(int status);
// Seconds from a Retry-After value: delay-seconds or an HTTP date (relative to `wall_now`);
// -1 when the value is neither.
long long ParseRetryAfter(const std::string& value, std::time_t wall_now);

}  // namespace gildmark
