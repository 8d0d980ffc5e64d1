// A reply delivered a slice at a time: what may change between two slices (a buyer leaves or
// dies, an admin asks, the timer ticks, the plugin is unloaded), and the early poll when a buyer
// whose commands were held back joins.
#include <algorithm>
#include <chrono>
#include <set>

#include "plugin_fixture.h"
#include "shell/plugin_entry.h"
#include "store/admin_rights.h"
#include "store/payment_delivery.h"
#include "store/request_cycle.h"
#include "store/results_batches.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

class SlicedDeliveryTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    StartClient();
  }
  // The scheduled GET answered as the game thread meets it, without running a frame: the reply
  // waits to be delivered.
  void Arrive(const json& payments) {
    Poll();
    ASSERT_EQ(OnlyPending().method, "GET");
    const auto get = OnlyPending();
    ASSERT_TRUE(sim().Scripted().Complete(get.id, 200, payments.dump()));
    sim().RunQueue();
    // Decoded, then the set-aside results read again, each off the game thread.
    for (int step = 0; step < 2; ++step) {
      host::WaitForPreparedHttps();
      host::RunHttpsCompletions();
    }
    ASSERT_TRUE(client().delivery);
  }
  // One step of the delivery: a deadline already past still lets one command (or the start of a
  // payment) through.
  void Step() { ContinueDelivery(client(), Clock::now() - std::chrono::seconds(1)); }
  void Finish() {
    while (client().delivery) ContinueDelivery(client(), Clock::now() + std::chrono::seconds(10));
    Settle();
  }
  json PostedResults() {
    for (const auto& request : Pending())
      if (request.method == "POST") return json::parse(request.body);
    return json();
  }
};

TEST_F(SlicedDeliveryTest, ABuyerWhoLeavesOrDiesBetweenSlicesIsTreatedAsOffline) {
  sim().Join("first", 1, "First");
  sim().Join("leaver", 2, "Leaver");
  sim().Join("dier", 3, "Dier");
  Arrive(json::array({
      Payment("a", "leaver", "", json::array({Command(1, "give one"), Command(2, "give {eosid}"), Command(3, "plain"),
                                              Command(4, "online only", "Must be online")})),
      Payment("b", "dier", "", json::array({Command(5, "give {username}"), Command(6, "give two")})),
  }));
  Step();  // payment a begins: its buyer is online and greeted
  Step();  // command 1 runs for them
  sim().Leave("leaver");
  Step();  // command 2 needs them: held back
  Step();  // command 3 needs nobody: runs through the first player
  Step();  // command 4 must wait for them
  Step();  // payment b begins
  Step();  // command 5 runs
  sim().Die("dier");
  Finish();
  EXPECT_EQ(PostedResults(), json::parse(R"({
      "a":{"action":"purchase","cmds":{"1":"Executed","2":"Not Executed","3":"Executed","4":"Not Executed"}},
      "b":{"action":"purchase","cmds":{"5":"Executed","6":"Executed"}}})"));
  auto run = CommandsRun();
  ASSERT_EQ(run.size(), 4u);
  EXPECT_EQ(run[0]["player"], "leaver");
  EXPECT_EQ(run[1]["player"], "first") << "the buyer left: no controller kept from the last slice is used";
  EXPECT_EQ(run[1]["text"], "plain");
  EXPECT_EQ(run[2]["text"], "give Dier");
  EXPECT_EQ(run[3]["player"], "first") << "a dead buyer's plain command runs as an offline one's";
  EXPECT_EQ(client().waiting_buyers.Count(), 1u) << "the buyer held back waits for a join";
}

TEST_F(SlicedDeliveryTest, AConnectionTestAndATimerTickDuringADeliveryWait) {
  auto* admin = sim().Join("admin", 1, "Admin");
  sim().SetAdminBit("admin", true);
  sim().Join("e", 2, "E");
  Arrive(json::array({Payment("p", "e", "", json::array({Command(1, "a"), Command(2, "b")}))}));
  Step();
  Step();

  client().target->Clear();
  client().RunRequestCycle(true, false);  // the timer's tick
  client().target->SetPlayer(admin);
  client().RunRequestCycle(false, true);  // gildmark.connect
  EXPECT_TRUE(Pending().empty()) << "no request until the reply is done and its results are posted";
  EXPECT_EQ(sim().ChatTo("admin").back(), kPleaseWaitMessage);

  Finish();
  EXPECT_EQ(PostedResults()["p"]["cmds"].size(), 2u);
  Respond(200, "");
  Poll();
  EXPECT_EQ(OnlyPending().method, "GET") << "the next poll goes out as usual";
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"a", "b"}));
}

