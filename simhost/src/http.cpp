// Raw answers and the scripted transport for tests.
#include <string>

#include "sim/http_transport.h"

namespace sim {

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
  }
}

HttpResult Answer(int status, const std::string& body, std::vector<std::pair<std::string, std::string>> headers) {
  HttpResult result;
  result.status = status;
  result.body = body;
  result.headers = std::move(headers);
  return result;
}

bool ScriptedTransport::Start(const HttpRequest& request, Done done) {
  std::lock_guard lock(mutex_);
  if (refuse_ != 0) {
    if (refuse_ > 0) --refuse_;
    return false;
  }
  held_.push_back({request, std::move(done)});
  return true;
}

std::vector<HttpRequest> ScriptedTransport::Pending() const {
  std::lock_guard lock(mutex_);
  std::vector<HttpRequest> out;
  for (const auto& h : held_) out.push_back(h.request);
  return out;
}

size_t ScriptedTransport::PendingCount() const {
  std::lock_guard lock(mutex_);
  return held_.size();
}

bool ScriptedTransport::Finish(size_t index, HttpResult result) {
  Done done;
  {
    std::lock_guard lock(mutex_);
    if (index >= held_.size()) return false;
    done = std::move(held_[index].done);
    held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
  }
  done(std::move(result));
  return true;
}

bool ScriptedTransport::CompleteNext(int status, const std::string& body,
                                     std::vector<std::pair<std::string, std::string>> headers) {
  return Finish(0, Answer(status, body, std::move(headers)));
}

bool ScriptedTransport::Complete(uint64_t id, int status, const std::string& body) {
  size_t index = 0;
  {
    std::lock_guard lock(mutex_);
    for (; index < held_.size(); ++index)
      if (held_[index].request.id == id) break;
  }
  return Finish(index, Answer(status, body));
}

bool ScriptedTransport::FailNext(HttpFailure failure, const std::string& error) {
  return Finish(0, Failed(failure, error));
}

}  // namespace sim
