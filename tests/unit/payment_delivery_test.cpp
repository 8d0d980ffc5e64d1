// Delivery of a reply: hold-back, placeholders, injection attempts, result records, the
// immediate POST, and what a crash in the middle leaves behind.
#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>

#include "plugin_fixture.h"
#include "store/admin_rights.h"
#include "store/payment_delivery.h"
#include "store/payment_players.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

struct WatchSeen {
  std::string text;
  bool admin = false, cheat = false;
  std::vector<std::string> journal;
};

class DeliveryTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    StartClient();
  }
  // The results the store is sent: the POST that follows a delivery.
  json Results() const {
    for (const auto& request : Pending())
      if (request.method == "POST") return json::parse(request.body);
    return json::parse(Read("response.json"));
  }
};

TEST_F(DeliveryTest, TheRoadOfOnePayment) {
  auto* buyer = sim().Join("E", 12, "Buyer");
  WatchSeen watch;
  sim().SetConsoleObserver([&](AShooterPlayerController* p, const std::string& text) {
    watch.text = text;
    watch.admin = host::ReadBit(p, host::kAdminBit);
    watch.cheat = host::ReadBit(p, host::kCheatBit);
    watch.journal = Lines("security_admin.dat");
  });
  Poll();
  const auto get = OnlyPending();
  EXPECT_EQ(get.method, "GET");
  EXPECT_EQ(get.headers.size(), 2u);
  EXPECT_EQ(get.headers[0].rfind("Authorization: Bearer SERVER_KEY:", 0), 0u);
  EXPECT_EQ(get.headers[1], "Content-Type: application/json");
  Respond(200, json::array({Payment("p1", "E", "buyer", json::array({Command(1, "give {eosid} 1", "Must be online")}),
                                    "give")})
                   .dump());

  EXPECT_EQ(sim().ChatTo("E"), std::vector<std::string>{"Thank you for your purchase :)"});
  EXPECT_EQ(watch.text, "give E 1");
  EXPECT_TRUE(watch.admin && watch.cheat);
  EXPECT_EQ(watch.journal, std::vector<std::string>{"12"});
  EXPECT_FALSE(sim().AdminBit("E"));
  EXPECT_TRUE(Lines("security_admin.dat").empty());
  const std::string expected = R"({"p1":{"action":"give","cmds":{"1":"Executed"}}})";
  EXPECT_EQ(Read("response.json"), expected);
  EXPECT_EQ(Lines("response.pending").size(), 1u) << "the results log keeps the state until the store has it";
  const auto post = OnlyPending();
  EXPECT_EQ(post.method, "POST");
  EXPECT_EQ(post.body, expected);
  EXPECT_EQ(post.content_type, "application/json");
  EXPECT_EQ(post.headers[1], "Content-Type: application/json");
  EXPECT_TRUE(client().request_in_flight) << "one conversation at a time: the POST ends the delivery's";
  Respond(200, "ok");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_FALSE(client().request_in_flight);
  EXPECT_FALSE(client().delivery);
  EXPECT_EQ(LogMessages("info.log").back(), "Executing command [FOR E : Buyer]  : give E 1");
  (void)buyer;
}

TEST_F(DeliveryTest, HoldBackMatrix) {
  sim().Join("first", 1, "First");
  sim().Join("on", 2, "Online");
  Deliver(json::array({
      Payment("off", "gone", "", json::array({Command(1, "plain"), Command(2, "needs {eosid}"),
                                              Command(3, "plain but waits", "Must be online"),
                                              Command(4, "other state", "Whatever")})),
      Payment("on", "on", "", json::array({Command(5, "online", "Must be online")})),
  }));
  EXPECT_EQ(Results(), json::parse(R"({"off":{"action":"purchase","cmds":{"1":"Executed","2":"Not Executed",
      "3":"Not Executed","4":"Executed"}},"on":{"action":"purchase","cmds":{"5":"Executed"}}})"));
  auto run = CommandsRun();
  ASSERT_EQ(run.size(), 3u);
  EXPECT_EQ(run[0]["player"], "first") << "an offline buyer's command runs through the first player";
  EXPECT_EQ(run[0]["text"], "plain");
  EXPECT_EQ(run[2]["player"], "on");
  EXPECT_EQ(LogMessages("info.log")[0], "Executing command [FOR gone : ]  : plain");
  EXPECT_TRUE(sim().ChatTo("first").empty()) << "only online buyers are greeted";

  // An offline buyer known only by name has an empty target text.
  Respond(200, "ok");
  Deliver(json::array({Payment("named", "", "Nobody", json::array({Command(6, "plain too")}))}));
  EXPECT_EQ(LogMessages("info.log").back(), "Executing command [FOR ]  : plain too");
}

TEST_F(DeliveryTest, NobodyOnlineMeansNotExecuted) {
  Deliver(json::array({Payment("1", "", "Named", json::array({Command(1, "plain")}))}));
  EXPECT_EQ(Results(), json::parse(R"({"1":{"action":"purchase","cmds":{"1":"Not Executed"}}})"));
  EXPECT_TRUE(CommandsRun().empty());
}

