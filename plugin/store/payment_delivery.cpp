#include "store/payment_delivery.h"

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "host/host.h"
#include "store/admin_rights.h"
#include "store/delivery_history.h"
#include "store/payment_players.h"
#include "store/store_client.h"
#include "support/game_clock.h"
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

// A member's text, or "" when it is missing or not text.
std::string TextOr(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

enum class Outcome { executed, not_executed, held_back, refused, unfilled };

// The placeholders this plugin fills. One left in a command after filling would reach the game
// as it stands and give to nobody.
constexpr const char* kPlaceholders[] = {"{eosid}",    "{eos_id}",           "{ue5id}",
                                         "{username}", "{minecraft_username}", "{daduz_username}"};

bool StartsWithIgnoringCase(const std::string& text, size_t at, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i, ++at)
    if (at >= text.size() || std::tolower(static_cast<unsigned char>(text[at])) != prefix[i]) return false;
  return true;
}

}  // namespace

bool IsHostPluginCommand(const std::string& command) {
  // The game runs each part between "|" as a command of its own, and "cheat" or "admincheat"
  // before one is the console's way of saying it; the host's hook sees each.
  size_t part = 0;
  while (part <= command.size()) {
    size_t at = command.find_first_not_of(" \t", part);
    const size_t end = command.find('|', part);
    if (at != std::string::npos && (end == std::string::npos || at < end)) {
      for (const char* prefix : {"cheat ", "admincheat "}) {
        if (!StartsWithIgnoringCase(command, at, prefix)) continue;
        at = command.find_first_not_of(" \t", at + std::char_traits<char>::length(prefix));
        break;
      }
      if (at != std::string::npos && StartsWithIgnoringCase(command, at, "plugins.")) return true;
    }
    if (end == std::string::npos) break;
    part = end + 1;
  }
  return false;
}

namespace {

// Steps that may raise: each error becomes "Not Executed" for this command only. `refused`
// gets the command that may not run, or the placeholder left unfilled; `filled`, the text with
// the buyer's values in it.
Outcome DeliverCommand(StoreClient& client, const nlohmann::json& payment, const nlohmann::json& command,
                       PaymentPlayer& record, std::string& refused, bool& greeted, std::string& filled) {
  const std::string store_state = StringMember(command, "state");
  std::string text = host::ToUtf8(host::FromUtf8(StringMember(command, "str")));
  std::string eos_id = StringMember(payment, "eos_id");
  if (eos_id.empty() && record.online) eos_id = record.game_eos_id;
  const std::string username = StringMember(payment, "username");

  if (!record.online && (text.find('{') != std::string::npos || store_state == "Must be online"))
    return Outcome::held_back;

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
  filled = text;
  for (const char* placeholder : kPlaceholders)
    if (text.find(placeholder) != std::string::npos) {
      refused = placeholder;
      return Outcome::unfilled;
    }
  if (IsHostPluginCommand(text)) {
    refused = text;
    return Outcome::refused;
  }
  // Thanked once their first command runs: a payment of which nothing runs (set aside, refused)
  // would thank them at every poll for nothing.
  if (record.online && !greeted) {
    greeted = true;
    Greet(client, record);
  }
  return client.ExecuteAsPlayer(text, record.player_controller, TargetText(record)) ? Outcome::executed
                                                                                    : Outcome::not_executed;
}

}  // namespace

ReplyDelivery::ReplyDelivery(std::vector<PaymentRecord> payments)
    : payments_(std::move(payments)), results_(std::make_shared<DeliveredResults>()) {
  // Made whole now: growing it as payments start rehashes every id, tens of milliseconds of one
  // frame for a large reply.
  results_->payment_ids.reserve(payments_.size());
}

void ReplyDelivery::BeginPayment(StoreClient& client) {
  const PaymentRecord& record = payments_[next_payment_++];
  in_payment_ = false;
  command_count_ = 0;
  next_command_ = 0;
  payment_has_state_ = false;
  payment_id_.clear();
  told_refusal_ = false;
  head_ = record.Head();
  buyer_ = MakePaymentPlayer(head_);
  if (!buyer_.usable) TellUnreadable(client, "payment", buyer_.unreadable);
  ResolvePaymentPlayer(buyer_);
  looked_up_this_slice_ = true;
  if (buyer_.usable) {
    try {
      action_ = StringMember(head_, "action");
      (void)Member(head_, "cmds");  // a payment without commands cannot be read
      command_count_ = record.CommandCount();
      if (command_count_ > 0) payment_id_ = StringMember(head_, "id");
      in_payment_ = true;
    } catch (const std::exception& e) {
      TellUnreadable(client, "payment", e.what());
      command_count_ = 0;
    }
  }
  // A reply that lists a payment again (the store's fault or a proxy's) would run it twice.
  if (in_payment_ && command_count_ > 0 && !results_->payment_ids.insert(payment_id_).second) {
    if (repeats_skipped_++ == 0)
      ReportError(client,
                  "Payment " + payment_id_ + " is listed more than once in the store's answer: delivered once, "
                  "the repeat skipped",
                  false);
    in_payment_ = false;
    command_count_ = 0;
    return;
  }
  if (in_payment_) {
    eos_id_ = TextOr(head_, "eos_id");
    username_ = TextOr(head_, "username");
    greeted_ = false;
    if (buyer_.online) client.waiting_buyers.Forget(eos_id_, username_);
    in_payment_ = command_count_ > 0;
  }
}