// When the results log refuses its lines (a full disk, the file held by another program), the
// delivery is all that holds its states: an unload at any step keeps them, those of the payment
// under way and of a results job not yet run included, and the next start posts them first.
TEST_F(SlicedDeliveryTest, AnUnloadKeepsEveryStateTheDeliveryKnowsWhenTheLogCannot) {
  sim().Join("e", 1, "E");
  const std::string log = Dir() + "response.pending";
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    return path == log && (step == FileStep::open_append || step == FileStep::write) ? ENOSPC : 0;
  });
  const json reply = json::array({Payment("p1", "e", "", json::array({Command(1, "a"), Command(2, "b")})),
                                  Payment("p2", "e", "", json::array({Command(3, "c")}))});
  const json all = json::parse(R"({"p1":{"action":"purchase","cmds":{"1":"Executed","2":"Executed"}},
                                   "p2":{"action":"purchase","cmds":{"3":"Executed"}}})");
  // Stopped after 2 steps (a ran, p1 under way), after 4 (p1 done, p2 begun), and after the
  // last command with the results job queued but not run.
  StopClient();
  for (int steps : {2, 4, 5}) {
    SCOPED_TRACE(steps);
    Write("response.json", "{}");
    sim().ClearEvents();
    StartClient();
    Arrive(reply);
    for (int i = 0; i < steps; ++i) Step();
    if (steps == 5) {
      ASSERT_FALSE(client().delivery) << "the delivery is over; its results are on their way";
    }
    StopClient();
    json expected = all;
    if (steps == 2) expected = json::parse(R"({"p1":{"action":"purchase","cmds":{"1":"Executed"}}})");
    if (steps == 4) expected.erase("p2");
    EXPECT_EQ(json::parse(Read("response.json")), expected);
  }
  SetFileFaultHook(nullptr);
  // The next start posts them before it asks for payments again.
  sim().ClearEvents();
  StartClient("");
  const auto requests = sim().Events("http_request");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"], "POST");
  EXPECT_EQ(json::parse(requests[0]["body"].get<std::string>()), all);
}

TEST_F(SlicedDeliveryTest, AnUnloadBetweenTwoCommandsLosesNothingAndRunsNothingTwice) {
  sim().Join("e", 1, "E");
  const json reply = json::array({Payment("p1", "e", "", json::array({Command(1, "a"), Command(2, "b")})),
                                  Payment("p2", "e", "", json::array({Command(3, "c")}))});
  Arrive(reply);
  Step();
  Step();  // command 1 ran; the plugin goes
  StopClient();
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"a"});
  // (A blank line before it is how the log ends a line a failed write may have cut.)
  const auto lines = Lines("response.pending");
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty(); }), 1);

  // The next start posts what was recorded before it asks again; the store then sends what has
  // no state, and only that runs.
  sim().ClearEvents();
  StartClient("");
  const auto requests = sim().Events("http_request");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"], "POST");
  EXPECT_EQ(json::parse(requests[0]["body"].get<std::string>()),
            json::parse(R"({"p1":{"action":"purchase","cmds":{"1":"Executed"}}})"));
  Deliver(json::array({Payment("p1", "e", "", json::array({Command(2, "b")})),
                       Payment("p2", "e", "", json::array({Command(3, "c")}))}));
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"b", "c"})) << "a ran before the unload, and not again";
}

TEST_F(SlicedDeliveryTest, ALargeReplyIsDeliveredOverManyFramesInOrder) {
  sim().Join("e", 1, "E");
  json payments = json::array();
  for (int p = 0; p < 2000; ++p)
    payments.push_back(Payment("p" + std::to_string(p), "e", "",
                               json::array({Command(p * 3, "x"), Command(p * 3 + 1, "y"), Command(p * 3 + 2, "z")})));
  Poll();
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, payments.dump()));
  const uint64_t frames_before = sim().Frames();
  Settle();
  // 6,000 commands do not fit in the few milliseconds one frame may spend.
  EXPECT_GT(sim().Frames() - frames_before, 3u);
  EXPECT_EQ(CommandsRun().size(), 6000u);
  EXPECT_EQ(Lines("response.pending").size(), 6000u);
  // The results go in batches of whole payments, one after another.
  std::set<std::string> posted;
  int batches = 0;
  while (!Pending().empty()) {
    const auto request = OnlyPending();
    ASSERT_EQ(request.method, "POST");
    EXPECT_LE(request.body.size(), kBatchBytes);
    const json batch = json::parse(request.body);
    EXPECT_LE(batch.size(), kBatchPayments);
    for (const auto& [id, result] : batch.items()) {
      EXPECT_TRUE(posted.insert(id).second) << id << " posted twice";
      EXPECT_EQ(result["cmds"].size(), 3u);
    }
    ++batches;
    Respond(200, "");
  }
  EXPECT_EQ(posted.size(), 2000u);
  EXPECT_GE(batches, 4);
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_EQ(Read("response.json"), "{}");
}

