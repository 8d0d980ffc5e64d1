// asa-devserver end to end: a script against a loopback HTTP server that this test runs (the
// event log must show the signed GET, the RCON reply and a clean unload), and against the store
// stand-in over TLS with a certificate that nobody trusts, then with it trusted.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <sys/wait.h>

#include <cstdio>
#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <chrono>

#include <nlohmann/json.hpp>

#include "store_process.h"

namespace {

std::string ExpectedSignature(const std::string& message, const std::string& key) {
  unsigned char mac[32];
  unsigned int n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
       message.size(), mac, &n);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) hex += digits[mac[i] >> 4], hex += digits[mac[i] & 15];
  unsigned char out[128];
  const int len = EVP_EncodeBlock(out, reinterpret_cast<const unsigned char*>(hex.data()), static_cast<int>(hex.size()));
  return std::string(reinterpret_cast<char*>(out), static_cast<size_t>(len));
}

// A new test folder with a server root whose plugin folder holds `config`.
struct TestRoot {
  std::filesystem::path dir, plugin_dir;
};
TestRoot MakeTestRoot(const std::string& name, const std::string& config) {
  TestRoot root;
  root.dir = std::filesystem::temp_directory_path() / ("gildmark-" + name + "-" + std::to_string(getpid()));
  std::filesystem::remove_all(root.dir);
  root.plugin_dir = root.dir / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
  std::filesystem::create_directories(root.plugin_dir);
  std::ofstream(root.plugin_dir / "config.json") << config;
  return root;
}

const char* const kOneKeyConfig =
    R"({"key":"srv.sec.thr","request_interval_in_minutes":1,"order_received_text":"hi"})";

