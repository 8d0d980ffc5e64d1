// gildmark.status: each line of what it tells, after the things an admin asks about (a buyer
// held back offline, a store that refuses, a certificate nobody trusts, results waiting, two
// servers of one installation); admins only in the console; never a secret part of the key.
#include <algorithm>
#include <fstream>

#include "host/server_process.h"
#include "plugin_fixture.h"
#include "shell/plugin_entry.h"
#include "store/admin_rights.h"
#include "store/request_cycle.h"
#include "store/store_status.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

class StatusTest : public LoadedPluginTest {
 protected:
  // The status as RCON gets it, in one reply.
  std::string Status() {
    const size_t before = sim().RconReplies().size();
    const size_t requests = sim().Events("http_request").size();
    sim().RconInput("gildmark.status");
    const auto replies = sim().RconReplies();
    EXPECT_EQ(replies.size(), before + 1) << "answered at once";
    EXPECT_EQ(sim().Events("http_request").size(), requests) << "it sends nothing";
    const std::string text = replies.empty() ? "" : replies.back();
    EXPECT_EQ(text.find("secret2"), std::string::npos);
    EXPECT_EQ(text.find("third3"), std::string::npos);
    return text;
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
  void Tick() {
    WaitOutBackoff();
    sim().Advance(60);
  }
};

TEST_F(StatusTest, AfterADeliveryWithBuyersHeldBackOffline) {
  Load();
  sim().Join("buyer", 5, "Bea");
  Tick();
  Respond(200, json::array({Payment("1", "E9", "", json::array({Command(1, "give {eosid} 1", "Must be online")})),
                            Payment("2", "", "Zed", json::array({Command(2, "give 2", "Must be online")})),
                            Payment("3", "buyer", "", json::array({Command(3, "give 3")}))})
                   .dump());
  Respond(200, "");  // the results acknowledged
  const std::string status = Status();
  EXPECT_TRUE(Has(status, "Gildmark " + std::string(kPluginVersion) + " on TheIsland_WP-7777")) << status;
  EXPECT_TRUE(Has(status, "Key: valid, server id srv1")) << status;
  EXPECT_TRUE(Has(status, "The store's last answer, 0 s ago (POST): success")) << status;
  EXPECT_TRUE(Has(status, "The last connection test: none since the start")) << status;
  // The timer's first check came a second after the load, and its next is a period after it.
  EXPECT_TRUE(Has(status, "Next poll due now (every 60 s)")) << status;
  const double polled = g_store_client->last_scheduled_poll;
  g_store_client->last_scheduled_poll = GameSeconds() - 20;
  EXPECT_TRUE(Has(Status(), "Next poll in about 40 s (every 60 s)")) << Status();
  g_store_client->last_scheduled_poll = polled;
  EXPECT_TRUE(Has(status, "Results waiting for the store: none")) << status;
  EXPECT_TRUE(Has(status, "Held back for offline buyers: 2 buyers (EOS id E9, Zed)")) << status;
  EXPECT_TRUE(Has(status, "File problems since the start: none")) << status;
  EXPECT_TRUE(Has(status, "Rights lent now: none")) << status;
  EXPECT_FALSE(Has(status, "security_admin.dat")) << status;

  // In the console: admins only, a chat line per line.
  sim().Join("player", 6, "Pat");
  sim().ConsoleInput("player", "gildmark.status");
  EXPECT_TRUE(sim().ChatTo("player").empty());
  sim().ConsoleInput("admin", "gildmark.status");
  const auto chat = sim().ChatTo("admin");
  ASSERT_EQ(chat.size(), 9u);
  EXPECT_EQ(chat[0], "Gildmark " + std::string(kPluginVersion) + " on TheIsland_WP-7777");
  EXPECT_FALSE(Exists("info.log") && Has(Read("info.log"), "Key: valid")) << "an answer, not a log line";
}

TEST_F(StatusTest, AfterARefusalACertificateFailureAndAConnectionTest) {
  Load();
  Tick();
  sim().Scripted().CompleteNext(503, "Down for maintenance", {{"Retry-After", "120"}});
  Settle();
  std::string status = Status();
  EXPECT_TRUE(Has(status, "(GET): 503 Service Unavailable: Down for maintenance")) << status;
  EXPECT_TRUE(Has(status, "Next poll due now")) << status << "one failure waits for the next regular poll only";
  // Another failure doubles the wait: the status says the plugin backs off.
  WaitOutBackoff();
  sim().Advance(60);
  sim().Scripted().CompleteNext(503, "");
  Settle();
  status = Status();
  EXPECT_TRUE(Has(status, "backing off from the store")) << status;

  WaitOutBackoff();
  sim().Advance(60);
  ASSERT_EQ(Pending().size(), 1u);
  sim().Scripted().FailNext(sim::HttpFailure::certificate, "self-signed certificate");
  Settle();
  status = Status();
  EXPECT_TRUE(Has(status, "(GET): certificate not trusted: self-signed certificate")) << status;

  // RCON hears at once where the verdict will be; the status then has it.
  sim().RconInput("gildmark.connect");
  EXPECT_TRUE(Has(sim().RconReplies().back(), "run gildmark.status")) << sim().RconReplies().back();
  Respond(200, "[]");
  status = Status();
  EXPECT_TRUE(Has(status, "The last connection test, 0 s ago (GET): Gildmark API connection successful.")) << status;
  EXPECT_TRUE(Has(status, "The store's last answer, 0 s ago (GET): success")) << status;
}

// A proxy's or a captive portal's page answered with 200: one short line wherever it is shown,
// and no success, for the connection test and for a regular poll alike.
TEST_F(StatusTest, APageThatIsNotTheStoresIsOneLineAndNoSuccess) {
  Load();
  std::string page = "<html>\n";
  for (int i = 0; i < 3000; ++i) page += "<p>Please log in to the hotel network " + std::to_string(i) + "</p>\n";
  sim().RconInput("gildmark.connect");
  Respond(200, page);
  const std::string status = Status();
  EXPECT_LT(std::count(status.begin(), status.end(), '\n'), 12) << status;
  EXPECT_TRUE(Has(status, "The last connection test, 0 s ago (GET): <html> ... (" + std::to_string(page.size()) +
                              " bytes in all)"))
      << status;
  EXPECT_TRUE(Has(status, "(GET): an answer that is not the store's: <html> ...")) << status;

  Tick();
  Respond(200, "<p>Please log in</p>");
  EXPECT_TRUE(Has(Status(), "(GET): an answer that is not the store's: <p>Please log in</p>")) << Status();
  Tick();
  Respond(200, "No pending payments found");
  EXPECT_TRUE(Has(Status(), "The store's last answer, 0 s ago (GET): success")) << Status();
}

TEST_F(StatusTest, WithResultsWaitingAFileProblemAndRightsACrashLeft) {
  Load();
  sim().Join("buyer", 5, "Bea");
  Write("security_admin.dat", "77\n88\n");
  Tick();
  Respond(200, json::array({Payment("1", "buyer", "", json::array({Command(1, "give 1"), Command(2, "give 2")}))}).dump());
  FailNetwork();  // the results' POST
  std::filesystem::create_directory(TemporaryPathFor(Dir() + "security_admin.dat"));
  AdminJournal::RemoveLines({"88"});  // a journal rewrite that fails
  const std::string status = Status();
  EXPECT_TRUE(Has(status, "Results waiting for the store: 1 payment")) << status;
  EXPECT_TRUE(Has(status, "File problems since the start: 1; the last at ")) << status;
  EXPECT_TRUE(Has(status, ": Can't write to " + Dir() + "security_admin.dat")) << status;
  EXPECT_TRUE(Has(status, "2 players in security_admin.dat")) << status;
  std::filesystem::remove(TemporaryPathFor(Dir() + "security_admin.dat"));

  // Large results files are measured, not read: the answer is given on the game thread.
  Write("response.pending", "{\"action\":\"a\",\"cmd\":\"1\",\"id\":\"2\",\"state\":\"Executed\"}\n");
  EXPECT_TRUE(Has(Status(), "and 1 command result recorded in response.pending")) << Status();
  Write("response.pending", std::string(300 << 10, '\n'));
  EXPECT_TRUE(Has(Status(), "and about 300 KiB of command results recorded in response.pending")) << Status();
}

TEST_F(StatusTest, WithTwoServersOfOneInstallation) {
  Write("instances.txt", "TheIsland_WP-7777\nScorchedEarth_WP-7779\n");
  Load();
  EXPECT_TRUE(Has(Status(), "one of several servers here, taking turns")) << Status();
  Tick();
  EXPECT_TRUE(Has(Status(), "one of several servers here, and this one has the turn now")) << Status();
  Respond(200, "[]");
}

TEST_F(StatusTest, WithoutAValidKeyOrAClient) {
  WriteConfig("not-a-key");
  PluginLoad();
  sim().Join("admin", 1, "Admin");
  EXPECT_TRUE(Has(Status(), "Key: not valid")) << Status();
  EXPECT_TRUE(Has(StatusText(nullptr), "the store client could not start"));
}

#ifndef _WIN32
TEST(StatusVersionTest, IsTheVersionThePluginInfoGivesTheHost) {
  const json info = json::parse(std::ifstream(GILDMARK_PLUGIN_INFO));
  EXPECT_EQ(info["Version"].dump(), kPluginVersion);
}
#endif

}  // namespace
}  // namespace gildmark::testing
