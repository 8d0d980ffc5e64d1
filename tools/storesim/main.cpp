// gildmark-storesim: a stand-in of the Gildmark store's server API. It checks every request's
// signature with OpenSSL (an implementation that is not the plugin's), answers the waiting
// payments, applies reported results, and can misbehave on purpose. Test endpoints under /_sim/
// add payments and show its state.
#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

const char* const kUsage = R"(usage: gildmark-storesim --listen ADDR:PORT --key A.B.C [options]

Serves GET and POST on /v1/store/server/<A>/commands?time=T, as the Gildmark store does. Every
request must name the server A, carry a time within 300 seconds of this clock and an
Authorization line "Bearer SERVER_KEY:" + Base64(hex(HMAC-SHA256(B, A + C + T)))); a request
that fails gets HTTP 200 with a JSON string naming Gildmark and the reason.
GET answers the waiting payments as a JSON array, or "No pending payments found" as a JSON string.
POST takes {"<payment id>":{"action":..,"cmds":{"<command id>":"Executed"|"Not Executed"}}}:
an executed command is done, one not executed is sent again; a payment with nothing left is done.
The first line printed is the bound address, ADDR:PORT (port 0 lets the system pick).

options:
  --tls-self-signed DIR   serve HTTPS with a new key and a certificate for api.gildmark.com,
                          written to DIR/cert.pem (give it to the devserver's --cacert)
  --tls-cert FILE --tls-key FILE
                          serve HTTPS with this certificate chain and key (PEM) instead
  --payments FILE         start with the payments of FILE (a JSON array)
  --fail-every N          answer every Nth store request with HTTP 500
  --status-every N        answer every Nth store request with --status (default 429)
  --status CODE
  --retry-after VALUE     send Retry-After: VALUE with those answers
  --delay-every N         delay every Nth store request by --delay-ms (default 2000)
  --delay-ms MS
  --drop-every N          close the connection of every Nth store request without an answer
  --quote                 wrap every GET answer in one more pair of double quotes
  --garble-every N        cut every Nth GET answer in half
  --only METHOD           the fault options hit only GET or only POST requests
  --max-post-bytes N      answer 413 Payload Too Large to POST bodies over N bytes
  --time-offset S         pretend this clock is S seconds ahead
  --help                  this text

test endpoints:
  POST /_sim/payments     add payments (a JSON array of payment objects, or one object)
  POST /_sim/faults       set the fault options anew: {"fail_every":N,"status_every":N,"status":C,"retry_after":"S",
                          "delay_every":N,"delay_ms":MS,"drop_every":N,"garble_every":N,"quote":B,
                          "only":"GET"|"POST","max_post_bytes":N} (faults hit only that method)
  GET  /_sim/summary      the state in a few lines of text
  GET  /_sim/state        {"waiting":[..],"done":[..],"results":[..],"requests":[..],"counts":{..}}
)";

struct Options {
  std::string listen = "127.0.0.1:0";
  std::string key;
  std::string tls_dir;
  std::string tls_cert, tls_key;
  std::string retry_after;
  std::string payments_file;
  int fail_every = 0, status_every = 0, status = 429, delay_every = 0, delay_ms = 2000, drop_every = 0,
      garble_every = 0;
  bool quote = false;
  std::string only;  // faults hit only requests of this method, when set
  size_t max_post_bytes = 0;  // larger POST bodies get 413, as a proxy before the store may answer
  long long time_offset = 0;
};

std::string Signature(const std::string& key, const std::string& message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
       message.size(), mac, &length);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) hex += digits[mac[i] >> 4], hex += digits[mac[i] & 15];
  std::vector<unsigned char> out(4 * ((hex.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(hex.data()),
                                static_cast<int>(hex.size()));
  return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n));
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// The store's books: payments with their commands still to deliver.
class Store {
 public:
  explicit Store(Options options) : o_(std::move(options)) {
    const size_t first = o_.key.find('.'), second = o_.key.find('.', first + 1);
    if (first == std::string::npos || second == std::string::npos || o_.key.find('.', second + 1) != std::string::npos)
      throw std::invalid_argument("--key must have three parts joined by \".\"");
    server_id_ = o_.key.substr(0, first);
    secret_ = o_.key.substr(first + 1, second - first - 1);
    third_ = o_.key.substr(second + 1);
  }

