// The stand-in host: strings, the registry and its faults, hooks, commands, timers, frames, both
// HTTP services and the event log. The plugin's tests rely on each of these behaving as the real host does.
#include <gtest/gtest.h>

#include <chrono>
#include <unordered_map>

#include "Requests.h"
#include "Timer.h"
#include "host/host.h"
#include "sim/simulation.h"
#include "sim/system_https.h"

namespace {

sim::Simulation& Sim() { return sim::Simulation::Get(); }

class SimHostTest : public ::testing::Test {
 protected:
  void SetUp() override { Sim().Reset("/tmp"); }
  void TearDown() override { Sim().Reset("/tmp"); }
};

TEST_F(SimHostTest, StringsConvertLikeTheHost) {
  // Narrow text is widened byte by byte, not decoded.
  FString narrow("caf\xc3\xa9");
  EXPECT_EQ(narrow.Len(), 5);
  EXPECT_EQ(narrow.ToString(), "caf??");

  const std::string utf8 = "Jos\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
  FString wide = gildmark::host::FromUtf8(utf8);
  // The smiley is outside the basic plane: a surrogate pair where TCHAR has 16 bits (Windows).
  EXPECT_EQ(wide.Len(), sizeof(TCHAR) == 2 ? 9 : 8);
  EXPECT_EQ(gildmark::host::ToUtf8(wide), utf8);
  EXPECT_EQ(gildmark::host::To7Bit(wide), "Jos? ? ?");

  FString empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(std::wstring(*empty), L"");
  EXPECT_EQ(gildmark::host::ToUtf8(empty), "");

  // The plugin's own 7-bit text: every character above 127 is one "?", a character outside the
  // basic plane included, and a NUL does not end it (the host's ToString() stops there).
  EXPECT_EQ(gildmark::host::To7Bit(gildmark::host::FromUtf8("Plain ASCII ~")), "Plain ASCII ~");
  EXPECT_EQ(gildmark::host::To7Bit(gildmark::host::FromUtf8("\xc3\x84rger \xc3\xbf")), "?rger ?");
  EXPECT_EQ(gildmark::host::To7Bit(gildmark::host::FromUtf8("a\xf0\x9f\x98\x80" "b")), "a?b");
  const FString with_nul = gildmark::host::FromUtf8(std::string("ab\0c\xc3\xa9", 6));
  EXPECT_EQ(with_nul.Len(), 5);
  EXPECT_EQ(gildmark::host::To7Bit(with_nul), std::string("ab\0c?", 5));
  EXPECT_EQ(with_nul.ToString(), "ab");

  // The game's == ignores case; Equals is exact unless asked otherwise.
  EXPECT_TRUE(FString("Alice") == FString("ALICE"));
  EXPECT_FALSE(FString("Alice").Equals(FString("ALICE"), ESearchCase::CaseSensitive));
  EXPECT_TRUE(FString("Alice").Equals(FString("ALICE"), ESearchCase::IgnoreCase));
  EXPECT_EQ(FString::Format(L"{} {}", L"x", 7).Len(), 3);
  EXPECT_THROW(FString::Format("{", 1), fmt::format_error);

  // Invalid UTF-8 decodes to U+FFFD, as the Windows converter does.
  EXPECT_EQ(AsaApi::Tools::Utf8Decode("a\xff" "b"), std::wstring(L"a\xFFFD" L"b"));
  EXPECT_EQ(AsaApi::Tools::Utf8Decode("\xe2\x82"), std::wstring(L"\xFFFD"));

  // Copies own their buffers.
  FString copy = wide;
  wide = FString("x");
  EXPECT_EQ(gildmark::host::ToUtf8(copy), utf8);
}

TEST_F(SimHostTest, RegistryFaultsAreCatchable) {
  auto* player = Sim().Join("eos1", 0x1'0000'0007, "Alice");
  EXPECT_EQ(player->GetLinkedPlayerID(), 7);
  EXPECT_EQ(gildmark::host::LinkedId(player), 0x1'0000'0007);

  // The rights bits: the SDK's accessors and the plugin's reads agree, and writing one bit of a
  // word leaves the word's other bits alone.
  Sim().SetAdminBit("eos1", true);
  EXPECT_TRUE(player->bIsAdmin().Get());
  EXPECT_TRUE(player->bIsAdmin()());
  EXPECT_FALSE(player->bCheatEnabled().Get());
  const BitField admin_field = GetBitField(static_cast<void*>(player), "APrimalPlayerController.bIsAdmin");
  const uint32_t word_before = *reinterpret_cast<uint32_t*>(admin_field.offset);
  gildmark::host::WriteBit(player, gildmark::host::kAdminBit, false);
  EXPECT_FALSE(Sim().AdminBit("eos1"));
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(admin_field.offset), word_before & ~(1u << admin_field.bit_position));
  player->bCheatEnabled() = true;
  EXPECT_TRUE(gildmark::host::ReadBit(player, gildmark::host::kCheatBit));
  EXPECT_FALSE(gildmark::host::ReadBit(player, gildmark::host::kAdminBit));