// Each placeholder is filled at its first occurrence; a command left holding one would give to
// nobody, so it is not run, is reported Not Executed (the store offers it again) and is told
// once, however often the store offers it.
TEST_F(DeliveryTest, PlaceholdersFillInOrderFirstOccurrenceOnly) {
  sim().Join("eos", 0x1'0000'0003, "Hero");
  Deliver(json::array({Payment(
      "1", "eos", "storename",
      json::array({Command(1, "a {username} {username}"), Command(2, "b {minecraft_username} {eosid} {eos_id} {ue5id}"),
                   Command(3, "c {daduz_username} {other}")}))}));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"b Hero eos eos 4294967299", "c Hero {other}"}));
  EXPECT_EQ(Results()["1"]["cmds"]["1"], "Not Executed");
  EXPECT_EQ(Results()["1"]["cmds"]["3"], "Executed") << "braces this plugin does not fill are left alone";
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("command 1 of payment 1: it still holds {username}"), std::string::npos) << errors[0];

  Respond(200, "ok");
  Deliver(json::array({Payment("1", "eos", "storename", json::array({Command(1, "a {username} {username}")}))}));
  EXPECT_EQ(LogMessages("err.log").size(), 1u) << "told once";
}

// A buyer the store names by character name only: the game gives their EOS id.
TEST_F(DeliveryTest, ABuyerNamedByNameHasTheirEosIdFromTheGame) {
  sim().Join("E-named", 5, "Named");
  Deliver(json::array({Payment("2", "", "Named", json::array({Command(4, "d {eosid} {eos_id} {username}")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"d E-named E-named Named"});
  EXPECT_EQ(Results()["2"]["cmds"]["4"], "Executed");
}

// Names are not unique: with two players of the buyer's name online nobody can tell which paid.
// The payment waits as for an offline buyer, the admin is told why, and once one of them has
// left the other is served at the next poll.
TEST_F(DeliveryTest, TwoPlayersOfTheBuyersNameGetNothingUntilOneLeaves) {
  sim().Join("E1", 1, "Bob");
  sim().Join("E2", 2, "Bob");
  const json payment = Payment("p", "", "Bob", json::array({Command(1, "give {username} crown", "Must be online")}));
  Deliver(json::array({payment}));
  EXPECT_TRUE(CommandsRun().empty());
  EXPECT_EQ(Results()["p"]["cmds"]["1"], "Not Executed");
  EXPECT_TRUE(sim().ChatTo("E1").empty() && sim().ChatTo("E2").empty());
  auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("2 players online are named \"Bob\""), std::string::npos) << errors[0];
  EXPECT_NE(errors[0].find("by EOS id"), std::string::npos) << errors[0];
  const auto held = client().waiting_buyers.First(5);
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0], "Bob (a name 2 players online share)");

  Respond(200, "ok");
  Deliver(json::array({payment}));
  EXPECT_EQ(LogMessages("err.log").size(), 1u) << "told once while it lasts";

  sim().Leave("E2");
  Respond(200, "ok");
  Deliver(json::array({payment}));
  ASSERT_EQ(CommandsRun().size(), 1u);
  EXPECT_EQ(CommandsRun()[0]["player"], "E1");
  EXPECT_EQ(Results()["p"]["cmds"]["1"], "Executed");
  EXPECT_EQ(client().waiting_buyers.Count(), 0u);
}

// A reply that lists one payment twice delivers it once.
TEST_F(DeliveryTest, APaymentListedTwiceInOneReplyRunsOnce) {
  const json payment = Payment("P", "", "x", json::array({Command(1, "broadcast dup once")}));
  sim().Join("E", 1, "Someone");
  Deliver(json::array({payment, payment, payment}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"broadcast dup once"});
  EXPECT_EQ(Results()["P"]["cmds"]["1"], "Executed");
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("Payment P is listed more than once"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("2 repeats"), std::string::npos) << errors[1];
}

TEST_F(DeliveryTest, NonAsciiNamesBecomeQuestionMarksInCommandsButNotInLogs) {
  sim().Join("eos", 1, "J\xc3\xb6rg");
  Deliver(json::array(
      {Payment("1", "eos", "x", json::array({Command(1, "give {username} {daduz_username} {minecraft_username}")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give J?rg J?rg J?rg"});
  EXPECT_EQ(LogMessages("info.log").back(), "Executing command [FOR eos : J\xc3\xb6rg]  : give J?rg J?rg J?rg");
}

TEST_F(DeliveryTest, ACharacterNameHoldingAPlaceholderIsFilledLater) {
  sim().Join("eos", 1, "{eosid}");
  Deliver(json::array({Payment("1", "eos", "", json::array({Command(1, "x {daduz_username}")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"x eos"});
}

TEST_F(DeliveryTest, ValuesCannotAddConsoleInput) {
  sim().Join("first", 1, "First");
  sim().Join("evil", 2, "x|admincheat god");
  Deliver(json::array({
      Payment("1", "evil", "", json::array({Command(1, "give {username} 1")})),
      Payment("2", "", "a\nadmincheat b|c\x7f", json::array({Command(2, "say hello"), Command(3, "say {username}")})),
      Payment("3", "id|kick", "", json::array({Command(4, "say hi")})),
  }));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"give x?admincheat god 1", "say hello", "say hi"}));
  // An online buyer without a character name: the store's user name is filled in, made safe.
  sim().Join("n", 3, "");
  sim().ClearEvents();
  Respond(200, "ok");
  Deliver(json::array({Payment("4", "n", "x\r\ny|z", json::array({Command(5, "say {username}")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"say x??y?z"});

  // A quote in a name cannot end the template's quoted text and free its "|".
  sim().Join("q", 4, "x\"");
  sim().ClearEvents();
  Respond(200, "ok");
  Deliver(json::array({Payment("5", "q", "", json::array({Command(6, "say \"{username}|\" {daduz_username}")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"say \"x?|\" x?"});
}

// The host's plugins.* commands pass its console hook from a command run through a player:
// from the store they would unload this plugin inside its own frame. Never run, Not Executed,
// one line per payment.
TEST_F(DeliveryTest, TheHostsPluginCommandsFromTheStoreAreNeverRun) {
  sim().Join("E", 12, "Buyer");
  Deliver(json::array(
      {Payment("p1", "E", "",
               json::array({Command(1, "plugins.unload Gildmark_DadUZ"), Command(2, "cheat PLUGINS.load x"),
                            Command(3, "give {eosid} 1 | plugins.unload Gildmark_DadUZ"), Command(4, "give {eosid} 2")})),
       Payment("p2", "E", "", json::array({Command(5, "  Plugins.Unload Other")}))}));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give E 2"});
  EXPECT_EQ(Results(), json::parse(R"({"p1":{"action":"purchase","cmds":{"1":"Not Executed","2":"Not Executed",
      "3":"Not Executed","4":"Executed"}},"p2":{"action":"purchase","cmds":{"5":"Not Executed"}}})"));
  int told = 0;
  for (const auto& line : LogMessages("err.log"))
    if (line.find("may not load, unload or reload plugins") != std::string::npos) ++told;
  EXPECT_EQ(told, 2);
  EXPECT_NE(Read("err.log").find("Not running \"plugins.unload Gildmark_DadUZ\" of payment p1"), std::string::npos);

  for (const char* allowed : {"give plugins.x", "broadcast plugins.unload is a word", "pluginsX.load", ""})
    EXPECT_FALSE(IsHostPluginCommand(allowed)) << allowed;
  for (const char* refused : {"plugins.", "admincheat plugins.unload x", "a|plugins.load b", "\tPLUGINS.LOAD"})
    EXPECT_TRUE(IsHostPluginCommand(refused)) << refused;
}

// A store behind something that refuses bodies over a size the plugin is not told (413): the
// batch halves, down to one payment; a payment refused even alone is set aside in a file of its
// own and told, the others go on, and purchases are fetched again once they are acknowledged.
// What was set aside as run is never run again when the store offers it once more.
TEST_F(DeliveryTest, BodiesTheStoreRefusesAreHalvedAndAPaymentRefusedAloneIsSetAside) {
  sim().Join("e", 1, "E");
  json huge_commands = json::array();
  for (int c = 0; c < 300; ++c) huge_commands.push_back(Command(1000 + c, "give huge " + std::to_string(c)));
  json payments = json::array({Payment("huge", "e", "", huge_commands)});
  for (int p = 0; p < 40; ++p)
    payments.push_back(Payment("p" + std::to_string(100 + p), "e", "", json::array({Command(p, "give " + std::to_string(p))})));
  Deliver(payments);
  constexpr size_t kLimit = 3000;
  std::map<std::string, int> acknowledged;
  int refused = 0;
  while (!Pending().empty()) {
    const auto request = OnlyPending();
    ASSERT_EQ(request.method, "POST");
    if (request.body.size() > kLimit) {
      ++refused;
      Respond(413, "");
      continue;
    }
    const json batch = json::parse(request.body);
    for (const auto& [id, result] : batch.items()) ++acknowledged[id];
    Respond(200, "");
  }
  EXPECT_EQ(acknowledged.size(), 40u);
  for (const auto& [id, times] : acknowledged) EXPECT_EQ(times, 1) << id;
  EXPECT_EQ(acknowledged.count("huge"), 0u);
  EXPECT_GE(refused, 3);
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
  const json kept = json::parse(Read("response.refused.json"));
  ASSERT_TRUE(kept.contains("huge"));
  EXPECT_EQ(kept["huge"]["cmds"].size(), 300u);
  int told = 0, refusals = 0;
  for (const auto& line : LogMessages("err.log")) {
    told += line.find("The store refuses the results of payment huge even alone") != std::string::npos;
    refusals += line.find("refused the request") != std::string::npos;
  }
  EXPECT_EQ(told, 1);
  EXPECT_EQ(refusals, 0) << "a body too large is no refusal of the key";

  // Delivery goes on: the store offers the set-aside payment again, with a new one. Its buyer
  // is thanked for the new one only: nothing of the set-aside one runs.
  const size_t ran = CommandsRun().size(), thanked = sim().ChatTo("e").size();
  Deliver(json::array({Payment("huge", "e", "", huge_commands),
                       Payment("new", "e", "", json::array({Command(7000, "give new")}))}));
  ASSERT_EQ(CommandsRun().size(), ran + 1) << "the set-aside commands are not run again";
  EXPECT_EQ(sim().ChatTo("e").size(), thanked + 1);
  EXPECT_EQ(CommandTexts().back(), "give new");
  EXPECT_EQ(json::parse(OnlyPending().body), json::parse(R"({"new":{"action":"purchase","cmds":{"7000":"Executed"}}})"));
  Respond(200, "");
}

// The game runs the new-player handler for a respawn too (bIsFromLogin false), here from inside
// a command of the delivery (AShooterGameMode.HandleNewPlayer_Implementation, HooksImpl.cpp):
// no join, so every command that runs with lent rights still has its journal line behind it.
TEST_F(DeliveryTest, ARespawnInTheMiddleOfADeliveryLeavesItsJournalLine) {
  sim().Join("e", 12, "E");
  host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player);
  std::vector<std::vector<std::string>> journal_while_running;
  sim().SetConsoleObserver([&](AShooterPlayerController*, const std::string& text) {
    journal_while_running.push_back(Lines("security_admin.dat"));
    if (text == "respawn me") sim().Respawn("e");
  });
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "respawn me"), Command(2, "give 2"),
                                                           Command(3, "give 3")}))}));
  host::RemoveNewPlayerHook(&OnHandleNewPlayer);
  ASSERT_EQ(journal_while_running.size(), 3u);
  for (const auto& journal : journal_while_running) EXPECT_EQ(journal, std::vector<std::string>{"12"});
  EXPECT_TRUE(Lines("security_admin.dat").empty());
  EXPECT_FALSE(sim().AdminBit("e") || sim().CheatBit("e"));
}

// Another server sharing the folder set a payment aside after this one last read the file: its
// Executed commands still never run here. The file is only ever touched off the game thread.
TEST_F(DeliveryTest, SetAsideResultsOfAnotherServerAreHonouredAndReadOffTheGameThread) {
  sim().Join("e", 1, "E");
  const std::thread::id game_thread = std::this_thread::get_id();
  bool touched_on_game_thread = false;
  SetFileFaultHook([&](FileStep, const std::string& path) {
    if (path.find(kSetAsideFileName) != std::string::npos && std::this_thread::get_id() == game_thread)
      touched_on_game_thread = true;
    return 0;
  });
  Write(kSetAsideFileName, "{}");
  Deliver(json::array({Payment("first", "e", "", json::array({Command(1, "give first")}))}));
  Respond(200, "");
  Write(kSetAsideFileName, R"({"x":{"action":"purchase","cmds":{"1":"Executed","2":"Not Executed"}}})");
  Deliver(json::array({Payment("x", "e", "", json::array({Command(1, "give x1"), Command(2, "give x2")}))}));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"give first", "give x2"}));
  EXPECT_FALSE(touched_on_game_thread);
}

// A set-aside file that cannot be read (a backup or a scanner holding it) may hold any payment:
// every payment waits, told once, until it can be read again.
TEST_F(DeliveryTest, AnUnreadableSetAsideFileHoldsEveryPaymentBack) {
  sim().Join("e", 1, "E");
  Write(kSetAsideFileName, R"({"x":{"action":"purchase","cmds":{"1":"Executed"}}})");
  int unreadable_reads = 2;
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    return step == FileStep::open_read && path.find(kSetAsideFileName) != std::string::npos && unreadable_reads-- > 0
               ? EACCES
               : 0;
  });
  const json offered = json::array({Payment("x", "e", "", json::array({Command(1, "give x1"), Command(2, "give x2")}))});
  for (int poll = 0; poll < 2; ++poll) {
    Deliver(offered);
    EXPECT_TRUE(CommandsRun().empty());
    EXPECT_TRUE(Pending().empty()) << "no results: the store offers the payment again";
    EXPECT_TRUE(sim().ChatTo("e").empty());
  }
  int told = 0;
  for (const auto& line : LogMessages("err.log")) told += line.find("Can't read " + Dir() + kSetAsideFileName) == 0;
  EXPECT_EQ(told, 1);
  Deliver(offered);
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give x2"});
}

// A damaged set-aside file is kept as .broken and what can be read of it is still honoured,
// also when a payment is set aside into it; a payment set aside twice keeps its first states.
TEST_F(DeliveryTest, ADamagedSetAsideFileIsKeptAndWhatCanBeReadIsHonoured) {
  sim().Join("e", 1, "E");
  const std::string damaged = R"({"x":{"action":"purchase","cmds":{"1":"Executed"}},"y":{"cmds":{"5":"Exec)";
  Write(kSetAsideFileName, damaged);
  Deliver(json::array({Payment("x", "e", "", json::array({Command(1, "give x1"), Command(2, "give x2")})),
                       Payment("z", "e", "", json::array({Command(3, "give z3")}))}));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"give x2", "give z3"}));
  EXPECT_EQ(Read(std::string(kSetAsideFileName) + ".broken"), damaged);
  int told = 0;
  for (const auto& line : LogMessages("err.log")) told += line.find("is damaged") != std::string::npos;
  EXPECT_EQ(told, 1);
  // The store refuses x even alone: it joins what was readable, and z goes on.
  while (!Pending().empty()) {
    const json body = json::parse(OnlyPending().body);
    Respond(body.contains("x") ? 413 : 200, "");
  }
  const json kept = json::parse(Read(kSetAsideFileName));
  EXPECT_EQ(kept["x"]["cmds"], json::parse(R"({"1":"Executed","2":"Executed"})"));
  EXPECT_EQ(Read(std::string(kSetAsideFileName) + ".broken"), damaged);
  Deliver(json::array({Payment("x", "e", "", json::array({Command(1, "give x1"), Command(2, "give x2"),
                                                           Command(4, "give x4")}))}));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"give x2", "give z3", "give x4"}));
}