TEST_F(SlicedDeliveryTest, OnePaymentOfManyCommandsSpansManyFramesAndEachRunsOnce) {
  sim().Join("e", 1, "E");
  json cmds = json::object();  // by ascending key, as an object's commands go
  for (int c = 0; c < 6000; ++c) cmds[std::to_string(100000 + c)] = Command(c, "give " + std::to_string(c));
  Poll();
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, json::array({Payment("big", "e", "", cmds)}).dump()));
  const uint64_t frames_before = sim().Frames();
  Settle();
  EXPECT_GT(sim().Frames() - frames_before, 3u) << "one payment is sliced like many";
  const std::vector<std::string> texts = CommandTexts();
  ASSERT_EQ(texts.size(), 6000u);
  for (int c = 0; c < 6000; c += 997) EXPECT_EQ(texts[static_cast<size_t>(c)], "give " + std::to_string(c));
  EXPECT_EQ(sim().ChatTo("e").size(), 1u) << "greeted once, not once a slice";
  // A payment larger than a batch goes alone.
  const auto post = OnlyPending();
  ASSERT_EQ(post.method, "POST");
  const json results = json::parse(post.body);
  ASSERT_EQ(results["big"]["cmds"].size(), 6000u);
  EXPECT_EQ(results["big"]["cmds"]["5999"], "Executed");
  Respond(200, "");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
}

// A results log of a long outage, megabytes: folded on the plugin's own thread, and posted in
// batches once it is; a batch the store fails leaves only the rest in response.json.
TEST_F(SlicedDeliveryTest, ABacklogOfResultsIsFoldedOffTheGameThread) {
  std::string log;
  for (int p = 0; p < 1500; ++p)
    for (int c = 0; c < 2; ++c)
      log += json{{"action", "purchase"}, {"cmd", std::to_string(c)}, {"id", "p" + std::to_string(p)}, {"state", "Executed"}}
                 .dump() +
             "\n";
  log += "{\"damaged\n";
  Write("response.pending", log);
  client().RunRequestCycle(true, false);
  EXPECT_TRUE(Pending().empty()) << "nothing is sent before the log is folded";
  EXPECT_TRUE(client().request_in_flight) << "and nothing else starts meanwhile";
  client().RunRequestCycle(true, false);
  Settle();
  EXPECT_EQ(LogMessages("err.log").back(), Dir() + "response.pending: skipped line 3001, not a complete result record");
  EXPECT_FALSE(Exists("response.pending")) << "response.json holds the results on the disk";
  EXPECT_EQ(json::parse(Read("response.json")).size(), 1500u);

  std::set<std::string> acknowledged;
  auto post = OnlyPending();
  ASSERT_EQ(post.method, "POST");
  const json first = json::parse(post.body);
  for (const auto& [id, result] : first.items()) acknowledged.insert(id);
  Respond(200, "");
  ASSERT_EQ(OnlyPending().method, "POST");
  Respond(500, "");
  EXPECT_FALSE(client().request_in_flight);
  const json rest = json::parse(Read("response.json"));
  EXPECT_EQ(rest.size() + acknowledged.size(), 1500u) << "what the store has left response.json";
  for (const auto& id : acknowledged) EXPECT_FALSE(rest.contains(id)) << id;

  // The next cycle posts the rest, and only the rest.
  size_t posted = 0;
  Poll();
  Settle();
  while (!Pending().empty()) {
    const json batch = json::parse(OnlyPending().body);
    for (const auto& [id, result] : batch.items()) {
      EXPECT_EQ(acknowledged.count(id), 0u) << id << " posted again";
      ++posted;
    }
    Respond(200, "");
  }
  EXPECT_EQ(posted, rest.size());
  EXPECT_EQ(Read("response.json"), "{}");
}

class EarlyPollTest : public SlicedDeliveryTest {
 protected:
  // Joins reach the plugin through the game's new-player handler, as once it is loaded.
  void SetUp() override {
    SlicedDeliveryTest::SetUp();
    ASSERT_TRUE(host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player));
  }
  void TearDown() override {
    host::RemoveNewPlayerHook(&OnHandleNewPlayer);
    SlicedDeliveryTest::TearDown();
  }
  // The buyer's command held back while they were offline.
  void HoldBack(const std::string& eos_id) {
    Deliver(json::array({Payment("held-" + eos_id, eos_id, "", json::array({Command(1, "give {eosid}")}))}));
    Respond(200, "");
  }
  size_t EarlyPollsSaid() {
    size_t n = 0;
    for (const auto& line : LogMessages("info.log")) n += line.rfind("Asking the store now", 0) == 0;
    return n;
  }
};

