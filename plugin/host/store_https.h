// The plugin's own HTTPS client, through which every store request goes. The host's HTTP service
// accepts any certificate (its TLS context is created without verification), so an answer
// through it may come from anyone on the network path, and that answer is a list of console
// commands run with admin rights. This client always verifies the certificate and the host
// name (WinHTTP on Windows: the system's trusted roots and its proxy settings; on Linux the
// stand-in host plays the system), takes https only, bounds each request (10 s to connect,
// 30 s in all, 64 MiB of body) and passes on what the host's service folds together: the
// status, the body, Retry-After, and whether the request could not connect, timed out or met
// a certificate nobody trusts.
//
// Requests are sent on the game thread and worked off it. A request may bring a preparation
// step (decoding a large body) that runs on the client's own thread, so that its cost is not
// frame time. Completions wait in a queue until RunHttpsCompletions, called from the plugin's
// per-frame callback, runs them on the game thread. StopHttps (at unload) cancels what is
// outstanding, waits for the work to end and drops what is queued: no callback runs after it
// returns.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace gildmark::host {

enum class HttpsFailure { none, connect, timeout, certificate, too_large };

struct HttpsReply {
  HttpsFailure failure = HttpsFailure::none;
  std::string error;  // the system's words for a failure
  int status = 0;
  std::string body;
  std::string retry_after;  // as the server sent it; empty when absent
  // What the request's preparation step made of the reply; null without one.
  std::shared_ptr<void> prepared;
  bool Ok() const { return failure == HttpsFailure::none && status >= 200 && status < 300; }
};

inline HttpsReply AnswerOf(int status, std::string body, std::string retry_after = "") {
  HttpsReply reply;
  reply.status = status;
  reply.body = std::move(body);
  reply.retry_after = std::move(retry_after);
  return reply;
}

struct HttpsRequest {
  std::string method;  // "GET" or "POST"
  std::string url;
  std::vector<std::string> headers;  // "Key: Value"
  std::string body;
  std::string content_type;
  // Runs on a successful reply before the callback, off the game thread for any but a small
  // reply; it may take the body. It must touch nothing but the reply.
  std::function<std::shared_ptr<void>(HttpsReply&)> prepare;
};

using HttpsCallback = std::function<void(HttpsReply)>;

inline constexpr size_t kMaxReplyBytes = size_t{64} << 20;
inline constexpr int kConnectTimeoutSeconds = 10;
inline constexpr int kRequestTimeoutSeconds = 30;

// Starts the client (idempotent). False when the system's client could not be set up.
bool StartHttps();
// Sends a request; its callback runs once, later, on the game thread. False when the request
// was not taken (not https, or the client is not running); the callback then never runs.
bool SendHttps(HttpsRequest request, HttpsCallback callback);
// Runs the completions that have arrived. Game thread only.
void RunHttpsCompletions();
// Requests sent whose callback has not run yet.
size_t OutstandingHttps();
// Runs `work` on the client's own thread, after what was queued there before it, then `then`
// (if any) on the game thread from RunHttpsCompletions. For work that touches no game object and
// would cost frames: building or freeing a large structure. Without a running client both run
// here and now. A stop drops what has not run.
void RunOffGameThread(std::function<void()> work, std::function<void()> then = nullptr);
// Drops `garbage` on the client's own thread (freeing many small pieces costs the game thread
// milliseconds); without a running client, here.
void ReleaseOffGameThread(std::shared_ptr<void> garbage);
// Replies in preparation, work queued off the game thread, and game-thread steps that follow
// them and have not run yet.
size_t PendingOffGameThreadWork();
// Blocks until nothing waits to be prepared or worked off the game thread (for tools and tests
// that run frames by hand); what follows on the game thread runs at the next completions.
void WaitForPreparedHttps();
void StopHttps();

}  // namespace gildmark::host