// Answers no store sends: more payments than any store lists at once are refused whole, told
// once while they come; payments and commands that cannot be read, by the thousand, are told
// once each and counted in one line, and what can be read still runs.
TEST_F(DeliveryTest, AbsurdAnswersAreRefusedWholeAndBrokenPartsAreCounted) {
  sim().Join("e", 1, "E");
  std::string many = "[";
  for (size_t p = 0; p <= kMostPaymentsInAnswer; ++p) many += p ? ",0" : "0";
  many += "]";
  for (int poll = 0; poll < 2; ++poll) {
    Poll();
    Respond(200, many);
  }
  EXPECT_TRUE(CommandsRun().empty());
  auto count = [&](const std::string& part) {
    int n = 0;
    for (const auto& line : LogMessages("err.log")) n += line.find(part) != std::string::npos;
    return n;
  };
  EXPECT_EQ(count("commands any store sends at once"), 1);
  EXPECT_EQ(count("Skipping a payment"), 0) << "nothing of it was read";

  json broken = json::array();
  json commands = json::array();
  for (int i = 0; i < 1000; ++i) {
    broken.push_back(0);
    commands.push_back(json::object());
  }
  commands.push_back(Command(1, "give ok"));
  broken.push_back(Payment("p", "e", "", commands));
  Deliver(broken);
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give ok"});
  EXPECT_EQ(count("Skipping a payment that cannot be read"), 1);
  EXPECT_EQ(count("Skipping a command that cannot be read"), 1);
  EXPECT_EQ(count("1000 payments of this answer could not be read"), 1);
  EXPECT_EQ(count("1000 commands of this answer could not be read"), 1);
  EXPECT_EQ(LogMessages("err.log").size(), 5u);
}

