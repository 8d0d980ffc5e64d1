#include "host/store_https.h"

#include <cctype>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "host/https_backend.h"

namespace gildmark::host {

namespace {

struct Client {
  std::mutex mutex;
  std::deque<std::pair<uint64_t, HttpsReply>> arrived;  // guarded by mutex
  std::unordered_map<uint64_t, HttpsCallback> waiting;  // game thread only
  std::unique_ptr<HttpsBackend> backend;
  uint64_t next_id = 1;
};

Client* g_client = nullptr;

bool IsHttps(const std::string& url) {
  static const char kScheme[] = "https://";
  if (url.size() <= sizeof(kScheme) - 1) return false;
  for (size_t i = 0; i < sizeof(kScheme) - 1; ++i)
    if (static_cast<char>(std::tolower(static_cast<unsigned char>(url[i]))) != kScheme[i]) return false;
  return true;
}

}  // namespace

bool StartHttps() {
  if (g_client) return true;
  auto client = std::make_unique<Client>();
  Client* raw = client.get();
  client->backend = MakeHttpsBackend([raw](uint64_t id, HttpsReply reply) {
    if (reply.failure == HttpsFailure::none && reply.body.size() > kMaxReplyBytes) {
      reply = HttpsReply{};
      reply.failure = HttpsFailure::too_large;
      reply.error = "the reply is larger than 64 MiB";
    }
    std::lock_guard lock(raw->mutex);
    raw->arrived.emplace_back(id, std::move(reply));
  });
  if (!client->backend) return false;
  g_client = client.release();
  return true;
}

bool SendHttps(const HttpsRequest& request, HttpsCallback callback) {
  if (!g_client || !IsHttps(request.url)) return false;
  const uint64_t id = g_client->next_id++;
  g_client->waiting.emplace(id, std::move(callback));
  if (!g_client->backend->Start(id, request)) {
    g_client->waiting.erase(id);
    return false;
  }
  return true;
}

void RunHttpsCompletions() {
  if (!g_client) return;
  std::deque<std::pair<uint64_t, HttpsReply>> arrived;
  {
    std::lock_guard lock(g_client->mutex);
    arrived.swap(g_client->arrived);
  }
  for (auto& [id, reply] : arrived) {
    // A callback may stop the client (an unload from a command it ran).
    if (!g_client) return;
    auto it = g_client->waiting.find(id);
    if (it == g_client->waiting.end()) continue;
    HttpsCallback callback = std::move(it->second);
    g_client->waiting.erase(it);
    callback(std::move(reply));
  }
}

size_t OutstandingHttps() { return g_client ? g_client->waiting.size() : 0; }

void StopHttps() {
  Client* client = g_client;
  if (!client) return;
  g_client = nullptr;
  client->backend.reset();  // cancels, and returns when nothing can report any more
  delete client;
}

}  // namespace gildmark::host