  void AddPayments(const json& payload) {
    std::lock_guard lock(mutex_);
    auto add = [&](const json& p) {
      if (!p.is_object() || !p.contains("id")) throw std::invalid_argument("a payment needs an \"id\"");
      json payment = p;
      for (auto key : {"action", "eos_id", "username"})
        if (!payment.contains(key)) payment[key] = "";
      if (!payment.contains("cmds")) payment["cmds"] = json::array();
      waiting_.push_back(payment);
    };
    if (payload.is_array())
      for (auto& p : payload) add(p);
    else
      add(payload);
  }

  // Checks a store request; "" when it is good, else the reason.
  std::string Verify(const httplib::Request& req, const std::string& server_id) const {
    if (server_id != server_id_) return "unknown server";
    if (!req.has_param("time")) return "the request has no time";
    long long time = 0;
    try {
      size_t used = 0;
      time = std::stoll(req.get_param_value("time"), &used);
      if (used != req.get_param_value("time").size()) return "the request time is not a number";
    } catch (...) {
      return "the request time is not a number";
    }
    const long long now = static_cast<long long>(std::time(nullptr)) + o_.time_offset;
    if (time < now - 300 || time > now + 300) return "the request time is outside the allowed window";
    const std::string header = req.get_header_value("Authorization");
    const std::string prefix = "Bearer SERVER_KEY:";
    if (header.rfind(prefix, 0) != 0) return "missing authorization";
    const std::string expected = Signature(secret_, server_id_ + third_ + req.get_param_value("time"));
    if (!SameText(header.substr(prefix.size()), expected)) return "invalid signature";
    return "";
  }

  // Faults can be changed while running, through /_sim/faults.
  void SetFaults(const json& faults) {
    std::lock_guard lock(mutex_);
    o_.fail_every = faults.value("fail_every", 0);
    o_.status_every = faults.value("status_every", 0);
    o_.status = faults.value("status", 429);
    o_.retry_after = faults.value("retry_after", "");
    o_.delay_every = faults.value("delay_every", 0);
    o_.delay_ms = faults.value("delay_ms", 2000);
    o_.drop_every = faults.value("drop_every", 0);
    o_.garble_every = faults.value("garble_every", 0);
    o_.quote = faults.value("quote", false);
    o_.only = faults.value("only", "");
    o_.max_post_bytes = faults.value("max_post_bytes", size_t{0});
  }