TEST(DevServerTest, AScriptAgainstALoopbackServer) {
  httplib::Server server;
  std::vector<std::string> seen;
  std::mutex mutex;
  server.Get(R"(/v1/store/server/srv/commands)", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lock(mutex);
    seen.push_back(req.get_header_value("Authorization") + " " + req.get_param_value("time"));
    res.set_content("[]", "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.listen_after_bind(); });

  const auto dir = std::filesystem::temp_directory_path() / ("gildmark-dev-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ");
  std::ofstream(dir / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ" / "config.json")
      << R"({"key":"srv.sec.thr","request_interval_in_minutes":1,"order_received_text":"hi"})";
  std::ofstream(dir / "script") << "sync\njoin E1 77 Alice\nrcon gildmark.connect\nsync\nquit\n";
  const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() +
                              " --plugin " + GILDMARK_PLUGIN_PATH + " --script " + (dir / "script").string() +
                              " --events " + (dir / "events").string() +
                              " --rewrite https://api.gildmark.com=http://127.0.0.1:" + std::to_string(port) +
                              " > " + (dir / "out").string() + " 2>&1";
  const int status = std::system(command.c_str());
  server.stop();
  serving.join();
  EXPECT_EQ(status, 0) << std::ifstream(dir / "out").rdbuf();

  std::vector<nlohmann::json> events;
  std::ifstream in(dir / "events");
  for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
  int gets = 0;
  bool replied = false, unloaded = false;
  for (auto& e : events) {
    if (e["type"] == "http_request" && e["method"] == "GET") {
      ++gets;
      const std::string url = e["url"];
      const std::string time = url.substr(url.find("time=") + 5);
      EXPECT_EQ(e["headers"][0], "Authorization: Bearer SERVER_KEY:" + ExpectedSignature("srvthr" + time, "sec"));
    }
    // RCON hears at once; the store's verdict goes to the logs.
    if (e["type"] == "rcon_reply" && e["text"].get<std::string>().rfind("Gildmark is asking the store", 0) == 0)
      replied = true;
    if (e["type"] == "plugin_unloaded") unloaded = e["clean"] == true && e["library_gone"] == true;
    EXPECT_NE(e["type"], "exception") << e.dump();
  }
  EXPECT_EQ(gets, 2) << "the first cycle and the connection test";
  std::stringstream out;
  out << std::ifstream(dir / "out").rdbuf();
  EXPECT_NE(out.str().find("[server] plugin Gildmark version 1.0 (needs host API 2.03"), std::string::npos)
      << out.str();
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_TRUE(replied);
  EXPECT_TRUE(unloaded);
  std::stringstream info;
  info << std::ifstream(dir / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ" / "info.log").rdbuf();
  EXPECT_NE(info.str().find("Gildmark API connection successful."), std::string::npos) << info.str();
  std::filesystem::remove_all(dir);
}

// The library and PluginInfo.json go into the plugin's folder, where the host reads the file
// before it loads the library (PluginManager::ReadPluginInfo): none gives the host's defaults, a
// member of the wrong type fails the load.
TEST(DevServerTest, PluginInfoIsReadAsTheHostReadsIt) {
  namespace fs = std::filesystem;
  const fs::path built = fs::path(GILDMARK_PLUGIN_PATH).parent_path() / "PluginInfo.json";
  ASSERT_TRUE(fs::exists(built)) << "the build puts PluginInfo.json beside the library";
  const auto info = nlohmann::json::parse(std::ifstream(built));
  EXPECT_EQ(info["FullName"], "Gildmark");
  EXPECT_EQ(info["PreventUnloading"], false);
  EXPECT_TRUE(info["Dependencies"].is_array());

  const auto dir = fs::temp_directory_path() / ("gildmark-info-" + std::to_string(getpid()));
  fs::create_directories(dir / "lib");
  fs::create_directories(dir / "root");
  fs::copy_file(GILDMARK_PLUGIN_PATH, dir / "lib" / "Gildmark_DadUZ.so");
  std::ofstream(dir / "script") << "quit\n";
  auto run = [&] {
    const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() +
                                " --plugin " + (dir / "lib" / "Gildmark_DadUZ.so").string() + " --script " +
                                (dir / "script").string() + " > " + (dir / "out").string() + " 2>&1";
    const int status = std::system(command.c_str());
    std::stringstream out;
    out << std::ifstream(dir / "out").rdbuf();
    return std::make_pair(WEXITSTATUS(status), out.str());
  };
  auto [missing_status, missing_out] = run();
  EXPECT_EQ(missing_status, 0) << missing_out;
  EXPECT_TRUE(fs::exists(dir / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ" / "Gildmark_DadUZ.so"));

  std::ofstream(dir / "lib" / "PluginInfo.json") << R"({"FullName":"Gildmark","Version":"one"})";
  auto [invalid_status, invalid_out] = run();
  EXPECT_EQ(invalid_status, 2);
  EXPECT_NE(invalid_out.find("type_error"), std::string::npos) << invalid_out;

  fs::copy_file(built, dir / "lib" / "PluginInfo.json", fs::copy_options::overwrite_existing);
  auto [status, out] = run();
  EXPECT_EQ(status, 0) << out;
  fs::remove_all(dir);
}

// A store whose certificate nobody trusts stands for anyone on the network path answering in
// the store's name: nothing it sends may run. Given the certificate, the same store delivers.
TEST(DevServerTest, AStoreNobodyTrustsRunsNothingAndTheTrustedOneDelivers) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("forged", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  store.AddPayments(nlohmann::json::array(
      {{{"id", "1"}, {"action", "purchase"}, {"eos_id", "E1"}, {"username", ""},
        {"cmds", {{{"id", 1}, {"str", "admincheat broadcast forged"}, {"state", ""}}}}}}));
  std::ofstream(dir / "script") << "sync\njoin E1 77 Alice\nwait 61\nsync\nquit\n";

  auto run = [&](const std::string& extra) {
    fs::remove(dir / "events");
    const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() +
                                " --plugin " + GILDMARK_PLUGIN_PATH + " --script " + (dir / "script").string() +
                                " --events " + (dir / "events").string() + " --speed 600 --connect-to " +
                                store.connect_to() + extra + " > " + (dir / "out").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << std::ifstream(dir / "out").rdbuf();
    int commands = 0, requests = 0;
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);) {
      const auto e = nlohmann::json::parse(line);
      if (e["type"] == "console_command") ++commands;
      if (e["type"] == "http_request") ++requests;
      EXPECT_NE(e["type"], "exception") << e.dump();
    }
    return std::make_pair(commands, requests);
  };

  auto [forged_commands, forged_requests] = run("");
  EXPECT_EQ(forged_commands, 0);
  EXPECT_GE(forged_requests, 2) << "the first cycle and the poll a minute later";
  std::stringstream err;
  err << std::ifstream(plugin_dir / "err.log").rdbuf();
  EXPECT_NE(err.str().find("certificate not trusted"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("nothing from that answer was run"), std::string::npos) << err.str();
  EXPECT_EQ(store.Counts()["done_payments"], 0);

  auto [commands, requests] = run(" --cacert " + store.cert());
  EXPECT_EQ(commands, 1);
  EXPECT_EQ(store.Counts()["done_payments"], 1) << "delivered and acknowledged";
  (void)requests;
  fs::remove_all(dir);
}

// A buyer offline at the poll joins as a new survivor and spawns later: their command runs
// within seconds of their character being alive, long before the next regular poll.
TEST(DevServerTest, ABuyerHeldBackIsServedSecondsAfterSpawning) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] =
      MakeTestRoot("join", R"({"key":"srv.sec.thr","request_interval_in_minutes":2,"order_received_text":"hi"})");
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  store.AddPayments(nlohmann::json::array(
      {{{"id", "1"}, {"action", "purchase"}, {"eos_id", "E2"}, {"username", ""},
        {"cmds", {{{"id", 1}, {"str", "give {eosid} 5"}, {"state", "Must be online"}}}}}}));
  std::ofstream(dir / "script") << "sync\njoin other 1 Other\nwait 121\nsync\njoin E2 2 Buyer nochar\nwait 5\n"
                                   "spawn E2\nwait 4\nsync\nquit\n";
  const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() + " --plugin " +
                              GILDMARK_PLUGIN_PATH + " --script " + (dir / "script").string() + " --events " +
                              (dir / "events").string() + " --speed 30 --connect-to " + store.connect_to() +
                              " --cacert " + store.cert() + " > " + (dir / "out").string() + " 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << std::ifstream(dir / "out").rdbuf();

  long long joined = -1, spawned = -1, delivered = -1;
  int gets_after_join = 0;
  std::ifstream in(dir / "events");
  for (std::string line; std::getline(in, line);) {
    const auto e = nlohmann::json::parse(line);
    if (e["type"] == "join" && e.value("player", "") == "E2") joined = e["time"];
    if (e["type"] == "respawn" && e.value("player", "") == "E2") spawned = e["time"];
    if (e["type"] == "console_command" && e["text"] == "give E2 5") delivered = e["time"];
    if (e["type"] == "http_request" && e["method"] == "GET" && joined >= 0) ++gets_after_join;
    EXPECT_NE(e["type"], "exception") << e.dump();
  }
  ASSERT_GE(spawned, 0) << std::ifstream(dir / "out").rdbuf();
  ASSERT_GE(delivered, 0) << std::ifstream(dir / "out").rdbuf();
  // A second for the check to see the character, the store's answer (over TLS, on a loaded
  // machine perhaps more than a simulated second), the next frame.
  EXPECT_LE(delivered - spawned, 5) << "seconds from spawning to the command";
  EXPECT_EQ(gets_after_join, 1) << "one early poll; the next regular one is minutes away";
  EXPECT_EQ(store.Counts()["done_payments"], 1);
  std::stringstream info;
  info << std::ifstream(plugin_dir / "info.log").rdbuf();
  EXPECT_NE(info.str().find("Asking the store now rather than at the next regular poll: the buyer with EOS id E2 "
                            "has joined"),
            std::string::npos)
      << info.str();
  fs::remove_all(dir);
}

// A devserver read from a pipe: the test writes script lines as it goes, and waits for an
// "echo" line's narration to know they were played.
class InteractiveServer {
 public:
  InteractiveServer(const std::filesystem::path& dir, const std::string& options) : dir_(dir) {
    const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() +
                                " --plugin " + GILDMARK_PLUGIN_PATH + " --events " + (dir / "events").string() + " " +
                                options + " > " + (dir / "out").string() + " 2>&1";
    pipe_ = popen(command.c_str(), "w");
  }
  ~InteractiveServer() {
    if (pipe_) pclose(pipe_);
  }
  bool started() const { return pipe_ != nullptr; }
  void Send(const std::string& lines) {
    fputs(lines.c_str(), pipe_);
    fflush(pipe_);
  }
  bool Reached(const std::string& marker) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Output().find("== " + marker) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // "quit" and the exit status.
  int Quit() {
    Send("quit\n");
    const int status = pclose(pipe_);
    pipe_ = nullptr;
    return WEXITSTATUS(status);
  }
  std::string Output() const {
    std::stringstream out;
    out << std::ifstream(dir_ / "out").rdbuf();
    return out.str();
  }
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::ifstream in(dir_ / "events");
    for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
    return events;
  }

 private:
  std::filesystem::path dir_;
  FILE* pipe_ = nullptr;
};

// The host never calls Plugin_Unload when the server stops (only plugins.unload does): "stop" in
// the middle of a large delivery, then a start on the same folder. Every command runs once, the
// store has every result, and nobody keeps rights.
TEST(DevServerTest, AStopInTheMiddleOfADeliveryLosesNothing) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("stop", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  nlohmann::json cmds = nlohmann::json::array();
  for (int c = 0; c < 2000; ++c)
    cmds.push_back({{"id", c}, {"str", "giveitem {eosid} item-" + std::to_string(c)}, {"state", "Must be online"}});
  store.AddPayments(nlohmann::json::array({{{"id", "big"}, {"action", "purchase"}, {"eos_id", "E1"},
                                            {"username", ""}, {"cmds", cmds}}}));
  std::map<std::string, int> runs;
  bool escaped = false;
  auto run = [&](const std::string& script, const std::string& speed) {
    std::ofstream(dir / "script") << script;
    const std::string command = std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() +
                                " --plugin " + GILDMARK_PLUGIN_PATH + " --script " + (dir / "script").string() +
                                " --events " + (dir / "events").string() + " --speed " + speed +
                                " --command-ms 2 --connect-to " + store.connect_to() + " --cacert " + store.cert() +
                                " > " + (dir / "out").string() + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << std::ifstream(dir / "out").rdbuf();
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);) {
      const auto e = nlohmann::json::parse(line);
      if (e["type"] == "console_command") ++runs[e["text"].get<std::string>()];
      escaped = escaped || e["type"] == "exception";
    }
  };
  {
    // Stopped once a hundred commands have run (each takes two milliseconds of real time).
    InteractiveServer server(dir, "--speed 60 --command-ms 2 --connect-to " + store.connect_to() + " --cacert " +
                                      store.cert());
    ASSERT_TRUE(server.started());
    server.Send("join E1 77 Alice\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto ran = [&] {
      int n = 0;
      std::ifstream in(dir / "events");
      for (std::string line; std::getline(in, line);) n += line.find("\"console_command\"") != std::string::npos;
      return n;
    };
    while (ran() < 100 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server.Send("stop\n");
  }
  {
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);) {
      const auto e = nlohmann::json::parse(line, nullptr, false);  // the last line may be cut
      if (!e.is_discarded() && e["type"] == "console_command") ++runs[e["text"].get<std::string>()];
    }
  }
  const size_t ran_before_stop = runs.size();
  EXPECT_GT(ran_before_stop, 0u);
  EXPECT_LT(ran_before_stop, 2000u) << "the stop falls in the middle of the delivery";
  run("join E1 77 Alice\nwait 600\nsync\nplayers\nquit\n", "60");
  EXPECT_EQ(runs.size(), 2000u);
  for (const auto& [text, times] : runs) EXPECT_EQ(times, 1) << text;
  EXPECT_FALSE(escaped);
  EXPECT_EQ(store.Counts()["waiting_commands"], 0);
  // "[world]   E1 linked 77 "Alice" alive", with " admin" or " cheat" after it for a bit left set.
  std::ifstream out(dir / "out");
  bool listed = false;
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("[world]   E1 linked", 0) != 0) continue;
    listed = true;
    const std::string after_name = line.substr(line.rfind('"'));
    EXPECT_EQ(after_name.find(" admin"), std::string::npos) << line;
    EXPECT_EQ(after_name.find(" cheat"), std::string::npos) << line;
  }
  EXPECT_TRUE(listed) << std::ifstream(dir / "out").rdbuf();
  fs::remove_all(dir);
}


