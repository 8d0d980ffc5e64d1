// Several servers started from one installation: the instance name from launch lines, a listed
// server's key and files against an unlisted one's, cycles and join checks that wait while
// another process has the turn (and go on once a killed holder's lock is gone), and a second
// live process under the same listed name.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "host/server_process.h"
#include "plugin_fixture.h"
#include "store/admin_rights.h"
#include "support/server_instance.h"

namespace gildmark::testing {
namespace {

const char* const kHoldVariable = "GILDMARK_TEST_HOLD_LOCK";

// Run as the second process by the tests below: holds the lock named in its environment until
// it is killed.
TEST(LockHolder, HoldsTheLockNamedInItsEnvironment) {
  const char* path = std::getenv(kHoldVariable);
  if (!path || !*path) GTEST_SKIP() << "the second process of the tests below";
  host::ProcessLock lock;
  std::string error;
  ASSERT_EQ(lock.TryAcquire(path, error), host::ProcessLock::Outcome::held) << error;
  WriteAll(std::string(path) + ".held", "1");
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

// Another process holding `path`, once it has it.
std::unique_ptr<ChildProcess> HoldElsewhere(const std::string& path) {
  auto child = std::make_unique<ChildProcess>("LockHolder.*", kHoldVariable, path);
  // Under Wine a new process takes seconds.
  for (int i = 0; i < 600 && !std::filesystem::exists(path + ".held"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(std::filesystem::exists(path + ".held")) << "the second process never held " << path;
  return child;
}

TEST(InstanceNameTest, FromEveryFormOfLaunchLine) {
  const std::pair<const char*, const char*> cases[] = {
      // As the system gives it: the program first, the map's options after "?".
      {"ShooterGameServer.exe TheIsland_WP?listen?SessionName=Mine?Port=7779 -server -log", "TheIsland_WP-7779"},
      {R"("C:\Games\ARK Server\ShooterGame\Binaries\Win64\ArkAscendedServer.exe" ScorchedEarth_WP?listen -port=7781)",
       "ScorchedEarth_WP-7781"},
      {"/srv/ark/ShooterGameServer TheCenter_WP?listen?SessionName=\"Two words\"?port=7790", "TheCenter_WP-7790"},
      // No port: the game's own.
      {"ShooterGameServer TheIsland_WP?listen", "TheIsland_WP-7777"},
      // Typed by hand, without the program.
      {"Ragnarok_WP?listen?Port=7800", "Ragnarok_WP-7800"},
      // ?Port= before -port=.
      {"ShooterGameServer.exe Aberration_WP?Port=7001 -port=7002", "Aberration_WP-7001"},
      // The admin's choice wins, whatever its case.
      {"ShooterGameServer.exe TheIsland_WP?Port=7779 -GildmarkInstance=Island-PvP", "Island-PvP"},
      {"ShooterGameServer.exe TheIsland_WP -gildmarkinstance=pve", "pve"},
      {"ShooterGameServer.exe TheIsland_WP -GildmarkInstance= -port=7010", "TheIsland_WP-7010"},
      // Unsafe characters, device names, dots.
      {"ShooterGameServer.exe X -GildmarkInstance=\"My map/1\"", "My_map_1"},
      {"ShooterGameServer.exe X -GildmarkInstance=CON", "_CON"},
      {"ShooterGameServer.exe X -GildmarkInstance=..", "._"},
      {"ShooterGameServer.exe X -GildmarkInstance=Île", "__le"},
      // ASA's program typed in a console: without ".exe", without a path, in any case.
      {"ArkAscendedServer TheIsland_WP?listen?Port=7779", "TheIsland_WP-7779"},
      {"arkascendedserver.exe TheIsland_WP?listen?Port=7780", "TheIsland_WP-7780"},
      {R"(D:\asa\ArkAscendedServer Ragnarok_WP?listen)", "Ragnarok_WP-7777"},
      // -serverkey= as this game's server managers set it; -GildmarkInstance= wins over it.
      {"ArkAscendedServer.exe TheIsland_WP?listen?Port=7779 -serverkey=island1", "island1"},
      {"TheIsland_WP?listen -ServerKey=Island 2", "Island"},
      {"ArkAscendedServer TheIsland_WP -serverkey=a -GildmarkInstance=b", "b"},
      {"ArkAscendedServer TheIsland_WP -GildmarkInstance=b -serverkey=a", "b"},
      {"ArkAscendedServer TheIsland_WP?Port=7001 -serverkey=", "TheIsland_WP-7001"},
      // No map at all.
      {"ShooterGameServer.exe -log", "server-7777"},
      {"", "server-7777"},
  };
  for (const auto& [line, name] : cases) EXPECT_EQ(InstanceNameFromLaunchLine(line), name) << line;
}

class SharedInstallationTest : public PluginTest {
 protected:
  void TearDown() override {
    holder_.reset();
    PluginTest::TearDown();
  }
  std::string ServerDir(const std::string& name) const { return Dir() + "servers/" + name + "/"; }
  std::vector<std::string> ServerLogMessages(const std::string& name, const std::string& file) const {
    std::vector<std::string> out;
    std::ifstream in(ServerDir(name) + file);
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find("] ") + 2));
    return out;
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& part) {
    for (auto& line : lines)
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  // Frames of game time, as the host runs them.
  static void RunSeconds(double seconds) {
    for (double t = 0; t < seconds; t += 0.5) sim().RunFrame(0.5f);
  }

  // The player "crashed" joins again with the admin bit a crash left set, through the join check.
  static void RejoinWithRightsACrashLeft(int64_t linked_id) {
    sim().Join("crashed", linked_id, "C");
    sim().SetAdminBit("crashed", true);
    sim().Leave("crashed");
    host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player);
    sim().Join("crashed", linked_id, "C");
    host::RemoveNewPlayerHook(&OnHandleNewPlayer);
  }

  std::unique_ptr<ChildProcess> holder_;
};

const char* const kListedConfig = R"({
  "key": "top.topsecret.third",
  "request_interval_in_minutes": 1,
  "order_received_text": "Thanks from the top",
  "servers": {
    "Island": {"key": "isl.islsecret.third", "order_received_text": "Danke"},
    "Other": {"key": "oth.othsecret.third"}
  }
})";

TEST_F(SharedInstallationTest, AnUnlistedServerKeepsTheTopLevelKeyAndFiles) {
  Write("config.json", kListedConfig);
  sim().Join("buyer", 7, "Buyer");
  StartClient();
  EXPECT_FALSE(ThisInstance().listed);
  EXPECT_EQ(ThisInstance().name, "TheIsland_WP-7777");
  Poll();
  EXPECT_NE(OnlyPending().url.find("/v1/store/server/top/commands"), std::string::npos);
  Respond(200, nlohmann::json::array({Payment("p1", "buyer", "", {Command(1, "give {eosid}")})}).dump());
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give buyer"});
  EXPECT_TRUE(Has(LogMessages("info.log"), "Executing command"));
  EXPECT_FALSE(std::filesystem::exists(Dir() + "servers"));
  EXPECT_EQ(Lines("instances.txt"), std::vector<std::string>{"TheIsland_WP-7777"});
  // One instance has used the folder: lines carry no name.
  EXPECT_FALSE(Has(Lines("info.log"), "[TheIsland_WP-7777]"));
}

TEST_F(SharedInstallationTest, AListedServerUsesItsEntryAndAFolderOfItsOwn) {
  Write("config.json", kListedConfig);
  // A line left in the installation's journal before this server was listed.
  Write("security_admin.dat", "42\n");
  sim().SetLaunchLine("ShooterGameServer.exe TheIsland_WP?listen -GildmarkInstance=Island");
  sim().Join("buyer", 7, "Buyer");
  StartClient();
  ASSERT_TRUE(ThisInstance().listed);
  Poll();
  EXPECT_NE(OnlyPending().url.find("/v1/store/server/isl/commands"), std::string::npos) << "its own key";
  Respond(200, nlohmann::json::array({Payment("p1", "buyer", "", {Command(1, "give {eosid}")})}).dump());
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give buyer"});
  EXPECT_EQ(sim().ChatTo("buyer"), std::vector<std::string>{"Danke"}) << "its own greeting";
  Respond(200, "{}");  // the results acknowledged
  EXPECT_TRUE(Has(ServerLogMessages("Island", "info.log"), "Executing command [FOR"));
  EXPECT_FALSE(Has(LogMessages("info.log"), "Executing command"));
  EXPECT_EQ(ReadAll(ServerDir("Island") + "response.json"), "{}");
  EXPECT_FALSE(Exists("response.pending"));
  EXPECT_TRUE(std::filesystem::exists(ServerDir("Island") + kInstanceLockFileName));

  // The installation's journal line is honoured through the server's own journal, and the
  // installation's is left to the servers that share it.
  EXPECT_EQ(ReadAll(ServerDir("Island") + "security_admin.dat"), "42\n");
  RejoinWithRightsACrashLeft(42);
  EXPECT_FALSE(sim().AdminBit("crashed"));
  EXPECT_EQ(ReadAll(ServerDir("Island") + "security_admin.dat"), "");
  EXPECT_EQ(Read("security_admin.dat"), "42\n");
}

// A server an earlier version named <map>-<port> keeps that name when its launch line also has
// -serverkey=, by its "servers" entry or by its folder: its journal and results stay its own.
TEST_F(SharedInstallationTest, AnUpdateKeepsTheNameAnEarlierVersionGaveAServer) {
  const std::string line = "ArkAscendedServer.exe TheIsland_WP?listen -serverkey=island1";
  Write("config.json", R"({"key":"top.topsecret.third","servers":{"TheIsland_WP-7777":{"key":"isl.islsecret.third"}}})");
  std::filesystem::create_directories(ServerDir("TheIsland_WP-7777"));
  WriteAll(ServerDir("TheIsland_WP-7777") + "security_admin.dat", "42\n");
  sim().SetLaunchLine(line);
  StartClient();
  EXPECT_EQ(ThisInstance().name, "TheIsland_WP-7777");
  EXPECT_TRUE(ThisInstance().listed);
  Poll();
  EXPECT_NE(OnlyPending().url.find("/v1/store/server/isl/commands"), std::string::npos) << "its entry's key";
  Respond(200, "[]");
  RejoinWithRightsACrashLeft(42);
  EXPECT_FALSE(sim().AdminBit("crashed")) << "its journal line taken back";
  int told = 0;
  for (const auto& message : ServerLogMessages("TheIsland_WP-7777", "info.log"))
    told += message.find("keeps the instance name TheIsland_WP-7777") != std::string::npos &&
            message.find("-GildmarkInstance=TheIsland_WP-7777") != std::string::npos;
  EXPECT_EQ(told, 1);
  StopClient();

  // By its folder alone (the entry gone), and a new server with neither takes the new name.
  Write("config.json", R"({"key":"top.topsecret.third"})");
  StartClient();
  EXPECT_EQ(ThisInstance().name, "TheIsland_WP-7777");
  StopClient();
  std::filesystem::remove_all(Dir() + "servers");
  StartClient();
  EXPECT_EQ(ThisInstance().name, "island1");
}

TEST_F(SharedInstallationTest, LinesOfSharedLogsSayWhichServerWroteThem) {
  Write("instances.txt", "Ragnarok_WP-7800\n");
  WriteConfig();
  StartClient();
  EXPECT_EQ(Lines("instances.txt"), (std::vector<std::string>{"Ragnarok_WP-7800", "TheIsland_WP-7777"}));
  client().RunRequestCycle(false, true);
  Respond(200, "[]");
  EXPECT_TRUE(Has(Lines("info.log"), "] [TheIsland_WP-7777] Gildmark API connection successful."));
}

TEST_F(SharedInstallationTest, ACycleWaitsForItsTurnAndGoesOnWhenAKilledHolderLetsGo) {
  WriteConfig();
  holder_ = HoldElsewhere(Dir() + kTurnsLockFileName);
  StartClient();
  EXPECT_TRUE(Pending().empty()) << "the first cycle waits for its turn";
  EXPECT_TRUE(Has(LogMessages("info.log"), "Another server of this installation is talking to the store"));

  // An admin's test hears why, and nothing is sent.
  sim().Join("admin", 3, "Admin", true);
  client().target->SetPlayer(sim().Player("admin"));
  client().RunRequestCycle(false, true);
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(Has(sim().ChatTo("admin"), "Another server of this installation is talking to the store"));

  // A journal line of a joining player: the bits go at once, the line in this server's turn.
  Write("security_admin.dat", "5\n");
  RejoinWithRightsACrashLeft(5);
  EXPECT_FALSE(sim().AdminBit("crashed"));
  RunSeconds(12);
  EXPECT_EQ(Read("security_admin.dat"), "5\n") << "not while another server has the turn";
  EXPECT_TRUE(Pending().empty()) << "retried, and still waiting";

  holder_->Kill();
  RunSeconds(11);  // the next retry, at most 10 s away
  EXPECT_EQ(Pending().size(), 1u) << "the turn is free once its holder is gone";
  EXPECT_EQ(Read("security_admin.dat"), "");
  Respond(200, "[]");
  RunSeconds(1);
  // Given back once the conversation is over: another process can have it.
  host::ProcessLock other;
  std::string error;
  EXPECT_EQ(other.TryAcquire(Dir() + kTurnsLockFileName, error), host::ProcessLock::Outcome::held) << error;
}

// A lock that cannot be had says nothing about the other servers: with others sharing the key
// and files, this one waits for the lock (said once, and again to an admin who asks); alone it
// goes on.
TEST_F(SharedInstallationTest, ALockThatCannotBeHadFailsClosedWhenOthersShareTheFolder) {
  WriteConfig();
  Write("instances.txt", "TheIsland_WP-7777\nScorchedEarth_WP-7779\n");
  std::filesystem::create_directory(Dir() + kTurnsLockFileName);  // nothing can open it as a file
  StartClient();
  RunSeconds(30);
  EXPECT_TRUE(Pending().empty()) << "no request while the lock cannot be had";
  sim().Join("admin", 3, "Admin", true);
  client().target->SetPlayer(sim().Player("admin"));
  client().RunRequestCycle(false, true);
  EXPECT_TRUE(Pending().empty());
  EXPECT_TRUE(Has(sim().ChatTo("admin"), "lest a purchase be delivered twice"))
      << ::testing::PrintToString(sim().ChatTo("admin")) << Read("err.log");
  int told = 0;
  for (const auto& line : LogMessages("err.log")) told += line.find("Can't lock") != std::string::npos;
  EXPECT_EQ(told, 2) << "once for the logs, once for the admin who asked";

  std::filesystem::remove(Dir() + kTurnsLockFileName);
  RunSeconds(11);  // the next retry, at most 10 s away
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_TRUE(Has(LogMessages("info.log"), "can be locked again"));
  Respond(200, "[]");
}

TEST_F(SharedInstallationTest, AServerAloneGoesOnWithoutALock) {
  WriteConfig();
  std::filesystem::create_directory(Dir() + kTurnsLockFileName);
  StartClient();
  Poll();
  EXPECT_EQ(Pending().size(), 1u);
  EXPECT_TRUE(Has(LogMessages("err.log"), "a single server is not affected"));
  Respond(200, "[]");
}

// A lock file deleted or replaced while held (a cleanup tool, an admin tidying the folder) must
// not let a second process lock a new file of that name.
TEST(ProcessLockTest, ALockFileDeletedOrReplacedWhileHeldGivesNoSecondHolder) {
  const std::string dir = MakeTempDir();
  const std::string path = dir + "/store-turns.lock";
  host::ProcessLock first, second;
  std::string error;
  ASSERT_EQ(first.TryAcquire(path, error), host::ProcessLock::Outcome::held) << error;
  std::error_code ec;
  std::filesystem::remove(path, ec);  // refused on Windows while held: fine as well
  EXPECT_EQ(second.TryAcquire(path, error), host::ProcessLock::Outcome::taken);
  WriteAll(dir + "/other", "");
  std::filesystem::rename(dir + "/other", path, ec);
  EXPECT_EQ(second.TryAcquire(path, error), host::ProcessLock::Outcome::taken);
  first.Release();
  EXPECT_EQ(second.TryAcquire(path, error), host::ProcessLock::Outcome::held) << error;
  second.Release();
  std::filesystem::remove_all(dir);
}

TEST_F(SharedInstallationTest, ASecondLiveProcessUnderAListedNameAsksNothing) {
  Write("config.json", kListedConfig);
  std::filesystem::create_directories(ServerDir("Island"));
  holder_ = HoldElsewhere(ServerDir("Island") + kInstanceLockFileName);
  sim().SetLaunchLine("ShooterGameServer.exe TheIsland_WP?listen -GildmarkInstance=Island");
  StartClient();
  EXPECT_TRUE(ThisInstance().duplicate);
  Poll();
  Poll();
  EXPECT_TRUE(Pending().empty());
  const auto errors = ServerLogMessages("Island", "err.log");
  EXPECT_EQ(errors.size(), 1u) << "told once";
  EXPECT_TRUE(Has(errors, "uses the instance name Island")) << ::testing::PrintToString(errors);
  EXPECT_TRUE(Has(errors, "-GildmarkInstance="));

  holder_->Kill();
  Poll();
  EXPECT_EQ(Pending().size(), 1u) << "the name is this server's once the other is gone";
  EXPECT_TRUE(Has(ServerLogMessages("Island", "info.log"), "No other running server uses the instance name Island"));
  Respond(200, "[]");
}

}  // namespace
}  // namespace gildmark::testing
