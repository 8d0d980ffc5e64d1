// The request cycle: GET or POST by what response.json holds, the in-flight flag, the reply
// target, connection tests, and POST replies that overlap.
#include "plugin_fixture.h"
#include "store/request_cycle.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

class RequestCycleTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    StartClient();
    sim().ClearEvents();
  }
  AShooterPlayerController* Admin() {
    if (!admin_) admin_ = sim().Join("admin", 99, "Admin");
    return admin_;
  }
  void ConnectionTest() {
    client().target->SetPlayer(Admin());
    client().RunRequestCycle(false, true);
  }

 private:
  AShooterPlayerController* admin_ = nullptr;
};

TEST_F(RequestCycleTest, TheFirstRunFlushesResultsOrDiscardsItsReply) {
  StopClient();
  sim().Join("e", 1, "E");
  StartClient();
  EXPECT_TRUE(Pending().empty()) << "the fixture answered the first GET";
  EXPECT_TRUE(CommandsRun().empty());
  StopClient();

  // A reply with payments to the first run delivers nothing.
  new StoreClient();
  Respond(200, json::array({Payment("1", "e", "", json::array({Command(1, "x")}))}).dump());
  EXPECT_TRUE(CommandsRun().empty());
  EXPECT_FALSE(g_store_client->request_in_flight);
  delete g_store_client;

  // Nor does a failed one: it is told to nobody, and the next poll goes out.
  new StoreClient();
  FailNetwork();
  EXPECT_FALSE(g_store_client->request_in_flight);
  EXPECT_TRUE(Lines("info.log").empty());
  EXPECT_TRUE(Lines("err.log").empty());
  AdvanceGameClock(60);  // the next regular poll
  g_store_client->RunRequestCycle(true, false);
  EXPECT_EQ(OnlyPending().method, "GET");
  Respond(200, "[]");
  delete g_store_client;

  Write("response.json", R"({"7":{"action":"a","cmds":{"1":"Executed"}}})");
  new StoreClient();
  auto post = OnlyPending();
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.body, R"({"7":{"action":"a","cmds":{"1":"Executed"}}})");
  Respond(200, "");
  EXPECT_EQ(Read("response.json"), "{}");
  delete g_store_client;
}

TEST_F(RequestCycleTest, WhatResponseJsonHoldsDecidesGetOrPost) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{}", "GET"},   {"[]", "GET"},      {"null", "GET"},  {"", "GET"},      {"not json", "GET"},
      {"0", "POST"},   {"\"\"", "POST"},   {"true", "POST"}, {"[1]", "POST"},  {"{ \"b\" : 1 , \"a\":2 }", "POST"}};
  for (auto& [content, method] : cases) {
    Write("response.json", content);
    Poll();
    auto request = OnlyPending();
    EXPECT_EQ(request.method, method) << content;
    if (method == "POST") {
      EXPECT_EQ(request.body, json::parse(content).dump()) << "compact, keys ascending";
      EXPECT_EQ(request.content_type, "application/json");
    }
    EXPECT_EQ(request.headers.size(), 2u);
    FailNetwork();
    EXPECT_FALSE(client().request_in_flight);
  }
}

TEST_F(RequestCycleTest, OneRequestAtATime) {
  Poll();
  Poll();
  Poll();
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_EQ(LogMessages("info.log"), (std::vector<std::string>{"Please wait a request is already being made...",
                                                               "Please wait a request is already being made..."}));
  FailNetwork();
  EXPECT_TRUE(Lines("err.log").empty()) << "a failed scheduled GET writes nothing";
  EXPECT_EQ(Lines("info.log").size(), 2u);
  Poll();
  EXPECT_EQ(Pending().size(), 1u) << "the flag is clear again";
}

TEST_F(RequestCycleTest, RefusedRequestsClearTheFlag) {
  sim().Scripted().RefuseNext(2);
  Poll();
  EXPECT_FALSE(client().request_in_flight);
  EXPECT_TRUE(Lines("info.log").empty());
  ConnectionTest();
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{std::string(kUnavailableMessage)});
  EXPECT_EQ(client().target->player, nullptr);
  EXPECT_FALSE(client().request_in_flight);
}

TEST_F(RequestCycleTest, ConnectionTestAnswers) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[]", kConnectionSuccessfulMessage},
      {"\"[]\"", kConnectionSuccessfulMessage},
      {"[{\"id\":\"1\"}]", kConnectionSuccessfulMessage},
      {"{}", "{}"},
      {"ok", "ok"},
      {"\"Gildmark: bad signature\"", "Gildmark: bad signature"},
      {"\"", "\""},
  };
  for (auto& [reply, answer] : cases) {
    ConnectionTest();
    Respond(200, reply);
    EXPECT_EQ(sim().ChatTo("admin").back(), answer) << reply;
    EXPECT_EQ(client().target->player, nullptr);
    EXPECT_FALSE(client().request_in_flight);
  }
  EXPECT_TRUE(CommandsRun().empty()) << "a connection test never delivers";
  // The unavailability message says why, and when the next poll is: a test's failure leaves
  // the schedule as it was.
  ConnectionTest();
  Respond(500, "");
  EXPECT_EQ(sim().ChatTo("admin").back(),
            std::string(kUnavailableMessage) + " (500 Internal Server Error; the next poll as scheduled)");
  ConnectionTest();
  Respond(200, "");
  EXPECT_EQ(sim().ChatTo("admin").back(), std::string(kUnavailableMessage) + " (the store's answer was empty)");
}

TEST_F(RequestCycleTest, AConnectionTestWithResultsWaitingPostsThemSilently) {
  Write("response.json", R"({"1":{"action":"a","cmds":{"1":"Executed"}}})");
  ConnectionTest();
  EXPECT_EQ(OnlyPending().method, "POST");
  Respond(200, "");
  EXPECT_TRUE(sim().ChatTo("admin").empty());
  EXPECT_EQ(client().target->player, Admin()) << "a POST reply leaves the target alone";
}