// An admin drops an update beside the library while a buyer's 300 commands run: the host's
// automatic reloading (PluginManager::DetectPluginChanges) saves the world, unloads, copies and
// loads in one call. Every command runs once, the store has every result, and the plugin that
// comes back has one hook and one timer.
TEST(DevServerTest, AnAutomaticReloadInTheMiddleOfADeliveryLosesNothing) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("autoreload", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  nlohmann::json cmds = nlohmann::json::array();
  for (int c = 0; c < 300; ++c)
    cmds.push_back({{"id", c}, {"str", "giveitem {eosid} item-" + std::to_string(c)}, {"state", "Must be online"}});
  store.AddPayments(nlohmann::json::array(
      {{{"id", "big"}, {"action", "purchase"}, {"eos_id", "E1"}, {"username", ""}, {"cmds", cmds}}}));
  InteractiveServer server(dir, "--speed 60 --command-ms 5 --connect-to " + store.connect_to() + " --cacert " +
                                    store.cert());
  ASSERT_TRUE(server.started());
  server.Send("join E1 77 Alice\n");
  auto count = [&](const std::string& part) {
    int n = 0;
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);) n += line.find(part) != std::string::npos;
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (count("\"console_command\"") < 100 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  server.Send("update\n");
  while ((count("\"console_command\"") < 300 || count("\"plugin_loaded\"") < 2) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  server.Send("wait 120\nsync\necho done\n");
  ASSERT_TRUE(server.Reached("done")) << server.Output();
  EXPECT_EQ(server.Quit(), 0) << server.Output();

  std::map<std::string, int> runs;
  std::vector<nlohmann::json> loads;
  int saves = 0, ran_before_reload = -1;
  for (const auto& e : server.Events()) {
    EXPECT_NE(e["type"], "exception") << e.dump();
    if (e["type"] == "console_command") ++runs[e["text"].get<std::string>()];
    if (e["type"] == "world_saved") ++saves;
    if (e["type"] == "plugin_loaded") {
      loads.push_back(e);
      if (loads.size() == 2) ran_before_reload = static_cast<int>(runs.size());
    }
    if (e["type"] == "plugin_unloaded") {
      EXPECT_EQ(e["clean"], true) << e.dump();
    }
  }
  EXPECT_EQ(saves, 1);
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_GT(ran_before_reload, 0);
  EXPECT_LT(ran_before_reload, 300) << "the reload falls in the middle of the delivery";
  EXPECT_EQ(loads[1]["hooks"], 1);
  EXPECT_EQ(loads[1]["registrations"], loads[0]["registrations"]) << "one hook, one timer, its commands";
  EXPECT_EQ(runs.size(), 300u);
  for (const auto& [text, times] : runs) EXPECT_EQ(times, 1) << text;
  EXPECT_FALSE(fs::exists(plugin_dir / "Gildmark_DadUZ.so.ArkApi"));
  const auto counts = store.Counts();
  EXPECT_EQ(counts["waiting_commands"], 0) << counts.dump();
  EXPECT_EQ(counts["done_payments"], 1) << counts.dump();
  fs::remove_all(dir);
}

// A real RCON tool (the npm package rcon-client) against the game's RCON as the launch line sets
// it up: a wrong password refused, ten commands in a row on one connection each answered by
// exactly one packet carrying its id (the host's SendMessageW is one packet, ArkBaseApi.cpp),
// and a client that goes away right after sending leaves the server answering the next one.
TEST(DevServerTest, ARealRconClientGetsOneAnswerPerCommand) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("rcon", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  InteractiveServer server(dir,
                           "--speed 10 --launch-line 'ArkAscendedServer.exe "
                           "TheIsland_WP?listen?RCONEnabled=True?RCONPort=0?ServerAdminPassword=letmein' "
                           "--connect-to " + store.connect_to() + " --cacert " + store.cert());
  ASSERT_TRUE(server.started());
  const std::string marker = "[server] RCON listening on 127.0.0.1:";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (server.Output().find(marker) == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const std::string output = server.Output();
  ASSERT_NE(output.find(marker), std::string::npos) << output;
  const int port = std::stoi(output.substr(output.find(marker) + marker.size()));

  const std::vector<std::string> commands = {
      "gildmark.status", "gildmark.connect", "plugins.unload Gildmark_DadUZ", "gildmark.status",
      "plugins.load Gildmark_DadUZ", "plugins.load Gildmark_DadUZ", "listplayers", "GILDMARK.STATUS",
      "gildmark.connect", "listplayers"};
  std::string command = std::string("node ") + GILDMARK_RCON_SESSION + " " + std::to_string(port) + " letmein";
  for (auto& c : commands) command += " '" + c + "'";
  FILE* session = popen((command + " 2>&1").c_str(), "r");
  ASSERT_NE(session, nullptr);
  std::string printed;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, session)) printed += buffer;
  EXPECT_EQ(WEXITSTATUS(pclose(session)), 0) << printed;
  const auto result = nlohmann::json::parse(printed, nullptr, false);
  ASSERT_TRUE(result.is_object()) << printed;

  EXPECT_EQ(result["wrong_password"], "Authentication failed");
  ASSERT_EQ(result["answers"].size(), commands.size()) << printed;
  auto answer = [&](size_t i) { return result["answers"][i]["answer"].get<std::string>(); };
  EXPECT_EQ(answer(0).rfind("Gildmark ", 0), 0u) << answer(0);
  EXPECT_FALSE(answer(1).empty()) << "asking the store, or a request is already out";
  EXPECT_EQ(answer(2), "Successfully unloaded plugin");
  EXPECT_EQ(answer(3), "Server received, But no response!! ") << "no plugin has the command now";
  EXPECT_EQ(answer(4), "Successfully loaded plugin");
  EXPECT_EQ(answer(5), "Failed to load plugin - Plugin Gildmark_DadUZ was already loaded");
  EXPECT_EQ(answer(6), "No Players Connected");
  const auto& packets = result["packets"];
  ASSERT_EQ(packets.size(), commands.size()) << "one packet per command: " << printed;
  for (size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i]["id"], packets[0]["id"].get<int>() + static_cast<int>(i)) << printed;
    EXPECT_EQ(packets[i]["type"], 0);
  }
  EXPECT_EQ(result["after_drop"].get<std::string>().rfind("Gildmark ", 0), 0u) << printed;
  EXPECT_EQ(server.Quit(), 0) << server.Output();
  for (const auto& e : server.Events()) EXPECT_NE(e["type"], "exception") << e.dump();
  fs::remove_all(dir);
}