  Sim().RemoveEntry("APrimalPlayerController.bIsAdmin");
  try {
    gildmark::host::ReadBit(player, gildmark::host::kAdminBit);
    FAIL() << "expected a throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Invalid bitfield metadata: APrimalPlayerController.bIsAdmin");
  }

  // Break the second lookup only.
  Sim().BreakEntry("AShooterPlayerController.GetLinkedPlayerID()", 1, 1);
  EXPECT_NO_THROW(player->GetLinkedPlayerID());
  EXPECT_THROW(player->GetLinkedPlayerID(), std::runtime_error);
  EXPECT_NO_THROW(player->GetLinkedPlayerID());

  Sim().RemoveEntry("UWorld.GetFirstPlayerController()");
  EXPECT_THROW(gildmark::host::FirstPlayerController(), std::runtime_error);
  Sim().RestoreRegistry();
  EXPECT_EQ(gildmark::host::FirstPlayerController(), player);
  Sim().SetWorldExists(false);
  EXPECT_EQ(gildmark::host::FirstPlayerController(), nullptr);
}

bool (*g_first_original)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*,
                         bool) = nullptr;
bool (*g_second_original)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*,
                          bool) = nullptr;
std::vector<std::string> g_calls;

bool FirstDetour(AShooterGameMode* m, AShooterPlayerController* p, UPrimalPlayerData* d, AShooterCharacter* c,
                 bool b) {
  g_calls.push_back("first");
  return g_first_original(m, p, d, c, b);
}
bool SecondDetour(AShooterGameMode* m, AShooterPlayerController* p, UPrimalPlayerData* d, AShooterCharacter* c,
                  bool b) {
  g_calls.push_back("second");
  return g_second_original(m, p, d, c, b);
}

TEST_F(SimHostTest, HookChainsCallThroughAndUnhookInAnyOrder) {
  g_calls.clear();
  ASSERT_TRUE(gildmark::host::InstallNewPlayerHook(&FirstDetour, &g_first_original));
  ASSERT_TRUE(gildmark::host::InstallNewPlayerHook(&SecondDetour, &g_second_original));
  Sim().Join("a", 1, "A", /*admin_on_join=*/true);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second", "first"}));
  EXPECT_TRUE(Sim().AdminBit("a")) << "the game's own handler ran at the end of the chain";

  // Removing the inner detour keeps the outer one calling the game.
  g_calls.clear();
  ASSERT_TRUE(gildmark::host::RemoveNewPlayerHook(&FirstDetour));
  Sim().Join("b", 2, "B");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second"}));
  EXPECT_TRUE(gildmark::host::RemoveNewPlayerHook(&SecondDetour));
  EXPECT_FALSE(gildmark::host::RemoveNewPlayerHook(&SecondDetour));
}

