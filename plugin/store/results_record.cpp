#include "store/results_record.h"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "store/request_cycle.h"
#include "store/results_batches.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/server_instance.h"

namespace gildmark {

const char* const kPendingResultsFileName = "response.pending";

namespace {

// A failed append may have left half a line without its line feed; the next record then starts
// on a line of its own, so that only the damaged one is lost.
bool pending_log_damaged = false;

void ReportProblem(StoreClient* client, const std::string& message) {
  if (client) {
    client->target->Report(message, Severity::error, false);
  } else {
    RequestTarget nobody;
    nobody.Report(message, Severity::error, false);
  }
}

bool IsState(const nlohmann::json& value) {
  return value.is_string() && (value.get_ref<const std::string&>() == kExecuted ||
                               value.get_ref<const std::string&>() == kNotExecuted);
}

// A complete, well-typed record of the log: every member a string, the state one of the two.
bool IsResultRecord(const nlohmann::json& entry) {
  if (!entry.is_object()) return false;
  for (const char* key : {"id", "action", "cmd"}) {
    auto it = entry.find(key);
    if (it == entry.end() || !it->is_string()) return false;
  }
  auto state = entry.find("state");
  return state != entry.end() && IsState(*state);
}

// A member of response.json that can take a recorded state.
bool CanHoldStates(const nlohmann::json& payment) {
  if (!payment.is_object()) return false;
  auto action = payment.find("action");
  auto cmds = payment.find("cmds");
  return action != payment.end() && action->is_string() && cmds != payment.end() && cmds->is_object();
}

std::string JoinNumbers(const std::vector<size_t>& numbers) {
  std::string out;
  for (size_t n : numbers) out += (out.empty() ? "" : ", ") + std::to_string(n);
  return out;
}

}  // namespace

bool AppendPendingResult(const std::string& payment_id, const std::string& action, const std::string& command_id,
                         const char* state) {
  // The record's compact form, keys ascending, written out directly: one per command.
  std::string line = pending_log_damaged ? "\n" : "";
  line += "{\"action\":" + CompactText(action) + ",\"cmd\":" + CompactText(command_id) +
          ",\"id\":" + CompactText(payment_id) + ",\"state\":\"" + state + "\"}\n";
  const std::string path = JsonFileStore::PathOf(kPendingResultsFileName);
  pending_log_damaged = !AppendFileBytes(path, line);
  if (pending_log_damaged) ReportWriteProblem(path);
  return !pending_log_damaged;
}

void MergeResults(nlohmann::json& into, const nlohmann::json& results) {
  if (!results.is_object()) return;
  if (!into.is_object()) into = nlohmann::json::object();
  for (const auto& [id, result] : results.items()) {
    if (!CanHoldStates(result)) continue;
    nlohmann::json& payment = into[id];
    if (!CanHoldStates(payment)) payment = {{"action", result["action"]}, {"cmds", nlohmann::json::object()}};
    payment["action"] = result["action"];
    for (const auto& [cmd, state] : result["cmds"].items()) payment["cmds"][cmd] = state;
  }
}

namespace {

// What the fold has to tell, said on the game thread.
void Problem(PendingResults& out, std::string message) { out.problems.push_back(std::move(message)); }

// An atomic, durable write that tells nobody: the fold may run off the game thread.
bool WriteQuietly(PendingResults& out, const std::string& path, const std::string& text) {
  const std::string temporary = WriteTemporaryFile(path, text, true);
  if (!temporary.empty() && CommitTemporaryFile(temporary, path, true)) return true;
  out.unwritten.emplace_back(path, LastFileError());
  return false;
}

// The log's lines in place, as SplitLines has them: a large log is megabytes.
template <class Visit>
void ForEachLine(const std::string& bytes, Visit&& visit) {
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    size_t length = end - start;
    if (length > 0 && bytes[start + length - 1] == '\r') --length;
    visit(std::string_view(bytes.data() + start, length));
    start = end + 1;
  }
}

}  // namespace

