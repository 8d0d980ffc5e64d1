#include "store/delivery_lookup.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "host/store_https.h"
#include "json.hpp"
#include "store/store_client.h"
#include "support/file_access.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"

namespace gildmark {

namespace {

constexpr size_t kAnswersKept = 8;
constexpr size_t kShownTextBytes = 200;
// No EOS id, character name or payment id is longer; longer words would only be echoed back.
constexpr size_t kLongestLookup = 200;

std::string Lowered(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool ContainsIgnoringCase(std::string_view text, const std::string& lowered_part) {
  if (lowered_part.empty()) return true;
  if (text.size() < lowered_part.size()) return false;
  for (size_t at = 0; at + lowered_part.size() <= text.size(); ++at) {
    size_t i = 0;
    while (i < lowered_part.size()) {
      char c = text[at + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != lowered_part[i]) break;
      ++i;
    }
    if (i == lowered_part.size()) return true;
  }
  return false;
}

std::string Cut(const std::string& text) {
  if (text.size() <= kShownTextBytes) return text;
  size_t end = kShownTextBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

std::string BuyerOf(const HistoryEntry& entry) {
  if (!entry.details_known) return "a buyer not recorded (its details went with a restart)";
  const std::string name = !entry.character.empty() ? entry.character : entry.username;
  if (entry.eos_id.empty()) return "\"" + name + "\"";
  return "EOS id " + entry.eos_id + (name.empty() ? "" : " (" + name + ")");
}

struct FoundPayment {
  std::string id;
  std::vector<HistoryEntry> commands;
  std::time_t latest = 0;
  size_t executed = 0, not_executed = 0;
};

void Add(std::map<std::string, FoundPayment>& payments, HistoryEntry entry) {
  FoundPayment& payment = payments[entry.payment];
  payment.id = entry.payment;
  payment.latest = std::max(payment.latest, entry.at);
  const auto count = [&payment](const HistoryEntry& command) -> size_t& {
    return command.state == "Executed" ? payment.executed : payment.not_executed;
  };
  ++count(entry);
  // A later line of the same command (its result sent again) stands for it.
  for (HistoryEntry& known : payment.commands)
    if (known.command == entry.command) {
      --count(known);
      known = std::move(entry);
      return;
    }
  payment.commands.push_back(std::move(entry));
}

std::string PaymentLine(const FoundPayment& payment) {
  const HistoryEntry& first = payment.commands.front();
  return FormatLocalTime(payment.latest) + ": payment " + payment.id + " for " + BuyerOf(first) + ", " +
         std::to_string(payment.executed) + " Executed, " + std::to_string(payment.not_executed) +
         " Not Executed, on " + first.server;
}

void AddCommandLines(const FoundPayment& payment, std::vector<std::string>& lines) {
  size_t shown = 0;
  for (const HistoryEntry& command : payment.commands) {
    if (shown++ == kLookupCommandsShown) {
      lines.push_back("  and " + std::to_string(payment.commands.size() - kLookupCommandsShown) +
                      " more commands (deliveries.log has them all)");
      break;
    }
    lines.push_back("  command " + command.command + ", " + command.state + ": " +
                    (command.details_known ? Cut(command.text) : "(its text went with a restart)"));
  }
}

void Tell(const std::string& message) {
  RequestTarget nobody;
  nobody.Report(message, Severity::information, false);
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

// The first lines of every answer, from the game thread: who the words name among the players
// online now, and what is held back for them.
std::vector<std::string> PresentLines(StoreClient& client, const std::string& query) {
  std::vector<std::string> lines{"Gildmark lookup \"" + query + "\":"};
  try {
    const FString words = host::FromUtf8(query);
    if (AShooterPlayerController* player = host::FindPlayerByEosId(words)) {
      lines.push_back("Online now as " + host::ToUtf8(host::CharacterName(player)));
    } else {
      const auto named = host::FindPlayersByCharacterName(words);
      if (named.size() == 1) {
        lines.push_back("Online now, EOS id " + host::ToUtf8(host::EosIdOf(named[0])));
      } else if (named.size() > 1) {
        std::string ids;
        for (size_t i = 0; i < named.size() && i < 5; ++i) ids += (i ? ", " : "") + host::ToUtf8(host::EosIdOf(named[i]));
        lines.push_back(std::to_string(named.size()) + " players online carry this name (EOS ids " + ids +
                        "): look one up by EOS id");
      }
    }
  } catch (...) {
    // A lookup the game refused: the rest of the answer stands without it.
  }
  std::vector<std::string> held = client.waiting_buyers.HeldBackFor(query, GameSeconds());
  if (held.empty()) held.push_back("Nothing held back for them now");
  lines.insert(lines.end(), held.begin(), held.end());
  return lines;
}

const LookupState::Answer* FreshAnswer(const StoreClient& client, const std::string& key) {
  const double now = GameSeconds();
  for (auto it = client.lookups.answers.rbegin(); it != client.lookups.answers.rend(); ++it)
    if (it->query == key && it->generation == client.lookups.generation && now - it->at < kLookupAnswerKeptSeconds)
      return &*it;
  return nullptr;
}

// Searches off the game thread; `then` gets the history's lines on the game thread, with the
// client that asked still there.
void Search(StoreClient& client, const std::string& query, std::function<void(const std::vector<std::string>&)> then) {
  const std::string key = Lowered(query);
  client.lookups.searching.push_back(key);
  auto found = std::make_shared<std::vector<std::string>>();
  host::RunOffGameThread(
      [found, query, history = client.history, folder = JsonFileStore::PluginDirectory()] {
        try {
          *found = SearchDeliveries(query, *history, folder);
        } catch (const std::exception& e) {
          *found = {std::string("The delivery history could not be searched: ") + e.what()};
        }
      },
      [found, key, generation = client.lookups.generation, then = std::move(then)] {
        StoreClient* client = g_store_client;
        if (!client) return;
        LookupState& lookups = client->lookups;
        lookups.searching.erase(std::remove(lookups.searching.begin(), lookups.searching.end(), key),
                                lookups.searching.end());
        lookups.answers.push_back({key, *found, GameSeconds(), generation});
        if (lookups.answers.size() > kAnswersKept) lookups.answers.erase(lookups.answers.begin());
        then(*found);
      });
}

}  // namespace

std::string LookupQuery(const std::string& command_line) {
  size_t at = command_line.find_first_not_of(" \t");
  at = at == std::string::npos ? at : command_line.find_first_of(" \t", at);
  if (at == std::string::npos) return "";
  const size_t first = command_line.find_first_not_of(" \t", at);
  if (first == std::string::npos) return "";
  std::string query = command_line.substr(first, command_line.find_last_not_of(" \t\r\n") + 1 - first);
  if (query.size() >= 2 && query.front() == '"' && query.back() == '"') query = query.substr(1, query.size() - 2);
  return query;
}

std::vector<std::string> SearchDeliveries(const std::string& query, const DeliveryHistory& history,
                                          const std::string& folder) {
  // Lines are parsed only when they hold the words as the history writes them (JSON text).
  const std::string quoted = nlohmann::json(query).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const std::string needle = Lowered(quoted.substr(1, quoted.size() - 2));
  std::map<std::string, FoundPayment> payments;
  std::set<std::string> named_buyers;  // EOS ids of the lines found by name
  size_t damaged = 0;
  for (const char* name : {kOlderHistoryFileName, kHistoryFileName}) {
    std::string bytes;
    if (!ReadFileBytes(folder + name, bytes)) continue;
    for (size_t at = 0; at < bytes.size();) {
      size_t end = bytes.find('\n', at);
      if (end == std::string::npos) end = bytes.size();
      std::string_view line(bytes.data() + at, end - at);
      at = end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.empty()) continue;
      const bool looks_whole = line.front() == '{' && line.back() == '}';
      if (looks_whole && !ContainsIgnoringCase(line, needle)) continue;
      HistoryEntry entry;
      if (!looks_whole || !ReadHistoryLine(std::string(line), entry)) {
        ++damaged;
        continue;
      }
      if (!EntryMatches(entry, query)) continue;
      if (entry.payment != query && !SameIgnoringCase(entry.eos_id, query) && !entry.eos_id.empty())
        named_buyers.insert(entry.eos_id);
      Add(payments, std::move(entry));
    }
  }

  std::vector<std::string> lines;
  std::vector<HistoryEntry> waiting = history.Unacknowledged(query);
  if (!waiting.empty()) {
    std::map<std::string, FoundPayment> ran;
    for (HistoryEntry& entry : waiting) Add(ran, std::move(entry));
    size_t shown = 0;
    for (const auto& [id, payment] : ran) {
      if (shown++ == kLookupPaymentsShown) {
        lines.push_back("  and " + std::to_string(ran.size() - kLookupPaymentsShown) + " more payments that ran");
        break;
      }
      const std::string line = PaymentLine(payment);
      lines.push_back("Ran, waiting for the store to acknowledge: " + line.substr(line.find("payment ")));
    }
  }
  std::vector<const FoundPayment*> newest;
  for (const auto& [id, payment] : payments) newest.push_back(&payment);
  std::sort(newest.begin(), newest.end(), [](const FoundPayment* a, const FoundPayment* b) {
    return a->latest != b->latest ? a->latest > b->latest : a->id > b->id;
  });
  if (newest.empty()) {
    lines.push_back("No delivery for them in the history (" + std::string(kHistoryFileName) + ", " +
                    kOlderHistoryFileName + ")");
  } else {
    lines.push_back("Deliveries, newest first" +
                    (newest.size() > kLookupPaymentsShown
                         ? " (the last " + std::to_string(kLookupPaymentsShown) + " of " +
                               std::to_string(newest.size()) + " payments):"
                         : std::string(":")));
    for (size_t i = 0; i < newest.size() && i < kLookupPaymentsShown; ++i) lines.push_back(PaymentLine(*newest[i]));
    if (newest.size() == 1) AddCommandLines(*newest.front(), lines);
  }
  if (named_buyers.size() > 1) {
    std::string ids;
    size_t listed = 0;
    for (const std::string& id : named_buyers)
      if (listed++ < 5) ids += (ids.empty() ? "" : ", ") + id;
    lines.push_back("The name \"" + query + "\" belongs to " + std::to_string(named_buyers.size()) +
                    " buyers (EOS ids " + ids + (named_buyers.size() > 5 ? ", ..." : "") +
                    "): look one up by EOS id to see theirs alone");
  }
  if (damaged > 0)
    lines.push_back(std::to_string(damaged) + " damaged line" + (damaged == 1 ? " was" : "s were") +
                    " skipped in the history");
  return lines;
}

void LookUpForPlayer(StoreClient& client, const RequestTarget& asker, const std::string& query) {
  if (query.empty() || query.size() > kLongestLookup) {
    RequestTarget to = asker;
    to.Report(kLookupUsage, Severity::answer, true);
    return;
  }
  std::vector<std::string> present = PresentLines(client, query);
  Search(client, query, [present = std::move(present), asker](const std::vector<std::string>& found) mutable {
    present.insert(present.end(), found.begin(), found.end());
    RequestTarget to = asker;
    to.Report(Join(present), Severity::answer, true);
  });
}

std::string LookUpForRcon(StoreClient& client, const std::string& query) {
  if (query.empty() || query.size() > kLongestLookup) return kLookupUsage;
  std::vector<std::string> lines = PresentLines(client, query);
  const std::string key = Lowered(query);
  if (const LookupState::Answer* answer = FreshAnswer(client, key)) {
    lines.insert(lines.end(), answer->lines.begin(), answer->lines.end());
    return Join(lines);
  }
  lines.push_back("Searching the delivery history; run " + std::string(kLookupCommand) + " " + query +
                  " again in a few seconds for what it holds (it also goes to info.log)");
  if (std::find(client.lookups.searching.begin(), client.lookups.searching.end(), key) ==
      client.lookups.searching.end())
    Search(client, query, [query](const std::vector<std::string>& found) {
      std::string text;
      for (const std::string& line : found) text += (text.empty() ? "" : "; ") + line;
      Tell(std::string(kLookupCommand) + " " + query + ": " + text);
    });
  return Join(lines);
}

}  // namespace gildmark