TEST_F(EarlyPollTest, ABuyerHeldBackIsServedOnceTheirCharacterLives) {
  HoldBack("late");
  ASSERT_EQ(client().waiting_buyers.Count(), 1u);
  sim().Join("late", 7, "Late", false, false);  // a new survivor: no character yet
  sim().Advance(5);
  EXPECT_TRUE(Pending().empty()) << "nobody to deliver to until the character lives";
  sim().Respawn("late");
  sim().Advance(1);
  ASSERT_EQ(OnlyPending().method, "GET");
  EXPECT_EQ(EarlyPollsSaid(), 1u);
  Respond(200, json::array({Payment("held-late", "late", "", json::array({Command(1, "give {eosid}")}))}).dump());
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give late"});
  EXPECT_EQ(client().waiting_buyers.Count(), 0u);

  // A join watched for a minute only.
  Respond(200, "");
  HoldBack("slow");
  sim().Join("slow", 8, "Slow", false, false);
  sim().Advance(61);
  sim().Respawn("slow");
  sim().Advance(2);
  EXPECT_TRUE(Pending().empty()) << "after a minute the regular poll serves them";
}

TEST_F(EarlyPollTest, ManyJoinsMakeAtMostOneEarlyPollPerTenSeconds) {
  for (int i = 0; i < 6; ++i) HoldBack("b" + std::to_string(i));
  ASSERT_EQ(client().waiting_buyers.Count(), 6u);
  size_t polls = 0;
  for (int i = 0; i < 6; ++i) {
    sim().Join("b" + std::to_string(i), 10 + i, "B" + std::to_string(i));
    sim().Advance(1);
    while (!Pending().empty()) {
      ++polls;
      Respond(200, "[]");  // the store has nothing more for them yet
    }
  }
  EXPECT_EQ(polls, 1u) << "six joins within ten seconds";
  sim().Advance(10);
  while (!Pending().empty()) {
    ++polls;
    Respond(200, "[]");
  }
  EXPECT_EQ(polls, 2u) << "the next one ten seconds later";
  EXPECT_EQ(EarlyPollsSaid(), 2u);
}

// The early poll is the poll: a timer tick that meets it has nobody to tell and nothing to add,
// while one that meets an admin's test or a slow regular poll still says "Please wait".
TEST_F(EarlyPollTest, TheTimerMeetingTheEarlyPollSaysNothing) {
  auto please_waits = [this] {
    const auto lines = LogMessages("info.log");
    return std::count(lines.begin(), lines.end(), std::string(kPleaseWaitMessage));
  };
  HoldBack("b");
  sim().Join("b", 3, "B");
  sim().Advance(1);
  ASSERT_EQ(OnlyPending().method, "GET");
  ASSERT_EQ(EarlyPollsSaid(), 1u);
  OnTimerTick();
  OnTimerTick();
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_EQ(please_waits(), 0);
  Respond(200, "[]");

  // The next request out is the timer's own: meeting it is told, as before.
  OnTimerTick();
  ASSERT_EQ(OnlyPending().method, "GET");
  OnTimerTick();
  EXPECT_EQ(please_waits(), 1);
  Respond(200, "[]");
}

TEST_F(EarlyPollTest, AWaitTheStoreAskedForIsKept) {
  HoldBack("b");
  Poll();
  sim().Scripted().CompleteNext(429, "", {{"Retry-After", "600"}});
  Settle();
  sim().Join("b", 3, "B");
  sim().Advance(30);
  EXPECT_TRUE(Pending().empty());
  EXPECT_EQ(EarlyPollsSaid(), 0u);
}

TEST(WaitingBuyersTest, KeepsTheNewestTenThousandByIdOrName) {
  WaitingBuyers buyers;
  for (size_t i = 0; i <= WaitingBuyers::kMaxBuyers; ++i) buyers.Note("e" + std::to_string(i), "");
  EXPECT_EQ(buyers.Count(), WaitingBuyers::kMaxBuyers);
  buyers.Note("", "Named");
  buyers.Note("", "Named");
  buyers.Note("", "");
  EXPECT_EQ(buyers.Count(), WaitingBuyers::kMaxBuyers) << "the oldest made room; nameless buyers are not kept";
  buyers.Forget("", "Named");
  buyers.Forget("e10000", "");
  EXPECT_EQ(buyers.Count(), WaitingBuyers::kMaxBuyers - 2);
}

}  // namespace
}  // namespace gildmark::testing
