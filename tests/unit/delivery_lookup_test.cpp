// gildmark.lookup over the delivery history: what a buyer or a payment was given, found by EOS
// id, by name and by payment id, with what is held back now and why; RCON's one answer; admins
// only in the console; a history at its size rolling over; damaged lines skipped.
#include <algorithm>

#include "plugin_fixture.h"
#include "shell/plugin_entry.h"
#include "store/delivery_history.h"
#include "store/delivery_lookup.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

class LookupTest : public LoadedPluginTest {
 protected:
  // RCON's answer: asked once to start the search, then again for what it found.
  std::string Rcon(const std::string& words) {
    sim().RconInput("gildmark.lookup " + words);
    Settle();
    const size_t before = sim().RconReplies().size();
    sim().RconInput("gildmark.lookup " + words);
    const auto replies = sim().RconReplies();
    EXPECT_EQ(replies.size(), before + 1) << "one answer";
    return replies.empty() ? "" : replies.back();
  }
  static bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
};

TEST_F(LookupTest, DeliveredHeldBackAndFailedCommandsAreFoundByEosIdNameAndPayment) {
  Load();
  sim().Join("0002bea", 5, "Bea");
  WaitOutBackoff();
  sim().Advance(60);
  Respond(200, json::array({Payment("p1", "0002bea", "", json::array({Command(1, "give {eosid} 1"),
                                                                      Command(2, "plugins.unload x")})),
                            Payment("p2", "", "Zed", json::array({Command(3, "give {username} 2", "Must be online")})),
                            Payment("p3", "", "Bea", json::array({Command(4, "say {username} thanks")}))})
                   .dump());
  // Ran: waiting for the store's word, and told so.
  EXPECT_TRUE(Has(Rcon("p1"), "Ran, waiting for the store to acknowledge: payment p1 for EOS id 0002bea (Bea), "
                              "1 Executed, 1 Not Executed")) << Rcon("p1");
  Respond(200, "");  // acknowledged
  // The command held back is no delivery: no line.
  ASSERT_EQ(Lines(kHistoryFileName).size(), 3u) << Read(kHistoryFileName);

  for (const std::string words : {"0002bea", "bea", "0002BEA"}) {
    const std::string answer = Rcon(words);
    EXPECT_EQ(Has(answer, "Online now"), words == "0002bea") << answer;  // the game's lookups match exactly
    EXPECT_TRUE(Has(answer, "Nothing held back for them now")) << answer;
    EXPECT_TRUE(Has(answer, "payment p1 for EOS id 0002bea (Bea), 1 Executed, 1 Not Executed, on TheIsland_WP-7777"))
        << answer;
    // Named by name, found by the EOS id the game knew.
    EXPECT_TRUE(Has(answer, "payment p3 for EOS id 0002bea (Bea), 1 Executed, 0 Not Executed")) << answer;
    EXPECT_FALSE(Has(answer, "Ran, waiting")) << answer;
  }
  const std::string payment = Rcon("p1");
  EXPECT_TRUE(Has(payment, "command 1, Executed: give 0002bea 1")) << payment;
  EXPECT_TRUE(Has(payment, "command 2, Not Executed: plugins.unload x")) << payment;
  for (const std::string words : {"Zed", "p2"}) {
    const std::string held = Rcon(words);
    EXPECT_TRUE(Has(held, "Held back now for \"Zed\": payment p2, for 0 s; not online")) << held;
    EXPECT_TRUE(Has(held, "No delivery for them in the history")) << held;
  }
  sim().Join("0002other", 6, "Bea");  // a namesake joins
  EXPECT_TRUE(Has(Rcon("Bea"), "2 players online carry this name")) << Rcon("Bea");
  EXPECT_EQ(Rcon(""), kLookupUsage);

  // The console: nothing for a player who is not an admin; an admin's answer in chat once the
  // history is searched.
  sim().Join("player", 7, "Pat");
  sim().ConsoleInput("player", "gildmark.lookup p1");
  Settle();
  EXPECT_TRUE(sim().ChatTo("player").empty());
  sim().ConsoleInput("admin", "gildmark.lookup \"p1\"");
  Settle();
  const auto chat = sim().ChatTo("admin");
  EXPECT_TRUE(std::any_of(chat.begin(), chat.end(), [](auto& l) { return Has(l, "command 1, Executed"); }))
      << ::testing::PrintToString(chat);
}

TEST_F(LookupTest, AHistoryAtItsSizeRollsOverAndDamagedLinesAreSkipped) {
  DeliveryHistory history;
  std::string details;
  AppendDeliveryDetail(details, "old", "0002ann", "", "Ann", "1", DetailState::executed, "give 0002ann 1", 1000);
  history.Absorb(details, "Island");
  ASSERT_EQ(history.Acknowledged(R"({"old":{"action":"purchase","cmds":{"1":"Executed"}}})", "Island", Dir()).lines,
            1u);
  AppendFileBytes(Dir() + kHistoryFileName, "{\"at\":12,\"payment\":\"p\n\x01garbage\n");
  const size_t limit = Read(kHistoryFileName).size() + 10;

  details.clear();
  AppendDeliveryDetail(details, "new", "0002ann", "", "Ann", "2", DetailState::not_executed, "give 0002ann 2", 2000);
  history.Absorb(details, "Island");
  const std::string sent = R"({"new":{"action":"purchase","cmds":{"2":"Not Executed"}}})";
  const HistoryWrite write = history.Acknowledged(sent, "Island", Dir(), limit);
  EXPECT_TRUE(write.written);
  EXPECT_FALSE(write.rollover_failed);
  EXPECT_EQ(Lines(kOlderHistoryFileName).size(), 3u) << "the full one moved aside whole";
  EXPECT_EQ(Lines(kHistoryFileName).size(), 1u);

  // Another buyer once carried the same name.
  details.clear();
  AppendDeliveryDetail(details, "other", "0002bob", "", "Ann", "3", DetailState::executed, "give 0002bob 3", 1500);
  history.Absorb(details, "Island");
  history.Acknowledged(R"({"other":{"action":"purchase","cmds":{"3":"Executed"}}})", "Island", Dir());
  const std::vector<std::string> by_name = SearchDeliveries("ann", history, Dir());
  EXPECT_TRUE(std::any_of(by_name.begin(), by_name.end(), [](auto& line) {
    return Has(line, "The name \"ann\" belongs to 2 buyers (EOS ids 0002ann, 0002bob)");
  })) << ::testing::PrintToString(by_name);
  // Sent again after a restart (nothing kept in memory): the history has it already.
  DeliveryHistory restarted;
  EXPECT_EQ(restarted.Acknowledged(sent, "Island", Dir(), limit).lines, 0u);

  const std::vector<std::string> lines = SearchDeliveries("0002ann", restarted, Dir());
  const std::string text = ::testing::PrintToString(lines);
  ASSERT_GE(lines.size(), 3u) << text;
  EXPECT_EQ(lines[0], "Deliveries, newest first:");
  EXPECT_TRUE(Has(lines[1], "payment new for EOS id 0002ann (Ann), 0 Executed, 1 Not Executed, on Island")) << text;
  EXPECT_TRUE(Has(lines[2], "payment old for EOS id 0002ann (Ann), 1 Executed")) << text;
  EXPECT_EQ(lines.size(), 4u) << "the other buyer's payment is not theirs: " << text;
  EXPECT_EQ(lines.back(), "2 damaged lines were skipped in the history");
}

}  // namespace
}  // namespace gildmark::testing