#ifdef _WIN32
// Windows: a program that holds response.json open (antivirus, a backup, an editor) keeps it
// from being replaced. The results stay recoverable and the failure is told.
TEST_F(DeliveryTest, AResultsFileHeldOpenByAnotherProgramLosesNothing) {
  sim().Join("e", 1, "E");
  const std::wstring path = std::filesystem::path(Dir() + "response.json").wstring();
  auto hold = [&](DWORD share) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  // Held so that it cannot even be read: nothing is sent, since results might wait in it.
  HANDLE held = hold(0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Poll();
  EXPECT_TRUE(Pending().empty());
  ASSERT_FALSE(LogMessages("err.log").empty());
  EXPECT_EQ(LogMessages("err.log").back().rfind("Can't read " + Dir() + "response.json", 0), 0u);
  CloseHandle(held);

  // Held for reading only, as a scanner or an editor holds it: it cannot be replaced.
  held = hold(FILE_SHARE_READ);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "give 1")}))}));
  const std::string results = R"({"p":{"action":"purchase","cmds":{"1":"Executed"}}})";
  EXPECT_TRUE(Exists("response.pending")) << "the log keeps the state while response.json is held";
  ASSERT_FALSE(LogMessages("err.log").empty());
  EXPECT_EQ(LogMessages("err.log").back().rfind("Can't write to " + Dir() + "response.json", 0), 0u);
  FailNetwork();
  CloseHandle(held);

  Poll();
  EXPECT_EQ(OnlyPending().method, "POST");
  EXPECT_EQ(OnlyPending().body, results);
  Respond(200, "ok");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});
}
#endif

