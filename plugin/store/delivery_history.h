// The delivery history: a line per command whose result the store acknowledged, so that an admin
// asked "I paid and got nothing" can look the buyer or the payment up (gildmark.lookup). A
// delivery notes each command's details (buyer, text after placeholders, state) in a buffer of
// its results; the plugin's own thread keeps them until the store acknowledges the results, then
// appends one JSON line per command to deliveries.log, in the installation's top-level folder so
// that every server of it looks in one place. Appends happen only while this server holds the
// installation's turn, so two servers never write it at once. Past a size it rolls over to
// deliveries.old.log, replacing the older one: the history is bounded, a server running for
// years never fills its disk. Results acknowledged with no details known (kept before a restart)
// get a line of what the results say, once.
#pragma once

#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gildmark {

extern const char* const kHistoryFileName;
extern const char* const kOlderHistoryFileName;
inline constexpr size_t kHistoryRolloverBytes = size_t{8} << 20;
// What a delivery keeps of command details until they are written; past it, commands are
// recorded in the history without their text and buyer.
inline constexpr size_t kMostDetailBytes = size_t{32} << 20;
// A command's text is kept up to this many bytes.
inline constexpr size_t kMostHistoryTextBytes = 1000;

// One command of the history.
struct HistoryEntry {
  std::time_t at = 0;  // when it ran (when acknowledged, for results whose details were not kept)
  std::string server, payment, eos_id, username, character, command, state;
  std::string text;    // after placeholders; empty when not known
  bool details_known = true;
};

// The history line of an entry, with its line feed.
std::string HistoryLine(const HistoryEntry& entry);
// An entry from a history line; false for a damaged line.
bool ReadHistoryLine(const std::string& line, HistoryEntry& entry);

// A field of a record in a delivery's buffers: its length, then its bytes. ReadField is false at
// the buffer's end or in a cut record.
void AppendField(std::string& buffer, const std::string& text);
bool ReadField(const std::string& buffer, size_t& at, std::string& text);

// A delivery's record of one command's details, added to `buffer` (game thread: no allocation
// but the buffer's growth). `eos_id`: the store's, or the game's for a buyer the store named by
// name.
// A command held back for its buyer is reported Not Executed, and offered again at every poll
// until they come: it is no delivery, and gets no line (a look-up tells it from memory).
enum class DetailState : char { executed = 'E', not_executed = 'N', held_back = 'H' };
void AppendDeliveryDetail(std::string& buffer, const std::string& payment, const std::string& eos_id,
                          const std::string& username, const std::string& character, const std::string& command,
                          DetailState state, const std::string& text, std::time_t at);

// What an append to the history did; a failure is told on the game thread.
struct HistoryWrite {
  size_t lines = 0;
  bool written = true;
  std::string error;
  bool rollover_failed = false;
  std::string rollover_error;
};

class DeliveryHistory {
 public:
  // Plugin thread: the details a finished delivery recorded, kept until their results are
  // acknowledged. `server`: the instance name that delivered them.
  void Absorb(const std::string& details, const std::string& server);
  // Plugin thread, while this server holds the installation's turn: a line per command of the
  // results document `sent` that the store acknowledged. `folder`: the installation's folder,
  // with a trailing "/".
  HistoryWrite Acknowledged(const std::string& sent, const std::string& server, const std::string& folder,
                            size_t rollover_bytes = kHistoryRolloverBytes);
  // The commands delivered but not yet acknowledged whose payment, EOS id or name is `query`.
  std::vector<HistoryEntry> Unacknowledged(const std::string& query) const;
  size_t KeptBytes() const;

 private:
  struct Payment {
    std::time_t at = 0;
    std::string server, eos_id, username, character;
    std::unordered_map<std::string, std::pair<std::string, std::string>> commands;  // id -> state, text
  };
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Payment> waiting_;
  size_t waiting_bytes_ = 0;
};

// Equal but for the case of ASCII letters.
bool SameIgnoringCase(const std::string& a, const std::string& b);
// True when the entry is of the payment `query`, or of a buyer with that EOS id or name.
bool EntryMatches(const HistoryEntry& entry, const std::string& query);

}  // namespace gildmark
