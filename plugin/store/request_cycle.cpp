#include "store/request_cycle.h"

#include <ctime>

#include "host/host.h"
#include "store/payment_delivery.h"
#include "store/payment_players.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"

namespace gildmark {

namespace {

// Certificate failures are told at most this often: a forged store may answer every poll.
constexpr double kCertificateReportSeconds = 3600;

void ReportToLogs(const std::string& message, Severity severity) {
  RequestTarget nobody;
  nobody.Report(message, severity, false);
}

}  // namespace

bool IsEmptyResults(const nlohmann::json& document) {
  return document.is_null() || ((document.is_object() || document.is_array()) && document.empty());
}

void StoreClient::RunRequestCycle(bool scheduled, bool connection_test) {
  // A config.json that could not be read at all (not one that is wrong) is tried again by each
  // scheduled poll, so that a passing file problem does not stop delivery for good.
  if (key_parts.empty() && scheduled && config_unreadable) LoadConfig();
  if (key_parts.empty()) return;
  // A store that refused is asked again when it said, or later and later while it fails; an
  // admin's connection test is never held back.
  if (scheduled && !backoff.Allows(GameSeconds())) return;
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
    host::HttpsRequest https;
    https.url = request.url;
    https.headers = request.headers;
    if (pending.text.empty()) {
      https.method = "GET";
      accepted = host::SendHttps(https, [scheduled, connection_test, sent_at = GameSeconds()](host::HttpsReply reply) {
        OnGetReply(std::move(reply), scheduled, connection_test, sent_at);
      });
    } else {
      https.method = "POST";
      https.body = pending.text;
      https.content_type = "application/json";
      const std::string sent = pending.text;
      accepted = host::SendHttps(https, [sent, sent_at = GameSeconds()](host::HttpsReply reply) {
        OnPostReply(std::move(reply), sent, true, sent_at);
      });
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

void NoteStoreReply(StoreClient& client, const host::HttpsReply& reply, double sent_at) {
  const double now = GameSeconds();
  const int interval = TimerPeriodSeconds(client.config.request_interval_in_minutes);
  const StoreBackoff::Change change = client.backoff.OnReply(reply, sent_at, now, interval, std::time(nullptr));
  if (reply.Ok()) {
    client.told_refusal = 0;
    if (change == StoreBackoff::Change::ended)
      ReportToLogs("The store answers again; polling every " + std::to_string(interval) + " seconds as before",
                   Severity::information);
    return;
  }
  const std::string cause = DescribeFailure(reply);
  const long long next = client.backoff.SecondsLeft(now);
  if (reply.failure == host::HttpsFailure::certificate) {
    if (client.last_certificate_report < 0 || now - client.last_certificate_report >= kCertificateReportSeconds) {
      client.last_certificate_report = now;
      ReportToLogs("Could not trust the store's answer (" + cause +
                       "); nothing from that answer was run. Told at most once an hour while it goes on",
                   Severity::error);
    }
  } else if (reply.failure == host::HttpsFailure::none && reply.status >= 400 && reply.status < 500 &&
             reply.status != 429 && client.told_refusal != reply.status) {
    // A key the store no longer accepts, an unknown server: the admin has to act.
    client.told_refusal = reply.status;
    ReportToLogs("The store refused the request: " + cause + ". Asking again in " + std::to_string(next) +
                     " seconds, and less often while it refuses",
                 Severity::error);
  }
  if (change == StoreBackoff::Change::started)
    ReportToLogs("Backing off from the store (" + cause + "): the next poll in " + std::to_string(next) +
                     " seconds, and less often while this goes on",
                 Severity::information);
}

std::string UnavailableText(const StoreClient& client, const host::HttpsReply& reply) {
  std::string text = std::string(kUnavailableMessage) + " (" + DescribeFailure(reply);
  const long long next = client.backoff.SecondsLeft(GameSeconds());
  text += next > 0 ? "; the next poll in " + std::to_string(next) + " seconds" : "; the next poll as scheduled";
  return text + ")";
}

void OnGetReply(host::HttpsReply reply, bool scheduled, bool connection_test, double sent_at) {
  StoreClient* client = g_store_client;
  if (!client) return;
  try {
    NoteStoreReply(*client, reply, sent_at < 0 ? GameSeconds() : sent_at);
    const bool success = reply.Ok();
    std::string body = std::move(reply.body);
    if (!success || body.empty()) {
      if (connection_test) {
        client->target->Report(success ? std::string(kUnavailableMessage) + " (the store's answer was empty)"
                                       : UnavailableText(*client, reply),
                               Severity::information, true);
      }
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
