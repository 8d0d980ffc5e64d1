// The loadable library: dlopen runs its entry point, dlclose really unloads it (and runs the
// unload then, not at process exit), and it can be loaded again in the same process.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sim/simulation.h"

namespace {

const char* const kHook =
    "AShooterGameMode.HandleNewPlayer_Implementation(AShooterPlayerController*,UPrimalPlayerData*,"
    "AShooterCharacter*,bool)";

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("gildmark-lib-" + std::to_string(getpid()));
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
    void* handle = dlopen(GILDMARK_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(handle, nullptr) << dlerror();
    return handle;
  }
  static bool StillMapped() {
    void* handle = dlopen(GILDMARK_PLUGIN_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
  }
  std::filesystem::path root_, dir_;
};

TEST_F(LibraryTest, DlopenLoadsAndDlcloseUnloads) {
  void* handle = Load();
  EXPECT_EQ(sim().HookCount(kHook), 1u);
  EXPECT_EQ(sim().ConsoleCommandCount(), 1u);
  EXPECT_EQ(sim().RconCommandCount(), 1u);
  ASSERT_EQ(sim().Timers().size(), 1u);
  const auto timer = sim().Timers()[0];
  EXPECT_EQ(timer.interval_seconds, 60);
  EXPECT_EQ(timer.module, GILDMARK_PLUGIN_PATH) << "the host keys the timer by the library it loaded";
  EXPECT_EQ(timer.identifier, std::string(GILDMARK_PLUGIN_PATH) + "_0");
  auto requests = sim().Events("http_request");
  ASSERT_EQ(requests.size(), 1u) << "the first cycle ran during load";
  EXPECT_EQ(requests[0]["method"], "GET");

  // What the host does at unload: drop the module's timers by its path, then free it.
  sim().DropModule(GILDMARK_PLUGIN_PATH);
  EXPECT_TRUE(sim().Timers().empty());
  ASSERT_EQ(dlclose(handle), 0);
  EXPECT_FALSE(StillMapped()) << "nothing pins the library in memory";
  EXPECT_EQ(sim().HookCount(kHook), 0u) << "the unload entry ran at dlclose";
  EXPECT_EQ(sim().ConsoleCommandCount(), 0u);
  EXPECT_EQ(sim().RconCommandCount(), 0u);
}

TEST_F(LibraryTest, ReloadInTheSameProcessDelivers) {
  void* handle = Load();
  sim().DropModule(GILDMARK_PLUGIN_PATH);
  dlclose(handle);
  sim().Reset(root_.string());
  handle = Load();
  ASSERT_TRUE(sim().Scripted().CompleteNext(200, "[]"));
  sim().RunUntilIdle();
  sim().Join("buyer", 5, "Buyer");
  sim().Advance(1);
  ASSERT_EQ(sim().Scripted().PendingCount(), 1u);
  sim().Scripted().CompleteNext(
      200, R"([{"id":"9","action":"a","eos_id":"buyer","username":"","cmds":[{"id":1,"str":"give 1","state":""}]}])");
  sim().RunUntilIdle();
  auto commands = sim().Events("console_command");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0]["text"], "give 1");
  EXPECT_EQ(sim().ChatTo("buyer"), std::vector<std::string>{"hi"});
  sim().DropModule(GILDMARK_PLUGIN_PATH);
  EXPECT_TRUE(sim().Timers().empty());
  dlclose(handle);
  EXPECT_FALSE(StillMapped());
}

}  // namespace
