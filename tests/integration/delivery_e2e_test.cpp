// End to end over HTTPS: the built plugin library in the simulated server, talking through
// libcurl (certificates verified) to the store stand-in, which checks every signature with
// OpenSSL. Each scenario ends with every payment delivered exactly once and acknowledged.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "sim/simulation.h"
#include "store_process.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

class DeliveryE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("gildmark-e2e-" + std::to_string(getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    plugin_dir_ = dir_ / "root" / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
    std::filesystem::create_directories(plugin_dir_);
  }
  void TearDown() override {
    if (handle_) {
      sim().WaitIdle(std::chrono::seconds(5));
      sim().UnloadPlugin(handle_, sim().TimerCallbacks().empty() ? "" : sim().TimerCallbacks()[0].module);
    }
    EXPECT_TRUE(sim().EscapedExceptions().empty());
    sim().Reset("/tmp");
    store_.reset();
    std::filesystem::remove_all(dir_);
  }

  static sim::Simulation& sim() { return sim::Simulation::Get(); }

  void StartStore(std::vector<std::string> extra = {}) {
    store_ = std::make_unique<StoreProcess>((dir_ / "tls").string(), "srv.s3cret.third", extra);
  }
  void LoadPlugin(const std::string& key = "srv.s3cret.third") {
    std::ofstream(plugin_dir_ / "config.json")
        << json{{"key", key}, {"request_interval_in_minutes", 1}, {"order_received_text", "Thanks!"}}.dump();
    sim().Reset((dir_ / "root").string());
    sim::CurlOptions options;
    options.connect_to = {store_->connect_to()};
    options.ca_file = store_->cert();
    sim().SetTransport(sim::MakeCurlTransport(options));
    std::string error;
    handle_ = sim().LoadPlugin(GILDMARK_PLUGIN_PATH, &error);
    ASSERT_NE(handle_, nullptr) << error;
    Settle();
  }
  void Settle() { ASSERT_TRUE(sim().WaitIdle(std::chrono::seconds(20))); }
  // One interval: the timer polls, and every request it leads to completes.
  void Poll() {
    sim().Advance(60);
    Settle();
  }

  std::map<std::string, int> RunCounts() const {
    std::map<std::string, int> counts;
    for (auto& e : sim().Events("console_command")) ++counts[e["text"].get<std::string>()];
    return counts;
  }
  void ExpectAllDeliveredAndAcknowledged() {
    const json state = store_->State();
    EXPECT_EQ(state["counts"]["waiting_payments"], 0) << state["waiting"].dump();
    for (auto& request : state["requests"]) {
      const std::string verdict = request["verdict"];
      EXPECT_EQ(verdict.rfind("refused", 0), std::string::npos) << request.dump();
    }
    EXPECT_EQ(ReadFile("response.json"), "{}");
  }
  // In the results log, or in response.json once a cycle has folded the log into it.
  bool ResultsWaiting() const {
    return std::filesystem::exists(plugin_dir_ / "response.pending") || ReadFile("response.json") != "{}";
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(plugin_dir_ / name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static json Pay(const std::string& id, const std::string& eos, const std::string& user, json cmds) {
    return {{"id", id}, {"action", "purchase"}, {"eos_id", eos}, {"username", user}, {"cmds", cmds}};
  }
  static json Cmd(int id, const std::string& str, const std::string& state = "") {
    return {{"id", id}, {"str", str}, {"state", state}};
  }

  std::filesystem::path dir_, plugin_dir_;
  std::unique_ptr<StoreProcess> store_;
  void* handle_ = nullptr;
};

TEST_F(DeliveryE2eTest, TheRoadOfOnePayment) {
  StartStore();
  store_->AddPayments(json::array({Pay("p1", "E1", "", json::array({Cmd(1, "give {eosid} 1", "Must be online")}))}));
  LoadPlugin();
  sim().Join("E1", 10, "Alice");
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"give E1 1", 1}}));
  EXPECT_EQ(sim().ChatTo("E1"), std::vector<std::string>{"Thanks!"});
  ExpectAllDeliveredAndAcknowledged();
  Poll();
  EXPECT_EQ(RunCounts()["give E1 1"], 1);
}

TEST_F(DeliveryE2eTest, HeldBackUntilTheBuyerJoins) {
  StartStore();
  store_->AddPayments(json::array({Pay("p1", "E2", "", json::array({Cmd(1, "give {eosid} 5", "Must be online"),
                                                                    Cmd(2, "broadcast sale")}))}));
  LoadPlugin();
  sim().Join("other", 1, "Other");
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"broadcast sale", 1}}));
  EXPECT_EQ(store_->Counts()["waiting_commands"], 1);
  Poll();
  EXPECT_EQ(RunCounts().count("give E2 5"), 0u);
  sim().Join("E2", 2, "Buyer");
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"broadcast sale", 1}, {"give E2 5", 1}}));
  ExpectAllDeliveredAndAcknowledged();
}

