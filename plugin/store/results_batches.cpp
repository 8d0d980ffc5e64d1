#include "store/results_batches.h"

#include <algorithm>
#include <iterator>
#include <memory>

#include "host/store_https.h"
#include "store/request_cycle.h"
#include "store/results_record.h"
#include "store/set_aside_results.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"

namespace gildmark {

const char* const kSetAsideFileName = "response.refused.json";

bool FitsOneBatch(const StoreClient& client, size_t payments, size_t bytes) {
  return payments <= client.results_batch_payments && bytes <= kBatchBytes;
}

std::vector<ResultsMember> MembersOf(const nlohmann::json& document) {
  std::vector<ResultsMember> members;
  if (!document.is_object()) return members;
  members.reserve(document.size());
  for (const auto& [id, result] : document.items())
    members.push_back({id, CompactText(id) + ':' + CompactText(result)});
  return members;
}

namespace {

constexpr int kPayloadTooLarge = 413;

}  // namespace

BatchList SplitIntoBatches(std::vector<ResultsMember> members, size_t most_payments) {
  BatchList batches;
  std::vector<ResultsMember> batch;
  size_t bytes = 2;  // the braces
  for (ResultsMember& member : members) {
    if (!batch.empty() && (batch.size() >= most_payments || bytes + member.text.size() + 1 > kBatchBytes)) {
      batches.push_back(std::move(batch));
      batch.clear();
      bytes = 2;
    }
    bytes += member.text.size() + 1;
    batch.push_back(std::move(member));
  }
  if (!batch.empty()) batches.push_back(std::move(batch));
  return batches;
}

std::string DocumentText(const std::vector<ResultsMember>& members) {
  std::string body = "{";
  for (const ResultsMember& member : members) {
    if (body.size() > 1) body += ',';
    body += member.text;
  }
  body += '}';  // in place: a backlog's text is megabytes, and a copy would double it
  return body;
}

namespace {

void ReportError(StoreClient& client, const std::string& message) {
  client.target->Report(message, Severity::error, false);
}

void EndBatches(StoreClient& client, bool all_done, bool at_unload = false);
void SendNextBatch(StoreClient& client);

// The one payment of the batch at the front, which the store refuses even alone, is kept in the
// set-aside file (off the game thread: the file is large by nature) before it leaves the batches;
// the batches end when the file would not take it, and response.json keeps it.
void SetAside(StoreClient& client) {
  const ResultsMember member = client.batches->to_send.front().front();
  auto write = std::make_shared<SetAsideWrite>();
  host::RunOffGameThread(
      [write, member] {
        try {
          *write = WriteSetAsideFile(member);
        } catch (const std::exception& e) {
          write->written = false;
          write->error = e.what();
        }
      },
      [write, id = member.id] {
        StoreClient* client = g_store_client;
        if (!client || !client->batches) return;
        const std::string path = JsonFileStore::PathOf(kSetAsideFileName);
        client->set_aside.Install(*client, write->view);
        if (!write->written) {
          ReportError(*client, "Could not set the results of payment " + id + " aside in " + path + " (" +
                                   write->error + "); they wait in response.json");
          EndBatches(*client, false);
          return;
        }
        ReportError(*client, "The store refuses the results of payment " + id + " even alone (413 Payload Too "
                             "Large): they are set aside in " + path + " and not sent again, and the other results go "
                             "on. The commands recorded there as Executed are not run again when the store offers "
                             "that payment once more; send the file to the store's support");
        client->batches->to_send.pop_front();
        ++client->batches->set_aside;
        SendNextBatch(*client);
      });
}



void OnBatchReply(host::HttpsReply reply, const std::string& sent, double sent_at);

void SendNextBatch(StoreClient& client) {
  ResultsBatches& batches = *client.batches;
  if (batches.to_send.empty()) {
    EndBatches(client, true);
    return;
  }
  if (client.key_parts.empty()) {
    EndBatches(client, false);
    return;
  }
  bool accepted = false;
  try {
    const StoreClient::SignedRequest request = client.PrepareRequest();
    host::HttpsRequest https;
    https.method = "POST";
    https.url = request.url;
    https.headers = request.headers;
    https.body = DocumentText(batches.to_send.front());
    https.content_type = "application/json";
    std::string sent = https.body;
    accepted = host::SendHttps(std::move(https), [sent = std::move(sent), sent_at = GameSeconds()](
                                                     host::HttpsReply reply) { OnBatchReply(std::move(reply), sent, sent_at); });
  } catch (const std::exception& e) {
    ReportError(client, std::string("Could not send the results: ") + e.what());
  }
  if (!accepted) EndBatches(client, false);
}

void OnBatchReply(host::HttpsReply reply, const std::string& sent, double sent_at) {
  StoreClient* client = g_store_client;
  if (!client || !client->batches) return;
  try {
    NoteLastAnswer(*client, "POST", reply);
    ResultsBatches& batches = *client->batches;
    if (reply.failure == host::HttpsFailure::none && reply.status == kPayloadTooLarge) {
      if (batches.to_send.front().size() == 1) {
        SetAside(*client);
        return;
      }
      std::vector<ResultsMember> batch = std::move(batches.to_send.front());
      batches.to_send.pop_front();
      {
        const size_t half = batch.size() / 2;
        client->results_batch_payments = std::min(client->results_batch_payments, half);
        std::vector<ResultsMember> second(std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(half)),
                                          std::make_move_iterator(batch.end()));
        batch.resize(half);
        batches.to_send.push_front(std::move(second));
        batches.to_send.push_front(std::move(batch));
      }
      SendNextBatch(*client);
      return;
    }
    NoteStoreReply(*client, reply, sent_at);
    if (!reply.Ok()) {
      EndBatches(*client, false);
      return;
    }
    ForgetAcknowledged(*client, sent);
    AddToHistory(*client, sent);
    batches.acknowledged += batches.to_send.front().size();
    // Made on the plugin's own thread, freed there: the allocator may tidy up its memory, and
    // the game thread would be the one to wait for that.
    host::ReleaseOffGameThread(std::make_shared<std::vector<ResultsMember>>(std::move(batches.to_send.front())));
    batches.to_send.pop_front();
    SendNextBatch(*client);
  } catch (const std::exception& e) {
    ReportError(*client, std::string("Could not send the results: ") + e.what());
    EndBatches(*client, false);
  } catch (...) {
    EndBatches(*client, false);
  }
}

void EndBatches(StoreClient& client, bool all_done, bool at_unload) {
  std::unique_ptr<ResultsBatches> batches = std::move(client.batches);
  if (!batches || batches->acknowledged + batches->set_aside == 0) {  // response.json holds them all still
    client.request_in_flight = false;
    return;
  }
  // What the store has, and what was set aside, leave response.json once; the rest waits there.
  auto rest = std::make_shared<std::vector<ResultsMember>>();
  for (auto& batch : batches->to_send)
    for (auto& member : batch) rest->push_back(std::move(member));
  const bool clears_log = batches->clears_log;
  if (at_unload) {
    client.request_in_flight = false;
    const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
    if (JsonFileStore::WriteText(kResponseFileName, all_done ? "{}" : DocumentText(*rest), clears_log) && clears_log &&
        !RemoveFile(log_path))
      ReportError(client, "Can't remove " + log_path + " (" + LastFileError() +
                              "); the store has its results already, and is sent them once more");
    return;
  }
  // Written off the game thread: the rest of a large backlog is megabytes, and a durable write
  // waits for the disk. The flag stays set until then, so that nothing reads response.json in
  // between. A stop drops the write: response.json then still holds every result, and the next
  // cycle posts the acknowledged ones once more.
  struct Write {
    bool written = false, log_removed = true;
    std::string error, log_error;
  };
  auto write = std::make_shared<Write>();
  const std::string path = JsonFileStore::PathOf(kResponseFileName);
  const std::string log_path = JsonFileStore::PathOf(kPendingResultsFileName);
  host::RunOffGameThread(
      [rest = std::move(rest), write, path, log_path, clears_log, all_done]() mutable {
        const std::string temporary = WriteTemporaryFile(path, all_done ? "{}" : DocumentText(*rest), clears_log);
        rest.reset();
        write->written = !temporary.empty() && CommitTemporaryFile(temporary, path, clears_log);
        if (!write->written) write->error = LastFileError();
        // The log of a large backlog is megabytes: removing it waits for the file system too.
        if (write->written && clears_log && !RemoveFile(log_path)) {
          write->log_removed = false;
          write->log_error = LastFileError();
        }
      },
      [write, path, log_path] {
        StoreClient* client = g_store_client;
        if (!client) return;
        client->request_in_flight = false;
        if (!write->written) {
          RestoreFileError(write->error);
          ReportWriteProblem(path);
        }
        if (!write->log_removed)
          ReportError(*client, "Can't remove " + log_path + " (" + write->log_error +
                                   "); the store has its results already, and is sent them once more");
      });
}

}  // namespace

bool PostInBatches(StoreClient& client, std::vector<ResultsMember> members, bool clears_log) {
  return PostBatches(client, SplitIntoBatches(std::move(members), client.results_batch_payments), clears_log);
}

bool PostBatches(StoreClient& client, BatchList batches, bool clears_log) {
  client.request_in_flight = true;
  client.batches = std::make_unique<ResultsBatches>();
  client.batches->to_send = std::move(batches);
  client.batches->clears_log = clears_log;
  SendNextBatch(client);
  return client.request_in_flight;
}

void EndBatchesAtUnload(StoreClient& client) {
  if (client.batches) EndBatches(client, false, true);
}

bool PostAgainInBatches(StoreClient& client, const std::string& sent, bool clears_log) {
  std::vector<ResultsMember> members = MembersOf(nlohmann::json::parse(sent, nullptr, false));
  if (members.empty()) return false;
  client.results_batch_payments = std::max<size_t>(1, std::min(client.results_batch_payments, members.size() / 2));
  return PostInBatches(client, std::move(members), clears_log);
}

}  // namespace gildmark
