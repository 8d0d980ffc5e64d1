#include "store/request_cycle.h"

#include "host/host.h"
#include "store/payment_delivery.h"
#include "store/payment_players.h"
#include "store/store_client.h"
#include "support/plugin_files.h"

namespace gildmark {

bool IsEmptyResults(const nlohmann::json& document) {
  return document.is_null() || ((document.is_object() || document.is_array()) && document.empty());
}

void StoreClient::RunRequestCycle(bool scheduled, bool connection_test) {
  // A config.json that could not be read at all (not one that is wrong) is tried again by each
  // scheduled poll, so that a passing file problem does not stop delivery for good.
  if (key_parts.empty() && scheduled && config_unreadable) LoadConfig();
  if (key_parts.empty()) return;
  if (request_in_flight) {
    target->Report(kPleaseWaitMessage, Severity::information, false);
    return;
  }
  // A GET only when no results wait anywhere: payments whose results the store has not had
  // would come back and be delivered again.
  PendingResults pending;
  try {
    pending = LoadPendingResults(this);
  } catch (const std::exception& e) {
    target->Report(std::string("Could not read the results waiting for the store: ") + e.what(), Severity::error,
                   false);
    pending.readable = false;
  }
  if (!pending.readable) {
    if (connection_test) target->Clear();  // the requester has had the reason
    return;
  }
  const SignedRequest request = PrepareRequest();

  request_in_flight = true;
  bool accepted = false;
  try {
    if (pending.text.empty()) {
      accepted = host::StartGet(
          request.url,
          [scheduled, connection_test](bool success, std::string body) {
            OnGetReply(success, std::move(body), scheduled, connection_test);
          },
          request.headers);
    } else {
      const std::string sent = pending.text;
      accepted = host::StartPost(
          request.url, [sent](bool success, std::string body) { OnPostReply(success, std::move(body), sent, true); },
          pending.text, "application/json", request.headers);
    }
  } catch (const std::exception& e) {
    target->Report(std::string("Could not start the store request: ") + e.what(), Severity::error, false);
    accepted = false;
  }
  if (!accepted) {
    if (connection_test) target->Report(kUnavailableMessage, Severity::information, true);
    request_in_flight = false;
  }
}

namespace {

void DeliverReply(StoreClient& client, const std::string& body) {
  const nlohmann::json document = DecodePaymentsReply(body);
  if (document == nlohmann::json(0)) {
    client.request_in_flight = false;
    client.target->Clear();
    return;
  }
  // The GET went out because no results waited, so the file mostly holds "{}" already.
  std::string current;
  if (!ReadFileBytes(JsonFileStore::PathOf(kResponseFileName), current) || current != "{}")
    JsonFileStore::WriteText(kResponseFileName, "{}");
  LoadPaymentPlayers(client.payment_players, document);
  ResolvePaymentPlayers(client.payment_players);
  client.request_in_flight = false;
  ProcessPayments(document);
}

void AnswerConnectionTest(StoreClient& client, std::string body) {
  StripOuterQuotes(body);
  const bool is_array = nlohmann::json::accept(body) && nlohmann::json::parse(body).is_array();
  client.target->Report(is_array ? kConnectionSuccessfulMessage : body, Severity::information, true);
  client.request_in_flight = false;
}

}  // namespace

void OnGetReply(bool success, std::string body, bool scheduled, bool connection_test) {
  StoreClient* client = g_store_client;
  if (!client) return;
  try {
    if (!success || body.empty()) {
      if (connection_test) client->target->Report(kUnavailableMessage, Severity::information, true);
      client->target->Clear();
      client->request_in_flight = false;
    } else if (scheduled) {
      DeliverReply(*client, body);
    } else if (connection_test) {
      AnswerConnectionTest(*client, std::move(body));
    } else {
      client->request_in_flight = false;
    }
  } catch (const std::exception& e) {
    client->target->Report(std::string("Error while handling the store's reply: ") + e.what(), Severity::error,
                           false);
    client->payment_players.clear();
    client->target->Clear();
    client->request_in_flight = false;
  } catch (...) {
    client->payment_players.clear();
    client->target->Clear();
    client->request_in_flight = false;
  }
}

}  // namespace gildmark
