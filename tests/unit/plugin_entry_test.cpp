// Load, unload and the three handlers, called as the host calls them.
#include "plugin_fixture.h"
#include "shell/plugin_entry.h"
#include "store/admin_rights.h"
#include "store/payment_delivery.h"
#include "store/request_cycle.h"

namespace gildmark::testing {
namespace {

class PluginEntryTest : public PluginTest {
 protected:
  void TearDown() override {
    UnloadAsHost();
    PluginTest::TearDown();
  }
  // The host's unload: Plugin_Unload, then what the host removes of the module itself.
  static void UnloadAsHost() { sim().UnloadModule(host::ToUtf8(host::ModulePath()), [] { PluginUnload(); }); }
  const char* kHook = host::kNewPlayerFunction;
};

TEST_F(PluginEntryTest, LoadRunsTheFirstCycleBeforeInstallingAnything) {
  WriteConfig();
  size_t hooks_at_first_request = 99, commands_at_first_request = 99, timers_at_first_request = 99;
  sim().SetEventListener([&](const sim::Event& e) {
    if (e["type"] == "http_request" && hooks_at_first_request == 99) {
      hooks_at_first_request = sim().HookCount(kHook);
      commands_at_first_request = sim().ConsoleCommandCount() + sim().RconCommandCount();
      timers_at_first_request = sim().TimerCallbacks().size();
    }
  });
  EXPECT_TRUE(PluginLoad());
  sim().SetEventListener(nullptr);
  EXPECT_EQ(hooks_at_first_request, 0u);
  EXPECT_EQ(commands_at_first_request, 0u);
  EXPECT_EQ(timers_at_first_request, 0u);
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
  EXPECT_EQ(sim().RconCommandCount(), 3u);
  ASSERT_EQ(sim().TimerCallbacks().size(), 1u) << "the poll, on the host's once-a-second list";
  EXPECT_TRUE(sim().Timers().empty()) << "not on the host's Timer, which an unload does not empty";
  EXPECT_NE(g_store_client, nullptr);

  // The plugin's own unload stops what is its own and leaves every registration to the host,
  // which empties each before it closes the library.
  EXPECT_TRUE(PluginUnload());
  EXPECT_EQ(g_store_client, nullptr);
  EXPECT_EQ(PluginLogger(), nullptr);
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
  EXPECT_EQ(sim().RconCommandCount(), 3u);
  EXPECT_EQ(sim().TickCallbackCount(), 1u);
  sim().DropModule(host::ToUtf8(host::ModulePath()));
  EXPECT_EQ(sim().ModuleRegistrations(host::ToUtf8(host::ModulePath())), 0u);
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  EXPECT_EQ(g_replaced_handle_new_player, nullptr) << "the host nulls the disabled hook's original";
}

TEST_F(PluginEntryTest, AFailedStartLeavesNoDanglingClientAndIsTriedAgain) {
  WriteConfig();
  sim().Join("admin", 1, "Admin");
  sim().SetAdminBit("admin", true);
  const std::string realloc = "FMemory.Realloc(void*,unsigned__int64,unsignedint)";
  // The constructor's first host allocation fails: the object never stands.
  auto failed_load = [&] {
    PluginUnload();
    sim().DropModule(host::ToUtf8(host::ModulePath()));
    while (sim().Scripted().PendingCount() > 0) sim().Scripted().FailNext();  // cancelled at unload
    sim().RunUntilIdle();
    Write("response.json", "{}");  // the store has had the last results
    std::filesystem::remove(Dir() + "response.pending");
    sim().BreakEntry(realloc, 0, 1);
    PluginLoad();
    EXPECT_EQ(g_store_client, nullptr);
    EXPECT_EQ(sim().HookCount(kHook), 1u);
    EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
    EXPECT_EQ(sim().RconCommandCount(), 3u);
    EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
    EXPECT_NE(LogMessages("err.log").back().find("Simulated fault in " + realloc), std::string::npos);
  };

  // Every entry point is safe without a client.
  failed_load();
  OnGetReply(host::AnswerOf(200, "[]"), true, false);
  OnPostReply(host::AnswerOf(200, ""), "{}", true);
  sim().Join("buyer", 2, "Buyer");
  OnConnectConsole(sim().Join("guest", 3, "Guest"), nullptr, false);
  EXPECT_EQ(g_store_client, nullptr) << "a non-admin's command changes nothing";

  // A tick makes the client; its first cycle stands in for that poll, the next one delivers.
  sim().Advance(1);
  ASSERT_NE(g_store_client, nullptr);
  Respond(200, "[]");
  sim().Advance(60);
  Respond(200, nlohmann::json::array({Payment("1", "buyer", "", nlohmann::json::array({Command(1, "give 1")}))}).dump());
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});

