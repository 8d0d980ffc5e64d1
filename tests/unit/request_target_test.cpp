// Message routing: the four routes, final messages releasing requesters, the log line format,
// and chat texts with braces.
#include <ctime>
#include <regex>

#include "host/host.h"

#include "plugin_fixture.h"

namespace gildmark::testing {
namespace {

class RoutingTest : public PluginTest {
 protected:
  RequestTarget target;
  AShooterPlayerController* admin = nullptr;
  RCONClientConnection* rcon = nullptr;
  RCONPacket* packet = nullptr;  // freed by the host after the command; never read here
  int packet_id = 0;

  void SetUp() override {
    PluginTest::SetUp();
    admin = sim().Join("admin", 5, "Boss");
    // Catch the connection and packet the host hands to an RCON command.
    host::AddRconCommand("grab", [this](RCONClientConnection* c, RCONPacket* p, UWorld*) {
      rcon = c, packet = p, packet_id = p->Id;
    });
    sim().RconInput("grab");
  }
  // The RCON client that ran a command, as the handler records it.
  void AskedOverRcon() {
    target.rcon_connection = rcon;
    target.rcon_packet = packet;
    target.rcon_packet_id = packet_id;
  }
  void AskedByBoth() {
    target.SetPlayer(admin);
    AskedOverRcon();
  }
};

TEST_F(RoutingTest, NoRequesterReachesOnlyTheLogs) {
  target.Report("tick message", Severity::information, true);
  target.Report("bad thing", Severity::error, false);
  EXPECT_EQ(LogMessages("info.log"), std::vector<std::string>{"tick message"});
  EXPECT_EQ(LogMessages("err.log"), std::vector<std::string>{"bad thing"});
  auto host_log = sim().HostLog();
  ASSERT_EQ(host_log.size(), 2u);
  EXPECT_NE(host_log[0].find("[Gildmark][info] tick message"), std::string::npos);
  EXPECT_NE(host_log[1].find("[Gildmark][error] bad thing"), std::string::npos);
  EXPECT_TRUE(sim().Events("chat").empty());
  EXPECT_TRUE(sim().Events("rcon_reply").empty());
}

TEST_F(RoutingTest, FinalMessagesReleaseEveryRequesterTheyReached) {
  AskedByBoth();
  target.Report("wait", Severity::information, false);
  EXPECT_EQ(target.player, admin);
  EXPECT_EQ(target.rcon_connection, rcon);
  target.Report("done", Severity::information, true);
  EXPECT_EQ(target.player, nullptr);
  EXPECT_EQ(target.rcon_connection, nullptr);
  EXPECT_EQ(target.rcon_packet, nullptr);
  target.Report("later", Severity::information, true);

  EXPECT_EQ(sim().ChatTo("admin"), (std::vector<std::string>{"wait", "done"}));
  auto replies = sim().Events("rcon_reply");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1]["text"], "done");
  EXPECT_EQ(replies[1]["packet_id"], packet_id);
  EXPECT_EQ(sim().Events("chat")[0]["sender"], "Gildmark");
  EXPECT_EQ(LogMessages("info.log"), (std::vector<std::string>{"wait", "done", "later"}));
}

TEST_F(RoutingTest, EachRouteAlone) {
  AskedOverRcon();
  target.Report("rcon only", Severity::error, true);
  target.SetPlayer(admin);
  target.Report("chat only", Severity::information, true);
  EXPECT_EQ(sim().RconReplies(), std::vector<std::string>{"rcon only"});
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"chat only"});
}

TEST_F(RoutingTest, BracesInChatNeverThrow) {
  AskedByBoth();
  target.Report("{{x}}", Severity::information, false);
  target.Report("{\"error\":\"bad key\"}", Severity::information, false);
  target.Report("stray } brace {", Severity::information, false);
  EXPECT_EQ(sim().ChatTo("admin"), (std::vector<std::string>{"{x}", "{\"error\":\"bad key\"}", "stray } brace {"}));
  EXPECT_EQ(sim().RconReplies(),
            (std::vector<std::string>{"{{x}}", "{\"error\":\"bad key\"}", "stray } brace {"}));
  EXPECT_EQ(LogMessages("info.log").size(), 3u);
}

TEST_F(RoutingTest, NonAsciiTextSurvivesEveryRoute) {
  AskedByBoth();
  target.Report("Jos\xc3\xa9 \xe2\x82\xac", Severity::information, false);
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"Jos\xc3\xa9 \xe2\x82\xac"});
  EXPECT_EQ(sim().RconReplies(), std::vector<std::string>{"Jos\xc3\xa9 \xe2\x82\xac"});
  EXPECT_EQ(LogMessages("info.log"), std::vector<std::string>{"Jos\xc3\xa9 \xe2\x82\xac"});
}

TEST_F(RoutingTest, AFailingRouteDoesNotStopTheOthers) {
  sim().RemoveEntry("RCONClientConnection.SendMessage(int,int,FString&)");
  AskedByBoth();
  target.Report("still here", Severity::information, true);
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"still here"});
  EXPECT_EQ(LogMessages("info.log"), std::vector<std::string>{"still here"});
  EXPECT_EQ(target.rcon_connection, nullptr);
}

TEST_F(RoutingTest, LogLinesCarryTheLocalTime) {
  // Other tests run in the machine's own zone: it is put back however this test ends.
  struct ZoneGuard {
    bool had;
    std::string old;
    ZoneGuard() : had(std::getenv("TZ") != nullptr), old(had ? std::getenv("TZ") : "") {}
    ~ZoneGuard() {
      SetEnv("TZ", had ? old.c_str() : nullptr);
      ReloadTimeZone();
    }
  } zone_guard;
  SetEnv("TZ", "UTC");
  ReloadTimeZone();
  std::tm when{};
  when.tm_year = 2026 - 1900, when.tm_mon = 2, when.tm_mday = 1, when.tm_hour = 9, when.tm_min = 5, when.tm_sec = 3;
  EXPECT_EQ(FormatLocalTime(TimeFromUtc(&when)), "Sun March 01 09:05:03 2026");
  when.tm_mon = 11, when.tm_mday = 7, when.tm_hour = 10, when.tm_min = 48, when.tm_sec = 13;
  EXPECT_EQ(FormatLocalTime(TimeFromUtc(&when)), "Mon December 07 10:48:13 2026");
  // Local time, not UTC: the server's zone shows.
  SetEnv("TZ", "EST5");
  ReloadTimeZone();
  EXPECT_EQ(FormatLocalTime(TimeFromUtc(&when)), "Mon December 07 05:48:13 2026");

  AppendPluginLog("x", "info.log");
  AppendPluginLog("two\nlines", "info.log");
  const auto lines = Lines("info.log");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\[[A-Z][a-z]{2} [A-Z][a-z]+ \d{2} \d{2}:\d{2}:\d{2} \d{4}\] x)")))
      << lines[0];
  EXPECT_EQ(lines[2], "lines");
  EXPECT_EQ(Read("info.log").back(), '\n');
}

TEST_F(RoutingTest, WithoutThePluginDirectoryOtherRoutesStillWork) {
  std::filesystem::remove_all(Dir());
  target.SetPlayer(admin);
  target.Report("hello", Severity::information, false);
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"hello"});
  EXPECT_EQ(sim().HostLog().size(), 1u);
}

}  // namespace
}  // namespace gildmark::testing