// Admins update a plugin with the host's own commands. Unload and load, typed in the console and
// sent over RCON, each pair while idle, while a request to a slow store is out, and in the middle
// of a large delivery: the server stays up, every unload is clean, nothing is lost or run twice,
// and a buyer who joins after the reloads is served by the reloaded plugin.
TEST(DevServerTest, TheHostsUnloadAndLoadCommandsLoseNothing) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("reload", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  // Each console command takes a millisecond of real time, so a delivery of thousands spans
  // seconds of frames.
  InteractiveServer server(dir, "--speed 10 --command-ms 1 --connect-to " + store.connect_to() + " --cacert " +
                                    store.cert());
  ASSERT_TRUE(server.started());
  auto send = [&](const std::string& lines) { server.Send(lines); };
  auto reached = [&](const std::string& marker) { return server.Reached(marker); };
  const std::string console_unload = "console admin plugins.unload Gildmark_DadUZ\n";
  const std::string console_load = "console admin plugins.load Gildmark_DadUZ\n";
  const std::string rcon_unload = "rcon plugins.unload Gildmark_DadUZ\n", rcon_load = "rcon plugins.load Gildmark_DadUZ\n";

  send("sync\njoin admin 1 Boss\nadmin admin on\n");
  send(console_unload + console_load + "sync\n" + rcon_unload + rcon_load + "sync\necho idle\n");
  ASSERT_TRUE(reached("idle")) << server.Output();

  // A load's first request is out for 1.5 s when the next unload comes.
  store.SetFaults({{"delay_every", 1}, {"delay_ms", 1500}});
  send(console_unload + console_load + console_unload + console_load + rcon_unload + rcon_load + rcon_unload +
       rcon_load + "sync\necho slow\n");
  ASSERT_TRUE(reached("slow")) << server.Output();
  store.SetFaults(nlohmann::json::object());

  // A thousand payments of two commands that need nobody online.
  constexpr int kPayments = 1000;
  nlohmann::json big = nlohmann::json::array();
  for (int p = 1; p <= kPayments; ++p)
    big.push_back({{"id", std::to_string(p)}, {"action", "purchase"}, {"eos_id", "offline" + std::to_string(p)},
                   {"username", ""},
                   {"cmds", {{{"id", 2 * p}, {"str", "say a" + std::to_string(p)}, {"state", ""}},
                             {{"id", 2 * p + 1}, {"str", "say b" + std::to_string(p)}, {"state", ""}}}}});
  store.AddPayments(big);
  auto count = [&](const std::string& part, const std::string& also = "") {
    int n = 0;
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);)
      if (line.find(part) != std::string::npos && line.find(also) != std::string::npos) ++n;
    return n;
  };
  auto said = [&] { return count("\"console_command\"", "\"say "); };
  auto await = [&](const std::function<int()>& what, int at_least) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (what() < at_least && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return what() >= at_least;
  };
  // Each pair goes in once the delivery is seen under way (polls come on their own as time
  // passes), and the next waits for its load; then the rest is left to finish.
  for (const std::string& pair :
       {rcon_unload + rcon_load, rcon_unload + rcon_load, console_unload + console_load, console_unload + console_load}) {
    ASSERT_TRUE(await(said, said() + 20)) << server.Output();
    const int loads = count("\"plugin_loaded\"");
    send(pair);
    ASSERT_TRUE(await([&] { return count("\"plugin_loaded\""); }, loads + 1));
  }
  ASSERT_TRUE(await(said, 2 * kPayments)) << server.Output();
  send("sync\necho big\n");
  ASSERT_TRUE(reached("big")) << server.Output();

  store.AddPayments(nlohmann::json::array(
      {{{"id", "buyer"}, {"action", "purchase"}, {"eos_id", "E7"}, {"username", ""},
        {"cmds", {{{"id", 9}, {"str", "give {eosid} 9"}, {"state", "Must be online"}}}}}}));
  send("join E7 7 Buyer\nwait 61\nsync\n");
  EXPECT_EQ(server.Quit(), 0) << server.Output();

  std::map<std::string, int> runs;
  int loaded = 0, unloaded = 0, unclean = 0, unloads_mid_delivery = 0, big_so_far = 0, big_at_last_unload = -1;
  bool buyer_served_after_reload = false;
  for (const auto& e : server.Events()) {
    EXPECT_NE(e["type"], "exception") << e.dump();
    if (e["type"] == "plugin_loaded") ++loaded;
    if (e["type"] == "plugin_unloaded") {
      ++unloaded;
      if (e["clean"] != true) ++unclean;
      // Big commands ran since the last unload and more are to come: this one came mid-delivery.
      if (big_so_far > 0 && big_so_far < 2 * kPayments && big_so_far != big_at_last_unload) ++unloads_mid_delivery;
      big_at_last_unload = big_so_far;
    }
    if (e["type"] == "console_command") {
      const std::string text = e["text"];
      ++runs[text];
      if (text.rfind("say ", 0) == 0) ++big_so_far;
      if (text == "give E7 9") buyer_served_after_reload = loaded == 11;
    }
  }
  EXPECT_EQ(loaded, 11);
  EXPECT_EQ(unloaded, 11) << "ten by command, one at the end";
  EXPECT_EQ(unclean, 0);
  EXPECT_EQ(unloads_mid_delivery, 4) << "by RCON and by console in the middle of the delivery";
  int once = 0;
  for (auto& [text, count] : runs) {
    EXPECT_EQ(count, 1) << text << " ran " << count << " times";
    once += count == 1;
  }
  EXPECT_EQ(once, 2 * kPayments + 1) << "every command ran";
  EXPECT_TRUE(buyer_served_after_reload);
  const auto counts = store.Counts();
  EXPECT_EQ(counts["done_payments"], kPayments + 1) << counts.dump();
  fs::remove_all(dir);
}

