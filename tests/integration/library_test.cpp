// The loadable library, loaded as the host loads it (dlopen, or LoadLibraryW on Windows, where
// DllMain runs under the loader lock, then Plugin_Init): its entry points are exported, the
// unload entry stops everything before the library is freed, unloading really unloads it, and
// it loads again in the same process.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "portable.h"
#include "sim/simulation.h"
#include "sim/system_https.h"
#include "API/ARK/Ark.h"
#include "Timer.h"

namespace {

const char* const kHook =
    "AShooterGameMode.HandleNewPlayer_Implementation(AShooterPlayerController*,UPrimalPlayerData*,"
    "AShooterCharacter*,bool)";

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = gildmark::testing::MakeTempDir("gildmark-lib-");
    dir_ = root_ / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "config.json")
        << R"({"key":"srv.secret.third","request_interval_in_minutes":1,"order_received_text":"hi"})";
    sim().Reset(root_.string());
  }
  void TearDown() override {
    EXPECT_TRUE(sim().EscapedExceptions().empty());
    std::filesystem::remove_all(root_);
  }
  static sim::Simulation& sim() { return sim::Simulation::Get(); }
  void* Load() {
    std::string error;
    void* handle = sim().LoadPlugin(PluginPath(), &error);
    EXPECT_NE(handle, nullptr) << error;
    return handle;
  }
  static bool StillMapped() { return gildmark::testing::LibraryMapped(PluginPath()); }
  // The pending GET answered with one purchase for "buyer": decoded on the plugin's own thread,
  // then delivered from a frame.
  static void AnswerWithOnePurchaseAndWait() {
    sim().Scripted().CompleteNext(
        200, R"([{"id":"9","action":"a","eos_id":"buyer","username":"","cmds":[{"id":1,"str":"give 1","state":""}]}])");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      sim().RunUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (sim().Events("console_command").empty() && std::chrono::steady_clock::now() < deadline);
  }
  // The library's full path as the system names it, which is what the host unloads by.
  static std::string PluginPath() {
    return std::filesystem::absolute(std::filesystem::path(GILDMARK_PLUGIN_PATH)).make_preferred().string();
  }
  std::filesystem::path root_, dir_;
};

TEST_F(LibraryTest, DlopenLoadsAndDlcloseUnloads) {
  void* handle = Load();
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
  EXPECT_EQ(sim().RconCommandCount(), 3u);
  ASSERT_EQ(sim().TimerCallbacks().size(), 1u);
  const auto timer = sim().TimerCallbacks()[0];
  EXPECT_EQ(timer.module, PluginPath()) << "the host keys the callback by the library it loaded";
  EXPECT_EQ(timer.identifier, PluginPath() + "_timer");
  auto requests = sim().Events("http_request");
  ASSERT_EQ(requests.size(), 1u) << "the first cycle ran during load";
  EXPECT_EQ(requests[0]["method"], "GET");

  EXPECT_EQ(sim().TickCallbackCount(), 1u);

  // What the host does at unload: Plugin_Unload, the module's callbacks emptied and dropped, the
  // library freed.
  ASSERT_TRUE(sim().UnloadPlugin(handle, PluginPath()));
  EXPECT_TRUE(sim().TimerCallbacks().empty());
  EXPECT_FALSE(StillMapped()) << "nothing pins the library in memory";
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 0u);
  EXPECT_EQ(sim().RconCommandCount(), 0u);
  EXPECT_EQ(sim::OutstandingSystemHttps(), 0u) << "the first GET was cancelled";
}

TEST_F(LibraryTest, LoadingAloneRunsNothingAndOnlyPluginUnloadStops) {
  // The system loader runs DllMain (or the ELF constructors) under its lock: nothing may start
  // there. Everything starts in Plugin_Init and stops in Plugin_Unload.
  void* handle = gildmark::testing::LoadLibraryAt(PluginPath());
  ASSERT_NE(handle, nullptr) << gildmark::testing::LoadError();
  EXPECT_EQ(sim().HookCount(kHook), 0u);
  EXPECT_TRUE(sim().Events("http_request").empty());
  ASSERT_TRUE(gildmark::testing::FreeLibraryAt(handle));
  EXPECT_FALSE(StillMapped());
}

TEST_F(LibraryTest, UnloadWithAnAnswerOnItsWayRunsNoPluginCode) {
  void* handle = Load();
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  ASSERT_TRUE(sim().UnloadPlugin(handle, PluginPath()));
  ASSERT_FALSE(StillMapped());
  // The answer arrives after the library is gone: nothing of it may run (it would jump into
  // freed code), and no frame calls into the plugin any more.
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  sim().Advance(2);
  EXPECT_EQ(sim().TickCallbackCount(), 0u);
  EXPECT_TRUE(sim().EscapedExceptions().empty());
}

