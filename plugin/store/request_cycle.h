// The request cycle's completion of a GET: deliver the payments of a scheduled poll, answer a
// connection test, or discard the first run's reply. Every path clears request_in_flight, and
// nothing it does throws into the host.
#pragma once

#include <string>

#include "json.hpp"

namespace gildmark {

inline constexpr const char* kPleaseWaitMessage = "Please wait a request is already being made...";
inline constexpr const char* kUnavailableMessage =
    "Gildmark API is temporarily unavailable, maybe you are making too many requests. Please try again latter.";
inline constexpr const char* kConnectionSuccessfulMessage = "Gildmark API connection successful.";

// Null, an empty object or an empty array: no results wait.
bool IsEmptyResults(const nlohmann::json& document);
void OnGetReply(bool success, std::string body, bool scheduled, bool connection_test);

}  // namespace gildmark