  // So does gildmark.connect, over RCON and in the console, and the admin hears the test's
  // own answer: the client's first cycle is their connection test.
  failed_load();
  sim().RconInput("gildmark.connect");
  ASSERT_NE(g_store_client, nullptr);
  EXPECT_EQ(sim().RconReplies().back(), kRconAnswerLaterMessage);
  Respond(200, "[]");
  EXPECT_EQ(LogMessages("info.log").back(), "Gildmark API connection successful.");
  failed_load();
  sim().ConsoleInput("admin", "gildmark.connect");
  ASSERT_NE(g_store_client, nullptr);
  EXPECT_EQ(Pending().size(), 1u) << "one request: the test itself";
  Respond(200, "\"Gildmark: invalid signature\"");
  EXPECT_EQ(sim().ChatTo("admin").back(), "Gildmark: invalid signature");
  failed_load();
  sim().ConsoleInput("admin", "gildmark.connect");
  sim().Scripted().FailNext();
  sim().RunUntilIdle();
  EXPECT_EQ(sim().ChatTo("admin").back().rfind(kUnavailableMessage, 0), 0u) << sim().ChatTo("admin").back();

  // A client that still cannot be made tells the asker.
  failed_load();
  SetFileFaultHook([](FileStep, const std::string& path) -> int {
    if (path.size() >= 11 && path.compare(path.size() - 11, 11, "config.json") == 0)
      throw std::runtime_error("the disk went away");
    return 0;
  });
  const int before = static_cast<int>(sim().RconReplies().size());
  sim().RconInput("gildmark.connect");
  SetFileFaultHook(nullptr);
  EXPECT_EQ(g_store_client, nullptr);
  ASSERT_EQ(static_cast<int>(sim().RconReplies().size()), before + 1);
  EXPECT_EQ(sim().RconReplies().back(), "Gildmark could not start its store client; err.log says why");
}

TEST_F(PluginEntryTest, TimerPeriodsAreBoundedWithoutOverflow) {
  EXPECT_EQ(TimerPeriodSeconds(1), 60);
  EXPECT_EQ(TimerPeriodSeconds(5), 300);
  EXPECT_EQ(TimerPeriodSeconds(0), 60);
  EXPECT_EQ(TimerPeriodSeconds(-7), 60);
  EXPECT_EQ(TimerPeriodSeconds(40000000), INT_MAX);

  WriteConfig("a.b.c", 0);
  PluginLoad();
  EXPECT_EQ(LogMessages("err.log").size(), 1u);
  Respond(200, "[]");
  sim().Advance(1);  // the first run at the next check, then every minute
  Respond(200, "[]");
  sim().Advance(59);
  EXPECT_TRUE(Pending().empty());
  sim().Advance(1);
  EXPECT_EQ(Pending().size(), 1u);
}

TEST_F(PluginEntryTest, AnUnusableConfigStillInstallsEverything) {
  Write("config.json", "{\"key\": 12}");
  PluginLoad();
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
  EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
  EXPECT_TRUE(sim().Events("http_request").empty());
  // Mending the file and connecting brings the plugin to life without a restart.
  WriteConfig();
  sim().RconInput("gildmark.connect");
  EXPECT_EQ(OnlyPending().method, "GET");
  EXPECT_EQ(sim().RconReplies().back(), kRconAnswerLaterMessage);
  Respond(200, "[]");
  EXPECT_EQ(LogMessages("info.log").back(), "Gildmark API connection successful.");
}