// A store behind something that refuses large bodies with 413, at a size the plugin is not
// told: the results of thousands of payments all reach it in batches, and a purchase made
// afterwards is delivered.
TEST(DevServerTest, AStoreRefusingLargeBodiesGetsEveryResultAndDeliveryGoesOn) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("413", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr", {"--max-post-bytes", "20000"});
  constexpr int kPayments = 4000;
  nlohmann::json payments = nlohmann::json::array();
  for (int p = 1; p <= kPayments; ++p)
    payments.push_back({{"id", std::to_string(p)}, {"action", "purchase"}, {"eos_id", "away"}, {"username", ""},
                        {"cmds", {{{"id", 2 * p}, {"str", "say a" + std::to_string(p)}, {"state", ""}},
                                  {{"id", 2 * p + 1}, {"str", "say b" + std::to_string(p)}, {"state", ""}}}}});
  store.AddPayments(payments);
  InteractiveServer server(dir, "--speed 20 --connect-to " + store.connect_to() + " --cacert " + store.cert());
  ASSERT_TRUE(server.started());
  server.Send("sync\njoin p 1 P\n");
  // Polls until the store has every result (a slow machine, or a sanitizer build, takes more).
  auto state = store.State();
  for (int poll = 0; poll < 8 && state["counts"]["done_payments"] != kPayments; ++poll) {
    server.Send("wait 61\nsync\necho poll " + std::to_string(poll) + "\n");
    ASSERT_TRUE(server.Reached("poll " + std::to_string(poll))) << server.Output();
    state = store.State();
  }
  EXPECT_EQ(state["counts"]["done_payments"], kPayments) << "every result reached the store";
  store.AddPayments(nlohmann::json::array(
      {{{"id", "later"}, {"action", "purchase"}, {"eos_id", "away"}, {"username", ""},
        {"cmds", {{{"id", 1}, {"str", "say later"}, {"state", ""}}}}}}));
  server.Send("wait 61\nsync\n");
  EXPECT_EQ(server.Quit(), 0) << server.Output();

  std::map<std::string, int> runs;
  for (const auto& e : server.Events()) {
    EXPECT_NE(e["type"], "exception") << e.dump();
    if (e["type"] == "console_command") ++runs[e["text"].get<std::string>()];
  }
  EXPECT_EQ(runs.size(), 2u * kPayments + 1);
  for (const auto& [text, count] : runs) EXPECT_EQ(count, 1) << text;
  state = store.State();
  EXPECT_EQ(state["counts"]["done_payments"], kPayments + 1);
  int too_large = 0;
  for (const auto& request : state["requests"])
    too_large += request["verdict"].get<std::string>().rfind("answered 413", 0) == 0;
  EXPECT_GE(too_large, 1) << "the store did refuse bodies";
  fs::remove_all(dir);
}

