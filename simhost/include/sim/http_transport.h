// How the stand-in host's two HTTP services reach a server. A transport takes a request and, if
// it accepts it, reports exactly one raw result later, from any thread: a status, body and
// headers, or the kind of failure. Each service makes of the raw result what its real
// counterpart would: the host's `API::Requests` its lossy (success, text) pair, the system's
// HTTPS client the status, body and headers as they came. The scripted transport lets a test
// hold requests and answer, fail or refuse each one; the curl transport speaks real HTTP.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct HttpRequest {
  uint64_t id = 0;
  std::string method;  // "GET" or "POST"
  std::string url;
  std::vector<std::string> headers;  // "Key: Value"
  std::string body;
  std::string content_type;
  // The host's service accepts any certificate; the system's client never does.
  bool verify_tls = true;
};

enum class HttpFailure { none, connect, timeout, certificate, too_large };

struct HttpResult {
  HttpFailure failure = HttpFailure::none;
  std::string error;  // what failed, when something did
  int status = 0;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // the server's spelling
};

HttpResult Answer(int status, const std::string& body, std::vector<std::pair<std::string, std::string>> headers = {});
inline HttpResult Failed(HttpFailure failure, std::string error = "") {
  HttpResult result;
  result.failure = failure;
  result.error = std::move(error);
  return result;
}
const char* ReasonPhrase(int status);

class HttpTransport {
 public:
  using Done = std::function<void(HttpResult)>;
  virtual ~HttpTransport() = default;
  // False refuses the request and `done` is never called; true calls `done` exactly once.
  virtual bool Start(const HttpRequest& request, Done done) = 0;
};

class ScriptedTransport : public HttpTransport {
 public:
  bool Start(const HttpRequest& request, Done done) override;

  std::vector<HttpRequest> Pending() const;
  size_t PendingCount() const;
  // Answer the oldest pending request (or the one with the id) with a status, body and headers.
  bool CompleteNext(int status, const std::string& body, std::vector<std::pair<std::string, std::string>> headers = {});
  bool Complete(uint64_t id, int status, const std::string& body);
  // The oldest pending request fails without an answer (by default: could not connect).
  bool FailNext(HttpFailure failure = HttpFailure::connect, const std::string& error = "");
  // Refuse the next `count` requests (negative: all of them until called again with 0).
  void RefuseNext(int count) { refuse_ = count; }

 private:
  bool Finish(size_t index, HttpResult result);
  struct Held {
    HttpRequest request;
    Done done;
  };
  mutable std::mutex mutex_;
  std::vector<Held> held_;
  int refuse_ = 0;
};

struct CurlOptions {
  std::vector<std::string> connect_to;  // "HOST:PORT:ADDR:PORT", as curl's --connect-to
  std::string ca_file;                  // extra trusted certificates (PEM)
  std::vector<std::pair<std::string, std::string>> rewrites;  // URL prefix FROM -> TO
  long connect_timeout_ms = 5000;
  long total_timeout_ms = 15000;
};

// Real HTTP on a worker thread; TLS certificates are verified when the request asks for it.
std::unique_ptr<HttpTransport> MakeCurlTransport(const CurlOptions& options);

}  // namespace sim