TEST_F(DeliveryTest, ResultsNoFileCouldKeepArePostedFromMemory) {
  sim().Join("e", 1, "E");
  // A full disk: neither the results log nor response.json takes the state, and the POST is lost.
  SetFileFaultHook([](FileStep step, const std::string& path) {
    const bool results = path.find("response.") != std::string::npos;
    return results && step != FileStep::open_read && step != FileStep::read ? ENOSPC : 0;
  });
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "give 1")}))}));
  const std::string results = R"({"p":{"action":"purchase","cmds":{"1":"Executed"}}})";
  FailNetwork();
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_EQ(Read("response.json"), "{}");

  // Still full: the next cycle posts the state it kept in memory, instead of asking again.
  Poll();
  EXPECT_EQ(OnlyPending().method, "POST");
  EXPECT_EQ(OnlyPending().body, results);
  Respond(200, "ok");
  SetFileFaultHook(nullptr);
  Poll();
  EXPECT_EQ(OnlyPending().method, "GET") << "what the store has is not kept any longer";
  Respond(200, "[]");
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});
}

TEST_F(DeliveryTest, AFailedFinalWriteKeepsTheLogSoNothingIsDeliveredTwice) {
  sim().Join("e", 1, "E");
  // A directory where the temporary file goes makes every write of response.json fail.
  std::filesystem::create_directory(TemporaryPathFor(Dir() + "response.json"));
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "give 1")}))}));
  const std::string results = R"({"p":{"action":"purchase","cmds":{"1":"Executed"}}})";
  EXPECT_EQ(OnlyPending().body, results) << "the results still go to the store at once";
  EXPECT_TRUE(Exists("response.pending")) << "the log is all that keeps the state on disk";
  ASSERT_FALSE(LogMessages("err.log").empty());
  EXPECT_EQ(LogMessages("err.log").back().rfind("Can't write to " + Dir() + "response.json", 0), 0u);
  FailNetwork();

  // The next cycle posts the logged state instead of asking for payments again.
  std::filesystem::remove(TemporaryPathFor(Dir() + "response.json"));
  Poll();
  EXPECT_EQ(OnlyPending().method, "POST");
  EXPECT_EQ(OnlyPending().body, results);
  EXPECT_FALSE(Exists("response.pending"));
  Respond(200, "ok");
  EXPECT_EQ(Read("response.json"), "{}");
  Poll();
  EXPECT_EQ(OnlyPending().method, "GET");
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});
}

