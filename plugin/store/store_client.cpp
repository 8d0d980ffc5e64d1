#include "store/store_client.h"

#include "support/plugin_files.h"

namespace gildmark {

const char* const kStoreApiBase = "https://api.gildmark.com";
const char* const kResponseFileName = "response.json";

StoreClient* g_store_client = nullptr;

StoreClient::StoreClient() {
  if (!g_store_client) g_store_client = this;
  target = std::make_unique<RequestTarget>();
  request_in_flight = false;
  JsonFileStore::EnsureJson(kResponseFileName, "{}");
  LoadConfig();
  RunRequestCycle(false, false);
}

StoreClient::~StoreClient() {
  payment_players.clear();
  target->player = nullptr;
  target.reset();
  // A later load in the same process must not find a pointer to this object.
  if (g_store_client == this) g_store_client = nullptr;
}

void StoreClient::LoadConfig() {
  JsonFileStore::EnsureJson(kConfigFileName, kDefaultConfigText);
  nlohmann::json document;
  JsonFileStore::ReadJson(kConfigFileName, document);
  bool key_usable = false;
  for (const std::string& problem : ReadConfigMembers(document, config, key_usable))
    target->Report(problem, Severity::error, false);
  key_parts = key_usable ? SplitKey(config.key) : std::vector<std::string>{};
  if (key_parts.size() != 3) {
    key_parts.clear();
    target->Report(kInvalidKeyMessage, Severity::information, true);
  }
}

std::string StoreClient::BuildCommandsUrl(int64_t request_time) const {
  return std::string(kStoreApiBase) + "/v1/store/server/" + key_parts[0] +
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
