// The one plugin-wide StoreClient: configuration, the API key's three parts, the buyers of the
// reply being delivered, the in-flight flag and who asked for the current request. Host
// callbacks carry no context, so everything reaches it through g_store_client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/payment_players.h"
#include "store/signing.h"
#include "store/store_config.h"
#include "support/request_target.h"

namespace gildmark {

extern const char* const kStoreApiBase;
extern const char* const kResponseFileName;

class StoreClient {
 public:
  // Sets g_store_client when it is free, and frees it again if construction fails.
  StoreClient();
  ~StoreClient();
  StoreClient(const StoreClient&) = delete;
  StoreClient& operator=(const StoreClient&) = delete;

  void LoadConfig();
  // One store conversation: POST the waiting results, or else GET the waiting payments.
  void RunRequestCycle(bool scheduled, bool connection_test);
  std::string BuildCommandsUrl(int64_t request_time) const;
  static std::string SignRequest(const SigningInput& input);
  // Runs a console command as the player with admin and cheat rights for its length. False
  // only without a player.
  bool ExecuteAsPlayer(const std::string& command, APlayerController* player, const std::string& target_text);

  struct SignedRequest {
    std::string url;
    std::vector<std::string> headers;
  };
  // URL and header lines signed for one reading of the clock; needs three key parts.
  SignedRequest PrepareRequest() const;

  PaymentPlayerList payment_players;
  StoreConfig config;
  std::vector<std::string> key_parts;
  std::unique_ptr<RequestTarget> target;
  bool request_in_flight = false;
  // The last load could not read config.json (as opposed to finding it wrong).
  bool config_unreadable = false;
  // Results that neither the results log nor response.json could keep (a full or locked disk):
  // posted by every cycle until the store has them, so that they are not delivered again.
  nlohmann::json unsaved_results;
};

extern StoreClient* g_store_client;

}  // namespace gildmark