TEST_F(DeliveryTest, ResultsAreOrderedByKeyAndLaterStatesWin) {
  sim().Join("e", 1, "E");
  Deliver(json::array({
      Payment("b", "e", "", json::array({Command(9, "x"), Command(10, "y")})),
      Payment("a", "e", "", json::array({Command(1, "x"), Command(1, "{never}")})),
      // An offline buyer: the same id with two different states, in both orders.
      Payment("late_held", "gone", "", json::array({Command(1, "plain"), Command(1, "{held}")})),
      Payment("late_run", "gone", "", json::array({Command(1, "{held}"), Command(1, "plain")})),
      // A payment listed twice is delivered once: the repeat is skipped.
      Payment("dup", "e", "", json::array({Command(1, "x")}), "first"),
      Payment("dup", "e", "", json::array({Command(2, "x")}), "second"),
      Payment("empty", "e", "", json::array()),
  }));
  EXPECT_EQ(OnlyPending().body,
            R"({"a":{"action":"purchase","cmds":{"1":"Executed"}},"b":{"action":"purchase","cmds":{"10":"Executed",)"
            R"("9":"Executed"}},"dup":{"action":"first","cmds":{"1":"Executed"}},)"
            R"("late_held":{"action":"purchase","cmds":{"1":"Not Executed"}},)"
            R"("late_run":{"action":"purchase","cmds":{"1":"Executed"}}})");
}

TEST_F(DeliveryTest, IdsAreKeptExactly) {
  sim().Join("e", 1, "E");
  Deliver(json::parse(R"([{"id":"x","action":"a","eos_id":"e","username":"","cmds":[
      {"id":12345678901234,"str":"a","state":""},{"id":true,"str":"b","state":""},
      {"id":7.9,"str":"c","state":""},{"id":-4,"str":"d","state":""}]}])"));
  EXPECT_EQ(Results()["x"]["cmds"], json::parse(R"({"12345678901234":"Executed","1":"Executed","7":"Executed",
      "-4":"Executed"})"));
}

TEST_F(DeliveryTest, EmptyResultsSendNoPost) {
  sim().Join("e", 1, "E");
  Deliver(json::array({Payment("1", "e", "", json::array())}));
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_TRUE(Pending().empty());
  Deliver(json::array());
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_TRUE(Pending().empty());
}

TEST_F(DeliveryTest, ErrorsStayWithTheirCommandOrPayment) {
  sim().Join("e", 1, "E");
  auto* admin = sim().Join("admin", 2, "Admin");
  sim().SetAdminBit("admin", true);
  Deliver(json::parse(R"([
      {"id":"1","action":"a","eos_id":"e","username":"","cmds":[
         {"id":1,"str":5,"state":""},{"id":2,"str":"ok","state":""},"not an object",{"str":"no id","state":""},
         {"id":3,"str":"no state"}]},
      {"id":2,"action":"a","eos_id":"e","username":"","cmds":[{"id":1,"str":"never","state":""}]},
      {"id":"3","eos_id":"e","username":"","cmds":[{"id":1,"str":"never","state":""}]},
      {"id":"4","action":"a","eos_id":"e","username":"","cmds":[{"id":1,"str":"runs","state":""}]}])"));
  EXPECT_EQ(Results(), json::parse(R"({"1":{"action":"a","cmds":{"1":"Not Executed","2":"Executed",
      "3":"Not Executed"}},"4":{"action":"a","cmds":{"1":"Executed"}}})"));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"ok", "runs"}));
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 6u);
  EXPECT_EQ(errors[0], "Error while executing command : [json.exception.type_error.302] type must be string, but is number");
  EXPECT_EQ(OnlyPending().method, "POST");
  Respond(200, "");
  EXPECT_FALSE(client().request_in_flight);
  (void)admin;
}

TEST_F(DeliveryTest, AFaultWhileRunningIsNotExecutedAndLeavesNoRights) {
  sim().Join("e", 5, "E");
  sim().BreakEntry("AShooterPlayerController.ConsoleCommand(FString&,bool)", 0, 1);
  Deliver(json::array({Payment("1", "e", "", json::array({Command(1, "a"), Command(2, "b")}))}));
  EXPECT_EQ(Results()["1"]["cmds"], json::parse(R"({"1":"Not Executed","2":"Executed"})"));
  EXPECT_FALSE(sim().AdminBit("e"));
  EXPECT_FALSE(sim().CheatBit("e"));
  EXPECT_TRUE(Lines("security_admin.dat").empty());
  EXPECT_EQ(LogMessages("err.log"),
            std::vector<std::string>{"Error while executing command : Simulated fault in "
                                     "AShooterPlayerController.ConsoleCommand(FString&,bool)"});
}

TEST_F(DeliveryTest, ACrashBetweenCommandsKeepsTheStatesSoFar) {
  sim().Join("e", 1, "E");
  // A copy of the plugin's files as a stop during each command would leave them.
  std::vector<std::string> snapshots;
  sim().SetConsoleObserver([&](AShooterPlayerController*, const std::string&) {
    const std::string copy = Root() + "/stop" + std::to_string(snapshots.size());
    // The folder's own path, without the trailing slash that MinGW's copy refuses.
    std::filesystem::copy(std::filesystem::path(Dir()).parent_path(), copy);
    snapshots.push_back(copy + "/");
  });
  Deliver(json::array({Payment("1", "e", "", json::array({Command(1, "a"), Command(2, "b")})),
                       Payment("2", "e", "", json::array({Command(3, "c")}))}));
  Respond(200, "");
  EXPECT_FALSE(Exists("response.pending")) << "an acknowledged reply leaves no log";
  ASSERT_EQ(snapshots.size(), 3u);
  const std::vector<std::string> expected = {
      "{}", R"({"1":{"action":"purchase","cmds":{"1":"Executed"}}})",
      R"({"1":{"action":"purchase","cmds":{"1":"Executed","2":"Executed"}}})"};
  StopClient();
  for (size_t i = 0; i < snapshots.size(); ++i) {
    // The next start folds what was recorded into response.json and posts it.
    std::filesystem::remove_all(Dir());
    std::filesystem::copy(std::filesystem::path(snapshots[i]).parent_path(), std::filesystem::path(Dir()).parent_path());
    sim().Reset(Root());
    auto* restarted = new StoreClient();
  FinishOffThreadWork();
    FinishOffThreadWork();
    EXPECT_EQ(Read("response.json"), expected[i]) << "a stop during command " << i + 1;
    EXPECT_FALSE(Exists("response.pending"));
    EXPECT_EQ(OnlyPending().method, i == 0 ? "GET" : "POST");
    if (i > 0) {
      EXPECT_EQ(OnlyPending().body, expected[i]);
    }
    delete restarted;
  }
}

