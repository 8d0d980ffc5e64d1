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

namespace {

// The document 0 (or 0.0, -0) says that nothing waits.
bool IsZero(const std::string& text) {
  const size_t at = ValueStart(text);
  if (at >= text.size() || (text[at] != '-' && (text[at] < '0' || text[at] > '9'))) return false;
  return nlohmann::json::parse(text, nullptr, false) == nlohmann::json(0);
}

}  // namespace

DecodedPayments DecodePayments(std::string& body) {
  DecodedPayments decoded;
  StripOuterQuotes(body);
  if (!nlohmann::json::accept(body)) return decoded;  // the text, quotes already stripped
  decoded.is_json = true;
  decoded.nothing = IsZero(body);
  if (!decoded.nothing) {
    decoded.counts = CountPaymentsAndCommands(body);
    decoded.too_many = decoded.counts.payments > kMostPaymentsInAnswer || decoded.counts.commands > kMostCommandsInAnswer;
  }
  if (!decoded.nothing && !decoded.too_many)
    decoded.payments = PaymentRecordsOf(std::make_shared<const std::string>(std::move(body)));
  std::string().swap(body);
  return decoded;
}

std::shared_ptr<void> PreparePaymentsReply(host::HttpsReply& reply) {
  return std::make_shared<DecodedPayments>(DecodePayments(reply.body));
}

DecodedPayments DecodePaymentsReply(std::string body) {
  DecodedPayments decoded = DecodePayments(body);
  if (!decoded.is_json) HandleTextReply(body);
  return decoded;
}

bool IsStoresText(const std::string& text) {
  return text.find("No pending payments found") != std::string::npos || text.find("Gildmark") != std::string::npos;
}

std::string OneShortLine(const std::string& text) {
  constexpr size_t kMost = 160;
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  size_t end = text.find_first_of("\r\n", begin);
  if (end == std::string::npos) end = text.size();
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  const bool cut = end - begin > kMost;
  if (cut) {
    end = begin + kMost;
    // Not in the middle of a UTF-8 character.
    while (end > begin && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  }
  std::string line = text.substr(begin, end - begin);
  if (cut || text.find_first_not_of(" \t\r\n", end) != std::string::npos)
    line += " ... (" + std::to_string(text.size()) + " bytes in all)";
  return line;
}

void HandleTextReply(const std::string& body) {
  if (body.find("No pending payments found") != std::string::npos) {
    // The GET went out because no results waited: the file holds "{}" already, nearly always,
    // and a needless write is a needless error when another program holds the file.
    std::string current;
    if (!ReadFileBytes(JsonFileStore::PathOf("response.json"), current) || current != "{}")
      JsonFileStore::WriteText("response.json", "{}");
  } else if (body.find("Gildmark") != std::string::npos && g_store_client) {
    g_store_client->target->Report(OneShortLine(body), Severity::information, true);
  }
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

namespace {

void ResolveOnline(PaymentPlayer& record, AShooterPlayerController* player) {
  record.online = true;
  record.character_name = host::CharacterName(player);
  record.player_controller = player;
  record.linked_id = std::to_string(host::LinkedId(player));
  // The payment carries no EOS id for a buyer it names by name; the game knows it.
  record.game_eos_id = record.identifier_type == "username" ? host::ToUtf8(host::EosIdOf(player)) : std::string();
}

void UseOfflineFallback(PaymentPlayer& record) {
  record.online = false;
  record.character_name = FString();
  record.linked_id.clear();
  record.game_eos_id.clear();
  record.player_controller = host::FirstPlayerController();
}

}  // namespace

PaymentPlayer MakePaymentPlayer(const nlohmann::json& payment) {
  PaymentPlayer record;
  try {
    const FString eos_id = host::FromUtf8(StringMember(payment, "eos_id"));
    if (!eos_id.IsEmpty()) {
      record.identifier_type = "eosid";
      record.identifiers["eosid"] = eos_id;
      return record;
    }
    const FString username = host::FromUtf8(StringMember(payment, "username"));
    if (!username.IsEmpty()) {
      record.identifier_type = "username";
      record.identifiers["username"] = username;
    }
  } catch (const std::exception& e) {
    record = PaymentPlayer{};
    record.usable = false;
    record.unreadable = e.what();  // told by the delivery, which counts them
  }
  return record;
}

void ResolvePaymentPlayer(PaymentPlayer& record) {
  if (!record.usable) return;
  try {
    AShooterPlayerController* found = nullptr;
    record.players_sharing_name = 0;
    record.connected_without_character = false;
    if (record.identifier_type == "eosid") {
      found = host::FindPlayerByEosId(record.identifiers["eosid"]);
    } else if (record.identifier_type == "username") {
      const std::vector<AShooterPlayerController*> named = host::FindPlayersByCharacterName(record.identifiers["username"]);
      if (named.size() > 1)
        record.players_sharing_name = named.size();  // whichever came first may not be the buyer
      else if (named.size() == 1)
        found = named[0];
    }
    if (found && host::HasLivingCharacter(found)) {
      ResolveOnline(record, found);
    } else {
      UseOfflineFallback(record);
      record.connected_without_character = found != nullptr;
    }
  } catch (const std::exception& e) {
    // Not knowing who the buyer is, nothing may run for them; the store sends it again.
    record.usable = false;
    record.online = false;
    record.player_controller = nullptr;
    if (g_store_client) {
      g_store_client->target->Report(std::string("Skipping a payment whose buyer cannot be looked up: ") + e.what(),
                                     Severity::error, false);
    }
  }
}

}  // namespace gildmark