TEST_F(SimHostTest, ConsoleAndRconDispatchByFirstWordInAnyCase) {
  std::vector<std::string> seen;
  gildmark::host::AddConsoleCommand("gildmark.connect", [&](APlayerController* p, FString* line, bool) {
    seen.push_back("console:" + gildmark::host::ToUtf8(*line) + ":" + (p ? "player" : "null"));
  });
  gildmark::host::AddRconCommand("gildmark.connect", [&](RCONClientConnection* c, RCONPacket* packet, UWorld*) {
    FString reply("pong");
    c->SendMessageW(packet->Id, 0, &reply);
  });
  Sim().Join("a", 1, "A");
  Sim().ConsoleInput("a", "GILDMARK.Connect now");
  Sim().ConsoleInput("a", "give 1");  // not a plugin command: the game runs it
  const int first = Sim().RconInput("gildmark.connect");
  const int second = Sim().RconInput("Gildmark.Connect");
  EXPECT_LT(first, second);
  EXPECT_EQ(seen, (std::vector<std::string>{"console:GILDMARK.Connect now:player"}));
  ASSERT_EQ(Sim().Events("console_command").size(), 1u);
  EXPECT_EQ(Sim().Events("console_command")[0]["text"], "give 1");
  auto replies = Sim().Events("rcon_reply");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0]["packet_id"], first);
  EXPECT_EQ(replies[1]["text"], "pong");

  EXPECT_TRUE(gildmark::host::RemoveConsoleCommand("GILDMARK.CONNECT"));
  EXPECT_FALSE(gildmark::host::RemoveConsoleCommand("gildmark.connect"));

  // A record without a callback is passed over, not counted as handled (Commands.h,
  // CheckCommands): the game runs the line.
  gildmark::host::AddConsoleCommand("give", nullptr);
  Sim().ConsoleInput("a", "give 2");
  EXPECT_EQ(Sim().Events("console_command").size(), 2u);
}

// Dispatch walks a copy of the records, which keeps a command that removed itself by name (and
// its callback) until the dispatch returns. The host's own unload runs the plugin's unload
// first, then empties each of the module's records before it removes them.
TEST_F(SimHostTest, DispatchHoldsACopyAndUnloadEmptiesTheModulesRecordsInTheHostsOrder) {
  const std::string module = gildmark::host::ToUtf8(gildmark::host::ModulePath());
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  bool alive_after_own_removal = false;
  gildmark::host::AddConsoleCommand("probe.self", [token, watch, &alive_after_own_removal](APlayerController*,
                                                                                          FString*, bool) {
    gildmark::host::RemoveConsoleCommand("probe.self");
    alive_after_own_removal = !watch.expired();
  });
  token.reset();
  Sim().Join("a", 1, "A");
  Sim().ConsoleInput("a", "probe.self");
  EXPECT_TRUE(alive_after_own_removal) << "the dispatch's copy holds the removed record";
  EXPECT_TRUE(watch.expired()) << "and lets it go when the dispatch returns";

  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> held_watch = held;
  gildmark::host::AddRconCommand("probe.rcon", [held](RCONClientConnection*, RCONPacket*, UWorld*) {});
  gildmark::host::AddFrameCallback([held](float) {});
  ASSERT_TRUE(gildmark::host::InstallNewPlayerHook(&FirstDetour, &g_first_original));
  held.reset();
  size_t registrations_during_unload = 0;
  Sim().UnloadModule(module, [&] { registrations_during_unload = Sim().ModuleRegistrations(module); });
  EXPECT_EQ(registrations_during_unload, 3u) << "the plugin's unload runs before the host removes anything";
  EXPECT_EQ(Sim().ModuleRegistrations(module), 0u);
  EXPECT_TRUE(held_watch.expired()) << "callbacks destroyed while the module is still there";
  EXPECT_EQ(g_first_original, nullptr) << "a disabled hook's original is nulled";
  EXPECT_EQ(Sim().HookCount(gildmark::host::kNewPlayerFunction), 0u);
}

// What the host and game do that a plugin must survive: a controller destroyed at logout, a
// hook install that fails, no world before InitGame and with it no chat manager.
TEST_F(SimHostTest, TheHostFailsAndFreesWhereTheRealOneDoes) {
  auto* gone = Sim().Join("a", 1, "A");
  Sim().Leave("a");
  EXPECT_THROW(gildmark::host::ReadBit(gone, gildmark::host::kAdminBit), std::runtime_error);
  ASSERT_EQ(Sim().EscapedExceptions().size(), 1u);
  EXPECT_NE(Sim().EscapedExceptions()[0].find("destroyed after logout"), std::string::npos);
  Sim().Reset("/tmp");

  Sim().SetHookInstallFails(true);
  g_first_original = reinterpret_cast<gildmark::host::NewPlayerHandler>(&FirstDetour);
  EXPECT_FALSE(gildmark::host::InstallNewPlayerHook(&FirstDetour, &g_first_original));
  EXPECT_EQ(g_first_original, nullptr);
  EXPECT_EQ(Sim().HookCount(gildmark::host::kNewPlayerFunction), 0u);

  Sim().SetWorldExists(false);
  EXPECT_FALSE(gildmark::host::WorldExists());
  EXPECT_EQ(gildmark::host::FindPlayerByEosId(FString("x")), nullptr) << "the plugin's lookup checks the world";
  EXPECT_THROW(AsaApi::GetApiUtils().FindPlayerFromEOSID(FString("x")), std::runtime_error);
  EXPECT_THROW(AsaApi::GetApiUtils().GetMessagingManager(), std::runtime_error);
  Sim().SetWorldExists(true);
  Sim().SetMessagingMissing(true);
  EXPECT_THROW(AsaApi::GetApiUtils().GetMessagingManager(), std::runtime_error);
  EXPECT_EQ(Sim().EscapedExceptions().size(), 3u) << "each is a crash of the real server";
  Sim().Reset("/tmp");
}

