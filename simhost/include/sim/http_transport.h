// How the stand-in host's HTTP service reaches a server: a transport takes a request and, if it
// accepts it, reports exactly one result later, from any thread. The scripted transport lets a
// test hold requests and answer, fail or refuse each one; the curl transport speaks real HTTP.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

struct HttpRequest {
  uint64_t id = 0;
  std::string method;  // "GET" or "POST"
  std::string url;
  std::vector<std::string> headers;  // "Key: Value"
  std::string body;
  std::string content_type;
};

struct HttpResult {
  bool success = false;
  std::string body;
};

// The host's rules: success for 2xx; the body for 200 only, "<code> <reason>" otherwise.
HttpResult ResultFromStatus(int status, const std::string& body);
// A network failure: false and no body.
inline HttpResult NetworkFailure() { return {false, ""}; }

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
  // Answer the oldest pending request (or the one with the id) with a status and body.
  bool CompleteNext(int status, const std::string& body);
  bool Complete(uint64_t id, int status, const std::string& body);
  bool FailNext();  // network failure
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

// Real HTTP on a worker thread; TLS certificates are always verified.
std::unique_ptr<HttpTransport> MakeCurlTransport(const CurlOptions& options);

}  // namespace sim
