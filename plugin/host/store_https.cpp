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

// Replies up to this size are prepared where they arrive: decoding a few kilobytes takes
// microseconds.
constexpr size_t kPrepareInPlaceBytes = 8 * 1024;

struct Client {
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by mutex:
  std::deque<std::pair<uint64_t, HttpsReply>> arrived;
  std::deque<std::function<void()>> followups;  // game-thread steps of work done off it
  std::unordered_map<uint64_t, PrepareStep> prepares;
  std::deque<std::function<void()>> jobs;  // for the worker, in order
  size_t busy = 0;                          // jobs queued or running
  bool stopping = false;
  std::thread worker;
  // Game thread only:
  std::unordered_map<uint64_t, HttpsCallback> waiting;
  std::unique_ptr<HttpsBackend> backend;
  uint64_t next_id = 1;

  void Queue(std::function<void()> job) {  // with the mutex held
    jobs.push_back(std::move(job));
    ++busy;
    changed.notify_all();
  }

  // A reply from the backend, on whatever thread it reports.
  void Arrive(uint64_t id, HttpsReply reply) {
    std::lock_guard lock(mutex);
    auto step = prepares.find(id);
    if (step == prepares.end()) {
      arrived.emplace_back(id, std::move(reply));
      return;
    }
    PrepareStep prepare = std::move(step->second);
    prepares.erase(step);
    if (!reply.Ok()) {
      arrived.emplace_back(id, std::move(reply));
      return;
    }
    // A small reply costs less to prepare than to hand to the worker and back.
    if (reply.body.size() <= kPrepareInPlaceBytes) {
      try {
        reply.prepared = prepare(reply);
      } catch (...) {
        reply.prepared = nullptr;
      }
      arrived.emplace_back(id, std::move(reply));
      return;
    }
    Queue([this, id, prepare = std::move(prepare), reply = std::move(reply)]() mutable {
      try {
        reply.prepared = prepare(reply);
      } catch (...) {
        reply.prepared = nullptr;  // the game thread then works from the body
      }
      std::lock_guard lock(mutex);
      arrived.emplace_back(id, std::move(reply));
    });
  }

  // The client's own thread: one job at a time, in the order they came.
  void RunJobs() {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return stopping || !jobs.empty(); });
      if (stopping) return;
      std::function<void()> job = std::move(jobs.front());
      jobs.pop_front();
      lock.unlock();
      try {
        job();
      } catch (...) {
      }
      job = nullptr;  // what it holds is freed here too
      lock.lock();
      --busy;
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
    client->worker = std::thread([raw] { raw->RunJobs(); });
  } catch (...) {
    return false;
  }
  g_client = client.release();
  return true;
}

bool SendHttps(HttpsRequest request, HttpsCallback callback) {
  if (!g_client || !IsHttps(request.url)) return false;
  const uint64_t id = g_client->next_id++;
  g_client->waiting.emplace(id, std::move(callback));
  if (request.prepare) {
    std::lock_guard lock(g_client->mutex);
    g_client->prepares.emplace(id, request.prepare);
  }
  if (!g_client->backend->Start(id, std::move(request))) {
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
  std::deque<std::function<void()>> followups;
  {
    std::lock_guard lock(g_client->mutex);
    arrived.swap(g_client->arrived);
    followups.swap(g_client->followups);
  }
  for (auto& followup : followups) {
    if (!g_client) return;  // a step may stop the client
    followup();
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

void RunOffGameThread(std::function<void()> work, std::function<void()> then) {
  if (!g_client) {
    work();
    if (then) then();
    return;
  }
  Client* client = g_client;
  std::lock_guard lock(client->mutex);
  client->Queue([client, work = std::move(work), then = std::move(then)]() mutable {
    work();
    work = nullptr;
    if (!then) return;
    std::lock_guard lock(client->mutex);
    client->followups.push_back(std::move(then));
  });
}

void ReleaseOffGameThread(std::shared_ptr<void> garbage) {
  RunOffGameThread([garbage = std::move(garbage)]() mutable { garbage.reset(); });
}

size_t PendingOffGameThreadWork() {
  if (!g_client) return 0;
  std::lock_guard lock(g_client->mutex);
  return g_client->busy + g_client->followups.size();
}

void WaitForPreparedHttps() {
  if (!g_client) return;
  std::unique_lock lock(g_client->mutex);
  g_client->changed.wait(lock, [] { return g_client->busy == 0; });
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
  if (client->worker.joinable()) client->worker.join();  // a job under way ends first
  delete client;
}

}  // namespace gildmark::host
