// The request cycle's completion of a GET: start delivering the payments of a scheduled poll
// (the flag stays set until the delivery is done and its results are posted), answer a
// connection test, or discard the first run's reply. Every other path clears
// request_in_flight, and nothing it does throws into the host. A joining buyer whose commands
// were held back may bring the next scheduled poll forward.
#pragma once

#include <chrono>
#include <string>

#include "host/store_https.h"
#include "json.hpp"

namespace gildmark {

inline constexpr const char* kPleaseWaitMessage = "Please wait a request is already being made...";
inline constexpr const char* kUnavailableMessage =
    "Gildmark API is temporarily unavailable, maybe you are making too many requests. Please try again latter.";
inline constexpr const char* kConnectionSuccessfulMessage = "Gildmark API connection successful.";

// Null, an empty object or an empty array: no results wait.
bool IsEmptyResults(const nlohmann::json& document);
// `sent_at`: game time when the request went out; by default now.
void OnGetReply(host::HttpsReply reply, bool scheduled, bool connection_test, double sent_at = -1);

class StoreClient;
// The next slice of the delivery under way, if any; when it is done, its results are posted.
void ContinueDelivery(StoreClient& client, std::chrono::steady_clock::time_point deadline);
// A scheduled poll made now when a waiting buyer has joined and their character lives.
void PollEarlyForJoinedBuyers(StoreClient& client);
// What every answer of the store (to a GET or a POST) tells the backoff, and what it tells the
// logs: a backoff starting or ending, a refusal, a certificate nobody trusts.
void NoteStoreReply(StoreClient& client, const host::HttpsReply& reply, double sent_at);
// The last answer of the store, as gildmark.status tells it.
// `foreign`: a 200 answer that is not the store's, as one line ("" when it is the store's).
void NoteLastAnswer(StoreClient& client, const char* method, const host::HttpsReply& reply,
                    const std::string& foreign = "");
// The unavailability message with the cause and, while backing off, when the next poll is.
std::string UnavailableText(const StoreClient& client, const host::HttpsReply& reply);

}  // namespace gildmark
