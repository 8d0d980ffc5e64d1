// The store client and config.json: the default file, key splitting, the invalid-key message,
// files of the wrong shape, and the URL of a request.
#include "plugin_fixture.h"

namespace gildmark::testing {
namespace {

using StoreClientTest = PluginTest;

const std::string kInvalidKey =
    "INVALID API KEY : Please set the key to a valid API Key in config.json then run cheat gildmark.connect. Make "
    "sure you copied the entire key on gildmark.com (CTRL+A then CTRL+C)";

TEST_F(StoreClientTest, FirstStartWritesTheDefaultConfigAndRejectsItsKey) {
  StoreClient& c = StartClient();
  const std::string expected =
      "{\n\"key\": \"YOUR_API_KEY\",\n\"request_interval_in_minutes\" : 1,\n"
      "\"order_received_text\" : \"Thank you for your purchase :)\"\n}";
  EXPECT_EQ(Read("config.json"), expected);
  EXPECT_EQ(Read("config.json").size(), 118u);
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_TRUE(c.key_parts.empty());
  EXPECT_EQ(c.config.request_interval_in_minutes, 1);
  EXPECT_EQ(host::ToUtf8(c.config.order_received_text), "Thank you for your purchase :)");
  EXPECT_EQ(LogMessages("info.log"), std::vector<std::string>{kInvalidKey});
  EXPECT_TRUE(sim().Events("http_request").empty());
  EXPECT_EQ(g_store_client, &c);
  StopClient();
  EXPECT_EQ(g_store_client, nullptr);
}

TEST_F(StoreClientTest, KeysSplitAtEveryDot) {
  EXPECT_EQ(SplitKey("abc.def.ghi"), (std::vector<std::string>{"abc", "def", "ghi"}));
  EXPECT_EQ(SplitKey("abc.def."), (std::vector<std::string>{"abc", "def", ""}));
  EXPECT_EQ(SplitKey(".."), (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(SplitKey(""), (std::vector<std::string>{""}));
  EXPECT_EQ(SplitKey("a.b.c.d").size(), 4u);

  for (auto [key, valid] : std::vector<std::pair<std::string, bool>>{
           {"abc.def.ghi", true}, {"a..c", true}, {"..", true}, {"abc", false}, {"a.b.c.d", false}, {"", false}}) {
    WriteConfig(key);
    StoreClient& c = StartClient();
    EXPECT_EQ(c.key_parts.size(), valid ? 3u : 0u) << key;
    StopClient();
  }
}

// A key as admins paste it: blanks around it and its parts are dropped; a part holding what no
// key holds makes it invalid rather than going into the request's URL.
TEST_F(StoreClientTest, KeysAsPastedAreTrimmedAndOddCharactersRefused) {
  for (auto [key, valid] : std::vector<std::pair<std::string, bool>>{
           {" srv.sec.thr ", true}, {"srv.sec.thr\r\n", true}, {"\tsrv . sec . thr", true},
           {"\xC2\xA0srv.sec.thr\xC2\xA0", true}, {"srv.se+c/=.t_h-r", true}, {"s?x.sec.thr", false},
           {"s/x.sec.thr", false}, {"srv.s c.thr", false}, {"srv.s\xC3\xA9" "c.thr", false}}) {
    WriteConfig(key);
    StoreClient& c = StartClient();
    EXPECT_EQ(c.key_parts.size(), valid ? 3u : 0u) << key;
    if (valid) {
      EXPECT_EQ(c.key_parts[0], "srv") << key;
      EXPECT_NE(c.BuildCommandsUrl(1).find("/v1/store/server/srv/commands?time=1"), std::string::npos)
          << c.BuildCommandsUrl(1);
    } else {
      EXPECT_EQ(LogMessages("info.log").back(), kInvalidKey) << key;
    }
    StopClient();
  }
}

TEST_F(StoreClientTest, ABrokenConfigIsKeptAsideAndReplaced) {
  Write("config.json", "{");
  StoreClient& c = StartClient();
  EXPECT_EQ(Read("config.json").size(), 118u);
  EXPECT_EQ(Read("config.json.broken"), "{");
  EXPECT_TRUE(c.key_parts.empty());
  ASSERT_EQ(LogMessages("err.log").size(), 1u);
}

TEST_F(StoreClientTest, OtherMembersAreIgnoredAndTheFileKept) {
  const std::string text =
      "{\"key\":\"a.b.c\",\"request_interval_in_minutes\":2.9,\"order_received_text\":\"Merci \xc3\xa0 vous\","
      "\"extra\":[1,2]}";
  Write("config.json", text);
  StoreClient& c = StartClient();
  EXPECT_EQ(Read("config.json"), text);
  EXPECT_EQ(c.config.request_interval_in_minutes, 2);
  EXPECT_EQ(host::ToUtf8(c.config.order_received_text), "Merci \xc3\xa0 vous");
  EXPECT_EQ(c.key_parts, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(Lines("err.log").empty());

  Write("config.json", "{\"key\":\"a.b.c\",\"request_interval_in_minutes\":true,\"order_received_text\":\"\"}");
  c.LoadConfig();
  EXPECT_EQ(c.config.request_interval_in_minutes, 1);
  Write("config.json", "{\"key\":\"a.b.c\",\"request_interval_in_minutes\":-3,\"order_received_text\":\"\"}");
  c.LoadConfig();
  EXPECT_EQ(c.config.request_interval_in_minutes, -3) << "the load keeps the value; the timer bounds it";
}

TEST_F(StoreClientTest, WrongShapesAreReportedNeverThrown) {
  struct Case {
    std::string text;
    bool key_valid;
    int interval;
    std::string greeting;
    size_t problems;
  };
  const std::string def = "Thank you for your purchase :)";
  const Case cases[] = {
      {"[]", false, 1, def, 1},
      {"null", false, 1, def, 1},
      {"42", false, 1, def, 1},
      {"{}", false, 1, def, 3},
      {"{\"key\":5,\"request_interval_in_minutes\":1,\"order_received_text\":\"hi\"}", false, 1, "hi", 1},
      {"{\"key\":\"a.b.c\",\"request_interval_in_minutes\":\"5\",\"order_received_text\":\"hi\"}", true, 1, "hi", 1},
      {"{\"key\":\"a.b.c\",\"request_interval_in_minutes\":4294967296,\"order_received_text\":\"hi\"}", true, 1, "hi",
       1},
      {"{\"key\":\"a.b.c\",\"request_interval_in_minutes\":1e300,\"order_received_text\":\"hi\"}", true, 1, "hi", 1},
      {"{\"key\":\"a.b.c\",\"request_interval_in_minutes\":3,\"order_received_text\":[\"hi\"]}", true, 3, def, 1},
  };
  WriteConfig();
  StoreClient& c = StartClient();
  for (const Case& t : cases) {
    Write("config.json", t.text);
    std::filesystem::remove(Dir() + "err.log");
    c.LoadConfig();
    EXPECT_EQ(Read("config.json"), t.text) << "the admin's file stays as it is";
    EXPECT_EQ(c.key_parts.size(), t.key_valid ? 3u : 0u) << t.text;
    EXPECT_EQ(c.config.request_interval_in_minutes, t.interval) << t.text;
    EXPECT_EQ(host::ToUtf8(c.config.order_received_text), t.greeting) << t.text;
    EXPECT_EQ(Lines("err.log").size(), t.problems) << t.text;
  }
}

TEST_F(StoreClientTest, TheInvalidKeyMessageReachesAndReleasesTheRequester) {
  auto* admin = sim().Join("admin", 1, "Boss");
  WriteConfig("nope");
  StoreClient& c = StartClient();
  c.target->SetPlayer(admin);
  c.LoadConfig();
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{kInvalidKey});
  EXPECT_EQ(c.target->player, nullptr);
  c.RunRequestCycle(false, true);
  EXPECT_TRUE(sim().Events("http_request").empty()) << "no key, no request";

  // Over RCON: the reply answers the command's packet and releases the client.
  host::AddRconCommand("probe", [&c](RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
    c.target->SetRconRequester(connection, packet);
    c.LoadConfig();
  });
  const int packet = sim().RconInput("probe");
  const auto replies = sim().Events("rcon_reply");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["text"], kInvalidKey);
  EXPECT_EQ(replies[0]["packet_id"], packet);
  EXPECT_EQ(c.target->rcon_connection, nullptr);
  EXPECT_EQ(c.target->rcon_packet, nullptr);
  host::RemoveRconCommand("probe");
}

TEST_F(StoreClientTest, TheUrlNamesTheServer) {
  WriteConfig("srv-1_X=.secret.third");
  StoreClient& c = StartClient();
  EXPECT_EQ(c.BuildCommandsUrl(1765104493),
            "https://api.gildmark.com/v1/store/server/srv-1_X=/commands?time=1765104493");
  EXPECT_EQ(c.BuildCommandsUrl(-5), "https://api.gildmark.com/v1/store/server/srv-1_X=/commands?time=-5");
}

TEST_F(StoreClientTest, AChangedKeyTakesEffectAtTheNextLoad) {
  WriteConfig("one.two.three");
  StoreClient& c = StartClient();
  WriteConfig("four.five.six", 7);
  c.LoadConfig();
  EXPECT_EQ(c.key_parts, (std::vector<std::string>{"four", "five", "six"}));
  c.RunRequestCycle(false, true);
  EXPECT_EQ(OnlyPending().url.find("https://api.gildmark.com/v1/store/server/four/commands?time="), 0u);
}

}  // namespace
}  // namespace gildmark::testing
