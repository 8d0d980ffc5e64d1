// A store that refuses is heard: Retry-After, the doubling wait, refusals and certificates on
// the error route, the logs telling a backoff once, and connection tests that are never held.
#include <ctime>

#include "plugin_fixture.h"
#include "support/file_access.h"
#include "shell/plugin_entry.h"
#include "store/request_cycle.h"
#include "store/store_backoff.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

class StoreBackoffTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    PluginLoad();
  }
  void TearDown() override {
    PluginUnload();
    PluginTest::TearDown();
  }
  // Runs the server for `seconds`, answering every request as `answer` says; returns how many
  // requests the store saw.
  int RunFor(int seconds, const std::function<void()>& answer) {
    int requests = 0;
    for (int i = 0; i < seconds; ++i) {
      if (i > 0) sim().Advance(1);
      while (sim().Scripted().PendingCount() > 0) {
        ++requests;
        answer();
        Settle();
      }
    }
    return requests;
  }
  static std::function<void()> Status(int status, const std::string& body = "",
                                      std::vector<std::pair<std::string, std::string>> headers = {}) {
    return [=] { sim().Scripted().CompleteNext(status, body, headers); };
  }
};

TEST(RetryAfter, SecondsAndTheThreeHttpDateForms) {
  const std::time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  EXPECT_EQ(ParseRetryAfter("600", now), 600);
  EXPECT_EQ(ParseRetryAfter(" 0 ", now), 0);
  EXPECT_EQ(ParseRetryAfter("99999999999999", now), kMaxRetryAfterSeconds);
  EXPECT_EQ(ParseRetryAfter("Sun, 06 Nov 1994 08:59:37 GMT", now), 600);
  EXPECT_EQ(ParseRetryAfter("Sunday, 06-Nov-94 08:50:37 GMT", now), 60);
  EXPECT_EQ(ParseRetryAfter("Sun Nov  6 08:49:47 1994", now), 10);
  EXPECT_EQ(ParseRetryAfter("Sat, 05 Nov 1994 08:49:37 GMT", now), 0) << "a date gone by: now";
  for (const char* bad : {"", "soon", "-5", "1.5", "Sun, 06 Nov 1994 08:59:37 CET", "Sun, 06 Foo 1994 08:59:37 GMT"})
    EXPECT_EQ(ParseRetryAfter(bad, now), -1) << bad;
}

TEST(FailureText, SaysWhatWentWrongInAFewWords) {
  host::HttpsReply reply = host::AnswerOf(429, "");
  EXPECT_EQ(DescribeFailure(reply), "429 Too Many Requests");
  reply = host::AnswerOf(403, "Invalid key\r\nfor this server\n");
  EXPECT_EQ(DescribeFailure(reply), "403 Forbidden: Invalid key  for this server");
  reply = {};
  reply.failure = host::HttpsFailure::certificate;
  reply.error = "self-signed certificate";
  EXPECT_EQ(DescribeFailure(reply), "certificate not trusted: self-signed certificate");
  reply.failure = host::HttpsFailure::timeout;
  EXPECT_EQ(DescribeFailure(reply), "timed out");
  reply.failure = host::HttpsFailure::connect;
  reply.error = "";
  EXPECT_EQ(DescribeFailure(reply), "could not connect");
}

TEST_F(StoreBackoffTest, TooManyRequestsWaitsAsLongAsRetryAfterSays) {
  const int requests = RunFor(30 * 60, Status(429, "slow down", {{"Retry-After", "600"}}));
  EXPECT_LE(requests, 4);
  EXPECT_GE(requests, 3) << "asked again once the wait is over";
  EXPECT_EQ(LogMessages("info.log").size(), 1u) << "told once when it starts, never per tick";
  EXPECT_NE(LogMessages("info.log")[0].find("429 Too Many Requests"), std::string::npos);
  EXPECT_TRUE(Lines("err.log").empty()) << "a 429 is no admin's fault";
}

TEST_F(StoreBackoffTest, FaultsDoubleTheWaitUpToAQuarterHourAndASuccessEndsIt) {
  EXPECT_LE(RunFor(30 * 60, Status(503)), 6);
  // The cap: at most every 15 minutes while it goes on.
  const int later = RunFor(60 * 60, [] { sim().Scripted().FailNext(sim::HttpFailure::timeout); });
  EXPECT_GE(later, 4);
  EXPECT_LE(later, 5);
  EXPECT_EQ(LogMessages("info.log").size(), 1u);

  // Results that waited go at the next allowed time, then the schedule is the interval again.
  Write("response.json", R"({"7":{"action":"give","cmds":{"1":"Executed"}}})");
  std::vector<std::string> methods;
  const int back = RunFor(5 * 60 + 15 * 60, [&] {
    methods.push_back(sim().Scripted().Pending()[0].method);
    sim().Scripted().CompleteNext(200, "[]");
  });
  ASSERT_GE(methods.size(), 2u);
  EXPECT_EQ(methods[0], "POST");
  EXPECT_EQ(methods[1], "GET");
  EXPECT_GE(back, 5 + 15 - 1) << "polling every minute again";
  EXPECT_EQ(Read("response.json"), "{}");
  const auto info = LogMessages("info.log");
  ASSERT_EQ(info.size(), 2u);
  EXPECT_NE(info[1].find("answers again"), std::string::npos);
}

TEST_F(StoreBackoffTest, ARefusalIsToldOnceWithTheStoresOwnWords) {
  const int requests = RunFor(30 * 60, Status(403, "This key was revoked"));
  EXPECT_LE(requests, 6);
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("403 Forbidden: This key was revoked"), std::string::npos);
}