TEST_F(DeliveryTest, ADamagedResultsLogLosesOnlyItsDamagedLines) {
  // A line cut short by a stop, a line of the wrong types, a response.json member that cannot
  // hold a state next to a line for it, and a later line that wins over an earlier one.
  Write("response.json", R"({"5":"x","q":{"action":"b","cmds":{"7":"Executed"}}})");
  Write("response.pending",
        "{\"action\":\"a\",\"cmd\":\"1\",\"id\":\"p\",\"state\":\"Not Executed\"}\r\n"
        "{\"action\":null,\"cmd\":\"1\",\"id\":\"p\",\"state\":\"Executed\"}\n"
        "{\"action\":\"c\",\"cmd\":\"3\",\"id\":\"5\",\"state\":\"Executed\"}\n"
        "{\"action\":\"a\",\"cmd\":\"1\",\"id\":\"p\",\"state\":\"Executed\"}\n"
        "{\"action\":\"a\",\"cmd\":\"2\",\"id\":\"p\",\"sta");
  PendingResults pending = LoadPendingResults(&client());
  const std::string expected =
      R"({"5":{"action":"c","cmds":{"3":"Executed"}},"p":{"action":"a","cmds":{"1":"Executed"}},)"
      R"("q":{"action":"b","cmds":{"7":"Executed"}}})";
  EXPECT_TRUE(pending.readable);
  EXPECT_EQ(pending.text, expected);
  EXPECT_EQ(Read("response.json"), expected);
  EXPECT_FALSE(Exists("response.pending"));
  const auto errors = LogMessages("err.log");
  ASSERT_EQ(errors.size(), 2u) << ::testing::PrintToString(errors);
  EXPECT_NE(errors[0].find("skipped lines 2, 5"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("\"5\" could not hold a result"), std::string::npos) << errors[1];
}

TEST_F(DeliveryTest, ADamagedResultsLogNeitherCrashesTheLoadNorStopsDelivery) {
  StopClient();
  const std::string damaged = "{\"action\":null,\"cmd\":\"1\",\"id\":\"p\",\"state\":\"Executed\"}\n";
  Write("response.json", R"({"5":"x"})");
  Write("response.pending", damaged + "{\"action\":\"a\",\"cmd\":\"2\",\"id\":\"5\",\"state\":\"Executed\"}\n");
  auto* restarted = new StoreClient();
  FinishOffThreadWork();
  EXPECT_EQ(g_store_client, restarted);
  EXPECT_EQ(OnlyPending().method, "POST") << "the recovered result is posted at load";
  EXPECT_EQ(OnlyPending().body, R"({"5":{"action":"a","cmds":{"2":"Executed"}}})");
  Respond(200, "ok");
  EXPECT_EQ(Read("response.json"), "{}");

  // Written while running, the same line costs one report and no poll.
  Write("response.pending", damaged);
  restarted->target->Clear();
  restarted->RunRequestCycle(true, false);
  FinishOffThreadWork();
  EXPECT_EQ(OnlyPending().method, "GET");
  Respond(200, "[]");
  delete restarted;
}

TEST_F(DeliveryTest, AGreetingWithBracesIsSentAsWritten) {
  WriteConfig("srv1.secret2.third3", 1, "Thanks {{name}} and { stray");
  client().LoadConfig();
  sim().Join("e", 1, "E");
  Deliver(json::array({Payment("1", "e", "", json::array({Command(1, "a")}))}));
  EXPECT_EQ(sim().ChatTo("e"), std::vector<std::string>{"Thanks {{name}} and { stray"});
  WriteConfig("srv1.secret2.third3", 1, "Thanks {{you}}");
  client().LoadConfig();
  Respond(200, "ok");
  Deliver(json::array({Payment("2", "e", "", json::array({Command(1, "a")}))}));
  EXPECT_EQ(sim().ChatTo("e").back(), "Thanks {you}");
}

TEST_F(DeliveryTest, ReplaceFirstAndSanitize) {
  std::string text = "ab{x}cd{x}";
  ReplaceFirst(text, "{x}", "Y");
  EXPECT_EQ(text, "abYcd{x}");
  std::string tiny = "{";
  ReplaceFirst(tiny, "{x}", "Y");
  EXPECT_EQ(tiny, "{");
  EXPECT_EQ(SanitizeValue("a|b\nc\td\x7f\xc3\xa9\"e"), "a?b?c?d?\xc3\xa9?e");
}

TEST_F(DeliveryTest, ResultsInAnyFormAreEmptiedOnceTheStoreHasThem) {
  sim().Join("e", 1, "E");
  const std::string results = R"({"old":{"action":"give","cmds":{"7":"Executed"}}})";
  const std::vector<std::string> forms = {
      "{\n  \"old\": {\"action\": \"give\", \"cmds\": {\"7\": \"Executed\"}}\n}\n",  // pretty, final line feed
      "{\r\n\"old\":{\"action\":\"give\",\"cmds\":{\"7\":\"Executed\"}}}\r\n",       // CRLF
      "\xEF\xBB\xBF" + results,                                                           // a BOM
      results + "\n",
  };
  for (const std::string& form : forms) {
    Write("response.json", form);
    Poll();
    ASSERT_EQ(OnlyPending().method, "POST");
    EXPECT_EQ(OnlyPending().body, results);
    Respond(200, "");
    EXPECT_EQ(Read("response.json"), "{}") << "as documents, what was posted is what the file held";
    Poll();
    EXPECT_EQ(OnlyPending().method, "GET") << "delivery goes on";
    Respond(200, json::array({Payment("p", "e", "", json::array({Command(1, "give 1")}))}).dump());
    Respond(200, "");
  }
  EXPECT_EQ(CommandTexts().size(), forms.size());
  size_t told = 0;
  for (const auto& line : LogMessages("info.log")) told += line.find("not in the plugin's own form") != std::string::npos;
  EXPECT_EQ(told, 1u) << "said once";
}

TEST_F(DeliveryTest, ResponseJsonReachesTheDiskBeforeItsLogGoes) {
  sim().Join("e", 1, "E");
  const std::string flush_temporary =
      "flush to disk " + std::filesystem::path(TemporaryPathFor(Dir() + "response.json")).filename().string();
  std::vector<std::string> steps;
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    if (name.rfind("response.", 0) == 0) steps.push_back(std::string(FileStepName(step)) + " " + name);
    return 0;
  });
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "give 1"), Command(2, "give 2")}))}));
  const auto count = [&](const std::string& step) { return std::count(steps.begin(), steps.end(), step); };
  EXPECT_EQ(count("rename response.json"), 1) << "the results go to response.json";
  EXPECT_EQ(count(flush_temporary), 0) << "the log keeps them on the disk until the store has them";
  EXPECT_EQ(count("remove response.pending"), 0);
  EXPECT_EQ(count("flush to disk response.pending"), 0) << "not per command";
  FailNetwork();  // the log stays for the next cycle, which folds it into response.json

  steps.clear();
  Poll();
  const auto at = [&](const std::string& step) {
    return std::find(steps.begin(), steps.end(), step) - steps.begin();
  };
  EXPECT_LT(at(flush_temporary), at("rename response.json"));
  EXPECT_LT(at("rename response.json"), at("remove response.pending"));
  Respond(200, "");

  // A flush that fails keeps the log, so the states are still on the disk.
  SetFileFaultHook([](FileStep step, const std::string&) { return step == FileStep::flush ? EIO : 0; });
  Deliver(json::array({Payment("q", "e", "", json::array({Command(3, "give 3")}))}));
  FailNetwork();
  Poll();
  EXPECT_TRUE(Exists("response.pending"));
  EXPECT_EQ(OnlyPending().body, R"({"q":{"action":"purchase","cmds":{"3":"Executed"}}})");
  Respond(200, "");
  SetFileFaultHook(nullptr);
  Poll();
  EXPECT_EQ(OnlyPending().method, "POST") << "sent once more: the store takes a result twice, a payment not";
  Respond(200, "");
  Poll();
  Respond(200, "[]");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(CommandTexts().size(), 3u);
}