PendingResults FoldPendingResults() {
  PendingResults out;
  nlohmann::json document;
  const std::string response_path = JsonFileStore::PathOf(kResponseFileName);
  const JsonFileStore::ReadOutcome outcome = JsonFileStore::ReadJsonFile(kResponseFileName, document);
  if (outcome == JsonFileStore::ReadOutcome::unreadable) {
    Problem(out, "Can't read " + response_path +
                     ": the results waiting for the store cannot be read; nothing is sent until they can (" +
                     LastFileError() + ")");
    out.readable = false;
    return out;
  }
  const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
  std::string log;
  bool written_here = false;
  if (!ReadFileBytes(log_path, log)) {
    if (FileExists(log_path)) {
      Problem(out, "Can't read " + log_path + ": the results it holds wait until it can be read; nothing is sent until then (" +
                       LastFileError() + ")");
      out.readable = false;
      return out;
    }
  } else {
    // The log holds states recorded after response.json was last written: they are the newer
    // facts, so they win over what the file says.
    if (!document.is_object()) {
      // What the file held is kept beside it, as at load, before the fold replaces it.
      const bool foreign = outcome == JsonFileStore::ReadOutcome::invalid || !IsEmptyResults(document);
      std::string bytes;
      const std::string kept = response_path + ".broken";
      const bool copied = !foreign || (ReadFileBytes(response_path, bytes) && WriteFileBytes(kept, bytes));
      const std::string what = outcome == JsonFileStore::ReadOutcome::invalid
                                   ? " did not hold valid JSON"
                                   : " did not hold a results object (" + CompactText(document) + ")";
      if (foreign)
        Problem(out, response_path + what + (copied ? "; it is kept as " + kept : "; it could not be kept as " + kept) +
                         " and replaced by the results of " + log_path);
      document = nlohmann::json::object();
    }
    std::vector<size_t> skipped;
    std::vector<std::string> replaced;
    size_t number = 0;
    ForEachLine(log, [&](std::string_view line) {
      ++number;
      if (line.empty()) return;
      const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (!IsResultRecord(entry)) {
        skipped.push_back(number);
        return;
      }
      const std::string& id = entry["id"].get_ref<const std::string&>();
      nlohmann::json& payment = document[id];
      if (!CanHoldStates(payment)) {
        if (!payment.is_null()) replaced.push_back(id);
        payment = {{"action", entry["action"]}, {"cmds", nlohmann::json::object()}};
      }
      payment["action"] = entry["action"];
      payment["cmds"][entry["cmd"].get_ref<const std::string&>()] = entry["state"];
    });
    std::string().swap(log);
    if (!skipped.empty())
      Problem(out, log_path + ": skipped line" + (skipped.size() > 1 ? "s " : " ") + JoinNumbers(skipped) +
                       ", not a complete result record");
    for (const std::string& id : replaced)
      Problem(out, response_path + ": the member \"" + id + "\" could not hold a result; it is replaced by the recorded one");
    // Durable: only once response.json holds what the log held, on the disk, may the log go.
    out.text = CompactText(document);
    out.saved = written_here = WriteQuietly(out, response_path, out.text);
    if (out.saved && !RemoveFile(log_path))
      Problem(out, "Can't remove " + log_path + " (" + LastFileError() + "); its results are already in " + response_path);
  }
  out.document = std::move(document);
  if (IsEmptyResults(out.document))
    out.text.clear();
  else if (out.text.empty())
    out.text = CompactText(out.document);
  // An editor or a backup tool may have left the file pretty-printed, with a BOM or CRLF: its
  // results are posted all the same, and the reply empties it by comparing documents.
  if (!out.text.empty() && !written_here) {
    std::string bytes;
    out.foreign_form = ReadFileBytes(response_path, bytes) && bytes != out.text;
  }
  return out;
}