TEST_F(RequestCycleTest, ScheduledRepliesWithoutPayments) {
  Write("response.json", "{}");
  client().target->SetPlayer(Admin());
  client().RunRequestCycle(true, false);
  // Results written while the GET was out are no business of a reply without payments.
  Write("response.json", R"({"late":{"action":"a","cmds":{"1":"Executed"}}})");
  Respond(200, "0");
  EXPECT_EQ(Read("response.json"), R"({"late":{"action":"a","cmds":{"1":"Executed"}}})");
  Write("response.json", "{}");
  EXPECT_EQ(client().target->player, nullptr);
  EXPECT_FALSE(client().request_in_flight);

  // The store's "none waiting" leaves a "{}" alone: no write, so no error when another program
  // holds the file.
  int writes = 0;
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    if (path.find("response.json") != std::string::npos && step == FileStep::open_write) ++writes;
    return step == FileStep::open_write ? EACCES : 0;
  });
  Poll();
  Respond(200, "\"No pending payments found\"");
  EXPECT_FALSE(client().request_in_flight);
  EXPECT_EQ(writes, 0);
  EXPECT_TRUE(Lines("err.log").empty());
  SetFileFaultHook(nullptr);
  Poll();
  Respond(200, "[]");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_TRUE(Pending().empty());
}

TEST_F(RequestCycleTest, APostFailureKeepsResultsForTheNextCycle) {
  sim().Join("e", 1, "E");
  Deliver(json::array({Payment("1", "e", "", json::array({Command(1, "x")}))}));
  const std::string results = OnlyPending().body;
  Respond(500, "");  // the immediate POST
  EXPECT_TRUE(Exists("response.pending"));
  Poll();
  auto post = OnlyPending();
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.body, results);
  FailNetwork();
  EXPECT_EQ(Read("response.json"), results);
  Poll();
  Respond(200, "");
  EXPECT_EQ(Read("response.json"), "{}");
  Poll();
  EXPECT_EQ(OnlyPending().method, "GET");
  EXPECT_EQ(CommandsRun().size(), 1u);
}

TEST_F(RequestCycleTest, OnePostAtATimeAndNewerResultsSurviveAnOlderSuccess) {
  sim().Join("e", 1, "E");
  Deliver(json::array({Payment("1", "e", "", json::array({Command(1, "x")}))}));
  Poll();
  EXPECT_EQ(Pending().size(), 1u) << "the delivery's POST holds the flag: no second conversation";
  FailNetwork();
  Poll();  // the results wait: the cycle posts them, and holds the flag
  const uint64_t cycle_post = OnlyPending().id;
  Poll();
  EXPECT_EQ(Pending().size(), 1u) << "no GET while the cycle's POST is out";

  // Newer results written meanwhile survive the older POST's success.
  const std::string newer = R"({"2":{"action":"a","cmds":{"1":"Executed"}}})";
  Write("response.json", newer);
  sim().Scripted().Complete(cycle_post, 200, "");
  sim().RunUntilIdle();
  EXPECT_EQ(Read("response.json"), newer);
  EXPECT_FALSE(client().request_in_flight);
}

TEST_F(RequestCycleTest, WithoutAKeyResultsWaitAndNothingIsSent) {
  sim().Join("e", 1, "E");
  Poll();
  const auto get = OnlyPending();
  WriteConfig("broken");
  client().LoadConfig();
  Respond(200, json::array({Payment("1", "e", "", json::array({Command(1, "x")}))}).dump());
  EXPECT_EQ(Lines("response.pending").size(), 1u) << "the state waits in the results log";
  EXPECT_TRUE(Pending().empty());
  Poll();
  EXPECT_TRUE(Pending().empty());
  (void)get;
}

TEST_F(RequestCycleTest, RequestsAreSignedForTheirOwnSecond) {
  Poll();
  const auto request = OnlyPending();
  const std::string prefix = "https://api.gildmark.com/v1/store/server/srv1/commands?time=";
  ASSERT_EQ(request.url.rfind(prefix, 0), 0u);
  const int64_t time = std::stoll(request.url.substr(prefix.size()));
  EXPECT_EQ(request.headers[0],
            AuthorizationHeader(StoreClient::SignRequest({"srv1", "secret2", "third3", time})));
  for (const auto& header : request.headers) EXPECT_EQ(header.find("secret2"), std::string::npos);
}

TEST_F(RequestCycleTest, NewRequestersTakeOverAndTicksReleaseThem) {
  ConnectionTest();
  auto* other = sim().Join("other", 7, "Other");
  client().target->SetPlayer(other);
  client().RunRequestCycle(false, true);
  EXPECT_EQ(sim().ChatTo("other"), std::vector<std::string>{"Please wait a request is already being made..."});
  Respond(200, "[]");
  EXPECT_EQ(sim().ChatTo("other").back(), kConnectionSuccessfulMessage);
  EXPECT_TRUE(sim().ChatTo("admin").empty());
}

TEST_F(RequestCycleTest, AnUnreadableConfigIsOneLinePerPoll) {
  SetFileFaultHook([](FileStep step, const std::string& path) {
    return path.find("config.json") != std::string::npos && step == FileStep::open_read ? EACCES : 0;
  });
  client().LoadConfig();
  const size_t after_load = Lines("err.log").size();
  Poll();
  Poll();
  SetFileFaultHook(nullptr);
  EXPECT_EQ(Lines("err.log").size(), after_load + 2);
  EXPECT_TRUE(Pending().empty());
}

}  // namespace
}  // namespace gildmark::testing
