// gildmark.lookup <EOS id | character name | payment id>: what the delivery history says a player
// or a payment was given, newest first, what ran and waits for the store's acknowledgement, and
// what is held back for them now and why. The history is megabytes, so it is searched on the
// plugin's own thread: an admin in the console gets the answer in chat a moment later. RCON
// cannot wait (the game may free the connection once the handler returns), so it gets one answer
// at once: what is held back, and the history's part when a search for the same words finished
// within the last minute; otherwise the search starts, and the answer says to ask again in a few
// seconds (the history's part also goes to info.log).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/delivery_history.h"
#include "support/request_target.h"

namespace gildmark {

class StoreClient;

inline constexpr const char* kLookupCommand = "gildmark.lookup";
inline constexpr const char* kLookupUsage = "Usage: gildmark.lookup <EOS id | character name | payment id>";
inline constexpr double kLookupAnswerKeptSeconds = 60;
inline constexpr size_t kLookupPaymentsShown = 10;
inline constexpr size_t kLookupCommandsShown = 20;

// The searches under way and the answers of the last ones, by their words in lower case.
struct LookupState {
  struct Answer {
    std::string query;
    std::vector<std::string> lines;
    double at = 0;            // game seconds
    uint64_t generation = 0;  // of the history when the search began
  };
  std::vector<Answer> answers;  // the last few
  std::vector<std::string> searching;
  // Counts the history lines this server added: an answer from before is out of date.
  uint64_t generation = 0;
};

// The words after the command's name, without the spaces around them and one pair of quotes.
std::string LookupQuery(const std::string& command_line);

// Plugin thread: the history's part of the answer. `folder`: where the history files are, with a
// trailing "/". Damaged lines are skipped (and counted).
std::vector<std::string> SearchDeliveries(const std::string& query, const DeliveryHistory& history,
                                          const std::string& folder);

// Game thread. The console's look-up: the answer goes to `asker` in chat once the history is
// searched.
void LookUpForPlayer(StoreClient& client, const RequestTarget& asker, const std::string& query);
// The RCON look-up: its one answer, now.
std::string LookUpForRcon(StoreClient& client, const std::string& query);

}  // namespace gildmark