TEST_F(SimHostTest, TimersRunAtTheNextCheckThenEveryPeriod) {
  int every_three = 0, zero = 0, counted = 0;
  API::Timer::Get().RecurringExecute(FString("three"), [&] { ++every_three; }, 3, -1, false);
  API::Timer::Get().RecurringExecute(FString("z"), [&] { ++zero; }, 0, -1, false);
  API::Timer::Get().RecurringExecute([&](int step) { counted += step; }, -5, 2, false, 10);
  Sim().Advance(1);
  EXPECT_EQ(every_three, 1);
  Sim().Advance(6);
  EXPECT_EQ(every_three, 3);
  EXPECT_EQ(zero, 7) << "a period of 0 runs at every check";
  EXPECT_EQ(counted, 20) << "a count ends the timer; bound arguments reach the callback";
  EXPECT_TRUE(API::Timer::Get().UnloadTimer(FString("z")));
  Sim().Advance(3);
  EXPECT_EQ(zero, 7);

  // Every timer is keyed by the module that added it, as GetDllName() names it.
  const std::string module = gildmark::host::ToUtf8(GetDllName());
  ASSERT_FALSE(module.empty());
  auto timers = Sim().Timers();
  ASSERT_EQ(timers.size(), 1u) << "a timer whose count ran out is gone";
  EXPECT_EQ(timers[0].identifier, "three");
  EXPECT_EQ(timers[0].module, module);
  Sim().DropModule(module);
  EXPECT_TRUE(Sim().Timers().empty());
}

TEST_F(SimHostTest, HttpFollowsTheHostRules) {
  std::vector<std::pair<bool, std::string>> replies;
  auto record = [&](bool ok, std::string body) { replies.emplace_back(ok, body); };
  auto record_post = [&](bool ok, std::string body, std::unordered_map<std::string, std::string>) {
    replies.emplace_back(ok, body);
  };
  ASSERT_TRUE(API::Requests::Get().CreateGetRequest("https://x/a", record, {"A: 1"}));
  ASSERT_TRUE(API::Requests::Get().CreatePostRequest("https://x/b", record_post, "{}", "application/json"));
  ASSERT_TRUE(API::Requests::Get().CreateGetRequest("https://x/c", record));
  ASSERT_TRUE(API::Requests::Get().CreateGetRequest("https://x/d", record));
  Sim().Scripted().RefuseNext(1);
  EXPECT_FALSE(API::Requests::Get().CreateGetRequest("https://x/e", record));
  auto pending = Sim().Scripted().Pending();
  ASSERT_EQ(pending.size(), 4u);
  EXPECT_EQ(pending[0].headers, std::vector<std::string>{"A: 1"});
  EXPECT_EQ(pending[1].method, "POST");
  EXPECT_EQ(pending[1].body, "{}");

  EXPECT_FALSE(pending[0].verify_tls) << "the host's service accepts any certificate";

  Sim().Scripted().CompleteNext(200, "body");
  Sim().Scripted().CompleteNext(204, "ignored", {{"Retry-After", "5"}});
  Sim().Scripted().CompleteNext(429, "slow down", {{"Retry-After", "600"}});
  EXPECT_TRUE(replies.empty()) << "completions wait for the game thread";
  Sim().Scripted().FailNext(sim::HttpFailure::timeout);
  Sim().RunUntilIdle();
  EXPECT_EQ(replies, (std::vector<std::pair<bool, std::string>>{
                         {true, "body"}, {true, "204 No Content"}, {false, "429 Too Many Requests"}, {false, ""}}))
      << "the body for 200 only; a time-out looks like any network failure";
  EXPECT_EQ(Sim().PendingHttp(), 0);
  EXPECT_EQ(Sim().Events("http_refused").size(), 1u);

  // Only the POST callback sees the reply's headers.
  std::unordered_map<std::string, std::string> seen;
  ASSERT_TRUE(API::Requests::Get().CreatePostRequest(
      "https://x/f", [&](bool, std::string, std::unordered_map<std::string, std::string> headers) { seen = headers; },
      "{}", "application/json"));
  Sim().Scripted().CompleteNext(429, "", {{"Retry-After", "600"}});
  Sim().RunUntilIdle();
  EXPECT_EQ(seen["Retry-After"], "600");
}