  void Handle(const httplib::Request& req, httplib::Response& res, const std::string& server_id) {
    const int n = ++store_requests_;
    Options o;
    {
      std::lock_guard lock(mutex_);
      o = o_;
    }
    const bool hit = o.only.empty() || o.only == req.method;
    auto every = [n, hit](int k) { return hit && k > 0 && n % k == 0; };
    std::string verdict = Verify(req, server_id);
    json record = {{"n", n}, {"method", req.method}, {"path", req.path}, {"time", req.get_param_value("time")}};
    if (every(o.delay_every)) std::this_thread::sleep_for(std::chrono::milliseconds(o.delay_ms));
    if (every(o.drop_every)) {
      Log(record, "dropped");
      res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink&) { return false; });
      return;
    }
    if (every(o.fail_every)) {
      Log(record, "failed with 500");
      res.status = 500;
      return;
    }
    if (every(o.status_every)) {
      Log(record, "answered " + std::to_string(o.status));
      res.status = o.status;
      if (!o.retry_after.empty()) res.set_header("Retry-After", o.retry_after);
      return;
    }
    if (req.method == "POST" && o.max_post_bytes > 0 && req.body.size() > o.max_post_bytes) {
      Log(record, "answered 413 (" + std::to_string(req.body.size()) + " bytes)");
      res.status = 413;
      return;
    }
    if (!verdict.empty()) {
      Log(record, "refused: " + verdict);
      res.set_content(json("Gildmark: " + verdict).dump(), "application/json");
      return;
    }
    if (req.method == "GET") {
      std::string body = WaitingBody();
      if (o.quote) body = "\"" + body + "\"";
      if (every(o.garble_every)) body = body.substr(0, body.size() / 2);
      Log(record, "accepted");
      res.set_content(body, "application/json");
    } else {
      std::string outcome = ApplyResults(req.body);
      Log(record, outcome.empty() ? "accepted" : "accepted: " + outcome);
      res.set_content(json{{"status", outcome.empty() ? "ok" : outcome}}.dump(), "application/json");
    }
  }

  json State() const {
    std::lock_guard lock(mutex_);
    return {{"waiting", waiting_},           {"done", done_},
            {"results", results_},           {"requests", requests_},
            {"executed_reports", executed_reports_}, {"counts", CountsLocked()}};
  }
  // The counts alone: a test that waits for the store asks often, and the whole state of a
  // large delivery is megabytes.
  json Counts() const {
    std::lock_guard lock(mutex_);
    return CountsLocked();
  }

 private:
  json CountsLocked() const {
    int waiting_commands = 0;
    for (auto& p : waiting_) waiting_commands += static_cast<int>(p["cmds"].size());
    return {{"waiting_payments", waiting_.size()},
            {"waiting_commands", waiting_commands},
            {"done_payments", done_.size()},
            {"requests", requests_.size()},
            {"refused", refused_}};
  }

  void Log(json record, const std::string& verdict) {
    std::lock_guard lock(mutex_);
    record["verdict"] = verdict;
    if (verdict.rfind("refused", 0) == 0) ++refused_;
    requests_.push_back(record);
  }

  std::string WaitingBody() const {
    std::lock_guard lock(mutex_);
    if (waiting_.empty()) return json("No pending payments found").dump();
    return json(waiting_).dump();
  }

  std::string ApplyResults(const std::string& body) {
    json doc = json::parse(body, nullptr, false);
    if (!doc.is_object()) return "the results are not a JSON object";
    std::lock_guard lock(mutex_);
    results_.push_back(doc);
    // The waiting payments by id, so that thousands of results cost thousands of steps.
    std::unordered_multimap<std::string, json*> by_id;
    for (auto& payment : waiting_)
      if (payment.contains("id") && payment["id"].is_string()) by_id.emplace(payment["id"].get<std::string>(), &payment);
    for (auto& [payment_id, result] : doc.items()) {
      if (!result.is_object() || !result.contains("cmds") || !result["cmds"].is_object()) continue;
      // Each command reported Executed leaves the payment once; one pass over its commands, so
      // that a payment of many thousands costs as many steps.
      std::unordered_map<std::string, int> executed;
      for (auto& [command_id, state] : result["cmds"].items()) {
        if (state != "Executed") continue;
        ++executed_reports_[payment_id][command_id];
        ++executed[command_id];
      }
      if (executed.empty()) continue;
      const auto range = by_id.equal_range(payment_id);
      for (auto it = range.first; it != range.second; ++it) {
        json kept = json::array();
        for (auto& command : (*it->second)["cmds"]) {
          auto found = command.contains("id") ? executed.find(command["id"].dump()) : executed.end();
          if (found != executed.end() && found->second > 0)
            --found->second;
          else
            kept.push_back(std::move(command));
        }
        (*it->second)["cmds"] = std::move(kept);
      }
    }
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      if ((*it)["cmds"].empty()) {
        done_.push_back(*it);
        it = waiting_.erase(it);
      } else {
        ++it;
      }
    }
    return "";
  }

  Options o_;
  std::string server_id_, secret_, third_;
  mutable std::mutex mutex_;
  std::vector<json> waiting_, done_, results_, requests_;
  std::map<std::string, std::map<std::string, int>> executed_reports_;
  std::atomic<int> store_requests_{0};
  int refused_ = 0;
};