TEST_F(PluginEntryTest, ConsoleConnectIsForAdminsOnly) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  sim().Join("player", 1, "P");
  sim().ClearEvents();
  const std::string config_before = Read("config.json");
  WriteConfig("changed.key.here");
  sim().ConsoleInput("player", "gildmark.connect");
  EXPECT_TRUE(sim().Events("http_request").empty());
  EXPECT_TRUE(sim().ChatTo("player").empty());
  EXPECT_EQ(g_store_client->key_parts[0], "srv1") << "no reload for a non-admin";

  sim().SetAdminBit("player", true);
  sim().ConsoleInput("player", "Gildmark.Connect");
  EXPECT_EQ(g_store_client->key_parts[0], "changed");
  Respond(200, "[]");
  EXPECT_EQ(sim().ChatTo("player"), std::vector<std::string>{"Gildmark API connection successful."});
  OnConnectConsole(nullptr, nullptr, false);
  (void)config_before;
}

TEST_F(PluginEntryTest, RconConnectWithAndWithoutAConnection) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  const int id = sim().RconInput("gildmark.connect");
  EXPECT_EQ(g_store_client->target->rcon_connection, nullptr) << "RCON is answered before the handler returns";
  Respond(200, "\"Gildmark: this server key was revoked\"");
  auto replies = sim().Events("rcon_reply");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0]["packet_id"], id);
  EXPECT_EQ(replies[0]["text"], kRconAnswerLaterMessage);
  EXPECT_EQ(LogMessages("info.log").back(), "Gildmark: this server key was revoked");

  RCONPacket packet{};
  OnConnectRcon(nullptr, &packet, nullptr);
  EXPECT_EQ(g_store_client->target->rcon_connection, nullptr);
  EXPECT_EQ(g_store_client->target->rcon_packet, nullptr);
  EXPECT_EQ(Pending().size(), 1u) << "the cycle still runs";
}

// Each SendMessageW of the host is one RCON packet carrying the request's id (ArkBaseApi.cpp),
// and a tool reads a second packet as the answer to its next command: each of our commands is
// answered once, whatever happened on the way.
TEST_F(PluginEntryTest, EveryRconCommandIsAnsweredExactlyOnce) {
  Write("config.json", R"({"key":"not a key"})");
  PluginLoad();
  size_t replies = 0;
  auto once = [&](const std::string& command, const std::string& part) {
    sim().RconInput(command);
    const auto all = sim().RconReplies();
    ASSERT_EQ(all.size(), replies + 1) << command;
    EXPECT_NE(all.back().find(part), std::string::npos) << all.back();
    replies = all.size();
  };
  once("gildmark.connect", "INVALID API KEY");
  once("gildmark.status", "Key:");
  WriteConfig();
  once("gildmark.connect", kRconAnswerLaterMessage);  // the test goes out
  once("gildmark.connect", "Please wait");             // one is already out
  once("gildmark.status", "Key:");
  Respond(200, "[]");
  EXPECT_EQ(sim().RconReplies().size(), replies) << "the verdict goes to the logs only";
}

