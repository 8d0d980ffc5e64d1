#include "store/store_backoff.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace gildmark {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

int MonthOf(const char* name) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i)
    if (strncmp(name, kMonths[i], 3) == 0) return i + 1;
  return 0;
}

// The three date forms of HTTP: "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT"
// and "Sun Nov  6 08:49:37 1994".
bool ParseHttpDate(const std::string& text, std::time_t& out) {
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  char month[4] = {};
  char zone[4] = {};
  const char* s = text.c_str();
  const char* comma = strchr(s, ',');
  if (comma) {
    if (sscanf(comma + 1, " %2d %3s %4d %2d:%2d:%2d %3s", &day, month, &year, &hour, &minute, &second, zone) != 7 &&
        sscanf(comma + 1, " %2d-%3[A-Za-z]-%2d %2d:%2d:%2d %3s", &day, month, &year, &hour, &minute, &second,
               zone) != 7)
      return false;
    if (strcmp(zone, "GMT") != 0) return false;
    if (year < 100) year += year < 70 ? 2000 : 1900;
  } else if (sscanf(s, "%*3s %3s %2d %2d:%2d:%2d %4d", month, &day, &hour, &minute, &second, &year) != 6) {
    return false;
  }
  const int m = MonthOf(month);
  if (m == 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  out = static_cast<std::time_t>(DaysFromCivil(year, static_cast<unsigned>(m), static_cast<unsigned>(day)) * 86400 +
                                 hour * 3600 + minute * 60 + second);
  return true;
}

std::string OneLine(const std::string& text, size_t limit) {
  std::string out;
  for (char c : text) {
    if (out.size() >= limit) {
      out += "...";
      break;
    }
    out += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace

const char* StatusReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "";
  }
}

long long ParseRetryAfter(const std::string& value, std::time_t wall_now) {
  size_t start = value.find_first_not_of(' ');
  if (start == std::string::npos) return -1;
  size_t end = value.find_last_not_of(' ');
  const std::string text = value.substr(start, end - start + 1);
  if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    if (text.size() > 9) return kMaxRetryAfterSeconds;
    return std::stoll(text);
  }
  std::time_t when = 0;
  if (!ParseHttpDate(text, when)) return -1;
  return when > wall_now ? static_cast<long long>(when - wall_now) : 0;
}

std::string DescribeFailure(const host::HttpsReply& reply) {
  switch (reply.failure) {
    case host::HttpsFailure::connect:
      return reply.error.empty() ? "could not connect" : "could not connect (" + reply.error + ")";
    case host::HttpsFailure::timeout: return "timed out";
    case host::HttpsFailure::certificate: return "certificate not trusted: " + reply.error;
    case host::HttpsFailure::too_large: return "the answer was larger than 64 MiB";
    case host::HttpsFailure::none: break;
  }
  std::string text = std::to_string(reply.status);
  const char* reason = StatusReason(reply.status);
  if (*reason) text += std::string(" ") + reason;
  const std::string body = OneLine(reply.body, 300);
  if (reply.status >= 300 && !body.empty()) text += ": " + body;
  return text;
}

StoreBackoff::Change StoreBackoff::OnReply(const host::HttpsReply& reply, double sent_at, double now,
                                           int interval_seconds, std::time_t wall_now) {
  if (reply.Ok()) {
    const bool was = told_;
    waiting_ = told_ = false;
    wait_ = 0;
    return was ? Change::ended : Change::none;
  }
  const bool answered = reply.failure == host::HttpsFailure::none;
  if (answered && reply.status == 429) {
    const long long seconds = ParseRetryAfter(reply.retry_after, wall_now);
    if (seconds >= 0) {
      waiting_ = true;
      next_poll_ = now + static_cast<double>(std::min<long long>(seconds, kMaxRetryAfterSeconds));
      slack_ = 0.5;
      return Tell(next_poll_ > sent_at + interval_seconds + 0.5);
    }
  }
  // 5xx, a refusal, no answer at all, a 429 without a usable Retry-After, or a 1xx/3xx that no
  // store sends: the doubling wait.
  wait_ = wait_ <= 0 ? interval_seconds : std::min<double>(wait_ * 2, kMaxBackoffSeconds);
  waiting_ = true;
  next_poll_ = sent_at + wait_;
  slack_ = interval_seconds / 2.0;
  return Tell(wait_ > interval_seconds);
}

StoreBackoff::Change StoreBackoff::Tell(bool beyond_schedule) {
  if (!beyond_schedule || told_) return Change::none;
  told_ = true;
  return Change::started;
}

long long StoreBackoff::SecondsLeft(double now) const {
  if (!waiting_ || now + slack_ >= next_poll_) return 0;
  return static_cast<long long>(std::ceil(next_poll_ - now));
}

}  // namespace gildmark