// A key and a certificate for api.gildmark.com (and localhost), its own trust anchor.
void MakeSelfSigned(const std::string& dir) {
  std::filesystem::create_directories(dir);
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 7L * 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("api.gildmark.com"), -1,
                             -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  for (auto [nid, value] : {std::pair{NID_subject_alt_name, "DNS:api.gildmark.com,DNS:localhost,IP:127.0.0.1"},
                            std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                            std::pair{NID_key_usage, "critical,digitalSignature,keyCertSign"}}) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, key, EVP_sha256());
  FILE* f = std::fopen((dir + "/cert.pem").c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen((dir + "/key.pem").c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--listen") o.listen = next();
    else if (a == "--key") o.key = next();
    else if (a == "--tls-self-signed") o.tls_dir = next();
    else if (a == "--tls-cert") o.tls_cert = next();
    else if (a == "--tls-key") o.tls_key = next();
    else if (a == "--payments") o.payments_file = next();
    else if (a == "--fail-every") o.fail_every = std::stoi(next());
    else if (a == "--max-post-bytes") o.max_post_bytes = std::stoul(next());
    else if (a == "--status-every") o.status_every = std::stoi(next());
    else if (a == "--status") o.status = std::stoi(next());
    else if (a == "--retry-after") o.retry_after = next();
    else if (a == "--delay-every") o.delay_every = std::stoi(next());
    else if (a == "--delay-ms") o.delay_ms = std::stoi(next());
    else if (a == "--drop-every") o.drop_every = std::stoi(next());
    else if (a == "--garble-every") o.garble_every = std::stoi(next());
    else if (a == "--quote") o.quote = true;
    else if (a == "--only") o.only = next();
    else if (a == "--time-offset") o.time_offset = std::stoll(next());
    else throw std::invalid_argument("unknown option " + a);
  }
  if (o.key.empty()) throw std::invalid_argument("--key is required");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "gildmark-storesim: " << e.what() << "\n\n" << kUsage;
    return 2;
  }
  try {
    Store store(options);
    if (!options.payments_file.empty()) {
      std::ifstream in(options.payments_file);
      store.AddPayments(json::parse(in));
    }
    std::unique_ptr<httplib::Server> server;
    if (!options.tls_dir.empty() || !options.tls_cert.empty()) {
      std::string cert = options.tls_cert, key = options.tls_key;
      if (cert.empty()) {
        MakeSelfSigned(options.tls_dir);
        cert = options.tls_dir + "/cert.pem";
        key = options.tls_dir + "/key.pem";
      }
      server = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
      if (!server->is_valid()) throw std::runtime_error("the TLS server could not start");
    } else {
      server = std::make_unique<httplib::Server>();
    }
    server->Get(R"(/v1/store/server/([^/]*)/commands)", [&](const httplib::Request& req, httplib::Response& res) {
      store.Handle(req, res, req.matches[1]);
    });
    server->Post(R"(/v1/store/server/([^/]*)/commands)", [&](const httplib::Request& req, httplib::Response& res) {
      store.Handle(req, res, req.matches[1]);
    });
    server->Post("/_sim/payments", [&](const httplib::Request& req, httplib::Response& res) {
      try {
        store.AddPayments(json::parse(req.body));
        res.set_content("{\"status\":\"ok\"}", "application/json");
      } catch (const std::exception& e) {
        res.status = 400;
        res.set_content(json{{"error", e.what()}}.dump(), "application/json");
      }
    });
    server->Post("/_sim/faults", [&](const httplib::Request& req, httplib::Response& res) {
      const json faults = json::parse(req.body, nullptr, false);
      if (!faults.is_object()) {
        res.status = 400;
        return;
      }
      store.SetFaults(faults);
      res.set_content("{\"status\":\"ok\"}", "application/json");
    });
    server->Get("/_sim/summary", [&](const httplib::Request&, httplib::Response& res) {
      const json state = store.State();
      const json& c = state["counts"];
      std::string text = "payments delivered and acknowledged: " + c["done_payments"].dump() +
                         "\npayments still waiting: " + c["waiting_payments"].dump() + " (" +
                         c["waiting_commands"].dump() + " commands)\nstore requests: " + c["requests"].dump() +
                         ", signatures refused: " + c["refused"].dump() + "\n";
      for (auto& p : state["done"]) text += "  done: payment " + p["id"].dump() + "\n";
      for (auto& p : state["waiting"]) text += "  waiting: payment " + p["id"].dump() + "\n";
      res.set_content(text, "text/plain");
    });
    server->Get("/_sim/counts", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(store.Counts().dump(), "application/json");
    });
    server->Get("/_sim/state", [&](const httplib::Request&, httplib::Response& res) {
      res.set_content(store.State().dump(2), "application/json");
    });

    const size_t colon = options.listen.rfind(':');
    if (colon == std::string::npos) throw std::invalid_argument("--listen wants ADDR:PORT");
    const std::string host = options.listen.substr(0, colon);
    int port = std::stoi(options.listen.substr(colon + 1));
    if (port == 0) {
      port = server->bind_to_any_port(host);
    } else if (!server->bind_to_port(host, port)) {
      port = -1;
    }
    if (port <= 0) throw std::runtime_error("cannot listen on " + options.listen);
    std::cout << host << ":" << port << std::endl;
    static httplib::Server* running = server.get();
    std::signal(SIGTERM, [](int) { running->stop(); });
    std::signal(SIGINT, [](int) { running->stop(); });
    server->listen_after_bind();
  } catch (const std::exception& e) {
    std::cerr << "gildmark-storesim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
