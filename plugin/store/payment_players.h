// The store's GET reply and the buyers it names. A large reply is checked and split off the game
// thread (PreparePaymentsReply, the request's preparation step) into its payments in delivery
// order (store/payment_records.h); DecodePaymentsReply does the same on the game thread for a
// reply that had no preparation, and either way a reply that is text, not JSON, is told or ignored here. MakePaymentPlayer
// reads a payment's buyer; ResolvePaymentPlayer finds them among the connected, living players,
// or falls back to the world's first player controller, each time a delivery needs to know.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "json.hpp"

#include "host/host.h"
#include "host/store_https.h"
#include "store/payment_records.h"

namespace gildmark {

struct PaymentPlayer {
  std::unordered_map<std::string, FString> identifiers;  // "eosid" or "username" -> value
  std::string identifier_type;
  std::string linked_id;
  bool online = false;
  FString character_name;
  AShooterPlayerController* player_controller = nullptr;
  // An online buyer named by character name: their EOS id as the game knows it.
  std::string game_eos_id;
  // More than one connected player carries the buyer's character name: nobody can tell which
  // of them paid, so the buyer counts as offline.
  size_t players_sharing_name = 0;
  // Connected, but without a living character (a new survivor not yet spawned, or dead).
  bool connected_without_character = false;
  // The payment could not be read (not an object, identifiers of the wrong type): it is skipped,
  // and `unreadable` says why.
  bool usable = true;
  std::string unreadable;
};

// Removes one pair of surrounding double quotes; nothing inside is unescaped.
void StripOuterQuotes(std::string& text);

// A reply's body made into payments.
// No store sends more in one answer (10,000 payments of three commands are about 4 MB); an
// answer over either is refused whole, as one over the size cap is, before anything is built
// for it: what a payment or a command costs must stay within a few times its text.
inline constexpr size_t kMostPaymentsInAnswer = 250000;
inline constexpr size_t kMostCommandsInAnswer = 4000000;

struct DecodedPayments {
  bool is_json = false;  // false: the reply is text, left in the body without its quotes
  bool nothing = false;  // the document was 0: nothing to deliver
  bool too_many = false;  // refused whole for its counts
  ReplyCounts counts;
  std::vector<PaymentRecord> payments;
};
// Checks the whole body and splits it into payments, taking it when it is JSON. Touches nothing
// but its argument, so that it may run off the game thread.
DecodedPayments DecodePayments(std::string& body);
// The preparation step of a scheduled GET: DecodePayments on the reply's body.
std::shared_ptr<void> PreparePaymentsReply(host::HttpsReply& reply);
// DecodePayments on the game thread, for a reply that had no preparation; a text reply is
// handled here.
DecodedPayments DecodePaymentsReply(std::string body);
// One of the store's own texts: "No pending payments found", or a message naming the store.
bool IsStoresText(const std::string& text);
// The first line of a text that holds anything, cut to what one chat or log line takes; a text
// cut short says how long it was.
std::string OneShortLine(const std::string& text);
// The side of a text reply: "No pending payments found" empties response.json, the store's own
// messages are told.
void HandleTextReply(const std::string& body);

// Arrays in order, objects by ascending key, null visits nothing, any other value is one element.
void ForEachElement(const nlohmann::json& container, const std::function<void(const nlohmann::json&)>& visit);

// Checked reads that throw the JSON library's own errors, whose texts admins and the store know:
// type_error.305 for a value that is not an object, out_of_range.403 for a missing key,
// type_error.302 for a value of the wrong type.
const nlohmann::json& Member(const nlohmann::json& object, const char* key);
std::string StringMember(const nlohmann::json& object, const char* key);

// The buyer a payment names (by EOS id, else by username). A payment that cannot be read gives
// an unusable record, and says why.
PaymentPlayer MakePaymentPlayer(const nlohmann::json& payment);
// Looks the buyer up now; a failed lookup makes the record unusable (nothing may run for a buyer
// nobody knows), and says why. A name that several connected players carry finds nobody.
void ResolvePaymentPlayer(PaymentPlayer& record);

}  // namespace gildmark
