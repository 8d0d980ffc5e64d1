#include "store/payment_delivery.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "host/host.h"
#include "store/payment_players.h"
#include "store/store_client.h"
#include "support/plugin_files.h"

namespace gildmark {

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

}  // namespace gildmark