// Inputs of an unusual size never hold the game thread: one payment of 40,000 commands for a
// buyer online, then an admin's connection test over RCON while the store holds a reply of
// megabytes. The stand-in records every plugin call of half a millisecond or more.
TEST(DevServerTest, AHugePaymentAndAConnectionTestOverMegabytesNeverHoldTheGameThread) {
  namespace fs = std::filesystem;
  // Polls ten minutes apart: the scheduled poll of the megabytes (held back for a buyer who is
  // away) is not out when the admin's test comes, even in the sanitizer build.
  const auto [dir, plugin_dir] =
      MakeTestRoot("huge", R"({"key":"srv.sec.thr","request_interval_in_minutes":10,"order_received_text":"hi"})");
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  constexpr int kCommands = 40000;
  nlohmann::json cmds = nlohmann::json::array();
  for (int c = 1; c <= kCommands; ++c) cmds.push_back({{"id", c}, {"str", "say c" + std::to_string(c)}, {"state", ""}});
  store.AddPayments(nlohmann::json::array(
      {{{"id", "big"}, {"action", "purchase"}, {"eos_id", "p"}, {"username", ""}, {"cmds", cmds}}}));
  InteractiveServer server(dir, "--speed 100 --connect-to " + store.connect_to() + " --cacert " + store.cert());
  ASSERT_TRUE(server.started());
  server.Send("sync\njoin p 1 P\nwait 601\nsync\n");
  // Until the store has the results (the sanitizer build takes many times longer).
  for (int step = 0; step < 600 && store.Counts()["done_payments"] != 1; ++step) {
    server.Send("wait 2\nsync\necho step " + std::to_string(step) + "\n");
    ASSERT_TRUE(server.Reached("step " + std::to_string(step))) << server.Output();
  }
  // Megabytes waiting, for a buyer who is away: the test reads them, and nothing runs. Long
  // commands rather than many, so that a regular poll of them (which holds each back) is short
  // even under the sanitizers.
  nlohmann::json waiting = nlohmann::json::array();
  const std::string padding(1000, 'x');
  for (int p = 0; p < 1500; ++p) {
    nlohmann::json held = nlohmann::json::array();
    for (int c = 0; c < 3; ++c)
      held.push_back({{"id", 3 * p + c},
                      {"str", "give {eosid} Blueprint'/Game/Items/Item_" + std::to_string(3 * p + c) + padding + "' 1 0 0"},
                      {"state", "Must be online"}});
    waiting.push_back({{"id", "w" + std::to_string(p)}, {"action", "purchase"}, {"eos_id", "away"}, {"username", ""},
                       {"cmds", held}});
  }
  ASSERT_GT(waiting.dump().size(), size_t{4} << 20);
  for (size_t from = 0; from < waiting.size(); from += 500) {
    nlohmann::json part = nlohmann::json::array();
    for (size_t p = from; p < std::min(waiting.size(), from + 500); ++p) part.push_back(waiting[p]);
    store.AddPayments(part);
  }
  // The answer goes to the status. A regular poll of the same list may be out when the test
  // comes ("Please wait"): then it is asked again a little later.
  auto last_rcon_reply = [&] {
    std::string last;
    std::ifstream in(dir / "events");
    for (std::string line; std::getline(in, line);) {
      const auto e = nlohmann::json::parse(line, nullptr, false);
      if (e.is_object() && e["type"] == "rcon_reply") last = e["text"];
    }
    return last;
  };
  for (int attempt = 0; attempt < 20; ++attempt) {
    server.Send("wait 5\nsync\nrcon gildmark.connect\nsync\nrcon gildmark.status\necho tested " +
                std::to_string(attempt) + "\n");
    ASSERT_TRUE(server.Reached("tested " + std::to_string(attempt))) << server.Output();
    if (last_rcon_reply().find("Gildmark API connection successful.") != std::string::npos) break;
  }
  EXPECT_EQ(server.Quit(), 0) << server.Output();

  std::map<std::string, int> runs;
  double longest_ms = 0;
  std::string longest;
  std::vector<std::string> answers;
  for (const auto& e : server.Events()) {
    EXPECT_NE(e["type"], "exception") << e.dump();
    if (e["type"] == "console_command") ++runs[e["text"].get<std::string>()];
    if (e["type"] == "rcon_reply") answers.push_back(e["text"]);
    // Frames and commands; an unload waits for the plugin's own thread by design.
    if (e["type"] == "game_thread" && e["call"] != "Plugin_Unload" && e["ms"].get<double>() > longest_ms) {
      longest_ms = e["ms"].get<double>();
      longest = e.dump();
    }
  }
  EXPECT_EQ(runs.size(), size_t{kCommands});
  for (const auto& [text, count] : runs) EXPECT_EQ(count, 1) << text;
  EXPECT_EQ(store.Counts()["done_payments"], 1) << "the big payment's results reached the store";
#if defined(__SANITIZE_ADDRESS__)
  const double limit_ms = 100;  // the sanitizers make every step several times slower
#else
  const double limit_ms = 25;
#endif
  std::cout << "  the longest plugin call on the game thread: " << longest << "\n";
  EXPECT_LE(longest_ms, limit_ms) << longest;
  ASSERT_GE(answers.size(), 2u) << server.Output();
  EXPECT_NE(answers.back().find("Gildmark API connection successful."), std::string::npos) << answers.back();
  fs::remove_all(dir);
}

