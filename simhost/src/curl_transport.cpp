// Real HTTP for the devserver and integration tests: libcurl on one worker thread. Connect and
// total time-outs bound every request, so each accepted request completes exactly once. TLS
// certificates are verified when the request asks for it (the system's client), and not when it
// does not (the host's service, which accepts any).
#include <curl/curl.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "sim/http_transport.h"

namespace sim {
namespace {

// Bodies above this end the transfer, as the plugin's own client ends them.
constexpr size_t kMaxBody = size_t{64} << 20;

size_t Collect(char* data, size_t size, size_t count, void* out) {
  auto* body = static_cast<std::string*>(out);
  if (body->size() + size * count > kMaxBody) return 0;
  body->append(data, size * count);
  return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* out) {
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  auto* headers = static_cast<std::vector<std::pair<std::string, std::string>>*>(out);
  if (line.rfind("HTTP/", 0) == 0) headers->clear();  // a new response (after a 100 Continue)
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    size_t start = colon + 1;
    while (start < line.size() && line[start] == ' ') ++start;
    headers->emplace_back(line.substr(0, colon), line.substr(start));
  }
  return size * count;
}

HttpFailure FailureOf(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return HttpFailure::timeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return HttpFailure::certificate;
    case CURLE_WRITE_ERROR:
    case CURLE_FILESIZE_EXCEEDED: return HttpFailure::too_large;
    default: return HttpFailure::connect;
  }
}

class CurlTransport : public HttpTransport {
 public:
  explicit CurlTransport(CurlOptions options) : options_(std::move(options)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    worker_ = std::thread([this] { Run(); });
  }
  ~CurlTransport() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }

  bool Start(const HttpRequest& request, Done done) override {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      jobs_.push_back({request, std::move(done)});
    }
    cv_.notify_all();
    return true;
  }

 private:
  struct Job {
    HttpRequest request;
    Done done;
  };

  void Run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        if (stopping_) {
          lock.unlock();
          job.done(Failed(HttpFailure::connect, "the transport is stopping"));
          continue;
        }
      }
      job.done(Perform(job.request));
    }
  }

  std::string Rewrite(const std::string& url) const {
    for (auto& [from, to] : options_.rewrites)
      if (url.compare(0, from.size(), from) == 0) return to + url.substr(from.size());
    return url;
  }

  HttpResult Perform(const HttpRequest& request) const {
    CURL* curl = curl_easy_init();
    if (!curl) return Failed(HttpFailure::connect, "curl_easy_init failed");
    std::string body;
    std::vector<std::pair<std::string, std::string>> reply_headers;
    char error[CURL_ERROR_SIZE] = {};
    const std::string url = Rewrite(request.url);
    curl_slist* headers = nullptr;
    bool has_content_type = false;
    for (auto& h : request.headers) {
      headers = curl_slist_append(headers, h.c_str());
      if (h.rfind("Content-Type:", 0) == 0) has_content_type = true;
    }
    if (request.method == "POST" && !has_content_type && !request.content_type.empty())
      headers = curl_slist_append(headers, ("Content-Type: " + request.content_type).c_str());
    curl_slist* connect_to = nullptr;
    for (auto& c : options_.connect_to) connect_to = curl_slist_append(connect_to, c.c_str());

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &CollectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply_headers);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options_.connect_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, options_.total_timeout_ms);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, request.verify_tls ? 1L : 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, request.verify_tls ? 2L : 0L);
    if (request.verify_tls && !options_.ca_file.empty())
      curl_easy_setopt(curl, CURLOPT_CAINFO, options_.ca_file.c_str());
    if (request.method == "POST") {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    }
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    curl_slist_free_all(connect_to);
    if (code != CURLE_OK) return Failed(FailureOf(code), error[0] ? error : curl_easy_strerror(code));
    return Answer(static_cast<int>(status), body, std::move(reply_headers));
  }

  CurlOptions options_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<HttpTransport> MakeCurlTransport(const CurlOptions& options) {
  return std::make_unique<CurlTransport>(options);
}

}  // namespace sim
