#include "store/store_status.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "store/admin_rights.h"
#include "store/payment_delivery.h"
#include "store/request_cycle.h"
#include "store/results_batches.h"
#include "store/results_record.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/request_target.h"
#include "support/server_instance.h"

namespace gildmark {

namespace {

// Larger results files are measured, not read: a status must not cost the game a frame (a
// quarter MiB of JSON parses in about a millisecond).
constexpr uintmax_t kLargestResultsRead = uintmax_t{256} << 10;

std::string Ago(double at) {
  const long long seconds = std::llround(std::max(0.0, GameSeconds() - at));
  if (seconds < 120) return std::to_string(seconds) + " s ago";
  if (seconds < 7200) return std::to_string(seconds / 60) + " min ago";
  return std::to_string(seconds / 3600) + " h ago";
}

std::string Plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string InstanceLine(StoreClient& client) {
  const ServerInstance& instance = ThisInstance();
  std::string line = "Gildmark " + std::string(kPluginVersion) + " on " + instance.name;
  if (instance.listed) line += " (its own key and folder, servers/" + instance.name + "/)";
  if (instance.duplicate) line += "; another running server has this name, so this one asks the store nothing";
  if (!instance.tag_lines || instance.listed) return line;
  if (!client.turns.UnusableMessage().empty()) return line + "; one of several servers here, and the turns lock cannot be had";
  return line + "; one of several servers here, " +
         (client.turns.Held() ? "and this one has the turn now" : "taking turns (another may have it now)");
}

std::string KeyLine(const StoreClient& client) {
  if (client.config_unreadable) return "Key: config.json cannot be read";
  if (client.key_parts.size() != 3) return "Key: not valid (it must be three parts joined by \".\"); nothing is sent";
  return "Key: valid, server id " + client.key_parts[0];
}

std::string AnswerLine(const char* title, const StoreAnswerNote& note) {
  if (note.at < 0) return std::string(title) + ": none since the start";
  return std::string(title) + ", " + Ago(note.at) + " (" + note.method + "): " + note.what;
}

std::string PollLine(const StoreClient& client) {
  const double now = GameSeconds();
  std::string line;
  if (client.delivery) line = "Delivering a reply now; ";
  else if (client.batches) line = "Posting results in batches now; ";
  else if (client.request_in_flight) line = "A request to the store is out now; ";
  const int period = TimerPeriodSeconds(client.config.request_interval_in_minutes);
  const long long backoff = client.backoff.SecondsLeft(now);
  long long next = -1;
  // Every tick is recorded, even one the backoff kept quiet: a full period since the last one
  // means the timer's next check, within a second or so, polls.
  if (client.last_scheduled_poll >= 0)
    next = static_cast<long long>(std::ceil(std::max(0.0, period - (now - client.last_scheduled_poll))));
  if (backoff > next) next = backoff;
  std::string when = next > 0    ? " poll in about " + std::to_string(next) + " s"
                     : next == 0 ? " poll due now"
                                 : " poll within " + std::to_string(period) + " s";
  line += std::string(line.empty() ? "Next" : "next") + when;
  line += " (every " + std::to_string(period) + " s";
  if (client.backoff.BackingOff()) line += "; backing off from the store, waits grow while it fails";
  return line + ")";
}

std::string ResultsLine(StoreClient& client) {
  std::string line = "Results waiting for the store: ";
  if (client.batches) {
    size_t left = 0;
    for (const auto& batch : client.batches->to_send) left += batch.size();
    line += Plural(left, "payment") + ", posting in batches (" + std::to_string(client.batches->acknowledged) +
            " acknowledged so far)";
  } else {
    std::error_code ec;
    const std::string path = JsonFileStore::PathOf(kResponseFileName);
    const uintmax_t size = std::filesystem::file_size(path, ec);
    nlohmann::json document;
    if (ec) {
      line += "none";
    } else if (size > kLargestResultsRead) {
      line += "about " + std::to_string(size >> 10) + " KiB of results";
    } else if (JsonFileStore::ReadJsonFile(kResponseFileName, document) != JsonFileStore::ReadOutcome::value) {
      line += "response.json cannot be read now";
    } else {
      line += IsEmptyResults(document) ? "none" : Plural(document.size(), "payment");
    }
    // The log too is counted only while small: a delivery of many thousands of commands makes it
    // megabytes, and this answer is given on the game thread.
    const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
    const uintmax_t log_size = std::filesystem::file_size(log_path, ec);
    std::string log;
    if (!ec && log_size > kLargestResultsRead) {
      line += ", and about " + std::to_string(log_size >> 10) + " KiB of command results recorded in response.pending";
    } else if (!ec && ReadFileBytes(log_path, log)) {
      const size_t lines = static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
      if (lines > 0) line += ", and " + Plural(lines, "command result") + " recorded in response.pending";
    }
  }
  const SetAsideView& aside = client.set_aside.View();
  if (aside.state == SetAsideView::State::unreadable)
    line += "; response.refused.json cannot be read now (" + aside.error + "): the store's payments wait until it can";
  else if (aside.payments > 0)
    line += "; " + Plural(aside.payments, "payment") + " set aside in response.refused.json (the store refuses them)";
  return line;
}

std::string HeldBackLine(const StoreClient& client) {
  const size_t count = client.waiting_buyers.Count();
  if (count == 0) return "Held back for offline buyers: none";
  std::string line = "Held back for offline buyers: " + Plural(count, "buyer") + " (";
  const std::vector<std::string> first = client.waiting_buyers.First(5);
  for (size_t i = 0; i < first.size(); ++i) line += (i ? ", " : "") + first[i];
  if (count > first.size()) line += ", ...";
  return line + "); each is served when they join";
}

std::string FileProblemsLine() {
  const FileProblems& problems = FileProblemsSinceStart();
  if (problems.count == 0) return "File problems since the start: none";
  return "File problems since the start: " + std::to_string(problems.count) + "; the last at " + problems.last_at +
         ": " + problems.last;
}

std::string RightsLine(const StoreClient& client) {
  std::string line = "Rights lent now: " + (client.held_journal_ids.empty()
                                                ? std::string("none")
                                                : Plural(client.held_journal_ids.size(), "player"));
  std::string journal;
  if (ReadFileBytes(AdminJournal::Path(), journal)) {
    size_t lines = 0;
    for (const std::string& id : SplitLines(journal)) lines += !id.empty();
    if (lines > 0)
      line += "; " + Plural(lines, "player") + " in security_admin.dat, whose rights a stop cut short: taken back "
              "at their next join";
  }
  return line;
}

}  // namespace

std::string StatusText(StoreClient* client) {
  if (!client)
    return "Gildmark " + std::string(kPluginVersion) + ": the store client could not start; err.log says why, and "
           "gildmark.connect tries again";
  std::string text;
  for (const std::string& line :
       {InstanceLine(*client), KeyLine(*client), AnswerLine("The store's last answer", client->last_answer),
        AnswerLine("The last connection test", client->last_test), PollLine(*client), ResultsLine(*client),
        HeldBackLine(*client), FileProblemsLine(), RightsLine(*client)})
    text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace gildmark