// gildmark.status over RCON, as a remote admin tool sends it: after a delivery whose buyer is
// offline it names that buyer; after the store answers 503 it shows the 503 and the next poll.
TEST(DevServerTest, StatusOverRconNamesTheBuyerHeldBackAndShowsARefusal) {
  namespace fs = std::filesystem;
  const auto [dir, plugin_dir] = MakeTestRoot("status", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  store.AddPayments(nlohmann::json::array(
      {{{"id", "1"}, {"action", "purchase"}, {"eos_id", "E5"}, {"username", ""},
        {"cmds", {{{"id", 1}, {"str", "give {eosid} 1"}, {"state", "Must be online"}}}}}}));
  InteractiveServer server(dir, "--speed 20 --connect-to " + store.connect_to() + " --cacert " + store.cert());
  ASSERT_TRUE(server.started());
  server.Send("sync\njoin p 1 P\nwait 61\nsync\nrcon gildmark.status\necho held\n");
  ASSERT_TRUE(server.Reached("held")) << server.Output();
  store.SetFaults({{"status_every", 1}, {"status", 503}, {"retry_after", "120"}});
  server.Send("wait 61\nsync\nrcon gildmark.status\n");
  EXPECT_EQ(server.Quit(), 0) << server.Output();
  std::vector<std::string> answers;
  for (const auto& e : server.Events())
    if (e["type"] == "rcon_reply") answers.push_back(e["text"]);
  ASSERT_EQ(answers.size(), 2u) << server.Output();
  EXPECT_NE(answers[0].find("Held back for offline buyers: 1 buyer (EOS id E5)"), std::string::npos) << answers[0];
  EXPECT_NE(answers[1].find("(GET): 503 Service Unavailable"), std::string::npos) << answers[1];
  // A single fault waits for the next regular poll only, which may be due by now.
  EXPECT_TRUE(answers[1].find("Next poll in about") != std::string::npos ||
              answers[1].find("Next poll due now") != std::string::npos)
      << answers[1];
  fs::remove_all(dir);
}

}  // namespace

