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

HttpRequest NewRequest(HttpRequest request, bool verify_tls) {
  auto& s = Simulation::Get().state();
  request.id = s.next_request_id++;
  request.verify_tls = verify_tls;
  Simulation::State::RecordingScope recording;
  s.Record({{"type", "http_request"}, {"id", request.id}, {"client", verify_tls ? "system" : "host"},
            {"method", request.method}, {"url", request.url}, {"headers", request.headers}, {"body", request.body},
            {"content_type", request.content_type}});
  return request;
}

// Hands the request to the transport; its result comes back through the game thread's queue,
// is recorded, and reaches the callback kept in `callbacks` (unless it was dropped meanwhile).
template <typename Callback, typename Deliver>
bool Send(const HttpRequest& request, std::map<uint64_t, Callback> Simulation::State::*callbacks, Callback callback,
          Deliver deliver) {
  auto& s = Simulation::Get().state();
  if (!s.transport) return false;
  const uint64_t id = request.id;
  (s.*callbacks)[id] = std::move(callback);
  ++s.pending_http;
  const bool accepted = s.transport->Start(request, [id, callbacks, deliver](HttpResult result) {
    Simulation::Get().Post([id, callbacks, deliver, result = std::move(result)]() mutable {
      auto& st = Simulation::Get().state();
      {
        Simulation::State::RecordingScope recording;
        nlohmann::json done = Describe(result);
        done["type"] = "http_done";
        done["id"] = id;
        st.Record(std::move(done));
      }
      auto it = (st.*callbacks).find(id);
      if (it != (st.*callbacks).end()) {
        auto call = std::move(it->second);
        (st.*callbacks).erase(it);
        st.Guard("HTTP completion", [&] { deliver(call, result); });
      }
      --st.pending_http;
    });
  });
  if (!accepted) {
    (s.*callbacks).erase(id);
    --s.pending_http;
    s.Record({{"type", "http_refused"}, {"id", id}});
  }
  return accepted;
}

using HostCallback = Simulation::State::HttpCallback;

bool StartHostRequest(const std::string& method, const std::string& url, const HostCallback& callback,
                      const std::string& body, const std::string& content_type,
                      const std::vector<std::string>& headers) {
  HttpRequest fresh;
  fresh.method = method;
  fresh.url = url;
  fresh.headers = headers;
  fresh.body = body;
  fresh.content_type = content_type;
  const HttpRequest request = NewRequest(std::move(fresh), false);
  return Send(request, &Simulation::State::http_callbacks, callback, [](HostCallback& call, const HttpResult& result) {
    // The host's rules: what the plugin sees of the reply.
    const bool success = result.failure == HttpFailure::none && result.status >= 200 && result.status < 300;
    std::string text;
    if (result.failure == HttpFailure::none)
      text = result.status == 200 ? result.body : std::to_string(result.status) + " " + ReasonPhrase(result.status);
    call(success, text, std::unordered_map<std::string, std::string>(result.headers.begin(), result.headers.end()));
  });
}

}  // namespace

uint64_t StartSystemHttps(HttpRequest request, SystemHttpsDone done) {
  request = NewRequest(std::move(request), true);
  const bool accepted = Send(request, &Simulation::State::system_callbacks, std::move(done),
                             [](SystemHttpsDone& call, HttpResult& result) { call(std::move(result)); });
  return accepted ? request.id : 0;
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
