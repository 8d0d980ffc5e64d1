#include "store/store_client.h"

#include <chrono>
#include <cstdlib>

#include "host/store_https.h"
#include "store/admin_rights.h"
#include "store/payment_delivery.h"
#include "store/request_cycle.h"
#include "store/results_record.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/server_instance.h"

namespace gildmark {

const char* const kStoreApiBase = "https://api.gildmark.com";
const char* const kResponseFileName = "response.json";

StoreClient* g_store_client = nullptr;

void OnStoreFrame(float delta_seconds) {
  // One budget for all this call does: it is one call from the game thread.
  const auto deadline = std::chrono::steady_clock::now() + kDeliverySliceBudget;
  AdvanceGameClock(delta_seconds);
  // Each step catches what it throws; this is the host's edge all the same.
  try {
    host::RunHttpsCompletions();
    if (g_store_client) ContinueDelivery(*g_store_client, deadline);
    if (g_store_client) PollEarlyForJoinedBuyers(*g_store_client);
    if (g_store_client) ServeTurns(*g_store_client);
  } catch (...) {
  }
}

StoreClient::StoreClient(const RequestTarget* requester) {
  const bool registered = !g_store_client;
  if (registered) g_store_client = this;
  try {
    target = std::make_unique<RequestTarget>();
    if (requester) *target = *requester;
    request_in_flight = false;
    if (registered) {
      IdentifyInstance();
      if (!host::StartHttps())
        target->Report("Could not set up the system's HTTPS client; the store cannot be reached", Severity::error,
                       false);
      host::AddFrameCallback(&OnStoreFrame);
    }
    // config.json says first whether this server keeps its files in a folder of its own.
    LoadConfig();
    set_aside.Refresh();  // for the status; each delivery reads it again if it changed
    JsonFileStore::EnsureJson(kResponseFileName, "{}", true,
                              "an empty results document; results only it held cannot reach the store, which "
                              "offers those purchases again (results recorded in response.pending are still sent)");
    RunRequestCycle(false, requester != nullptr);
  } catch (...) {
    // The object never stood: nothing may find it through the plugin-wide pointer, and nothing
    // of its connection may run.
    if (registered && g_store_client == this) {
      StopConnection();
      ForgetInstance();
      g_store_client = nullptr;
    }
    throw;
  }
}

void StoreClient::StopConnection(bool remove_frame_callback) {
  // First, so that no completion or frame runs into what the rest of the destructor takes down;
  // this waits for the HTTPS worker, which unload may do, being outside the loader lock. Left
  // in place, the frame callback finds no client and does nothing until the host removes it.
  if (remove_frame_callback) {
    try {
      host::RemoveFrameCallback();
    } catch (...) {
    }
  }
  host::StopHttps();
}

StoreClient::~StoreClient() {
  if (g_store_client == this) StopConnection(!leave_registrations_to_host);
  // An unload in the middle of a delivery stops between two commands: each state so far is in
  // the results log, posted at the next start, and the payments not begun come back. States the
  // log could not take live only in the delivery, or in its results on their way to be written
  // (a job the stop dropped): they join those kept below, lest their commands run again.
  try {
    if (delivery && !delivery->LogComplete()) MergeResults(unsaved_results, delivery->KnownStates());
    if (results_on_their_way)
      MergeResults(unsaved_results, nlohmann::json::parse(results_on_their_way->Text(), nullptr, false));
    results_on_their_way.reset();
  } catch (...) {
  }
  try {
    EndBatchesAtUnload(*this);
  } catch (...) {
  }
  try {
    KeepUnsavedResults(*this);
  } catch (...) {
  }
  delivery.reset();
  target->Clear();
  target.reset();
  turns.Release();
  // A later load in the same process must not find a pointer to this object.
  if (g_store_client == this) {
    ForgetInstance();
    g_store_client = nullptr;
  }
}

void StoreClient::LoadConfig() {
  // An unreadable file is told once below, with what it means for polling.
  JsonFileStore::EnsureJson(kConfigFileName, kDefaultConfigText, false);
  nlohmann::json document;
  config_unreadable =
      JsonFileStore::ReadJsonFile(kConfigFileName, document) == JsonFileStore::ReadOutcome::unreadable;
  if (config_unreadable) {
    // Not a wrong file but one that cannot be read now (held by another program, a disk
    // fault): the members stay as they were, and each scheduled poll tries again.
    key_parts.clear();
    target->Report("config.json cannot be read (" + LastFileError() +
                       "); the store is not asked until it can be, and every scheduled poll tries again",
                   Severity::error, true);
    return;
  }
  std::vector<std::string> problems;
  bool listed = false;
  if (!instance_decided && !ThisInstance().former_name.empty() && ThisInstance().launch_name.empty()) {
    // Listed under the name an earlier version gave it, and not under the new one: it keeps the
    // old name, and with it its files.
    std::vector<std::string> ignored;
    bool former_listed = false, now_listed = false;
    ConfigForInstance(document, ThisInstance().former_name, former_listed, ignored);
    ConfigForInstance(document, ThisInstance().name, now_listed, ignored);
    if (former_listed && !now_listed) KeepFormerInstanceName("config.json lists it under \"servers\"");
  }
  const nlohmann::json members = ConfigForInstance(document, ThisInstance().name, listed, problems);
  DecideInstanceFiles(listed);
  bool key_usable = false;
  for (const std::string& problem : ReadConfigMembers(members, config, key_usable)) problems.push_back(problem);
  for (const std::string& problem : problems) target->Report(problem, Severity::error, false);
  key_parts = key_usable ? KeyParts(config.key) : std::vector<std::string>{};
  if (key_parts.size() != 3) {
    key_parts.clear();
    target->Report(kInvalidKeyMessage, Severity::information, true);
  }
}

void StoreClient::DecideInstanceFiles(bool listed) {
  if (!instance_decided) {
    // Once per start: results and journal moving folders under a running server would be lost
    // to it.
    instance_decided = true;
    if (listed && UseOwnFolder()) AdminJournal::CarryOverFromInstallation();
    // Told where this server's own log is.
    const ServerInstance& instance = ThisInstance();
    if (!instance.launch_name.empty())
      target->Report("This server keeps the instance name " + instance.name + " that an earlier version gave it (" +
                         instance.kept_former_because + "), although its launch line now names it " +
                         instance.launch_name + " (-serverkey=), so that nothing of it is left behind. To move to " +
                         instance.launch_name + ", stop the server and rename servers/" + instance.name +
                         "/ and its \"servers\" entry in config.json to " + instance.launch_name +
                         "; to keep this name for good, add -GildmarkInstance=" + instance.name +
                         " to its launch line",
                     Severity::information, false);
    RemoveStaleTemporaryFiles(JsonFileStore::PluginDirectory());
    if (ThisInstance().listed) RemoveStaleTemporaryFiles(InstanceFolder());
    return;
  }
  if (listed == ThisInstance().listed || told_listing_change) return;
  told_listing_change = true;
  target->Report(std::string("config.json ") + (listed ? "now lists" : "no longer lists") + " this server (" +
                     ThisInstance().name + ") under \"servers\"; its files move " +
                     (listed ? "to servers/" + ThisInstance().name + "/" : "back to the plugin folder") +
                     " at the next start",
                 Severity::information, false);
}

void ServeTurns(StoreClient& client) {
  const double now = GameSeconds();
  const std::vector<std::string> ids = client.turns.DueJournalRemovals(now);
  if (!ids.empty()) AdminJournal::RemoveLines(ids);
  if (client.turns.RetryDue(now) && !client.request_in_flight && !client.delivery) {
    client.turns.ClearRetry();
    client.target->Clear();
    client.RunRequestCycle(true, false);
  }
  if (client.turns.Held() && !client.request_in_flight && !client.delivery && client.history_writes == 0)
    client.turns.Release();
}

namespace {
std::string StoreApiBase() {
#ifdef GILDMARK_STORE_BASE_FROM_ENV
  // Only in the Windows test build, whose WinHTTP client has no stand-in below it to steer:
  // its loopback test points the plugin at the store stand-in this way.
  if (const char* base = std::getenv("GILDMARK_TEST_STORE_BASE")) return base;
#endif
  return kStoreApiBase;
}
}  // namespace

std::string StoreClient::BuildCommandsUrl(int64_t request_time) const {
  return StoreApiBase() + "/v1/store/server/" + key_parts[0] +
         "/commands?time=" + std::to_string(request_time);
}

std::string StoreClient::SignRequest(const SigningInput& input) { return ComputeSignature(input); }

StoreClient::SignedRequest StoreClient::PrepareRequest() const {
  const int64_t now = UnixTimeNow();
  SigningInput input{key_parts[0], key_parts[1], key_parts[2], now};
  SignedRequest request;
  request.url = BuildCommandsUrl(now);
  request.headers = {AuthorizationHeader(SignRequest(input)), "Content-Type: application/json"};
  return request;
}

}  // namespace gildmark