TEST_F(LibraryTest, ReloadInTheSameProcessDelivers) {
  void* handle = Load();
  sim().UnloadPlugin(handle, PluginPath());
  sim().Reset(root_.string());
  handle = Load();
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  sim().Join("buyer", 5, "Buyer");
  sim().Advance(1);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  AnswerWithOnePurchaseAndWait();
  auto commands = sim().Events("console_command");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0]["text"], "give 1");
  EXPECT_EQ(sim().ChatTo("buyer"), std::vector<std::string>{"hi"});
  ASSERT_TRUE(sim().UnloadPlugin(handle, PluginPath()));
  EXPECT_TRUE(sim().TimerCallbacks().empty());
  EXPECT_FALSE(StillMapped());
}

// The host tells loaded plugins apart by their name letter for letter
// (PluginManager::FindPlugin), while Windows finds the file and the library whatever the case:
// plugins.load of the name in other letters runs Plugin_Init again in the library already
// loaded, under a second record (PluginManager::LoadPlugin). Nothing starts twice: no second
// hook (it would call itself at the next join), timer or command. Unloading either record takes
// every registration of the module (RemoveAllCommandsFromModule, DisableAllHooksFromModule): the
// plugin stops whole, keeps its results and says how to start again.
TEST_F(LibraryTest, ASecondLoadUnderAnotherCaseStartsNothingTwice) {
  auto err_log = [&] {
    std::ifstream err(dir_ / "err.log");
    return std::string((std::istreambuf_iterator<char>(err)), {});
  };
  ASSERT_NE(Load(), nullptr);
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  sim().RconInput("plugins.load gildmark_daduz");
  EXPECT_EQ(sim().RconReplies().back(), "Successfully loaded plugin");
  EXPECT_EQ(sim().LoadedPluginCount(), 2u);
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 3u);
  EXPECT_NE(err_log().find("loaded a second time"), std::string::npos) << err_log();

  sim().Join("buyer", 5, "Buyer");  // through the one hook, once
  sim().Advance(61);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u) << "one timer, one poll";
  AnswerWithOnePurchaseAndWait();
  EXPECT_EQ(sim().Events("console_command").size(), 1u);
  // Its results posted (written off the game thread first) and acknowledged: nothing is out.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sim().Scripted().PendingCount() == 0 && std::chrono::steady_clock::now() < deadline) {
    sim().RunUntilIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(sim().Scripted().Pending().at(0).method, "POST");
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, ""));
  sim().RunUntilIdle();

  for (const char* first : {"gildmark_daduz", "Gildmark_DadUZ"}) {
    if (sim().LoadedPluginCount() == 0) {
      sim().RconInput("plugins.load Gildmark_DadUZ");
      ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
      sim().RunUntilIdle();
      sim().RconInput("plugins.load gildmark_daduz");
    }
    sim().RconInput(std::string("plugins.unload ") + first);
    EXPECT_EQ(sim().LoadedPluginCount(), 1u);
    EXPECT_TRUE(StillMapped());
    EXPECT_EQ(sim().ModuleRegistrations(PluginPath()), 0u);
    EXPECT_EQ(sim().Scripted().PendingCount(), 0u);
    EXPECT_NE(err_log().find("Gildmark has stopped"), std::string::npos);
    sim().Advance(61);  // nothing of it is called
    sim().Leave("buyer");
    sim().Join("buyer", 5, "Buyer");
    // As the message says: the other name unloaded, the right one loaded.
    sim().RconInput(std::string("plugins.unload ") + (first[0] == 'g' ? "Gildmark_DadUZ" : "gildmark_daduz"));
    EXPECT_EQ(sim().LoadedPluginCount(), 0u);
    EXPECT_FALSE(StillMapped());
  }
  sim().RconInput("plugins.load Gildmark_DadUZ");
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  EXPECT_EQ(sim().Events("console_command").size(), 1u) << "nothing ran twice";
  sim().RconInput("plugins.unload Gildmark_DadUZ");
  EXPECT_FALSE(StillMapped());
}

