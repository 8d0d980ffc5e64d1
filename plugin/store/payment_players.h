// The store's GET reply and the buyers it names. DecodePaymentsReply turns the body into a JSON
// document (or the integer 0 when there is nothing to deliver); LoadPaymentPlayers makes one
// PaymentPlayer per payment, in reply order, so that payments and records pair by position;
// ResolvePaymentPlayers finds each buyer among the connected, living players, or falls back to
// the world's first player controller.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "json.hpp"

#include "host/host.h"

namespace gildmark {

struct PaymentPlayer {
  std::unordered_map<std::string, FString> identifiers;  // "eosid" or "username" -> value
  std::string identifier_type;
  std::string linked_id;
  bool online = false;
  FString character_name;
  AShooterPlayerController* player_controller = nullptr;
  // The payment could not be read (not an object, identifiers of the wrong type): it is skipped.
  bool usable = true;
};

using PaymentPlayerList = std::vector<std::unique_ptr<PaymentPlayer>>;

// Removes one pair of surrounding double quotes; nothing inside is unescaped.
void StripOuterQuotes(std::string& text);
nlohmann::json DecodePaymentsReply(std::string body);

// Arrays in order, objects by ascending key, null visits nothing, any other value is one element.
void ForEachElement(const nlohmann::json& container, const std::function<void(const nlohmann::json&)>& visit);

// Checked reads that throw the JSON library's own errors, whose texts admins and the store know:
// type_error.305 for a value that is not an object, out_of_range.403 for a missing key,
// type_error.302 for a value of the wrong type.
const nlohmann::json& Member(const nlohmann::json& object, const char* key);
std::string StringMember(const nlohmann::json& object, const char* key);

void AddPaymentPlayer(PaymentPlayerList& list, const std::string& type, const FString& value);
void LoadPaymentPlayers(PaymentPlayerList& list, const nlohmann::json& document);
void ResolvePaymentPlayers();
void ResolvePaymentPlayers(PaymentPlayerList& list);

}  // namespace gildmark