TEST_F(StoreBackoffTest, AnAnswerOverTheCapIsToldOnceAndNotAskedForSooner) {
  const int requests = RunFor(30 * 60, [] { sim().Scripted().FailNext(sim::HttpFailure::too_large); });
  EXPECT_LE(requests, 6) << "later and later, never faster than the interval";
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("larger than 64 MiB, the most the plugin takes; nothing of it was run"), std::string::npos)
      << errors[0];
}

// The log stays after an acknowledgement when it cannot be removed: the next cycle folds it on
// the plugin's own thread and posts its results once more, and polling goes on.
TEST_F(StoreBackoffTest, ALogThatCouldNotBeRemovedIsPostedAgainAndPollingGoesOn) {
  Write("response.pending", R"({"action":"purchase","cmd":"1","id":"p","state":"Executed"})" "\n");
  bool fail = true;
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    if (fail && step == FileStep::remove && path.find("response.pending") != std::string::npos) {
      fail = false;
      return EIO;
    }
    return 0;
  });
  std::vector<std::string> methods;
  for (int minute = 0; minute < 5; ++minute) {
    sim().Advance(60);
    Settle();  // a server's frames take time: the plugin's own thread is done by the next ones
    while (sim().Scripted().PendingCount() > 0) {
      methods.push_back(sim().Scripted().Pending().front().method);
      sim().Scripted().CompleteNext(200, methods.back() == "GET" ? "[]" : "");
      sim().RunUntilIdle();
    }
  }
  SetFileFaultHook(nullptr);
  EXPECT_FALSE(fail);
  EXPECT_FALSE(Exists("response.pending"));
  ASSERT_GE(methods.size(), 3u);
  EXPECT_EQ(methods.back(), "GET") << "polling goes on";
}

TEST_F(StoreBackoffTest, AStoreThatCannotBeTrustedRunsNothingAndIsToldHourly) {
  sim().Join("buyer", 2, "Buyer");
  Write("response.json", "{}");
  const int requests = RunFor(2 * 60 * 60 + 60, [] {
    sim().Scripted().FailNext(sim::HttpFailure::certificate, "unable to get local issuer certificate");
  });
  EXPECT_GE(requests, 8);
  EXPECT_TRUE(CommandsRun().empty());
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 3u) << "at most once an hour";
  EXPECT_NE(errors[0].find("certificate not trusted: unable to get local issuer certificate"), std::string::npos);
  EXPECT_NE(errors[0].find("nothing from that answer was run"), std::string::npos);
}

TEST_F(StoreBackoffTest, AConnectionTestIsNeverHeldAndSaysWhyAndWhen) {
  RunFor(3 * 60, Status(429, "", {{"Retry-After", "600"}}));
  auto* admin = sim().Join("admin", 1, "Admin");
  sim().SetAdminBit("admin", true);
  (void)admin;
  sim().ConsoleInput("admin", "gildmark.connect");
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u) << "the admin's test goes out during the wait";
  const long long left = g_store_client->backoff.SecondsLeft(GameSeconds());
  sim().Scripted().CompleteNext(429, "", {{"Retry-After", "3000"}});
  sim().RunUntilIdle();
  const std::string answer = sim().ChatTo("admin").back();
  EXPECT_EQ(answer.rfind(kUnavailableMessage, 0), 0u) << answer;
  EXPECT_NE(answer.find("(429 Too Many Requests; the next poll in " + std::to_string(left) + " seconds)"),
            std::string::npos)
      << answer << ": a test's refusal leaves the schedule as it was";

  // Failed tests, one after another, do not push the next poll out either.
  for (int i = 0; i < 3; ++i) {
    sim().ConsoleInput("admin", "gildmark.connect");
    sim().Scripted().FailNext(sim::HttpFailure::connect, "Connection refused");
    sim().RunUntilIdle();
    EXPECT_NE(sim().ChatTo("admin").back().find("could not connect (Connection refused)"), std::string::npos);
  }
  EXPECT_EQ(g_store_client->backoff.SecondsLeft(GameSeconds()), left);

  // A successful test ends the wait: the next tick polls.
  sim().ConsoleInput("admin", "gildmark.connect");
  sim().Scripted().CompleteNext(200, "[]");
  sim().RunUntilIdle();
  EXPECT_EQ(sim().ChatTo("admin").back(), kConnectionSuccessfulMessage);
  EXPECT_EQ(RunFor(61, Status(200, "[]")), 1);
}

TEST_F(StoreBackoffTest, RepliesReachTheCycleWithStatusBodyAndRetryAfter) {
  RunFor(1, Status(200, "[]"));
  sim().Join("buyer", 2, "Buyer");
  const json payment = json::array({Payment("1", "buyer", "", json::array({Command(1, "give 1")}))});
  // A 500 with a body that looks like payments delivers nothing.
  sim().Advance(60);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  sim().Scripted().CompleteNext(500, payment.dump());
  sim().RunUntilIdle();
  EXPECT_TRUE(CommandsRun().empty());
  // A time-out: nothing runs, and the wait doubles.
  sim().Advance(60);
  sim().Scripted().FailNext(sim::HttpFailure::timeout);
  sim().RunUntilIdle();
  EXPECT_TRUE(CommandsRun().empty());
  EXPECT_EQ(RunFor(120, Status(200, payment.dump())), 2) << "a GET and its POST, 120 s after the second failure";
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});
}

}  // namespace
}  // namespace gildmark::testing