// Another plugin's task unloads ours from inside the host's once-a-second walk. The host's Timer
// walks a copy and erases an unloaded module's timers without emptying them
// (Tools/Timer.cpp, Timer::Update and UnloadTimersFromModule): a poll kept there would be called
// or destroyed after the library is freed. On-timer callbacks are emptied first
// (Commands.h, RemoveCommandsFromModule), and that is where the poll lives.
TEST_F(LibraryTest, AnotherPluginsTaskUnloadingOursCallsNothingIntoTheFreedLibrary) {
  bool by_timer = true;
  API::Timer::Get().RecurringExecute(FString("unloader"), [&] {
    if (by_timer && sim().PluginLoaded("Gildmark_DadUZ")) sim().UnloadPluginByName("Gildmark_DadUZ");
  }, 1, -1, false);
  AsaApi::GetCommands().AddOnTimerCallback(FString("unloader"), [&] {
    if (!by_timer && sim().PluginLoaded("Gildmark_DadUZ")) sim().UnloadPluginByName("Gildmark_DadUZ");
  });
  for (bool timer : {true, false}) {
    by_timer = timer;
    ASSERT_NE(Load(), nullptr);
    ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
    sim().RunUntilIdle();
    sim().Advance(3);
    EXPECT_FALSE(sim().PluginLoaded("Gildmark_DadUZ"));
    EXPECT_FALSE(StillMapped());
    EXPECT_TRUE(sim().EscapedExceptions().empty()) << sim().EscapedExceptions().front();
  }
  API::Timer::Get().UnloadTimer(FString("unloader"));
  AsaApi::GetCommands().RemoveOnTimerCallback(FString("unloader"));
}

// Automatic reloading as the host ships it (PluginManager::DetectPluginChanges, on every 5 s in
// its Configs/config.json): <library>.ArkApi in the plugin's folder is copied over the library
// between an unload and a load in one call, after a world save. PreventUnloading in
// PluginInfo.json holds the update back (and plugins.unload too); a copy over a library another
// record still holds fails, is logged, and leaves the plugin unloaded (Windows keeps a loaded
// library's file).
TEST_F(LibraryTest, AutomaticReloadingFollowsTheHost) {
  namespace fs = std::filesystem;
  const fs::path library = dir_ / ("Gildmark_DadUZ" + fs::path(PluginPath()).extension().string());
  const fs::path update = library.string() + ".ArkApi";
  fs::copy_file(PluginPath(), library, fs::copy_options::overwrite_existing);
  auto mapped = [&] { return gildmark::testing::LibraryMapped(library.string()); };
  auto host_log = [&](const std::string& part) {
    int n = 0;
    for (auto& line : sim().HostLog()) n += line.find(part) != std::string::npos;
    return n;
  };

  std::ofstream(dir_ / "PluginInfo.json") << R"({"FullName":"Gildmark","MinApiVersion":9.5})";
  EXPECT_EQ(sim().LoadPluginByName("Gildmark_DadUZ"),
            "Failed to load plugin - Plugin Gildmark_DadUZ requires newer API version!");
  std::ofstream(dir_ / "PluginInfo.json") << R"({"FullName":"Gildmark"})";
  ASSERT_EQ(sim().LoadPluginByName("Gildmark_DadUZ"), "Successfully loaded plugin");
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  fs::copy_file(PluginPath(), update);
  sim().Advance(6);
  EXPECT_FALSE(fs::exists(update));
  EXPECT_EQ(host_log("Reloaded plugin - Gildmark_DadUZ"), 1) << ::testing::PrintToString(sim().HostLog());
  EXPECT_EQ(sim().Events("world_saved").size(), 1u);
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().TimerCallbacks().size(), 1u);
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]")) << "the reloaded plugin's first cycle";
  sim().RunUntilIdle();

  // A second record holds the library: the host unloads the first, cannot copy, goes on.
  sim().RconInput("plugins.load gildmark_daduz");
  fs::copy_file(PluginPath(), update);
  sim().Advance(5);
  EXPECT_FALSE(sim().PluginLoaded("Gildmark_DadUZ"));
  EXPECT_TRUE(fs::exists(update));
  EXPECT_EQ(host_log("(DetectPluginChanges) copy_file"), 1);
  EXPECT_EQ(sim().ModuleRegistrations(library.string()), 0u) << "the plugin stopped whole";
  sim().RconInput("plugins.unload gildmark_daduz");
  EXPECT_FALSE(mapped());

  std::ofstream(dir_ / "PluginInfo.json") << R"({"FullName":"Gildmark","PreventUnloading":true})";
  void* handle = sim().LoadPluginAs("Gildmark_DadUZ", library.string());
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().Advance(11);
  EXPECT_TRUE(fs::exists(update)) << "held back until a restart";
  EXPECT_EQ(host_log("has PreventUnloading=true"), 1) << "told once";
  EXPECT_EQ(sim().UnloadPluginByName("Gildmark_DadUZ"),
            "Failed to unload plugin - unloading is disabled (PreventUnloading=true)");
  EXPECT_EQ(sim().Events("world_saved").size(), 2u);
  ASSERT_TRUE(sim().UnloadPlugin(handle, library.string()));  // as the server's end would
  EXPECT_FALSE(mapped());
}