namespace two_servers {

namespace fs = std::filesystem;

struct ServerRun {
  std::string launch_line;
  std::vector<std::string> buyers;
  const gildmark::testing::StoreProcess* store;
  std::vector<nlohmann::json> events;
};

// 200 payments, each with a command that needs nobody online and one for its buyer, whose buyers
// are spread over the servers.
nlohmann::json Payments(const std::vector<ServerRun*>& runs, int count, int first_id) {
  nlohmann::json payments = nlohmann::json::array();
  for (int i = 0; i < count; ++i) {
    const ServerRun& run = *runs[i % runs.size()];
    const std::string buyer = run.buyers[(i / runs.size()) % run.buyers.size()];
    const int id = first_id + i;
    payments.push_back({{"id", "pay-" + std::to_string(id)}, {"action", "purchase"}, {"eos_id", buyer},
                        {"username", ""},
                        {"cmds", {{{"id", 2 * id}, {"str", "say nobody " + std::to_string(id)}, {"state", ""}},
                                  {{"id", 2 * id + 1}, {"str", "give {eosid} " + std::to_string(id)},
                                   {"state", "Must be online"}}}}});
  }
  return payments;
}

// Starts every server over `root` at once, runs them 10 simulated minutes (10 s), and reads their
// events.
void RunTogether(const fs::path& dir, std::vector<ServerRun*> runs) {
  std::string command = "status=0; pids=";
  for (size_t i = 0; i < runs.size(); ++i) {
    const fs::path own = dir / ("server" + std::to_string(i));
    fs::create_directories(own);
    std::ofstream script(own / "script");
    script << "sync\n";
    for (size_t b = 0; b < runs[i]->buyers.size(); ++b)
      script << "join " << runs[i]->buyers[b] << " " << 100 * (i + 1) + b << " " << runs[i]->buyers[b] << "\n";
    script << "wait 600\nsync\nquit\n";
    command += "; " + std::string(GILDMARK_DEVSERVER) + " --root " + (dir / "root").string() + " --plugin " +
               GILDMARK_PLUGIN_PATH + " --script " + (own / "script").string() + " --events " +
               (own / "events").string() + " --speed 60 --launch-line '" + runs[i]->launch_line +
               "' --connect-to " + runs[i]->store->connect_to() + " --cacert " + runs[i]->store->cert() + " > " +
               (own / "out").string() + " 2>&1 & pids=\"$pids $!\"";
  }
  command += "; for p in $pids; do wait $p || status=1; done; exit $status";
  const int status = std::system(command.c_str());
  for (size_t i = 0; i < runs.size(); ++i) {
    const fs::path own = dir / ("server" + std::to_string(i));
    EXPECT_EQ(status, 0) << std::ifstream(own / "out").rdbuf();
    std::ifstream in(own / "events");
    for (std::string line; std::getline(in, line);) runs[i]->events.push_back(nlohmann::json::parse(line));
  }
}

// How often each command text ran, across the servers.
std::map<std::string, int> Runs(const std::vector<ServerRun*>& runs) {
  std::map<std::string, int> count;
  for (const ServerRun* run : runs)
    for (const auto& e : run->events) {
      if (e["type"] == "console_command") ++count[e["text"].get<std::string>()];
      EXPECT_NE(e["type"], "exception") << e.dump();
    }
  return count;
}

void ExpectEachRanOnceWhereItBelongs(const std::vector<ServerRun*>& runs, int count, int first_id) {
  const std::map<std::string, int> ran = Runs(runs);
  int missing = 0, twice = 0;
  for (int i = 0; i < count; ++i) {
    const int id = first_id + i;
    auto it = ran.find("say nobody " + std::to_string(id));
    if (it == ran.end()) ++missing;
    else if (it->second > 1) ++twice;
  }
  // Each buyer's command on the server they play on, once.
  for (size_t s = 0; s < runs.size(); ++s) {
    std::map<std::string, int> here;
    for (const auto& e : runs[s]->events)
      if (e["type"] == "console_command") ++here[e["text"].get<std::string>()];
    for (int i = 0; i < count; ++i) {
      if (static_cast<size_t>(i) % runs.size() != s) continue;
      const int id = first_id + i;
      const std::string buyer = runs[s]->buyers[(i / runs.size()) % runs[s]->buyers.size()];
      const std::string text = "give " + buyer + " " + std::to_string(id);
      if (here[text] == 0) ++missing;
      if (ran.count(text) && ran.at(text) > 1) ++twice;
    }
  }
  EXPECT_EQ(missing, 0) << "commands never run";
  EXPECT_EQ(twice, 0) << "commands run more than once";
}

// Two servers over one folder and one key: each purchase is run once, by whichever server
// fetched it or holds its buyer, and the store has every result.
TEST(DevServerTest, TwoServersOverOneFolderAndOneKeyRunEachCommandOnce) {
  const auto [dir, plugin_dir] = MakeTestRoot("two", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  ServerRun island{"ShooterGameServer TheIsland_WP?listen?Port=7777", {"IA", "IB", "IC", "ID", "IE"}, &store, {}};
  ServerRun scorched{"ShooterGameServer ScorchedEarth_WP?listen?Port=7779", {"SA", "SB", "SC", "SD", "SE"}, &store,
                     {}};
  const std::vector<ServerRun*> runs = {&island, &scorched};
  store.AddPayments(Payments(runs, 200, 1));
  RunTogether(dir, runs);

  ExpectEachRanOnceWhereItBelongs(runs, 200, 1);
  const auto state = store.State();
  EXPECT_EQ(state["counts"]["done_payments"], 200) << "acknowledged";
  EXPECT_EQ(state["counts"]["waiting_payments"], 0);
  for (const auto& [payment, commands] : state["executed_reports"].items())
    for (const auto& [command, times] : commands.items()) EXPECT_EQ(times, 1) << payment << " " << command;
  // Both wrote the shared logs, each line saying which.
  std::stringstream info;
  info << std::ifstream(plugin_dir / "info.log").rdbuf();
  EXPECT_NE(info.str().find("] [TheIsland_WP-7777] Executing command"), std::string::npos);
  EXPECT_NE(info.str().find("] [ScorchedEarth_WP-7779] Executing command"), std::string::npos);
  // Both added to the one delivery history: every line whole, each command once.
  std::ifstream history(plugin_dir / "deliveries.log");
  std::map<std::string, int> lines;
  std::set<std::string> servers;
  for (std::string line; std::getline(history, line);) {
    const auto entry = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(entry.is_object()) << "a torn line: " << line;
    ++lines[entry["payment"].get<std::string>() + "/" + entry["command"].get<std::string>()];
    servers.insert(entry["server"].get<std::string>());
  }
  EXPECT_EQ(lines.size(), 400u) << "two commands a payment";
  for (const auto& [command, times] : lines) EXPECT_EQ(times, 1) << command;
  EXPECT_EQ(servers.size(), 2u);
  fs::remove_all(dir);
}

// A lock file that misbehaves never lets two servers deliver one purchase: its name taken by
// something that cannot be opened while they start, then the file deleted again and again while
// they run.
TEST(DevServerTest, TwoServersRunEachCommandOnceWhateverHappensToTheLockFile) {
  const auto [dir, plugin_dir] = MakeTestRoot("lockfile", kOneKeyConfig);
  gildmark::testing::StoreProcess store((dir / "tls").string(), "srv.sec.thr");
  ServerRun island{"ArkAscendedServer TheIsland_WP?listen?Port=7777", {"IA"}, &store, {}};
  ServerRun scorched{"ArkAscendedServer ScorchedEarth_WP?listen?Port=7779", {"SA"}, &store, {}};
  nlohmann::json payments = nlohmann::json::array();
  for (int id = 1; id <= 150; ++id)
    payments.push_back({{"id", "pay-" + std::to_string(id)}, {"action", "purchase"}, {"eos_id", "away"},
                        {"username", ""},
                        {"cmds", {{{"id", id}, {"str", "say nobody " + std::to_string(id)}, {"state", ""}}}}});
  store.AddPayments(payments);
  const fs::path lock = plugin_dir / "store-turns.lock";
  fs::create_directories(lock / "in the way");
  std::atomic<int> deletions{0};
  std::thread meddler([&] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    fs::remove_all(lock);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
      std::error_code ec;
      if (fs::remove(lock, ec)) ++deletions;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  RunTogether(dir, {&island, &scorched});
  meddler.join();

  EXPECT_GT(deletions, 10);
  const std::map<std::string, int> ran = Runs({&island, &scorched});
  int missing = 0, twice = 0;
  for (int id = 1; id <= 150; ++id) {
    auto it = ran.find("say nobody " + std::to_string(id));
    if (it == ran.end()) ++missing;
    else if (it->second > 1) ++twice;
  }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(store.Counts()["done_payments"], 150);
  std::stringstream err;
  err << std::ifstream(plugin_dir / "err.log").rdbuf();
  EXPECT_NE(err.str().find("lest a purchase be delivered twice"), std::string::npos) << err.str();
  fs::remove_all(dir);
}

// The same with an entry and a key for each server: each polls its own store with its own key
// and writes only its own folder.
TEST(DevServerTest, TwoListedServersEachUseTheirOwnKeyAndFolder) {
  const auto [dir, plugin_dir] = MakeTestRoot("listed", R"({"key":"YOUR_API_KEY","request_interval_in_minutes":1,
      "order_received_text":"hi","servers":{"Island":{"key":"isl.sec1.thr"},"Scorched":{"key":"sco.sec2.thr"}}})");
  gildmark::testing::StoreProcess island_store((dir / "tls1").string(), "isl.sec1.thr");
  gildmark::testing::StoreProcess scorched_store((dir / "tls2").string(), "sco.sec2.thr");
  ServerRun island{"ShooterGameServer TheIsland_WP?listen -GildmarkInstance=Island", {"IA", "IB"}, &island_store, {}};
  ServerRun scorched{"ShooterGameServer ScorchedEarth_WP?listen -GildmarkInstance=Scorched", {"SA", "SB"},
                     &scorched_store, {}};
  island_store.AddPayments(Payments({&island}, 100, 1));
  scorched_store.AddPayments(Payments({&scorched}, 100, 1001));
  RunTogether(dir, {&island, &scorched});

  ExpectEachRanOnceWhereItBelongs({&island}, 100, 1);
  ExpectEachRanOnceWhereItBelongs({&scorched}, 100, 1001);
  for (auto* store : {&island_store, &scorched_store}) {
    const auto state = store->State();
    EXPECT_EQ(state["counts"]["done_payments"], 100);
    EXPECT_EQ(state["counts"]["refused"], 0) << "every request signed with the store's own key";
  }
  for (const auto& [run, segment] : {std::pair{&island, "/server/isl/"}, std::pair{&scorched, "/server/sco/"}})
    for (const auto& e : run->events)
      if (e["type"] == "http_request") {
        EXPECT_NE(e["url"].get<std::string>().find(segment), std::string::npos);
      }
  for (const char* name : {"Island", "Scorched"}) {
    EXPECT_TRUE(fs::exists(plugin_dir / "servers" / name / "info.log")) << name;
    EXPECT_TRUE(fs::exists(plugin_dir / "servers" / name / "response.json")) << name;
  }
  for (const char* shared : {"info.log", "err.log", "response.json", "response.pending", "security_admin.dat"})
    EXPECT_FALSE(fs::exists(plugin_dir / shared)) << shared << " written at the top level";
  fs::remove_all(dir);
}

}  // namespace two_servers
