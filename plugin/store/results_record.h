// The durable record of command results that the store has not yet acknowledged: response.json
// (the document posted to the store), response.pending (a log line per state the moment it is
// known, folded back into response.json by the next cycle), and memory for results that no file
// could keep. States are never dropped before something that replaces them has succeeded:
// response.json reaches the disk before its log goes, and it is emptied only when the store has
// acknowledged exactly what it holds.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/store_https.h"
#include "json.hpp"

namespace gildmark {

class StoreClient;

struct ResponseData {
  std::string created;
  std::string action;
  std::map<std::string, std::string> cmds;  // command id, as its decimal text -> state
  std::string extra;
};

using ResultsMap = std::unordered_map<std::string, std::shared_ptr<ResponseData>>;

inline constexpr const char* kExecuted = "Executed";
inline constexpr const char* kNotExecuted = "Not Executed";

nlohmann::json BuildResultsDocument(const ResultsMap& results);
// Compact, keys ascending, text outside ASCII as raw UTF-8.
std::string CompactText(const nlohmann::json& document);
// Writes the results document to response.json; `text` is what was to be written. False when
// the write failed (it is reported).
bool SaveResults(const ResultsMap& results, std::string& text);

extern const char* const kPendingResultsFileName;
// One line per recorded state, appended at once. False when the line could not be written (it
// is reported).
bool AppendPendingResult(const std::string& payment_id, const std::string& action, const std::string& command_id,
                         const char* state);

// What waits for the store: response.json with the states of the results log folded in (the
// log is dropped once response.json holds them). Never throws; damaged lines and members are
// skipped or replaced and reported.
struct PendingResults {
  bool readable = true;     // false: a results file exists but cannot be read; send nothing now
  nlohmann::json document;  // null when nothing was found
  std::string text;         // compact text to post; empty when no results wait
  bool saved = true;        // response.json holds `text`
  // What the fold has to tell: error messages, writes that failed (path, reason), and a
  // response.json in another form than the plugin's.
  std::vector<std::string> problems;
  std::vector<std::pair<std::string, std::string>> unwritten;
  bool foreign_form = false;
};
PendingResults LoadPendingResults(StoreClient* client);
// LoadPendingResults in two steps: the file work, which touches neither the client nor the game
// and so may run off the game thread (a log after a long outage is megabytes), then the telling
// and the results that only memory holds, on the game thread.
PendingResults FoldPendingResults();
void FinishPendingResults(StoreClient* client, PendingResults& pending, bool add_unsaved = true);
// Adds the states of `results` to `into` (an object of payment id -> {action, cmds}); states of
// `results` win.
void MergeResults(nlohmann::json& into, const nlohmann::json& results);

// Sends the results text to the store. `owns_flag`: this POST set request_in_flight, and its
// reply clears it. `clears_log`: the results log holds exactly these results (nothing else may
// write it while the flag is held), so the store's acknowledgement removes it; until then it
// is what keeps them on the disk. False when the request could not be sent.
bool PostResults(StoreClient& client, std::string text, bool owns_flag, bool clears_log = false);
// The store has acknowledged `sent`: a line per command goes to the delivery history, written
// off the game thread while this server keeps its turn.
void AddToHistory(StoreClient& client, const std::string& sent);
// Results in memory that the store has acknowledged with `sent` are let go.
void ForgetAcknowledged(StoreClient& client, const std::string& sent);
// At unload: results that only memory holds are written to response.json if the disk takes
// them now; otherwise the error route says how many are lost.
void KeepUnsavedResults(StoreClient& client);
// Both texts hold the same JSON document (whatever their whitespace, BOM or line ends).
bool SameDocument(const std::string& a, const std::string& b);
// A successful reply empties response.json only if it still holds the document that was posted.
// `sent_at`: game time when the POST went out; by default now.
void OnPostReply(host::HttpsReply reply, const std::string& sent, bool owns_flag, double sent_at = -1,
                 bool clears_log = false);

}  // namespace gildmark
