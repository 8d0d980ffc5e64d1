// Delivery of one GET reply, in slices: greet each online buyer, fill the buyer's identifiers
// into each command, hold back what needs an online buyer, run the rest with temporary rights,
// and record "Executed" or "Not Executed" per command. Every call into the plugin on the game
// thread is frame time, so a reply is delivered a slice at a time (ReplyDelivery::Continue, from
// the per-frame callback), each ending at a deadline checked between commands, whatever the
// number of payments or of commands in one; nothing on the game thread grows with a payment's
// size but the commands that run. A buyer is
// looked up when their payment starts and again in each later slice, as they may have left or
// died in between. Each state goes to the results log (store/results_record.h) the moment it is
// known, so a crash or an unload between two commands loses nothing and runs nothing twice;
// when the reply is done its results go to response.json and are posted at once, and the log
// stays until the store has acknowledged them.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "json.hpp"
#include "store/payment_players.h"
#include "store/payment_records.h"
#include "store/results_batches.h"
#include "store/results_record.h"

namespace gildmark {

class StoreClient;

void ReplaceFirst(std::string& text, const std::string& placeholder, const std::string& value);
// A value put into a console command: "|" and control characters would let it add console
// input of its own, and a '"' could end a quoted section so that a '|' of the template splits
// the line, so all of them become "?".
std::string SanitizeValue(std::string value);
// The id of a command as the decimal text it came with (a boolean reads as 0 or 1, a fraction
// is cut toward zero). Throws when the command has no readable id.
std::string CommandIdText(const nlohmann::json& command);
// A command that would reach the host's own plugins.load / plugins.unload / ... : those pass
// the host's console hook from a command run through a player, and one from the store would
// unload this plugin inside its own frame callback. Never run.
bool IsHostPluginCommand(const std::string& command);

// What a finished delivery leaves: its results, and its payments to be freed. The states are
// kept as they become known, in one growing buffer rather than a node each: hundreds of
// thousands of small pieces made on the game thread cost it their freeing, wherever that
// happens, when the allocator next tidies up. Their text is built off the game thread.
struct DeliveredResults {
  // For each payment with a state, a record of its id and action, then one per command state.
  std::string states;
  // Each command's details for the delivery history (store/delivery_history.h).
  std::string details;
  std::vector<PaymentRecord> payments;
  // The ids of the payments delivered, kept to skip a repeat; freed with the rest.
  std::unordered_set<std::string> payment_ids;
  bool Empty() const { return states.empty(); }
  // The results document's members by payment id ("id":{...}, compact, keys ascending): a
  // payment id seen twice keeps the states of its last occurrence, as the document would.
  std::vector<ResultsMember> Members() const;
  // The results document's compact text.
  std::string Text() const;
};

// The time a slice may spend on delivery in one call from the game thread; checked between
// commands, so the margin below 4 ms is for the one that runs when it is reached.
inline constexpr std::chrono::microseconds kDeliverySliceBudget{3500};

class ReplyDelivery {
 public:
  explicit ReplyDelivery(std::vector<PaymentRecord> payments);

  // Delivers until `deadline`, checked between commands (at least one step is made). True when
  // the reply is done.
  bool Continue(StoreClient& client, std::chrono::steady_clock::time_point deadline);
  bool Done() const { return !in_payment_ && next_payment_ >= payments_.size(); }

  bool AnyState() const { return any_state_; }
  // Every state went to the results log: it alone keeps them until the store has them.
  bool LogComplete() const { return log_complete_; }
  // The results so far, and the payments, leaving the delivery empty. A large reply's results
  // are megabytes: they are turned into text, and freed, off the game thread.
  std::shared_ptr<DeliveredResults> TakeResults();
  // Every state known so far as a results document: the finished payments' and those of the
  // payment under way. What an unload keeps when the results log could not.
  nlohmann::json KnownStates() const;

 private:
  void BeginPayment(StoreClient& client);
  void RunCommand(StoreClient& client);
  void EndPayment();
  void RecordState(const std::string& command_id, bool executed);

  std::vector<PaymentRecord> payments_;
  size_t next_payment_ = 0;

  // The payment under way: its members but the commands, which are read one at a time.
  bool in_payment_ = false;
  nlohmann::json head_;
  size_t command_count_ = 0, next_command_ = 0;
  PaymentPlayer buyer_;
  std::string payment_id_, action_, eos_id_, username_;
  bool payment_has_state_ = false;  // its record is in the states buffer
  bool looked_up_this_slice_ = false;
  bool told_refusal_ = false;  // this payment's refused command was told
  bool greeted_ = false;       // its buyer was thanked

  // Payments listed again, and payments and commands that cannot be read, in this reply: the
  // first of each told, the rest counted in one line at its end.
  size_t repeats_skipped_ = 0, unreadable_payments_ = 0, unreadable_commands_ = 0;
  void TellUnreadable(StoreClient& client, const char* what, const std::string& reason);
  void TellSkipped(StoreClient& client);

  std::shared_ptr<DeliveredResults> results_;
  bool any_state_ = false;
  bool log_complete_ = true;
};

}  // namespace gildmark