TEST_F(DeliveryE2eTest, TheStoreDownForSeveralPollsLosesNothing) {
  StartStore();
  store_->AddPayments(json::array({Pay("p1", "E1", "", json::array({Cmd(1, "give a"), Cmd(2, "give b")}))}));
  LoadPlugin();
  sim().Join("E1", 1, "A");
  store_->SetFaults({{"drop_every", 1}, {"only", "POST"}});  // delivered, but the report is lost
  Poll();
  EXPECT_TRUE(ResultsWaiting());
  store_->SetFaults({{"fail_every", 1}});
  Poll();
  Poll();
  store_->SetFaults({{"status_every", 1}, {"status", 429}});
  Poll();
  EXPECT_TRUE(ResultsWaiting()) << "results wait while the store is away";
  store_->SetFaults(json::object());
  Poll();
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"give a", 1}, {"give b", 1}}));
  const json state = store_->State();
  EXPECT_EQ(state["counts"]["waiting_payments"], 0);
  EXPECT_EQ(ReadFile("response.json"), "{}");
}

TEST_F(DeliveryE2eTest, AWrongKeyShowsTheStoresAnswerToTheAdmin) {
  StartStore();
  LoadPlugin("srv.wrong.third");
  sim().Join("admin", 9, "Admin");
  sim().SetAdminBit("admin", true);
  sim().ConsoleInput("admin", "gildmark.connect");
  Settle();
  ASSERT_FALSE(sim().ChatTo("admin").empty());
  EXPECT_EQ(sim().ChatTo("admin").back(), "Gildmark: invalid signature");
  std::ofstream(plugin_dir_ / "config.json")
      << json{{"key", "srv.s3cret.third"}, {"request_interval_in_minutes", 1}, {"order_received_text", "x"}}.dump();
  sim().ConsoleInput("admin", "gildmark.connect");
  Settle();
  EXPECT_EQ(sim().ChatTo("admin").back(), "No pending payments found") << "the store's own answer when none wait";
  store_->AddPayments(json::array({Pay("p1", "E1", "", json::array({Cmd(1, "give {eosid} 1", "Must be online")}))}));
  // Over RCON the answer waits for nobody: RCON hears at once, the logs and the status get the
  // verdict.
  sim().RconInput("gildmark.connect");
  Settle();
  EXPECT_EQ(sim().RconReplies().back(),
            "Gildmark is asking the store; run gildmark.status in a few seconds for its answer (it also goes to "
            "info.log or err.log and the server log)");
  sim().RconInput("gildmark.status");
  EXPECT_NE(sim().RconReplies().back().find("The last connection test, 0 s ago (GET): Gildmark API connection "
                                            "successful."),
            std::string::npos)
      << sim().RconReplies().back();
  std::ifstream info(plugin_dir_ / "info.log");
  std::string line, last;
  while (std::getline(info, line)) last = line;
  EXPECT_NE(last.find("Gildmark API connection successful."), std::string::npos) << last;
  EXPECT_TRUE(RunCounts().empty()) << "a connection test delivers nothing";
}

TEST_F(DeliveryE2eTest, QuotedAndGarbledRepliesAndServerErrors) {
  StartStore({"--quote"});
  store_->AddPayments(json::array({Pay("p1", "E1", "", json::array({Cmd(1, "give q")}))}));
  LoadPlugin();
  sim().Join("E1", 1, "A");
  store_->SetFaults({{"quote", true}, {"garble_every", 1}});
  Poll();
  EXPECT_TRUE(RunCounts().empty()) << "a garbled reply delivers nothing";
  store_->SetFaults({{"quote", true}, {"status_every", 1}, {"status", 500}});
  Poll();
  store_->SetFaults({{"quote", true}});
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"give q", 1}}));
  ExpectAllDeliveredAndAcknowledged();
}

TEST_F(DeliveryE2eTest, NonAsciiNamesTravelIntact) {
  StartStore();
  store_->AddPayments(json::array({Pay("p\xc3\xa9", "", "Ren\xc3\xa9\xe2\x80\xa2", json::array({Cmd(1, "say {username} \xe2\x82\xac")}))}));
  LoadPlugin();
  sim().Join("E9", 9, "Ren\xc3\xa9\xe2\x80\xa2");
  Poll();
  EXPECT_EQ(RunCounts(), (std::map<std::string, int>{{"say Ren?? \xe2\x82\xac", 1}}));
  ExpectAllDeliveredAndAcknowledged();
  const json results = store_->State()["results"];
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].contains("p\xc3\xa9"));
}

}  // namespace
}  // namespace gildmark::testing
