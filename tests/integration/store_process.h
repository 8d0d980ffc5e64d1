// Runs gildmark-storesim as a child process over TLS on a port the system picks, and talks to
// its test endpoints.
#pragma once

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace gildmark::testing {

class StoreProcess {
 public:
  StoreProcess(const std::string& tls_dir, const std::string& key, std::vector<std::string> extra = {})
      : tls_dir_(tls_dir) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {GILDMARK_STORESIM, "--listen", "127.0.0.1:0", "--key", key,
                                     "--tls-self-signed", tls_dir};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[128] = {};
    if (!fgets(line, sizeof(line), in)) throw std::runtime_error("the store stand-in did not start");
    fclose(in);
    const std::string address(line);
    port_ = std::stoi(address.substr(address.rfind(':') + 1));
  }
  ~StoreProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

  int port() const { return port_; }
  std::string cert() const { return tls_dir_ + "/cert.pem"; }
  std::string connect_to() const { return "api.gildmark.com:443:127.0.0.1:" + std::to_string(port_); }

  nlohmann::json State() { return nlohmann::json::parse(Call("GET", "/_sim/state", "")); }
  // State()["counts"] without the rest, which is megabytes in a large delivery.
  nlohmann::json Counts() { return nlohmann::json::parse(Call("GET", "/_sim/counts", "")); }
  void AddPayments(const nlohmann::json& payments) { Call("POST", "/_sim/payments", payments.dump()); }
  void SetFaults(const nlohmann::json& faults) { Call("POST", "/_sim/faults", faults.dump()); }

 private:
  std::string Call(const std::string& method, const std::string& path, const std::string& body) {
    httplib::SSLClient client("127.0.0.1", port_);
    client.set_ca_cert_path(cert().c_str());
    client.enable_server_certificate_verification(true);
    auto res = method == "GET" ? client.Get(path.c_str()) : client.Post(path.c_str(), body, "application/json");
    if (!res) throw std::runtime_error("store stand-in call failed: " + path + ": " + httplib::to_string(res.error()));
    if (res->status != 200)
      throw std::runtime_error("store stand-in call failed: " + path + ": " + std::to_string(res->status) + " " + res->body);
    return res->body;
  }

  std::string tls_dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace gildmark::testing
