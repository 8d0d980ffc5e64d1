// The one plugin-wide StoreClient: configuration, the API key's three parts, the delivery under
// way, the buyers waiting for a join, the in-flight flag, who asked for the current request, and how long
// the store asked to be left alone. It owns the plugin's connection to the store: the HTTPS
// client and the per-frame callback that runs its completions on the game thread, both started
// before its first cycle and stopped first when it goes. Host callbacks carry no context, so
// everything reaches it through g_store_client.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "store/delivery_history.h"
#include "store/delivery_lookup.h"
#include "store/results_batches.h"
#include "store/set_aside_results.h"
#include "store/signing.h"
#include "store/store_backoff.h"
#include "store/store_config.h"
#include "store/store_status.h"
#include "store/store_turns.h"
#include "store/waiting_buyers.h"
#include "support/request_target.h"

namespace gildmark {

extern const char* const kStoreApiBase;
extern const char* const kResponseFileName;

class ReplyDelivery;
struct DeliveredResults;

class StoreClient {
 public:
  // Sets g_store_client when it is free, and frees it again if construction fails. With a
  // requester (gildmark.connect after a failed start), the first cycle is that requester's
  // connection test.
  explicit StoreClient(const RequestTarget* requester = nullptr);
  ~StoreClient();
  StoreClient(const StoreClient&) = delete;
  StoreClient& operator=(const StoreClient&) = delete;

  void LoadConfig();
  // The first load with a readable config.json settles whether this server keeps its files in
  // servers/<name>/ (listed under "servers"); a later change is told and waits for the next start.
  void DecideInstanceFiles(bool listed);
  // One store conversation: POST the waiting results, or else GET the waiting payments.
  void RunRequestCycle(bool scheduled, bool connection_test);
  std::string BuildCommandsUrl(int64_t request_time) const;
  static std::string SignRequest(const SigningInput& input);
  // Runs a console command as the player with admin and cheat rights for its length. False
  // only without a player.
  bool ExecuteAsPlayer(const std::string& command, APlayerController* player, const std::string& target_text);
  // While set (a delivery slice), the journal line of each player granted rights stays after
  // their command, their bits cleared, until the slice ends: one line per buyer and slice, and
  // one removal for them all, rather than two journal writes per command.
  bool hold_journal_lines = false;
  // Removes the lines kept so (none: nothing).
  void ReleaseJournalLines();

  struct SignedRequest {
    std::string url;
    std::vector<std::string> headers;
  };
  // URL and header lines signed for one reading of the clock; needs three key parts.
  SignedRequest PrepareRequest() const;

  // Stops the HTTPS client (cancelled, joined, dropped), and removes the per-frame callback
  // unless the host is about to remove it itself.
  static void StopConnection(bool remove_frame_callback = true);
  // Set by unload: the host removes the frame callback (and the rest) itself after it.
  bool leave_registrations_to_host = false;

  // The GET reply being delivered, a slice per frame; request_in_flight stays set meanwhile.
  std::unique_ptr<ReplyDelivery> delivery;
  WaitingBuyers waiting_buyers;
  StoreConfig config;
  std::vector<std::string> key_parts;
  std::unique_ptr<RequestTarget> target;
  bool request_in_flight = false;
  // The request in flight is the plugin's own early poll for a buyer who joined (which stands in
  // for the regular poll that meets it).
  bool early_poll_in_flight = false;
  // The last load could not read config.json (as opposed to finding it wrong).
  bool config_unreadable = false;
  // Results that neither the results log nor response.json could keep (a full or locked disk):
  // posted by every cycle until the store has them, so that they are not delivered again.
  nlohmann::json unsaved_results;
  // A finished delivery's results whose log is incomplete, from the moment they go to be written
  // off the game thread until the game thread has them again: an unload in between keeps them.
  std::shared_ptr<DeliveredResults> results_on_their_way;
  StoreBackoff backoff;
  // info.log has said that response.json was found in a form not the plugin's own.
  bool told_foreign_results_form = false;
  // The refusal status last told on the error route (0: none since the last success).
  int told_refusal = 0;
  bool told_too_large = false;  // an answer over the size the plugin takes, told once while it lasts
  bool told_too_many = false;   // an answer of more payments or commands than the plugin takes, likewise
  // Payments told to hold a placeholder that cannot be filled: the store offers them at every
  // poll, and once is enough.
  std::unordered_set<std::string> told_unfilled;
  // Game time of the last report of a certificate nobody trusts; negative: none yet.
  double last_certificate_report = -1;
  // The journal ids whose lines are kept while hold_journal_lines is set.
  std::vector<std::string> held_journal_ids;
  // The results being posted batch by batch (store/results_batches.h), and the most payments a
  // batch may hold: fewer once the store refused a larger body.
  std::unique_ptr<ResultsBatches> batches;
  size_t results_batch_payments = kBatchPayments;
  // Results the store refused even alone, kept in their file: their commands recorded as
  // Executed are not run again when the store offers the payment once more.
  SetAsideResults set_aside;
  // For gildmark.status: the store's last answer to anything, the last connection test's
  // verdict, and when the timer last polled (game seconds; negative: not yet).
  StoreAnswerNote last_answer, last_test;
  double last_scheduled_poll = -1;
  // Turns with the other servers of this installation.
  StoreTurns turns;
  // The details of delivered commands until the store acknowledges them, and the history lines
  // being appended for acknowledged ones (the turn is kept until they are written).
  std::shared_ptr<DeliveryHistory> history = std::make_shared<DeliveryHistory>();
  size_t history_writes = 0;
  bool told_history_rollover = false;
  // gildmark.lookup: the searches under way and the answers of the last ones.
  LookupState lookups;
  // The first readable config.json has said whether this server has files of its own.
  bool instance_decided = false;
  bool told_listing_change = false;
  bool told_duplicate_name = false;
};

// Between store conversations: journal lines a join check left for the lock, a cycle that
// waited for its turn, and the turn given back once nothing is in flight (nor a history line
// on its way to the disk).
void ServeTurns(StoreClient& client);

// The plugin's per-frame work: the game clock, the store's completions, a slice of the delivery
// under way, the check for waiting buyers who joined, and the turns with other servers.
void OnStoreFrame(float delta_seconds);

extern StoreClient* g_store_client;

}  // namespace gildmark