TEST_F(DeliveryTest, ResultsOnlyMemoryHeldAreWrittenOrToldAtUnload) {
  sim().Join("e", 1, "E");
  bool full = true;
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    const bool results = path.find("response.") != std::string::npos;
    return full && results && step != FileStep::open_read && step != FileStep::read ? ENOSPC : 0;
  });
  Deliver(json::array({Payment("p", "e", "", json::array({Command(1, "give 1"), Command(2, "give 2")}))}));
  FailNetwork();
  full = false;  // the disk has room again by the time the server stops
  StopClient();
  EXPECT_EQ(Read("response.json"), R"({"p":{"action":"purchase","cmds":{"1":"Executed","2":"Executed"}}})");

  Write("response.json", "{}");
  full = true;
  StartClient();
  Deliver(json::array({Payment("q", "e", "", json::array({Command(3, "give 3")}))}));
  FailNetwork();
  StopClient();
  SetFileFaultHook(nullptr);
  bool told = false;
  for (const auto& line : sim().HostLog())
    told |= line.find("1 command result that no file could keep are lost at unload") != std::string::npos;
  EXPECT_TRUE(told);
}

TEST_F(DeliveryTest, AResultsFileReplacedWhileFoldingInTheLogIsKept) {
  Write("response.pending", R"({"id":"p","action":"a","cmd":"1","state":"Executed"})" "\n");
  Write("response.json", "{ not json");
  Poll();
  EXPECT_EQ(Read("response.json.broken"), "{ not json");
  EXPECT_EQ(OnlyPending().body, R"({"p":{"action":"a","cmds":{"1":"Executed"}}})");
  Respond(200, "");
  Write("response.pending", R"({"id":"q","action":"a","cmd":"2","state":"Executed"})" "\n");
  Write("response.json", "[7]");
  Poll();
  EXPECT_EQ(Read("response.json.broken"), "[7]");
  EXPECT_NE(LogMessages("err.log").back().find("it is kept as " + Dir() + "response.json.broken"), std::string::npos)
      << LogMessages("err.log").back();
}

}  // namespace
}  // namespace gildmark::testing