TEST_F(PluginEntryTest, TicksPollAndReleaseRequesters) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  sim().Join("admin", 1, "Admin");
  sim().SetAdminBit("admin", true);
  sim().ConsoleInput("admin", "gildmark.connect");
  sim().RconInput("gildmark.connect");
  EXPECT_NE(g_store_client->target->player, nullptr);
  EXPECT_EQ(sim().RconReplies(), (std::vector<std::string>{"Please wait a request is already being made..."}))
      << "one answer to one command";
  EXPECT_EQ(g_store_client->target->rcon_connection, nullptr) << "RCON never waits for the store";
  sim().Advance(1);  // the timer's first run comes at the next check
  EXPECT_EQ(g_store_client->target->player, nullptr);
  EXPECT_EQ(g_store_client->target->rcon_connection, nullptr);
  EXPECT_EQ(g_store_client->target->rcon_packet, nullptr);
  EXPECT_EQ(LogMessages("info.log").back(), "Please wait a request is already being made...");
  const size_t chats = sim().ChatTo("admin").size(), replies = sim().RconReplies().size();
  Respond(200, "[]");
  EXPECT_EQ(sim().RconReplies().size(), replies) << "the tick took the RCON requester away";
  EXPECT_EQ(sim().ChatTo("admin").size(), chats) << "and the player requester";
  sim().Advance(59);
  EXPECT_TRUE(Pending().empty());
  sim().Advance(1);
  EXPECT_EQ(Pending().size(), 1u);
}

// Another plugin removing its own hook of the same function makes the host rebuild the chain
// (Hooks.cpp, DisableHook); a hook it cannot attach again leaves the chain with its original
// nulled, and the host says so only in its own log. The plugin tells err.log once.
bool OtherPluginsDetour(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*, bool) {
  return true;
}
TEST_F(PluginEntryTest, AJoinHookLostInAnotherPluginsRebuildIsToldOnce) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  LPVOID other_original = nullptr;
  ASSERT_TRUE(AsaApi::GetHooks().SetHook(kHook, reinterpret_cast<LPVOID>(&OtherPluginsDetour), &other_original));
  ASSERT_TRUE(AsaApi::GetHooks().DisableHook(kHook, reinterpret_cast<LPVOID>(&OtherPluginsDetour)));
  sim().Advance(2);
  EXPECT_NE(g_replaced_handle_new_player, nullptr) << "a rebuild that works keeps the hook";
  EXPECT_TRUE(LogMessages("err.log").empty());
  ASSERT_TRUE(AsaApi::GetHooks().SetHook(kHook, reinterpret_cast<LPVOID>(&OtherPluginsDetour), &other_original));
  sim().SetHookRebuildFails(true);
  ASSERT_TRUE(AsaApi::GetHooks().DisableHook(kHook, reinterpret_cast<LPVOID>(&OtherPluginsDetour)));
  EXPECT_EQ(g_replaced_handle_new_player, nullptr);
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  for (int minute = 0; minute < 3; ++minute) {
    sim().Advance(60);  // the poll's tick looks
    Respond(200, "[]");
  }
  ASSERT_EQ(LogMessages("err.log").size(), 1u);
  EXPECT_EQ(LogMessages("err.log")[0], kJoinHookLostMessage);
}

TEST_F(PluginEntryTest, LoadUnloadAndLoadAgain) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  PluginUnload();
  sim().DropModule(host::ToUtf8(host::ModulePath()));
  PluginLoad();
  Respond(200, "[]");
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
  EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
  sim().Join("p", 3, "P");
  sim().Advance(1);
  Respond(200, nlohmann::json::array({Payment("1", "p", "", nlohmann::json::array({Command(1, "give 1")}))}).dump());
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give 1"});
  EXPECT_NE(PluginLogger(), nullptr);
}

TEST_F(PluginEntryTest, UnloadWithoutAClientIsSafeAndTheHostRemovesTheRest) {
  WriteConfig();
  PluginLoad();
  delete g_store_client;
  EXPECT_EQ(g_store_client, nullptr);
  UnloadAsHost();
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 0u);
  EXPECT_EQ(sim().RconCommandCount(), 0u);
  EXPECT_TRUE(sim().EscapedExceptions().empty());
}

TEST_F(PluginEntryTest, AnRconClientGoneBeforeTheStoreAnswersIsNeverWrittenTo) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  sim().RconInput("gildmark.connect");
  sim().CloseRconClient();  // the game frees the connection; the store has not answered yet
  Respond(200, "[]");
  sim().RconInput("gildmark.connect");
  sim().RconInput("gildmark.connect");  // one is out: "please wait", then freed as well
  sim().CloseRconClient();
  sim().Scripted().FailNext();
  sim().RunUntilIdle();
  EXPECT_TRUE(sim().EscapedExceptions().empty()) << "no write through a freed connection";
  const auto info = LogMessages("info.log");
  EXPECT_NE(std::find(info.begin(), info.end(), "Gildmark API connection successful."), info.end());
}