TEST_F(SimHostTest, TheSystemClientPassesOnWhatCameAndCanBeCancelled) {
  std::vector<sim::HttpResult> results;
  sim::HttpRequest request;
  request.method = "GET";
  request.url = "https://x/a";
  const uint64_t first = sim::StartSystemHttps(request, [&](const sim::HttpResult& r) { results.push_back(r); });
  const uint64_t second = sim::StartSystemHttps(request, [&](const sim::HttpResult& r) { results.push_back(r); });
  const uint64_t third = sim::StartSystemHttps(request, [&](const sim::HttpResult& r) { results.push_back(r); });
  ASSERT_TRUE(first && second && third);
  EXPECT_TRUE(Sim().Scripted().Pending()[0].verify_tls);
  Sim().Scripted().CompleteNext(503, "down for maintenance", {{"Retry-After", "120"}});
  Sim().Scripted().FailNext(sim::HttpFailure::certificate, "self-signed certificate");
  sim::CancelSystemHttps(third);
  Sim().Scripted().CompleteNext(200, "[]");
  Sim().RunUntilIdle();
  ASSERT_EQ(results.size(), 2u) << "a cancelled request never calls back";
  EXPECT_EQ(results[0].status, 503);
  EXPECT_EQ(results[0].body, "down for maintenance");
  EXPECT_EQ(results[0].headers, (std::vector<std::pair<std::string, std::string>>{{"Retry-After", "120"}}));
  EXPECT_EQ(results[1].failure, sim::HttpFailure::certificate);
  EXPECT_EQ(results[1].error, "self-signed certificate");
  EXPECT_EQ(sim::OutstandingSystemHttps(), 0u);
  EXPECT_EQ(Sim().PendingHttp(), 0);
}

TEST_F(SimHostTest, APlayerMayJoinWithoutACharacterAndSpawnLater) {
  AShooterPlayerController* p = Sim().Join("new", 5, "Newbie", false, false);
  EXPECT_EQ(Sim().Player("new"), p) << "found by the host before they have a character";
  EXPECT_EQ(p->BaseGetPlayerCharacter(), nullptr);
  EXPECT_FALSE(gildmark::host::HasLivingCharacter(p));
  Sim().Respawn("new");
  EXPECT_TRUE(gildmark::host::HasLivingCharacter(p));
}

TEST_F(SimHostTest, SlowCallsIntoThePluginAreRecorded) {
  AsaApi::GetCommands().AddOnTickCallback(FString("slow"), [](float) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
    while (std::chrono::steady_clock::now() < until) {
    }
  });
  AsaApi::GetCommands().AddOnTickCallback(FString("quick"), [](float) {});
  Sim().RunFrame(0);
  const auto slow = Sim().Events("game_thread");
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_EQ(slow[0]["call"], "on-tick callback slow");
  EXPECT_GE(slow[0]["ms"].get<double>(), 2.0);
}

TEST_F(SimHostTest, FramesRunTickCallbacksThirtyTimesASecond) {
  float total = 0;
  int ticks = 0, seconds = 0;
  AsaApi::GetCommands().AddOnTickCallback(FString("t"), [&](float delta) { total += delta, ++ticks; });
  AsaApi::GetCommands().AddOnTimerCallback(FString("s"), [&] { ++seconds; });
  Sim().Advance(2);
  EXPECT_EQ(ticks, 2 * sim::Simulation::kFramesPerSecond);
  EXPECT_NEAR(total, 2.0f, 1e-4);
  EXPECT_EQ(seconds, 2);
  EXPECT_TRUE(AsaApi::GetCommands().RemoveOnTickCallback(FString("t")));
  EXPECT_FALSE(AsaApi::GetCommands().RemoveOnTickCallback(FString("t")));
  Sim().Advance(1);
  EXPECT_EQ(ticks, 2 * sim::Simulation::kFramesPerSecond);
  EXPECT_EQ(seconds, 3);
  Sim().DropModule("some other library");
  Sim().Advance(1);
  EXPECT_EQ(seconds, 4) << "another module's unload leaves these alone";
  Sim().DropModule(gildmark::host::ToUtf8(gildmark::host::ModulePath()));
  Sim().Advance(1);
  EXPECT_EQ(seconds, 4) << "unloading a module drops its callbacks";
}