void FinishPendingResults(StoreClient* client, PendingResults& out, bool add_unsaved) {
  for (const std::string& problem : out.problems) ReportProblem(client, problem);
  out.problems.clear();
  for (const auto& [path, reason] : out.unwritten) {
    RestoreFileError(reason);
    ReportWriteProblem(path);
  }
  out.unwritten.clear();
  if (!out.readable) return;
  // Results that no file could keep are newer still; they are written now if the disk allows.
  if (add_unsaved && client && !IsEmptyResults(client->unsaved_results)) {
    MergeResults(out.document, client->unsaved_results);
    out.text = CompactText(out.document);
    out.saved = JsonFileStore::WriteText(kResponseFileName, out.text, true);
    if (out.saved) {
      client->unsaved_results = nullptr;
      out.foreign_form = false;  // written in the plugin's own form just now
    }
  }
  if (client && out.foreign_form && !client->told_foreign_results_form) {
    client->told_foreign_results_form = true;
    RequestTarget nobody;
    nobody.Report(JsonFileStore::PathOf(kResponseFileName) +
                      " is not in the plugin's own form (edited by hand or by another program?); "
                      "its results are taken over as they stand and posted",
                  Severity::information, false);
  }
}

PendingResults LoadPendingResults(StoreClient* client) {
  PendingResults out = FoldPendingResults();
  FinishPendingResults(client, out);
  return out;
}

nlohmann::json BuildResultsDocument(const ResultsMap& results) {
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [payment_id, record] : results) {
    nlohmann::json cmds = nlohmann::json::object();
    for (const auto& [command_id, state] : record->cmds) cmds[command_id] = state;
    document[payment_id] = {{"action", record->action}, {"cmds", std::move(cmds)}};
  }
  return document;
}

