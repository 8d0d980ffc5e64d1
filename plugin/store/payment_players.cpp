#include "store/payment_players.h"

#include "host/host.h"
#include "store/store_client.h"
#include "support/plugin_files.h"

namespace gildmark {

void StripOuterQuotes(std::string& text) {
  if (text.size() <= 1) return;
  if (text.front() == '"' && text.back() == '"') {
    text.pop_back();
    text.erase(0, 1);
  }
}

nlohmann::json DecodePaymentsReply(std::string body) {
  StripOuterQuotes(body);
  if (nlohmann::json::accept(body)) return nlohmann::json::parse(body);
  if (body.find("No pending payments found") != std::string::npos) {
    // The GET went out because no results waited: the file holds "{}" already, nearly always,
    // and a needless write is a needless error when another program holds the file.
    std::string current;
    if (!ReadFileBytes(JsonFileStore::PathOf("response.json"), current) || current != "{}")
      JsonFileStore::WriteText("response.json", "{}");
  } else if (body.find("Gildmark") != std::string::npos && g_store_client) {
    g_store_client->target->Report(body, Severity::information, true);
  }
  return 0;
}

void ForEachElement(const nlohmann::json& container, const std::function<void(const nlohmann::json&)>& visit) {
  if (container.is_null()) return;
  if (container.is_array() || container.is_object()) {
    // nlohmann's objects are ordered by key, so this is ascending byte order.
    for (const auto& element : container) visit(element);
    return;
  }
  visit(container);
}

const nlohmann::json& Member(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) (void)object[key];  // throws type_error.305 for anything but an object
  return object.at(key);
}

std::string StringMember(const nlohmann::json& object, const char* key) {
  return Member(object, key).get<std::string>();
}

void AddPaymentPlayer(PaymentPlayerList& list, const std::string& type, const FString& value) {
  auto record = std::make_unique<PaymentPlayer>();
  record->identifier_type = type;
  if (!type.empty()) record->identifiers[type] = value;
  list.push_back(std::move(record));
}

void LoadPaymentPlayers(PaymentPlayerList& list, const nlohmann::json& document) {
  ForEachElement(document, [&](const nlohmann::json& payment) {
    try {
      const FString eos_id = host::FromUtf8(StringMember(payment, "eos_id"));
      if (!eos_id.IsEmpty()) {
        AddPaymentPlayer(list, "eosid", eos_id);
        return;
      }
      const FString username = host::FromUtf8(StringMember(payment, "username"));
      // A payment naming nobody still gets its record, so that pairing by position holds.
      AddPaymentPlayer(list, username.IsEmpty() ? "" : "username", username);
    } catch (const std::exception& e) {
      AddPaymentPlayer(list, "", FString());
      list.back()->usable = false;
      if (g_store_client)
        g_store_client->target->Report(std::string("Skipping a payment that cannot be read: ") + e.what(),
                                       Severity::error, false);
    }
  });
}

namespace {

void ResolveOnline(PaymentPlayer& record, AShooterPlayerController* player) {
  record.online = true;
  record.character_name = host::CharacterName(player);
  record.player_controller = player;
  record.linked_id = std::to_string(host::LinkedId(player));
}

void UseOfflineFallback(PaymentPlayer& record) {
  record.player_controller = host::FirstPlayerController();
  record.online = false;
}

}  // namespace

void ResolvePaymentPlayers(PaymentPlayerList& list) {
  for (auto& record : list) {
    if (!record->usable) continue;
    try {
      AShooterPlayerController* found = nullptr;
      if (record->identifier_type == "eosid") {
        found = host::FindPlayerByEosId(record->identifiers["eosid"]);
      } else if (record->identifier_type == "username") {
        found = host::FindPlayerByCharacterName(record->identifiers["username"]);
      }
      if (found && host::HasLivingCharacter(found))
        ResolveOnline(*record, found);
      else
        UseOfflineFallback(*record);
    } catch (const std::exception& e) {
      // Not knowing who the buyer is, nothing may run for them; the store sends it again.
      record->usable = false;
      record->player_controller = nullptr;
      if (g_store_client)
        g_store_client->target->Report(std::string("Skipping a payment whose buyer cannot be looked up: ") + e.what(),
                                       Severity::error, false);
    }
  }
}

void ResolvePaymentPlayers() {
  if (g_store_client) ResolvePaymentPlayers(g_store_client->payment_players);
}

}  // namespace gildmark