TEST_F(SimHostTest, EscapedExceptionsAreRecordedAsCrashes) {
  gildmark::host::AddRconCommand("boom", [](RCONClientConnection*, RCONPacket*, UWorld*) {
    throw std::runtime_error("kaboom");
  });
  Sim().RconInput("boom");
  ASSERT_EQ(Sim().EscapedExceptions().size(), 1u);
  EXPECT_NE(Sim().EscapedExceptions()[0].find("kaboom"), std::string::npos);
  EXPECT_EQ(Sim().Events("exception").size(), 1u);
}

TEST_F(SimHostTest, APlayersLifeShowsInTheEventLog) {
  auto* player = Sim().Join("eos9", 42, "Zoe");
  Sim().SetAdminBit("eos9", true);
  FString result;
  FString command("give item 1");
  player->ConsoleCommand(&result, &command, false);
  // Braces reach the player as they stand: the text is the argument of the host's format call.
  gildmark::host::SendChat(player, FString("Gildmark"), gildmark::host::FromUtf8("hi {x} {{ }"));
  EXPECT_TRUE(gildmark::host::HasLivingCharacter(player));
  Sim().Die("eos9");
  EXPECT_FALSE(gildmark::host::HasLivingCharacter(player));
  Sim().RemoveCharacter("eos9");
  EXPECT_FALSE(gildmark::host::HasLivingCharacter(player));
  Sim().Leave("eos9");
  EXPECT_EQ(gildmark::host::FindPlayerByEosId(FString("eos9")), nullptr);

  std::vector<std::string> types;
  for (auto& e : Sim().Events())
    if (e["type"] != "log") types.push_back(e["type"]);
  EXPECT_EQ(types, (std::vector<std::string>{"join", "rights", "console_command", "chat", "death", "leave"}));
  auto rights = Sim().Events("rights");
  ASSERT_EQ(rights.size(), 1u) << "a change of bits shows before whatever happens next";
  EXPECT_EQ(rights[0]["admin"], true);
  EXPECT_EQ(rights[0]["cheat"], false);
  auto run = Sim().Events("console_command")[0];
  EXPECT_EQ(run["player"], "eos9");
  EXPECT_EQ(run["admin"], true);
  EXPECT_EQ(run["cheat"], false);
  EXPECT_EQ(Sim().ChatTo("eos9"), std::vector<std::string>{"hi {x} {{ }"});
}

TEST_F(SimHostTest, CharacterNameSearchIsExactAndCaseSensitive) {
  auto* alice = Sim().Join("a", 1, "Alice");
  Sim().Join("b", 2, "alice");
  EXPECT_EQ(gildmark::host::FindPlayerByCharacterName(FString("Alice")), alice);
  EXPECT_EQ(gildmark::host::FindPlayerByCharacterName(FString("Ali")), nullptr);
  EXPECT_EQ(gildmark::host::FindPlayerByCharacterName(FString("ALICE")), nullptr);
  EXPECT_EQ(gildmark::host::ToUtf8(gildmark::host::CharacterName(alice)), "Alice");

  // Plugins load before the world exists, and the host's search dereferences it unchecked.
  Sim().SetWorldExists(false);
  EXPECT_EQ(gildmark::host::FindPlayerByCharacterName(FString("Alice")), nullptr);
  EXPECT_TRUE(Sim().EscapedExceptions().empty()) << "the plugin must not call the search without a world";
  EXPECT_THROW(AsaApi::GetApiUtils().FindPlayerFromCharacterName(FString("Alice"), ESearchCase::CaseSensitive, true),
               std::runtime_error);
  EXPECT_EQ(Sim().EscapedExceptions().size(), 1u) << "the stand-in records the crash the real host would have";
}

}  // namespace