// The game destroys a controller at logout: an admin who asked and left before the store
// answered gets nothing in chat (nor does a stranger now under their name); the logs have it,
// and the same admin back in the game does get it.
TEST_F(PluginEntryTest, AnAdminGoneBeforeTheStoreAnswersIsNotWrittenTo) {
  WriteConfig();
  PluginLoad();
  Respond(200, "[]");
  auto connect_then_leave = [&] {
    sim().Join("admin", 7, "Boss");
    sim().SetAdminBit("admin", true);
    sim().ConsoleInput("admin", "gildmark.connect");
    sim().Leave("admin");
  };
  connect_then_leave();
  sim().Join("stranger", 8, "Boss");
  Respond(200, "[]");
  EXPECT_TRUE(sim().EscapedExceptions().empty()) << "nothing called through the destroyed controller";
  EXPECT_TRUE(sim().ChatTo("stranger").empty());
  EXPECT_EQ(LogMessages("info.log").back(), "Gildmark API connection successful.");

  connect_then_leave();
  sim().Join("admin", 7, "Boss");  // back, with a new controller
  Respond(200, "[]");
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"Gildmark API connection successful."});
  EXPECT_TRUE(sim().EscapedExceptions().empty());
}

TEST_F(PluginEntryTest, AJoinHookThatCannotBeInstalledIsTold) {
  WriteConfig();
  sim().SetHookInstallFails(true);
  PluginLoad();
  Respond(200, "[]");
  const auto errors = LogMessages("err.log");
  EXPECT_NE(std::find(errors.begin(), errors.end(), kJoinHookFailedMessage), errors.end());
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  sim().Join("p", 1, "P");  // the game's handler alone; the plugin goes on delivering
  sim().Advance(60);
  EXPECT_EQ(Pending().size(), 1u);
}

// Plugins load before the world exists: nobody is online then, and nothing may ask the host
// for players or chat (its lookups dereference the missing world).
TEST_F(PluginEntryTest, WithoutAWorldNobodyIsOnline) {
  WriteConfig();
  sim().SetWorldExists(false);
  PluginLoad();
  Respond(200, "[]");
  const auto payments = nlohmann::json::array(
      {Payment("1", "E", "", nlohmann::json::array({Command(1, "give {eosid} 1", "Must be online")})),
       Payment("2", "", "Bob", nlohmann::json::array({Command(2, "give 2")}))});
  sim().Advance(60);
  Respond(200, payments.dump());
  EXPECT_TRUE(CommandTexts().empty());
  EXPECT_TRUE(sim().EscapedExceptions().empty());
  sim().SetWorldExists(true);
  sim().Join("E", 5, "Eve");
  sim().Join("bob", 6, "Bob");
  while (!Pending().empty()) Respond(200, "{}");
  sim().Advance(60);
  Respond(200, payments.dump());
  EXPECT_EQ(CommandTexts(), (std::vector<std::string>{"give E 1", "give 2"}));
}

TEST_F(PluginEntryTest, AMissingPluginFolderIsToldOnceNotAtEveryJoin) {
  std::filesystem::remove_all(Dir());
  PluginLoad();
  for (int i = 0; i < 5; ++i) {
    sim().Join("p" + std::to_string(i), i, "P");
    sim().Advance(1);
  }
  int folder = 0, permissions = 0;
  for (const auto& line : sim().HostLog()) {
    if (line.find("does not exist") != std::string::npos) ++folder;
    if (line.find("permissions") != std::string::npos) ++permissions;
  }
  EXPECT_EQ(folder, 1);
  EXPECT_EQ(permissions, 0);
  std::filesystem::create_directories(Dir());
}

}  // namespace
}  // namespace gildmark::testing
