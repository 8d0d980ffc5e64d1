// The system's HTTPS client as the stand-in host plays it (Linux, and the Windows test build):
// requests go to the simulation, which verifies certificates and reports on the game thread.
#include "host/https_backend.h"

#ifndef GILDMARK_HTTPS_WINHTTP

#include <cctype>
#include <unordered_map>

#include "sim/system_https.h"

namespace gildmark::host {

namespace {

HttpsFailure FailureOf(sim::HttpFailure failure) {
  switch (failure) {
    case sim::HttpFailure::none: return HttpsFailure::none;
    case sim::HttpFailure::timeout: return HttpsFailure::timeout;
    case sim::HttpFailure::certificate: return HttpsFailure::certificate;
    case sim::HttpFailure::too_large: return HttpsFailure::too_large;
    case sim::HttpFailure::connect: break;
  }
  return HttpsFailure::connect;
}

class StandInBackend : public HttpsBackend {
 public:
  explicit StandInBackend(Report report) : report_(std::move(report)) {}
  ~StandInBackend() override {
    for (auto& [id, system_id] : outstanding_) sim::CancelSystemHttps(system_id);
  }

  bool Start(uint64_t id, HttpsRequest request) override {
    sim::HttpRequest out;
    out.method = std::move(request.method);
    out.url = std::move(request.url);
    out.headers = std::move(request.headers);
    out.body = std::move(request.body);
    out.content_type = std::move(request.content_type);
    const uint64_t system_id = sim::StartSystemHttps(std::move(out), [this, id](sim::HttpResult result) {
      outstanding_.erase(id);
      HttpsReply reply;
      reply.failure = FailureOf(result.failure);
      reply.error = std::move(result.error);
      reply.status = result.status;
      reply.body = std::move(result.body);
      for (auto& [name, value] : result.headers)
        if (EqualsIgnoringCase(name, "Retry-After")) reply.retry_after = value;
      report_(id, std::move(reply));
    });
    if (system_id == 0) return false;
    outstanding_[id] = system_id;
    return true;
  }

 private:
  static bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
      if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
        return false;
    return i == a.size() && !b[i];
  }

  Report report_;
  std::unordered_map<uint64_t, uint64_t> outstanding_;  // ours -> the system's; game thread only
};

}  // namespace

std::unique_ptr<HttpsBackend> MakeHttpsBackend(HttpsBackend::Report report) {
  return std::make_unique<StandInBackend>(std::move(report));
}

}  // namespace gildmark::host

#endif
