#include "store/request_cycle.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "host/host.h"
#include "store/payment_delivery.h"
#include "store/payment_players.h"
#include "store/results_batches.h"
#include "store/results_record.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/server_instance.h"

namespace gildmark {

namespace {

// Certificate failures are told at most this often: a forged store may answer every poll.
constexpr double kCertificateReportSeconds = 3600;

// A connection test's verdict, judged where the reply arrives (off the game thread for all but
// a small one): a list of payments means the store answers; anything else is its message, cut
// to one short line, and whether it is one of the store's own texts.
struct ConnectionVerdict {
  std::string text;
  bool stores_answer = true;
};

std::shared_ptr<void> JudgeConnectionTestReply(host::HttpsReply& reply) {
  if (reply.body.empty()) return nullptr;  // told as an empty answer
  std::string body = std::move(reply.body);
  StripOuterQuotes(body);
  // Checked, not decoded: a document of a large reply would cost many times its size.
  const bool list = nlohmann::json::accept(body) && body[ValueStart(body)] == '[';
  auto verdict = std::make_shared<ConnectionVerdict>();
  verdict->stores_answer = list || IsStoresText(body);
  verdict->text = list ? std::string(kConnectionSuccessfulMessage) : OneShortLine(body);
  return verdict;
}

void ReportToLogs(const std::string& message, Severity severity) {
  RequestTarget nobody;
  nobody.Report(message, severity, false);
}

// A listed name another live process has taken: this server stays silent (both would deliver as
// one, from one folder), asks for the name again at every cycle, and says why once.
bool MayUseInstanceName(StoreClient& client, bool connection_test) {
  if (!ThisInstance().duplicate) return true;
  const std::string name = ThisInstance().name;
  if (ClaimInstanceName()) {
    ReportToLogs("No other running server uses the instance name " + name + " any more; this server asks the store",
                 Severity::information);
    client.told_duplicate_name = false;
    return true;
  }
  if (!client.told_duplicate_name || connection_test) {
    client.told_duplicate_name = true;
    client.target->Report("Another running server of this installation uses the instance name " + name +
                              " (it holds servers/" + name + "/" + kInstanceLockFileName +
                              "): this server does not ask the store, "
                              "so that nothing is delivered twice. Give each server its own "
                              "-GildmarkInstance=<name> on its launch line",
                          Severity::error, true);
  }
  return false;
}


// A response.json up to this size, without a log to fold, is read where the cycle runs (well
// under a millisecond). Anything more goes to the plugin's own thread: a backlog after a long
// outage is megabytes, and folding the log ends in a durable write, which waits for the disk.
constexpr uintmax_t kReadHereBytes = uintmax_t{64} << 10;

bool ResultsFilesAreSmall() {
  std::error_code ec;
  if (std::filesystem::exists(JsonFileStore::PathOf(kPendingResultsFileName), ec) || ec) return false;
  const uintmax_t size = std::filesystem::file_size(JsonFileStore::PathOf(kResponseFileName), ec);
  return ec || size <= kReadHereBytes;
}

// The cycle's request once the results waiting are known: a GET when none wait, else they are
// posted, in batches when they are many. `batches`: the results in batches, made already.
void SendCycleRequest(StoreClient& client, PendingResults& pending, BatchList batches, bool scheduled,
                      bool connection_test) {
  // The turn is given back as soon as nothing of this conversation is in flight.
  struct GiveBackWhenIdle {
    StoreClient& client;
    ~GiveBackWhenIdle() {
      if (!client.request_in_flight && !client.delivery) client.turns.Release();
    }
  } give_back{client};
  // A GET only when no results wait anywhere: payments whose results the store has not had
  // would come back and be delivered again.
  if (!pending.readable) {
    if (connection_test) client.target->Clear();  // the requester has had the reason
    return;
  }
  if (client.key_parts.empty()) return;  // the key went while the results were read
  const StoreClient::SignedRequest request = client.PrepareRequest();

  client.request_in_flight = true;
  bool accepted = false;
  try {
    host::HttpsRequest https;
    https.url = request.url;
    https.headers = request.headers;
    if (!batches.empty()) {
      accepted = PostBatches(client, std::move(batches), false);
    } else if (pending.text.empty()) {
      https.method = "GET";
      // A large reply is decoded off the game thread; a connection test only reads its shape,
      // there too.
      if (scheduled) https.prepare = PreparePaymentsReply;
      else if (connection_test) https.prepare = JudgeConnectionTestReply;
      accepted = host::SendHttps(https, [scheduled, connection_test, sent_at = GameSeconds()](host::HttpsReply reply) {
        OnGetReply(std::move(reply), scheduled, connection_test, sent_at);
      });
    } else if (!FitsOneBatch(client, pending.document.size(), pending.text.size())) {
      accepted = PostInBatches(client, MembersOf(pending.document), false);
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
    client.target->Report(std::string("Could not start the store request: ") + e.what(), Severity::error, false);
    accepted = false;
  }
  if (!accepted) {
    if (connection_test) client.target->Report(kUnavailableMessage, Severity::information, true);
    client.request_in_flight = false;
  }
}

// What the plugin's own thread made of large results files.
struct FoldedResults {
  PendingResults pending;
  BatchList batches;  // when they go in batches
};

// The request flag is held from here, so that nothing else starts or writes the results files
// until the request that follows is sent. A stop drops the work, or waits for it; the files
// hold the results either way.
void FoldOffGameThread(StoreClient& client, bool scheduled, bool connection_test) {
  client.request_in_flight = true;
  auto folded = std::make_shared<FoldedResults>();
  host::RunOffGameThread(
      [folded, batch_payments = client.results_batch_payments] {
        PendingResults& pending = folded->pending;
        try {
          pending = FoldPendingResults();
          if (!pending.text.empty() &&
              (pending.document.size() > batch_payments || pending.text.size() > kBatchBytes)) {
            folded->batches = SplitIntoBatches(MembersOf(pending.document), batch_payments);
            // Freed here, not later beside the game thread's work: the batches hold the results.
            std::string().swap(pending.text);
            pending.document = nullptr;
          }
        } catch (const std::exception& e) {
          pending = PendingResults();
          pending.readable = false;
          pending.problems.push_back(std::string("Could not read the results waiting for the store: ") + e.what());
        }
      },
      [folded, scheduled, connection_test] {
        StoreClient* client = g_store_client;
        if (!client) return;
        client->request_in_flight = false;
        PendingResults& pending = folded->pending;
        BatchList batches = std::move(folded->batches);
        try {
          // Results that only memory holds join a later cycle when these go in batches: the
          // document they would join is gone already (rare: a disk that refused them).
          FinishPendingResults(client, pending, batches.empty());
        } catch (const std::exception& e) {
          client->target->Report(std::string("Could not read the results waiting for the store: ") + e.what(),
                                 Severity::error, false);
          pending.readable = false;
        }
        SendCycleRequest(*client, pending, std::move(batches), scheduled, connection_test);
        host::ReleaseOffGameThread(std::move(folded));
      });
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
  early_poll_in_flight = false;
  if (!MayUseInstanceName(*this, connection_test)) return;
  if (!turns.Take(GameSeconds())) {
    if (connection_test && !turns.UnusableMessage().empty())
      target->Report(turns.UnusableMessage(), Severity::error, true);
    else if (connection_test)
      target->Report("Another server of this installation is talking to the store right now; this one asks when "
                     "its turn comes. Try gildmark.connect again in a few seconds",
                     Severity::information, true);
    return;
  }
  if (!ResultsFilesAreSmall()) {
    FoldOffGameThread(*this, scheduled, connection_test);
    return;
  }
  PendingResults pending;
  try {
    pending = LoadPendingResults(this);
  } catch (const std::exception& e) {
    target->Report(std::string("Could not read the results waiting for the store: ") + e.what(), Severity::error,
                   false);
    pending.readable = false;
  }
  SendCycleRequest(*this, pending, {}, scheduled, connection_test);
}

namespace {

// What the plugin's own thread made of a finished delivery's results.
struct WrittenResults {
  std::string text;
  bool written = false;  // response.json holds the text
  std::string error;     // why not
  BatchList batches;     // when they go in batches
};

// Posts a finished delivery's results (on the game thread, once response.json holds them), and
// so ends the conversation that its GET began.
void PostDeliveredResults(WrittenResults& results, bool clears_log) {
  StoreClient* client = g_store_client;
  if (!client) return;
  client->results_on_their_way.reset();
  std::string text = std::move(results.text);
  try {
    if (clears_log) {
      // The results log keeps the states on the disk until the store has them, so a
      // response.json that could not be written costs nothing but the telling.
      if (!results.written) {
        RestoreFileError(results.error);
        ReportWriteProblem(JsonFileStore::PathOf(kResponseFileName));
      }
    } else {
      // A line of the results log is missing: response.json must hold the states, on the disk,
      // before the log may go, and memory keeps them should that fail as well.
      if (JsonFileStore::WriteText(kResponseFileName, text, true))
        RemoveFile(JsonFileStore::PathOf(kPendingResultsFileName));
      else
        MergeResults(client->unsaved_results, nlohmann::json::parse(text, nullptr, false));
    }
    // Without a key the results wait in the files for a cycle that has one.
    if (client->key_parts.empty())
      client->request_in_flight = false;
    else if (!results.batches.empty())
      PostBatches(*client, std::move(results.batches), clears_log);
    else if (!PostResults(*client, std::move(text), true, clears_log))
      client->request_in_flight = false;
  } catch (const std::exception& e) {
    client->target->Report(std::string("Could not post the results: ") + e.what(), Severity::error, false);
    client->request_in_flight = false;
  }
}

void FinishDelivery(StoreClient& client) {
  std::unique_ptr<ReplyDelivery> delivery = std::move(client.delivery);
  client.target->Clear();
  const bool any_state = delivery && delivery->AnyState();
  const bool clears_log = delivery && delivery->LogComplete();
  std::shared_ptr<DeliveredResults> results = delivery ? delivery->TakeResults() : nullptr;
  delivery.reset();
  if (!any_state) {
    client.request_in_flight = false;
    host::ReleaseOffGameThread(std::move(results));
    return;
  }
  // The flag stays set: no other conversation until the store has these results. Their text
  // is built, and written to response.json, off the game thread: replacing a file can make the
  // system wait for the disk, and a large reply's results are megabytes. Nothing else touches
  // response.json while the flag is set; an unload waits for this work, or drops it (the
  // results log then keeps the states).
  auto written = std::make_shared<WrittenResults>();
  const std::string path = JsonFileStore::PathOf(kResponseFileName);
  // Without a complete log nothing on the disk holds these states yet: the client keeps them too
  // until they are back, for an unload in between (rare: a disk that refused the log).
  if (!clears_log) client.results_on_their_way = results;
  host::RunOffGameThread(
      [results = std::move(results), written, path, write = clears_log, batch_payments = client.results_batch_payments,
       history = client.history, server = ThisInstance().name]() mutable {
        history->Absorb(results->details, server);
        std::vector<ResultsMember> members = results->Members();
        written->text = DocumentText(members);
        if (members.size() > batch_payments || written->text.size() > kBatchBytes)
          written->batches = SplitIntoBatches(std::move(members), batch_payments);
        results.reset();  // the reply's last pieces are freed here, too
        if (!write) return;
        const std::string temporary = WriteTemporaryFile(path, written->text);
        written->written = !temporary.empty() && CommitTemporaryFile(temporary, path);
        if (!written->written) written->error = LastFileError();
        // Posted in batches, the text was only for the file.
        if (!written->batches.empty()) std::string().swap(written->text);
      },
      [written, clears_log] { PostDeliveredResults(*written, clears_log); });
}

void BeginDelivery(StoreClient& client, std::vector<PaymentRecord> payments) {
  if (client.set_aside.View().state == SetAsideView::State::unreadable) {
    // Told by the reading; the store offers these payments again at the next poll.
    host::ReleaseOffGameThread(std::make_shared<std::vector<PaymentRecord>>(std::move(payments)));
    client.request_in_flight = false;
    client.target->Clear();
    return;
  }
  // The GET went out because no results waited, so the file mostly holds "{}" already.
  std::string current;
  if (!ReadFileBytes(JsonFileStore::PathOf(kResponseFileName), current) || current != "{}")
    JsonFileStore::WriteText(kResponseFileName, "{}");
  client.delivery = std::make_unique<ReplyDelivery>(std::move(payments));
  if (client.delivery->Done()) FinishDelivery(client);
}

void StartDelivery(StoreClient& client, host::HttpsReply& reply) {
  DecodedPayments decoded;
  if (auto* prepared = static_cast<DecodedPayments*>(reply.prepared.get())) {
    if (!prepared->is_json) HandleTextReply(reply.body);
    decoded = std::move(*prepared);
  } else {
    decoded = DecodePaymentsReply(std::move(reply.body));
  }
  if (decoded.too_many && !client.told_too_many) {
    client.told_too_many = true;
    ReportToLogs("The store's answer lists " + std::to_string(decoded.counts.payments) + " payments with " +
                     std::to_string(decoded.counts.commands) + " commands, more than the " +
                     std::to_string(kMostPaymentsInAnswer) + " payments or " + std::to_string(kMostCommandsInAnswer) +
                     " commands any store sends at once; nothing of it was run. Told once while it lasts; if it "
                     "does, ask the store's support",
                 Severity::error);
  } else if (decoded.is_json && !decoded.too_many) {
    client.told_too_many = false;
  }
  const bool nothing = !decoded.is_json || decoded.nothing || decoded.too_many;
  if (nothing) {
    client.request_in_flight = false;
    client.target->Clear();
    return;
  }
  // Results set aside, by this server or another one sharing the folder, may say that some of
  // these commands ran: the file is read again first, if it changed, off the game thread.
  auto payments = std::make_shared<std::vector<PaymentRecord>>(std::move(decoded.payments));
  client.set_aside.Refresh([payments](StoreClient& client) mutable {
    try {
      BeginDelivery(client, std::move(*payments));
    } catch (const std::exception& e) {
      client.target->Report(std::string("Error while handling the store's reply: ") + e.what(), Severity::error,
                            false);
      client.delivery.reset();
      client.target->Clear();
      client.request_in_flight = false;
    }
    host::ReleaseOffGameThread(std::move(payments));
  });
}

// A 200 answer that is neither the store's list nor one of its texts (a proxy's or a captive
// portal's page), as one short line; "" for the store's own.
std::string ForeignAnswer(const host::HttpsReply& reply, bool scheduled, bool connection_test) {
  if (!reply.Ok()) return "";
  if (connection_test) {
    const auto* verdict = static_cast<const ConnectionVerdict*>(reply.prepared.get());
    return verdict && !verdict->stores_answer ? verdict->text : "";
  }
  // A scheduled GET's preparation took the body when it was JSON and left the text otherwise.
  const bool prepared_json = scheduled && reply.prepared && static_cast<const DecodedPayments*>(reply.prepared.get())->is_json;
  if (prepared_json || reply.body.empty()) return "";
  std::string body = reply.body.size() <= (64u << 10) ? reply.body : std::string();
  StripOuterQuotes(body);
  if (body.empty() || nlohmann::json::accept(body) || IsStoresText(body)) return "";
  return OneShortLine(body);
}

void AnswerConnectionTest(StoreClient& client, host::HttpsReply& reply) {
  const std::shared_ptr<void> judged = reply.prepared ? reply.prepared : JudgeConnectionTestReply(reply);
  const std::string verdict = judged ? static_cast<ConnectionVerdict*>(judged.get())->text : std::string();
  client.last_test = {GameSeconds(), "GET", verdict};
  client.target->Report(verdict, Severity::information, true);
  client.request_in_flight = false;
}

}  // namespace

void NoteStoreReply(StoreClient& client, const host::HttpsReply& reply, double sent_at) {
  const double now = GameSeconds();
  const int interval = TimerPeriodSeconds(client.config.request_interval_in_minutes);
  const StoreBackoff::Change change = client.backoff.OnReply(reply, sent_at, now, interval, std::time(nullptr));
  if (reply.Ok()) {
    client.told_refusal = 0;
    client.told_too_large = false;
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
  } else if (reply.failure == host::HttpsFailure::too_large && !client.told_too_large) {
    // No store's answer comes near: 10,000 payments of three commands are about 4 MB.
    client.told_too_large = true;
    ReportToLogs("The store's answer was larger than " + std::to_string(host::kMaxReplyBytes >> 20) +
                     " MiB, the most the plugin takes; nothing of it was run. Asking again in " + std::to_string(next) +
                     " seconds, and less often while it goes on. If it lasts, ask the store's support",
                 Severity::error);
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

void NoteLastAnswer(StoreClient& client, const char* method, const host::HttpsReply& reply, const std::string& foreign) {
  client.last_answer = {GameSeconds(), method,
                        !reply.Ok()        ? DescribeFailure(reply)
                        : foreign.empty() ? std::string("success")
                                          : "an answer that is not the store's: " + foreign};
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
    // An admin's test says how the store answers now; only its good news changes the schedule
    // (a wait is over), or a few tests in a row would push the next poll out by minutes.
    if (!connection_test || reply.Ok()) NoteStoreReply(*client, reply, sent_at < 0 ? GameSeconds() : sent_at);
    if (connection_test && reply.Ok() && !reply.prepared) reply.prepared = JudgeConnectionTestReply(reply);
    NoteLastAnswer(*client, "GET", reply, ForeignAnswer(reply, scheduled, connection_test));
    const bool success = reply.Ok();
    if (!success || (reply.body.empty() && !reply.prepared)) {
      if (connection_test) {
        const std::string verdict = success ? std::string(kUnavailableMessage) + " (the store's answer was empty)"
                                            : UnavailableText(*client, reply);
        client->last_test = {GameSeconds(), "GET", verdict};
        client->target->Report(verdict, Severity::information, true);
      }
      client->target->Clear();
      client->request_in_flight = false;
    } else if (scheduled) {
      StartDelivery(*client, reply);
    } else if (connection_test) {
      AnswerConnectionTest(*client, reply);
    } else {
      client->request_in_flight = false;
    }
  } catch (const std::exception& e) {
    client->target->Report(std::string("Error while handling the store's reply: ") + e.what(), Severity::error,
                           false);
    client->delivery.reset();
    client->target->Clear();
    client->request_in_flight = false;
  } catch (...) {
    client->delivery.reset();
    client->target->Clear();
    client->request_in_flight = false;
  }
}

void ContinueDelivery(StoreClient& client, std::chrono::steady_clock::time_point deadline) {
  if (!client.delivery) return;
  try {
    if (!client.delivery->Continue(client, deadline)) return;
  } catch (const std::exception& e) {
    // Each command catches its own; this is the rest (memory): what was recorded is posted.
    client.target->Report(std::string("Error while delivering the store's reply: ") + e.what(), Severity::error,
                          false);
  } catch (...) {
  }
  try {
    FinishDelivery(client);
  } catch (const std::exception& e) {
    client.target->Report(std::string("Could not post the results: ") + e.what(), Severity::error, false);
    client.delivery.reset();
    client.request_in_flight = false;
  }
}

void PollEarlyForJoinedBuyers(StoreClient& client) {
  if (!client.waiting_buyers.Watching()) return;
  const double now = GameSeconds();
  const bool may_poll = !client.request_in_flight && !client.key_parts.empty() && client.backoff.Allows(now);
  const std::string who = client.waiting_buyers.FindJoinedBuyer(
      now, may_poll, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
  if (who.empty()) return;
  client.waiting_buyers.NoteEarlyPoll(now);
  ReportToLogs("Asking the store now rather than at the next regular poll: " + who +
                   " has joined, and commands of theirs were held back while they were offline",
               Severity::information);
  client.target->Clear();
  client.RunRequestCycle(true, false);
  client.early_poll_in_flight = client.request_in_flight;
}

}  // namespace gildmark