void ReplyDelivery::RunCommand(StoreClient& client) {
  // A new slice: the buyer may have left or died since the last one, and the controller kept
  // from then may be gone.
  if (!looked_up_this_slice_) {
    looked_up_this_slice_ = true;
    ResolvePaymentPlayer(buyer_);
    if (!buyer_.usable) {
      EndPayment();  // the commands left have no state; the store sends them again
      return;
    }
  }
  const nlohmann::json command = payments_[next_payment_ - 1].Command(next_command_++);
  std::string command_id;
  try {
    command_id = CommandIdText(command);
  } catch (const std::exception& e) {
    TellUnreadable(client, "command", e.what());
    if (next_command_ >= command_count_) EndPayment();
    return;
  }
  // Its result was set aside as one the store refuses: run once already, never again.
  if (client.set_aside.Executed(payment_id_, command_id)) {
    if (next_command_ >= command_count_) EndPayment();
    return;
  }
  Outcome outcome = Outcome::not_executed;
  std::string refused_text, filled_text;
  try {
    outcome = DeliverCommand(client, head_, command, buyer_, refused_text, greeted_, filled_text);
  } catch (const std::exception& e) {
    ReportError(client, std::string("Error while executing command : ") + e.what(), true);
  } catch (...) {
    ReportError(client, "Error while executing command : unknown error", true);
  }
  if (outcome == Outcome::held_back &&
      client.waiting_buyers.Note(eos_id_, username_, buyer_.players_sharing_name, payment_id_,
                                 buyer_.connected_without_character, GameSeconds()) &&
      buyer_.players_sharing_name > 1)
    ReportError(client,
                "Holding back payment " + payment_id_ + ": " + std::to_string(buyer_.players_sharing_name) +
                    " players online are named \"" + username_ +
                    "\", and nobody can tell which of them paid; it waits until only one of them is online. "
                    "Have the store name its buyer by EOS id",
                false);
  if (outcome == Outcome::unfilled && client.told_unfilled.insert(payment_id_).second) {
    if (client.told_unfilled.size() > 1000) client.told_unfilled = {payment_id_};
    ReportError(client,
                "Not running command " + command_id + " of payment " + payment_id_ + ": it still holds " + refused_text +
                    " after the buyer's values were filled in (the buyer has no such value, or the placeholder "
                    "comes twice); reported Not Executed",
                false);
  }
  if (outcome == Outcome::refused && !told_refusal_) {
    told_refusal_ = true;
    ReportError(client,
                "Not running \"" + refused_text + "\" of payment " + payment_id_ +
                    ": a store command may not load, unload or reload plugins (the host's plugins. commands); "
                    "reported Not Executed",
                false);
  }
  const char* state = outcome == Outcome::executed ? kExecuted : kNotExecuted;
  RecordState(command_id, outcome == Outcome::executed);
  if (results_->details.size() < kMostDetailBytes)
    AppendDeliveryDetail(results_->details, payment_id_, eos_id_.empty() ? buyer_.game_eos_id : eos_id_, username_,
                         host::ToUtf8(buyer_.character_name), command_id,
                         outcome == Outcome::executed    ? DetailState::executed
                         : outcome == Outcome::held_back ? DetailState::held_back
                                                         : DetailState::not_executed,
                         filled_text,
                         std::time(nullptr));
  any_state_ = true;
  if (!AppendPendingResult(payment_id_, action_, command_id, state)) log_complete_ = false;
  if (next_command_ >= command_count_) EndPayment();
}

