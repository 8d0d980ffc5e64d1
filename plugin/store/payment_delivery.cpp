#include "store/payment_delivery.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "host/host.h"
#include "store/payment_players.h"
#include "store/request_cycle.h"
#include "support/game_clock.h"
#include "store/store_client.h"
#include "support/plugin_files.h"

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

void AppendPendingResult(const std::string& payment_id, const std::string& action, const std::string& command_id,
                         const char* state) {
  const std::string line =
      (pending_log_damaged ? "\n" : "") +
      CompactText({{"id", payment_id}, {"action", action}, {"cmd", command_id}, {"state", state}}) + "\n";
  const std::string path = JsonFileStore::PathOf(kPendingResultsFileName);
  pending_log_damaged = !AppendFileBytes(path, line);
  if (pending_log_damaged) ReportWriteProblem(path);
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

PendingResults LoadPendingResults(StoreClient* client) {
  PendingResults out;
  nlohmann::json document;
  const std::string response_path = JsonFileStore::PathOf(kResponseFileName);
  const JsonFileStore::ReadOutcome outcome = JsonFileStore::ReadJsonFile(kResponseFileName, document);
  if (outcome == JsonFileStore::ReadOutcome::unreadable) {
    ReportProblem(client, "Can't read " + response_path +
                              ": the results waiting for the store cannot be read; nothing is sent until they can (" +
                              LastFileError() + ")");
    out.readable = false;
    return out;
  }
  const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
  std::string log;
  if (!ReadFileBytes(log_path, log)) {
    if (FileExists(log_path)) {
      ReportProblem(client, "Can't read " + log_path +
                                ": the results it holds wait until it can be read; nothing is sent until then (" +
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
        ReportProblem(client, response_path + what + (copied ? "; it is kept as " + kept : "; it could not be kept as " + kept) +
                                  " and replaced by the results of " + log_path);
      document = nlohmann::json::object();
    }
    std::vector<size_t> skipped;
    std::vector<std::string> replaced;
    size_t number = 0;
    for (const std::string& line : SplitLines(log)) {
      ++number;
      if (line.empty()) continue;
      const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
      if (!IsResultRecord(entry)) {
        skipped.push_back(number);
        continue;
      }
      const std::string& id = entry["id"].get_ref<const std::string&>();
      nlohmann::json& payment = document[id];
      if (!CanHoldStates(payment)) {
        if (!payment.is_null()) replaced.push_back(id);
        payment = {{"action", entry["action"]}, {"cmds", nlohmann::json::object()}};
      }
      payment["action"] = entry["action"];
      payment["cmds"][entry["cmd"].get_ref<const std::string&>()] = entry["state"];
    }
    if (!skipped.empty())
      ReportProblem(client, log_path + ": skipped line" + (skipped.size() > 1 ? "s " : " ") + JoinNumbers(skipped) +
                                ", not a complete result record");
    for (const std::string& id : replaced)
      ReportProblem(client, response_path + ": the member \"" + id +
                                "\" could not hold a result; it is replaced by the recorded one");
    // Durable: only once response.json holds what the log held, on the disk, may the log go.
    out.saved = JsonFileStore::WriteText(kResponseFileName, CompactText(document), true);
    if (out.saved && !RemoveFile(log_path))
      ReportProblem(client, "Can't remove " + log_path + " (" + LastFileError() +
                                "); its results are already in " + response_path);
  }
  // Results that no file could keep are newer still; they are written now if the disk allows.
  if (client && !IsEmptyResults(client->unsaved_results)) {
    MergeResults(document, client->unsaved_results);
    out.saved = JsonFileStore::WriteText(kResponseFileName, CompactText(document), true);
    if (out.saved) client->unsaved_results = nullptr;
  }
  out.document = std::move(document);
  if (!IsEmptyResults(out.document)) out.text = CompactText(out.document);
  // An editor or a backup tool may have left the file pretty-printed, with a BOM or CRLF: its
  // results are posted all the same, and the reply empties it by comparing documents.
  if (client && !out.text.empty() && !client->told_foreign_results_form) {
    std::string bytes;
    if (ReadFileBytes(response_path, bytes) && bytes != out.text) {
      client->told_foreign_results_form = true;
      RequestTarget nobody;
      nobody.Report(response_path + " is not in the plugin's own form (edited by hand or by another program?); "
                                    "its results are taken over as they stand and posted",
                    Severity::information, false);
    }
  }
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

void ReplaceFirst(std::string& text, const std::string& placeholder, const std::string& value) {
  if (placeholder.empty() || text.size() < placeholder.size()) return;
  const size_t at = text.find(placeholder);
  if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

std::string SanitizeValue(std::string value) {
  for (char& c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '|' || c == '"' || byte < 0x20 || byte == 0x7F) c = '?';
  }
  return value;
}

std::string CommandIdText(const nlohmann::json& command) {
  const nlohmann::json& id = Member(command, "id");
  if (id.is_number_integer() || id.is_number_unsigned()) return id.dump();
  if (id.is_boolean()) return id.get<bool>() ? "1" : "0";
  if (id.is_number_float()) {
    const double whole = std::trunc(id.get<double>());
    if (std::isfinite(whole) && whole >= -9.2e18 && whole <= 9.2e18)
      return std::to_string(static_cast<long long>(whole));
    throw std::runtime_error("the command id " + id.dump() + " is out of range");
  }
  return std::to_string(id.get<int32_t>());  // throws the library's type_error.302
}

namespace {

void ReportError(StoreClient& client, const std::string& message, bool final) {
  client.target->Report(message, Severity::error, final);
}

void Greet(StoreClient& client, const PaymentPlayer& record) {
  try {
    host::SendChat(record.player_controller, host::FromUtf8("Gildmark"),
                   host::ChatText(host::ToUtf8(client.config.order_received_text)));
  } catch (const std::exception& e) {
    ReportError(client, std::string("Could not greet the buyer: ") + e.what(), false);
  }
}

std::string TargetText(PaymentPlayer& record) {
  auto eos = record.identifiers.find("eosid");
  if (eos != record.identifiers.end())
    return host::ToUtf8(eos->second) + " : " + host::ToUtf8(record.character_name);
  return host::ToUtf8(record.character_name);
}

// Steps that may raise: each error becomes "Not Executed" for this command only.
const char* DeliverCommand(StoreClient& client, const nlohmann::json& payment, const nlohmann::json& command,
                           PaymentPlayer& record) {
  const std::string store_state = StringMember(command, "state");
  std::string text = host::ToUtf8(host::FromUtf8(StringMember(command, "str")));
  const std::string eos_id = StringMember(payment, "eos_id");
  const std::string username = StringMember(payment, "username");

  if (!record.online && (text.find('{') != std::string::npos || store_state == "Must be online")) return kNotExecuted;

  const std::string character = SanitizeValue(host::To7Bit(record.character_name));
  if (!record.character_name.IsEmpty()) ReplaceFirst(text, "{daduz_username}", character);
  if (!record.linked_id.empty()) ReplaceFirst(text, "{ue5id}", SanitizeValue(record.linked_id));
  if (!eos_id.empty()) {
    ReplaceFirst(text, "{eosid}", SanitizeValue(eos_id));
    ReplaceFirst(text, "{eos_id}", SanitizeValue(eos_id));
  }
  const std::string user = !record.character_name.IsEmpty() ? character : SanitizeValue(username);
  if (!user.empty()) {
    ReplaceFirst(text, "{minecraft_username}", user);
    ReplaceFirst(text, "{username}", user);
  }
  return client.ExecuteAsPlayer(text, record.player_controller, TargetText(record)) ? kExecuted : kNotExecuted;
}

void DeliverPayment(StoreClient& client, const nlohmann::json& payment, PaymentPlayer* record, ResultsMap& results,
                    bool& any_state) {
  if (!record || !record->usable) return;  // told when the records were made
  auto data = std::make_shared<ResponseData>();
  const nlohmann::json* cmds = nullptr;
  std::string payment_id;
  try {
    data->action = StringMember(payment, "action");
    cmds = &Member(payment, "cmds");
    bool has_commands = false;
    ForEachElement(*cmds, [&](const nlohmann::json&) { has_commands = true; });
    if (has_commands) payment_id = StringMember(payment, "id");
  } catch (const std::exception& e) {
    ReportError(client, std::string("Skipping a payment that cannot be read: ") + e.what(), false);
    return;
  }
  data->created = FormatLocalTime();
  if (record->online) Greet(client, *record);

  ForEachElement(*cmds, [&](const nlohmann::json& command) {
    std::string command_id;
    try {
      command_id = CommandIdText(command);
    } catch (const std::exception& e) {
      ReportError(client, std::string("Skipping a command that cannot be read: ") + e.what(), false);
      return;
    }
    const char* state = kNotExecuted;
    try {
      state = DeliverCommand(client, payment, command, *record);
    } catch (const std::exception& e) {
      ReportError(client, std::string("Error while executing command : ") + e.what(), true);
    } catch (...) {
      ReportError(client, "Error while executing command : unknown error", true);
    }
    data->cmds[command_id] = state;
    any_state = true;
    results[payment_id] = data;
    AppendPendingResult(payment_id, data->action, command_id, state);
  });
}

}  // namespace

void ProcessPayments(const nlohmann::json& document) {
  StoreClient& client = *g_store_client;
  ResultsMap results;
  bool any_state = false;
  size_t position = 0;
  ForEachElement(document, [&](const nlohmann::json& payment) {
    PaymentPlayer* record =
        position < client.payment_players.size() ? client.payment_players[position].get() : nullptr;
    ++position;
    DeliverPayment(client, payment, record, results, any_state);
  });
  std::string text;
  const bool saved = SaveResults(results, text);
  // The log goes only once response.json holds its states; otherwise the next cycle folds it in,
  // and the memory keeps them too, should the log have failed as well.
  if (any_state && saved) RemoveFile(JsonFileStore::PathOf(kPendingResultsFileName));
  if (any_state && !saved) MergeResults(client.unsaved_results, BuildResultsDocument(results));
  // Without a key the results wait in the file for a cycle that has one.
  if (any_state && !client.key_parts.empty()) PostResults(client, text, false);
  client.payment_players.clear();
  client.target->Clear();
}

void KeepUnsavedResults(StoreClient& client) {
  if (IsEmptyResults(client.unsaved_results)) return;
  // One more try: the disk may take them now.
  LoadPendingResults(&client);
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

bool PostResults(StoreClient& client, const std::string& text, bool owns_flag) {
  const StoreClient::SignedRequest request = client.PrepareRequest();
  try {
    host::HttpsRequest https;
    https.method = "POST";
    https.url = request.url;
    https.headers = request.headers;
    https.body = text;
    https.content_type = "application/json";
    return host::SendHttps(https, [text, owns_flag, sent_at = GameSeconds()](host::HttpsReply reply) {
      OnPostReply(std::move(reply), text, owns_flag, sent_at);
    });
  } catch (const std::exception& e) {
    ReportError(client, std::string("Could not send the results: ") + e.what(), false);
    return false;
  }
}

void OnPostReply(host::HttpsReply reply, const std::string& sent, bool owns_flag, double sent_at) {
  const bool success = reply.Ok();
  try {
    if (g_store_client) NoteStoreReply(*g_store_client, reply, sent_at < 0 ? GameSeconds() : sent_at);
    // What the store now has needs no keeping in memory any more.
    if (success && g_store_client && !IsEmptyResults(g_store_client->unsaved_results)) {
      const nlohmann::json posted = nlohmann::json::parse(sent, nullptr, false);
      nlohmann::json& unsaved = g_store_client->unsaved_results;
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
    if (success) {
      std::string current;
      // Results recorded after this POST was made, or not yet saved when it was, stay for the
      // next one. Compared as documents: the file may be in another form than the text posted.
      if (ReadFileBytes(JsonFileStore::PathOf(kResponseFileName), current) &&
          (current == sent || SameDocument(current, sent)))
        JsonFileStore::WriteText(kResponseFileName, "{}");
    }
  } catch (...) {
  }
  if (owns_flag && g_store_client) g_store_client->request_in_flight = false;
}

}  // namespace gildmark
