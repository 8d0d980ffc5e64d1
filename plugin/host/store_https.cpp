#include "host/store_https.h"

#include <cctype>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "host/https_backend.h"

namespace gildmark::host {

namespace {

using PrepareStep = std::function<std::shared_ptr<void>(HttpsReply&)>;

struct Client {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::pair<uint64_t, HttpsReply>> arrived;  // guarded by mutex
  std::unordered_map<uint64_t, PrepareStep> prepares;       // guarded by mutex
  std::deque<std::pair<uint64_t, HttpsReply>> to_prepare;  // guarded by mutex
  size_t preparing = 0;                                  // guarded by mutex: queued or running
  bool stopping = false;                                 // guarded by mutex
  std::thread preparer;
  std::unordered_map<uint64_t, HttpsCallback> waiting;  // game thread only
  std::unique_ptr<HttpsBackend> backend;
  uint64_t next_id = 1;

  // A reply from the backend, on whatever thread it reports.
  void Arrive(uint64_t id, HttpsReply reply) {
    std::lock_guard lock(mutex);
    auto prepare = prepares.find(id);
    if (prepare != prepares.end() && reply.Ok()) {
      to_prepare.emplace_back(id, std::move(reply));
      ++preparing;
      changed.notify_all();
      return;
    }
    if (prepare != prepares.end()) prepares.erase(prepare);
    arrived.emplace_back(id, std::move(reply));
  }

  // The preparation thread: one reply at a time, in the order they came.
  void RunPreparations() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stopping || !to_prepare.empty(); });
      if (stopping) return;
      auto [id, reply] = std::move(to_prepare.front());
      to_prepare.pop_front();
      auto step = prepares.find(id);
      PrepareStep prepare = step == prepares.end() ? nullptr : std::move(step->second);
      if (step != prepares.end()) prepares.erase(step);
      lock.unlock();
      try {
        if (prepare) reply.prepared = prepare(reply);
      } catch (...) {
        reply.prepared = nullptr;  // the game thread then works from the body
      }
      lock.lock();
      arrived.emplace_back(id, std::move(reply));
      --preparing;
      changed.notify_all();
    }
  }
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
    raw->Arrive(id, std::move(reply));
  });
  if (!client->backend) return false;
  try {
    client->preparer = std::thread([raw] { raw->RunPreparations(); });
  } catch (...) {
    return false;
  }
  g_client = client.release();
  return true;
}

bool SendHttps(const HttpsRequest& request, HttpsCallback callback) {
  if (!g_client || !IsHttps(request.url)) return false;
  const uint64_t id = g_client->next_id++;
  g_client->waiting.emplace(id, std::move(callback));
  if (request.prepare) {
    std::lock_guard lock(g_client->mutex);
    g_client->prepares.emplace(id, request.prepare);
  }
  if (!g_client->backend->Start(id, request)) {
    g_client->waiting.erase(id);
    std::lock_guard lock(g_client->mutex);
    g_client->prepares.erase(id);
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

void WaitForPreparedHttps() {
  if (!g_client) return;
  std::unique_lock lock(g_client->mutex);
  g_client->changed.wait(lock, [] { return g_client->preparing == 0; });
}

void StopHttps() {
  Client* client = g_client;
  if (!client) return;
  g_client = nullptr;
  client->backend.reset();  // cancels, and returns when nothing can report any more
  {
    std::lock_guard lock(client->mutex);
    client->stopping = true;
    client->changed.notify_all();
  }
  if (client->preparer.joinable()) client->preparer.join();  // a decoding under way ends first
  delete client;
}

}  // namespace gildmark::host