namespace {

constexpr char kPaymentRecord = 'P', kExecutedRecord = 'E', kNotExecutedRecord = 'N';

struct PaymentStates {
  std::string action;
  std::map<std::string, const char*> cmds;  // command id -> state
};

std::string MemberText(const std::string& payment_id, const PaymentStates& states) {
  std::string text = CompactText(payment_id) + ":{\"action\":" + CompactText(states.action) + ",\"cmds\":{";
  bool first = true;
  for (const auto& [id, state] : states.cmds) {
    if (!first) text += ',';
    first = false;
    text += CompactText(id);
    text += ":\"";
    text += state;
    text += '"';
  }
  return text + "}}";
}

}  // namespace

void ReplyDelivery::RecordState(const std::string& command_id, bool executed) {
  std::string& buffer = results_->states;
  if (!payment_has_state_) {
    payment_has_state_ = true;
    buffer += kPaymentRecord;
    AppendField(buffer, payment_id_);
    AppendField(buffer, action_);
  }
  buffer += executed ? kExecutedRecord : kNotExecutedRecord;
  AppendField(buffer, command_id);
}

void ReplyDelivery::EndPayment() {
  in_payment_ = false;
  command_count_ = 0;
}

void ReplyDelivery::TellUnreadable(StoreClient& client, const char* what, const std::string& reason) {
  // The first of each kind in full; a reply of a million broken ones is one more line, at its end.
  size_t& count = what == std::string("payment") ? unreadable_payments_ : unreadable_commands_;
  if (count++ == 0) ReportError(client, std::string("Skipping a ") + what + " that cannot be read: " + reason, false);
}

void ReplyDelivery::TellSkipped(StoreClient& client) {
  if (repeats_skipped_ > 1)
    ReportError(client, std::to_string(repeats_skipped_) + " repeats of payments listed more than once were skipped",
                false);
  if (unreadable_payments_ > 1)
    ReportError(client, std::to_string(unreadable_payments_) + " payments of this answer could not be read and were skipped",
                false);
  if (unreadable_commands_ > 1)
    ReportError(client, std::to_string(unreadable_commands_) + " commands of this answer could not be read and were skipped",
                false);
  repeats_skipped_ = unreadable_payments_ = unreadable_commands_ = 0;
}

bool ReplyDelivery::Continue(StoreClient& client, std::chrono::steady_clock::time_point deadline) {
  looked_up_this_slice_ = false;
  // The files a command appends to stay open for the slice, and each buyer's journal line stays
  // until its end.
  struct JournalHold {
    StoreClient& client;
    explicit JournalHold(StoreClient& c) : client(c) { client.hold_journal_lines = true; }
    ~JournalHold() {
      client.hold_journal_lines = false;
      try {
        client.ReleaseJournalLines();
      } catch (...) {
      }
    }
  } journal_hold(client);
  HeldAppends held({JsonFileStore::PathOf("info.log"), JsonFileStore::PathOf(kPendingResultsFileName)});
  do {
    if (in_payment_)
      RunCommand(client);
    else if (next_payment_ < payments_.size())
      BeginPayment(client);
    else
      break;
  } while (std::chrono::steady_clock::now() < deadline);
  if (Done()) TellSkipped(client);
  return Done();
}

std::vector<ResultsMember> DeliveredResults::Members() const {
  std::map<std::string, PaymentStates> by_id;
  PaymentStates* payment = nullptr;
  std::string id, action;
  for (size_t at = 0; at < states.size();) {
    const char kind = states[at++];
    if (kind == kPaymentRecord) {
      if (!ReadField(states, at, id) || !ReadField(states, at, action)) break;
      payment = &by_id[id];
      *payment = PaymentStates{action, {}};  // its last occurrence
    } else {
      if (!ReadField(states, at, id) || !payment) break;
      payment->cmds[id] = kind == kExecutedRecord ? kExecuted : kNotExecuted;
    }
  }
  std::vector<ResultsMember> members;
  members.reserve(by_id.size());
  for (const auto& [payment_id, payment_states] : by_id)
    members.push_back({payment_id, MemberText(payment_id, payment_states)});
  return members;
}

std::string DeliveredResults::Text() const { return DocumentText(Members()); }

nlohmann::json ReplyDelivery::KnownStates() const {
  // The payment under way has its states in the buffer too.
  nlohmann::json states = nlohmann::json::parse(results_->Text(), nullptr, false);
  return states.is_object() ? states : nlohmann::json::object();
}

std::shared_ptr<DeliveredResults> ReplyDelivery::TakeResults() {
  std::shared_ptr<DeliveredResults> taken = std::move(results_);
  results_ = std::make_shared<DeliveredResults>();
  taken->payments.swap(payments_);
  in_payment_ = false;
  next_payment_ = 0;
  command_count_ = 0;
  return taken;
}

}  // namespace gildmark