std::string CompactText(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool SaveResults(const ResultsMap& results, std::string& text) {
  text = CompactText(BuildResultsDocument(results));
  // Durable: the results log that protects these states is removed next.
  return JsonFileStore::WriteText(kResponseFileName, text, true);
}

void KeepUnsavedResults(StoreClient& client) {
  if (IsEmptyResults(client.unsaved_results)) return;
  // One more try: the disk may take them now, in this server's turn, since the files may be
  // shared with other servers of the installation.
  if (client.turns.WaitAtUnload(std::chrono::seconds(5))) LoadPendingResults(&client);
  else RestoreFileError("another server of this installation kept the results files");
  if (IsEmptyResults(client.unsaved_results)) return;
  size_t count = 0;
  for (const auto& payment : client.unsaved_results)
    if (payment.is_object() && payment.contains("cmds") && payment["cmds"].is_object()) count += payment["cmds"].size();
  const std::string reason = LastFileError();
  client.unsaved_results = nullptr;
  RequestTarget nobody;
  nobody.Report(std::to_string(count) + " command result" + (count == 1 ? "" : "s") +
                    " that no file could keep are lost at unload (" + (reason.empty() ? "the disk refused" : reason) +
                    "): the store has not had them, so it will send those purchases again",
                Severity::error, false);
}

bool SameDocument(const std::string& a, const std::string& b) {
  const nlohmann::json first = nlohmann::json::parse(a, nullptr, false);
  return !first.is_discarded() && first == nlohmann::json::parse(b, nullptr, false);
}

bool PostResults(StoreClient& client, std::string text, bool owns_flag, bool clears_log) {
  const StoreClient::SignedRequest request = client.PrepareRequest();
  try {
    host::HttpsRequest https;
    https.method = "POST";
    https.url = request.url;
    https.headers = request.headers;
    std::string sent = text;
    https.body = std::move(text);
    https.content_type = "application/json";
    return host::SendHttps(std::move(https), [sent = std::move(sent), owns_flag, clears_log,
                                              sent_at = GameSeconds()](host::HttpsReply reply) {
      OnPostReply(std::move(reply), sent, owns_flag, sent_at, clears_log);
    });
  } catch (const std::exception& e) {
    ReportProblem(&client, std::string("Could not send the results: ") + e.what());
    return false;
  }
}

void AddToHistory(StoreClient& client, const std::string& sent) {
  ++client.history_writes;
  ++client.lookups.generation;
  auto write = std::make_shared<HistoryWrite>();
  const std::string folder = JsonFileStore::PluginDirectory();
  host::RunOffGameThread(
      [write, history = client.history, sent, server = ThisInstance().name, folder] {
        try {
          *write = history->Acknowledged(sent, server, folder);
        } catch (const std::exception& e) {
          write->written = false;
          write->error = e.what();
        }
      },
      [write, path = folder + kHistoryFileName] {
        StoreClient* client = g_store_client;
        if (!client) return;
        if (client->history_writes > 0) --client->history_writes;
        if (!write->written) {
          RestoreFileError(write->error);
          ReportWriteProblem(path);
        }
        if (write->rollover_failed && !client->told_history_rollover) {
          client->told_history_rollover = true;
          ReportProblem(client, "Can't move " + path + " aside as the older history (" + write->rollover_error +
                                    "); it grows past its size until that works, which is tried at each addition");
        }
      });
}

void ForgetAcknowledged(StoreClient& client, const std::string& sent) {
  // What the store now has needs no keeping in memory any more.
  if (IsEmptyResults(client.unsaved_results)) return;
  const nlohmann::json posted = nlohmann::json::parse(sent, nullptr, false);
  nlohmann::json& unsaved = client.unsaved_results;
  for (auto payment = unsaved.begin(); payment != unsaved.end();) {
    auto& cmds = (*payment)["cmds"];
    for (auto cmd = cmds.begin(); cmd != cmds.end();) {
      const bool acknowledged = posted.is_object() && posted.contains(payment.key()) &&
                                posted[payment.key()].is_object() && posted[payment.key()].contains("cmds") &&
                                posted[payment.key()]["cmds"].is_object() &&
                                posted[payment.key()]["cmds"].value(cmd.key(), nlohmann::json()) == *cmd;
      cmd = acknowledged ? cmds.erase(cmd) : std::next(cmd);
    }
    payment = cmds.empty() ? unsaved.erase(payment) : std::next(payment);
  }
  if (unsaved.empty()) unsaved = nullptr;
}

void OnPostReply(host::HttpsReply reply, const std::string& sent, bool owns_flag, double sent_at, bool clears_log) {
  const bool success = reply.Ok();
  try {
    if (g_store_client) NoteLastAnswer(*g_store_client, "POST", reply);
    // A body too large for the store (or a proxy before it) is no refusal: the same results go
    // in batches.
    if (reply.failure == host::HttpsFailure::none && reply.status == 413 && owns_flag && g_store_client &&
        PostAgainInBatches(*g_store_client, sent, clears_log))
      return;
    if (g_store_client) NoteStoreReply(*g_store_client, reply, sent_at < 0 ? GameSeconds() : sent_at);
    if (success && g_store_client) {
      ForgetAcknowledged(*g_store_client, sent);
      AddToHistory(*g_store_client, sent);
    }
    if (success) {
      std::string current;
      // Results recorded after this POST was made, or not yet saved when it was, stay for the
      // next one. Compared as documents: the file may be in another form than the text posted.
      if (ReadFileBytes(JsonFileStore::PathOf(kResponseFileName), current) &&
          (current == sent || SameDocument(current, sent)))
        JsonFileStore::WriteText(kResponseFileName, "{}");
      const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
      // If it stays, the next cycle posts its results once more, which the store takes again.
      if (clears_log && !RemoveFile(log_path))
        ReportProblem(g_store_client, "Can't remove " + log_path + " (" + LastFileError() +
                                          "); the store has its results already, and is sent them once more");
    }
  } catch (...) {
  }
  if (owns_flag && g_store_client) g_store_client->request_in_flight = false;
}

}  // namespace gildmark
