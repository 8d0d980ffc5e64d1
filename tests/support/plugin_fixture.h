// A test fixture over the simulated server: a fresh server directory with the plugin folder,
// the plugin's logger, and verbs to start the store client, answer its requests and look at
// what it did.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host.h"
#include "host/store_https.h"
#include "shell/plugin_entry.h"
#include "portable.h"
#include "sim/simulation.h"
#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/request_target.h"

namespace gildmark::testing {

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = MakeTempDir();
    std::filesystem::create_directories(Dir());
    sim().Reset(root_);
    InitPluginLogger();
  }

  void TearDown() override {
    SetFileFaultHook(nullptr);
    StopClient();
    ReleasePluginLogger();
    EXPECT_TRUE(sim().EscapedExceptions().empty()) << ::testing::PrintToString(sim().EscapedExceptions());
    std::filesystem::remove_all(root_);
  }

  static sim::Simulation& sim() { return sim::Simulation::Get(); }
  std::string Root() const { return root_; }
  std::string Dir() const { return root_ + "/ArkApi/Plugins/Gildmark_DadUZ/"; }
  std::string Read(const std::string& name) const { return ReadAll(Dir() + name); }
  void Write(const std::string& name, const std::string& text) const { WriteAll(Dir() + name, text); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Dir() + name); }
  std::vector<std::string> Lines(const std::string& name) const {
    std::vector<std::string> lines;
    std::ifstream in(Dir() + name);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Log lines without their "[time] " prefix.
  std::vector<std::string> LogMessages(const std::string& name) const {
    std::vector<std::string> out;
    for (auto& line : Lines(name)) {
      const size_t close = line.find("] ");
      out.push_back(close == std::string::npos ? line : line.substr(close + 2));
    }
    return out;
  }

  void WriteConfig(const std::string& key = "srv1.secret2.third3", int interval = 1,
                   const std::string& greeting = "Thank you for your purchase :)") const {
    Write("config.json", nlohmann::json{{"key", key}, {"request_interval_in_minutes", interval},
                                        {"order_received_text", greeting}}
                             .dump());
  }

  // Starts the store client; its first cycle's GET, if any, is answered with `first_reply`.
  StoreClient& StartClient(const std::string& first_reply = "[]") {
    client_ = new StoreClient();
    FinishOffThreadWork();
    if (sim().Scripted().PendingCount() > 0) Respond(200, first_reply);
    return *client_;
  }
  StoreClient& client() { return *client_; }
  void StopClient() {
    delete client_;
    client_ = nullptr;
    g_store_client = nullptr;
  }

  std::vector<sim::HttpRequest> Pending() const { return sim().Scripted().Pending(); }
  sim::HttpRequest OnlyPending() const {
    auto pending = Pending();
    EXPECT_EQ(pending.size(), 1u);
    return pending.empty() ? sim::HttpRequest{} : pending.front();
  }
  void Respond(int status, const std::string& body) {
    if (sim().Scripted().PendingCount() == 0) Settle();  // a request may follow work off the game thread
    ASSERT_TRUE(sim().Scripted().CompleteNext(status, body));
    Settle();
  }
  void FailNetwork() {
    ASSERT_TRUE(sim().Scripted().FailNext());
    Settle();
  }
  // Runs the game thread until the answer has been handled: decoded off the game thread,
  // delivered in as many frames as its slices take, and its results posted.
  static void Settle() {
    for (;;) {
      sim().RunUntilIdle();
      host::WaitForPreparedHttps();
      sim().RunUntilIdle();
      while (g_store_client && g_store_client->delivery) sim().RunFrame(1.0f / 30);
      if (host::PendingOffGameThreadWork() == 0) return;
    }
  }
  // The next scheduled poll that goes out, as the timer tick runs it: game time first passes
  // any wait the store's last answers asked for.
  // A log of results to fold is read on the plugin's own thread first; the request follows.
  void Poll() {
    WaitOutBackoff();
    client_->target->Clear();
    client_->RunRequestCycle(true, false);
    FinishOffThreadWork();
  }
  // What waits on the plugin's own thread, and the game-thread step after it (a request that
  // follows a fold of the results log), without running a frame.
  static void FinishOffThreadWork() {
    host::WaitForPreparedHttps();
    host::RunHttpsCompletions();
  }
  static void WaitOutBackoff() {
    if (!g_store_client) return;
    if (const long long left = g_store_client->backoff.SecondsLeft(GameSeconds()); left > 0)
      AdvanceGameClock(static_cast<float>(left + 1));
  }
  // Poll and answer the GET with the payments.
  void Deliver(const nlohmann::json& payments) {
    Poll();
    Respond(200, payments.dump());
  }

  std::vector<sim::Event> CommandsRun() const { return sim().Events("console_command"); }
  std::vector<std::string> CommandTexts() const {
    std::vector<std::string> out;
    for (auto& e : CommandsRun()) out.push_back(e["text"]);
    return out;
  }

  static nlohmann::json Command(long long id, const std::string& str, const std::string& state = "") {
    return {{"id", id}, {"str", str}, {"state", state}};
  }
  static nlohmann::json Payment(const std::string& id, const std::string& eos_id, const std::string& username,
                                nlohmann::json cmds, const std::string& action = "purchase") {
    return {{"id", id}, {"action", action}, {"eos_id", eos_id}, {"username", username}, {"cmds", std::move(cmds)}};
  }

 private:
  std::string root_;
  StoreClient* client_ = nullptr;
};

// The plugin loaded as the host loads it (its commands and timer registered), with an admin
// online; unloaded as the host unloads it.
class LoadedPluginTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
  }
  void TearDown() override {
    sim().UnloadModule(host::ToUtf8(host::ModulePath()), [] { PluginUnload(); });
    PluginTest::TearDown();
  }
  void Load() {
    PluginLoad();
    Respond(200, "[]");
    sim().Join("admin", 1, "Admin");
    sim().SetAdminBit("admin", true);
  }
};

}  // namespace gildmark::testing
