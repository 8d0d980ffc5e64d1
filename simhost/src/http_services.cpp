// The two HTTP services of a Windows game server over the simulation's transport: the host's
// `API::Requests`, faithful to the real one (no certificate check; the body for 200 only and
// "<code> <reason>" otherwise; false and "" on any failure; reply headers only to the POST
// callback), and the stand-in of the system's HTTPS client that the plugin uses itself.
#include <string>
#include <unordered_map>

#include "Requests.h"
#include "sim/simulation.h"
#include "sim/system_https.h"
#include "state.h"

namespace sim {

namespace {

nlohmann::json Describe(const HttpResult& result) {
  static const char* const kFailures[] = {"none", "connect", "timeout", "certificate", "too_large"};
  nlohmann::json done = {{"status", result.status}, {"body", result.body}};
  if (result.failure != HttpFailure::none) {
    done["failure"] = kFailures[static_cast<int>(result.failure)];
    done["error"] = result.error;
  }
  return done;
}

HttpRequest NewRequest(const std::string& method, const std::string& url, const std::string& body,
                       const std::string& content_type, const std::vector<std::string>& headers, bool verify_tls) {
  auto& s = Simulation::Get().state();
  HttpRequest request;
  request.id = s.next_request_id++;
  request.method = method;
  request.url = url;
  request.headers = headers;
  request.body = body;
  request.content_type = content_type;
  request.verify_tls = verify_tls;
  s.Record({{"type", "http_request"}, {"id", request.id}, {"client", verify_tls ? "system" : "host"},
            {"method", method}, {"url", url}, {"headers", headers}, {"body", body}, {"content_type", content_type}});
  return request;
}

using HostCallback = Simulation::State::HttpCallback;

bool StartHostRequest(const std::string& method, const std::string& url, const HostCallback& callback,
                      const std::string& body, const std::string& content_type,
                      const std::vector<std::string>& headers) {
  auto& s = Simulation::Get().state();
  const HttpRequest request = NewRequest(method, url, body, content_type, headers, false);
  if (!s.transport) return false;
  const uint64_t id = request.id;
  s.http_callbacks[id] = callback;
  ++s.pending_http;
  const bool accepted = s.transport->Start(request, [id](HttpResult result) {
    Simulation::Get().Post([id, result = std::move(result)]() {
      auto& st = Simulation::Get().state();
      nlohmann::json done = Describe(result);
      done["type"] = "http_done";
      done["id"] = id;
      st.Record(done);
      // The host's rules: what the plugin sees of the reply.
      const bool success = result.failure == HttpFailure::none && result.status >= 200 && result.status < 300;
      std::string text;
      if (result.failure == HttpFailure::none)
        text = result.status == 200 ? result.body : std::to_string(result.status) + " " + ReasonPhrase(result.status);
      std::unordered_map<std::string, std::string> headers(result.headers.begin(), result.headers.end());
      auto it = st.http_callbacks.find(id);
      if (it != st.http_callbacks.end()) {
        auto call = std::move(it->second);
        st.http_callbacks.erase(it);
        st.Guard("HTTP completion", [&] { call(success, text, headers); });
      }
      --st.pending_http;
    });
  });
  if (!accepted) {
    s.http_callbacks.erase(id);
    --s.pending_http;
    s.Record({{"type", "http_refused"}, {"id", id}});
  }
  return accepted;
}

}  // namespace

uint64_t StartSystemHttps(HttpRequest request, SystemHttpsDone done) {
  auto& s = Simulation::Get().state();
  request = NewRequest(request.method, request.url, request.body, request.content_type, request.headers, true);
  if (!s.transport) return 0;
  const uint64_t id = request.id;
  s.system_callbacks[id] = std::move(done);
  ++s.pending_http;
  const bool accepted = s.transport->Start(request, [id](HttpResult result) {
    Simulation::Get().Post([id, result = std::move(result)]() {
      auto& st = Simulation::Get().state();
      nlohmann::json event = Describe(result);
      event["type"] = "http_done";
      event["id"] = id;
      st.Record(event);
      auto it = st.system_callbacks.find(id);
      if (it != st.system_callbacks.end()) {
        auto call = std::move(it->second);
        st.system_callbacks.erase(it);
        st.Guard("HTTPS completion", [&] { call(result); });
      }
      --st.pending_http;
    });
  });
  if (!accepted) {
    s.system_callbacks.erase(id);
    --s.pending_http;
    s.Record({{"type", "http_refused"}, {"id", id}});
    return 0;
  }
  return id;
}

void CancelSystemHttps(uint64_t id) {
  auto& s = Simulation::Get().state();
  if (s.system_callbacks.erase(id) > 0) s.Record({{"type", "http_cancelled"}, {"id", id}});
}

size_t OutstandingSystemHttps() { return Simulation::Get().state().system_callbacks.size(); }

int Simulation::PendingHttp() const { return state_->pending_http; }

ScriptedTransport& Simulation::Scripted() {
  if (!state_->scripted) throw std::logic_error("the scripted transport is not in use");
  return *state_->scripted;
}

void Simulation::SetTransport(std::unique_ptr<HttpTransport> transport) {
  state_->scripted = dynamic_cast<ScriptedTransport*>(transport.get());
  state_->transport = std::move(transport);
}

}  // namespace sim

namespace API {

Requests& Requests::Get() {
  static Requests requests;
  return requests;
}

bool Requests::CreateGetRequest(const std::string& url, const std::function<void(bool, std::string)>& callback,
                                std::vector<std::string> headers) {
  // A GET callback never sees the reply's headers.
  return sim::StartHostRequest(
      "GET", url, [callback](bool success, std::string body, auto) { callback(success, std::move(body)); }, "", "",
      headers);
}

bool Requests::CreatePostRequest(const std::string& url, const PostCallback& callback, const std::string& post_data,
                                 const std::string& content_type, std::vector<std::string> headers) {
  return sim::StartHostRequest("POST", url, callback, post_data, content_type, headers);
}

bool Requests::CreatePostRequest(const std::string& url, const std::function<void(bool, std::string)>& callback,
                                 const std::string& post_data, const std::string& content_type,
                                 std::vector<std::string> headers) {
  return sim::StartHostRequest(
      "POST", url, [callback](bool success, std::string body, auto) { callback(success, std::move(body)); },
      post_data, content_type, headers);
}

}  // namespace API