// The host's plugins.unload and plugins.load, typed in the console and sent over RCON: each
// unload leaves nothing of the plugin reachable and its code unmapped, and each load starts it.
TEST_F(LibraryTest, TheHostsCommandsUnloadAndLoadAgainWhileIdleAndWithARequestOut) {
  ASSERT_NE(Load(), nullptr);
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  sim().Join("admin", 1, "Admin");
  sim().SetAdminBit("admin", true);
  auto unload = [&](bool rcon) {
    if (rcon)
      sim().RconInput("plugins.unload Gildmark_DadUZ");
    else
      sim().ConsoleInput("admin", "plugins.unload Gildmark_DadUZ");
    ASSERT_FALSE(sim().PluginLoaded("Gildmark_DadUZ"));
    const auto unloaded = sim().Events("plugin_unloaded");
    ASSERT_FALSE(unloaded.empty());
    EXPECT_EQ(unloaded.back()["clean"], true) << unloaded.back().dump();
    EXPECT_FALSE(StillMapped());
    EXPECT_EQ(sim().ConsoleCommandCount() + sim().RconCommandCount() + sim().TickCallbackCount(), 0u);
    EXPECT_TRUE(sim().TimerCallbacks().empty());
    sim().Advance(1);  // frames and timers find nothing of it
  };
  auto load = [&](bool rcon) {
    if (rcon)
      sim().RconInput("plugins.load Gildmark_DadUZ");
    else
      sim().ConsoleInput("admin", "plugins.load Gildmark_DadUZ");
    ASSERT_TRUE(sim().PluginLoaded("Gildmark_DadUZ"));
    EXPECT_EQ(sim().ConsoleCommandCount(), 3u) << "gildmark.connect, gildmark.status and gildmark.lookup";
    EXPECT_EQ(sim().RconCommandCount(), 3u);
    EXPECT_EQ(sim().HookCount(kHook), 1u);
  };
  for (bool rcon : {false, true}) {
    unload(rcon);  // idle
    load(rcon);
    ASSERT_EQ(sim().Scripted().PendingCount(), 1u) << "the first cycle's GET is out";
    unload(rcon);  // with the store's answer still to come
    ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
    sim().RunUntilIdle();
    load(rcon);
    ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
    sim().RunUntilIdle();
  }
  const auto replies = sim().RconReplies();
  EXPECT_NE(std::find(replies.begin(), replies.end(), "Successfully unloaded plugin"), replies.end());
  EXPECT_NE(std::find(replies.begin(), replies.end(), "Successfully loaded plugin"), replies.end());
  // The plugin reloaded by command still delivers.
  sim().Join("buyer", 5, "Buyer");
  sim().Advance(61);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  AnswerWithOnePurchaseAndWait();
  EXPECT_EQ(sim().Events("console_command").size(), 1u);
  sim().ConsoleInput("admin", "plugins.unload Gildmark_DadUZ");
  EXPECT_FALSE(StillMapped());
}

// The stand-in dies where the host dies: a plugin that removes its own commands at unload leaves
// the copy that the running plugins.unload holds as the last owner of its callbacks, destroyed
// after the library is gone. One that leaves them to the host goes cleanly.
TEST_F(LibraryTest, APluginThatRemovesItsOwnCommandsCrashesTheHostsUnloadCommand) {
  const std::string polite = std::filesystem::absolute(GILDMARK_PROBE_POLITE).string();
  ASSERT_NE(sim().LoadPlugin(polite), nullptr);
  sim().Join("admin", 1, "Admin");
  sim().ConsoleInput("admin", "plugins.unload probe_polite");
  EXPECT_FALSE(gildmark::testing::LibraryMapped(polite));
  EXPECT_EQ(sim().Events("plugin_unloaded").back()["clean"], true);
  sim().RconInput("plugins.load probe_polite");
  EXPECT_EQ(sim().ConsoleCommandCount(), 1u);
  sim().RconInput("plugins.unload probe_polite");
  sim().RunFrame(0.03f);
  EXPECT_FALSE(sim().PluginLoaded("probe_polite"));
#ifdef _WIN32
  GTEST_SKIP() << "death tests of a freed DLL's code are not run under Wine";
#else
  const std::string rude = std::filesystem::absolute(GILDMARK_PROBE_RUDE).string();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim().LoadPlugin(rude);
        sim().ConsoleInput("admin", "plugins.unload probe_rude");
      },
      "");
#endif
}

}  // namespace
