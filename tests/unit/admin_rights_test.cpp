// Temporary admin rights: the bits and the journal during and after a command, faults at every
// step, and the join check.
#include "plugin_fixture.h"
#include "store/admin_rights.h"

namespace gildmark::testing {
namespace {

class AdminRightsTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    StartClient();
  }
  // What the game saw while each command ran: its bits and the journal's lines.
  struct Seen {
    bool admin, cheat;
    std::vector<std::string> journal;
  };
  std::vector<Seen> seen;
  void WatchCommands() {
    sim().SetConsoleObserver([this](AShooterPlayerController* p, const std::string&) {
      seen.push_back({host::ReadBit(p, host::kAdminBit), host::ReadBit(p, host::kCheatBit), Lines("security_admin.dat")});
    });
  }
};

TEST_F(AdminRightsTest, ANonAdminHoldsRightsOnlyWhileTheCommandRuns) {
  auto* player = sim().Join("p", 0x1'0000'002A, "P");
  WatchCommands();
  EXPECT_TRUE(client().ExecuteAsPlayer("say hi", player, "Player1"));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].admin);
  EXPECT_TRUE(seen[0].cheat);
  EXPECT_EQ(seen[0].journal, std::vector<std::string>{"42"}) << "the 32-bit linked id";
  EXPECT_FALSE(sim().AdminBit("p"));
  EXPECT_FALSE(sim().CheatBit("p"));
  EXPECT_TRUE(Lines("security_admin.dat").empty());
  EXPECT_EQ(LogMessages("info.log").back(), "Executing command [FOR Player1]  : say hi");
  auto run = CommandsRun();
  ASSERT_EQ(run.size(), 1u);
  EXPECT_EQ(run[0]["text"], "say hi");
}

TEST_F(AdminRightsTest, AnAdminKeepsBothBitsAndTheJournalIsUntouched) {
  auto* player = sim().Join("p", 9, "P");
  sim().SetAdminBit("p", true);
  EXPECT_TRUE(client().ExecuteAsPlayer("fly", player, "P"));
  EXPECT_TRUE(sim().AdminBit("p"));
  EXPECT_TRUE(sim().CheatBit("p"));
  EXPECT_FALSE(Exists("security_admin.dat"));
}

TEST_F(AdminRightsTest, ANullPlayerDoesNothing) {
  const size_t before = Lines("info.log").size();
  EXPECT_FALSE(client().ExecuteAsPlayer("say hi", nullptr, "x"));
  EXPECT_EQ(Lines("info.log").size(), before);
  EXPECT_TRUE(CommandsRun().empty());
  EXPECT_FALSE(Exists("security_admin.dat"));
}

TEST_F(AdminRightsTest, JournalRemovalMatchesWholeLines) {
  Write("security_admin.dat", "5\n7\n5\n");
  EXPECT_FALSE(AdminJournal::Remove("9"));
  EXPECT_EQ(Read("security_admin.dat"), "5\n7\n5\n");
  EXPECT_TRUE(AdminJournal::Remove("5"));
  EXPECT_EQ(Read("security_admin.dat"), "7\n");
  Write("security_admin.dat", "05\n");
  EXPECT_FALSE(AdminJournal::Remove("5"));
  std::filesystem::remove(Dir() + "security_admin.dat");
  EXPECT_FALSE(AdminJournal::Remove("5"));
  EXPECT_EQ(Read("security_admin.dat"), "") << "a missing journal is created empty";
  AdminJournal::Append("");
  AdminJournal::Append("-3");
  EXPECT_EQ(Read("security_admin.dat"), "-3\n") << "bare line feeds on every system";

  // A journal edited on Windows ends its lines in "\r\n": the same ids.
  Write("security_admin.dat", "5\r\n7\r\n");
  EXPECT_TRUE(AdminJournal::Contains("7"));
  EXPECT_TRUE(AdminJournal::Remove("5"));
  EXPECT_EQ(Lines("security_admin.dat"), std::vector<std::string>{"7"});
}

// Every game call and bit access of a command, broken one at a time at each of its uses: no
// player ever ends with a bit they did not hold, and a line stays exactly when a bit could not
// be cleared.
TEST_F(AdminRightsTest, NoInjectedFaultLeavesRightsBehind) {
  const std::vector<std::string> entries = {
      "APrimalPlayerController.bIsAdmin", "ABasePlayerController.bCheatEnabled",
      "AShooterPlayerController.ConsoleCommand(FString&,bool)", "AShooterPlayerController.GetLinkedPlayerID()",
      "RCONClientConnection.SendMessage(int,int,FString&)"};
  int cases = 0, left_behind = 0, threw_count = 0;
  for (const std::string& entry : entries) {
    for (int after = 0; after < 5; ++after) {
      for (bool admin_before : {false, true}) {
        sim().Reset(Root());
        std::filesystem::remove(Dir() + "security_admin.dat");
        auto* player = sim().Join("p", 77, "P");
        sim().SetAdminBit("p", admin_before);
        sim().BreakEntry(entry, after, 1);
        bool threw = false;
        try {
          client().ExecuteAsPlayer("give 1", player, "P");
        } catch (const std::exception&) {
          threw = true;
        }
        sim().RestoreRegistry();
        const bool admin = sim().AdminBit("p"), cheat = sim().CheatBit("p");
        const auto journal = Lines("security_admin.dat");
        SCOPED_TRACE(entry + " after " + std::to_string(after) + (admin_before ? " admin" : " player"));
        if (admin_before) {
          EXPECT_TRUE(admin);
          EXPECT_TRUE(journal.empty());
        } else if (admin || cheat) {
          EXPECT_EQ(journal, std::vector<std::string>{"77"}) << "a bit left set must stay in the journal";
        } else {
          EXPECT_TRUE(journal.empty());
        }
        if (!admin_before && (admin || cheat)) {
          ++left_behind;
          // The join check takes the rest back: the same controller, with the bits it still
          // holds, passes through the new-player handler again.
          OnHandleNewPlayer(nullptr, player, nullptr, nullptr, true);
          EXPECT_FALSE(sim().AdminBit("p"));
          EXPECT_FALSE(sim().CheatBit("p"));
          EXPECT_TRUE(Lines("security_admin.dat").empty());
        }
        threw_count += threw;
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 50);
  EXPECT_GT(left_behind, 0) << "some faults must hit the clearing of a bit";
  EXPECT_GT(threw_count, 10);
}

TEST_F(AdminRightsTest, TheJoinCheckTakesBackRightsACrashLeftBehind) {
  host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player);
  // Listed, and the game makes them admin in its handler: both bits end clear.
  Write("security_admin.dat", "3\n8\n9\n");
  auto* crashed = sim().Join("crashed", 3, "C", /*admin_on_join=*/true);
  EXPECT_FALSE(sim().AdminBit("crashed"));
  EXPECT_EQ(Lines("security_admin.dat"), (std::vector<std::string>{"8", "9"}));
  sim().SetAdminBit("crashed", true);
  sim().SetCheatBit("crashed", true);
  Write("security_admin.dat", "3\n8\n9\n");
  OnHandleNewPlayer(nullptr, crashed, nullptr, nullptr, true);
  EXPECT_FALSE(sim().AdminBit("crashed"));
  EXPECT_FALSE(sim().CheatBit("crashed")) << "both bits go";

  // Listed without the admin bit: the line goes, and no bit is written.
  const std::string admin_entry = host::kAdminBit, cheat_entry = host::kCheatBit;
  const int admin_lookups = sim().LookupCount(admin_entry), cheat_lookups = sim().LookupCount(cheat_entry);
  sim().Join("listed", 8, "L");
  EXPECT_EQ(Lines("security_admin.dat"), std::vector<std::string>{"9"});
  EXPECT_FALSE(sim().AdminBit("listed"));
  EXPECT_EQ(sim().LookupCount(admin_entry) - admin_lookups, 1) << "the admin bit is only read";
  EXPECT_EQ(sim().LookupCount(cheat_entry) - cheat_lookups, 1) << "the cheat bit is only read";

  // Listed with only the cheat bit left (its clearing failed after a command): it goes too.
  auto* half = sim().Join("half", 9, "H");
  sim().SetCheatBit("half", true);
  Write("security_admin.dat", "9\n");
  OnHandleNewPlayer(nullptr, half, nullptr, nullptr, true);
  EXPECT_FALSE(sim().CheatBit("half"));
  EXPECT_TRUE(Lines("security_admin.dat").empty());

  // Not listed: a real admin keeps their rights.
  Write("security_admin.dat", "1\n");
  auto* admin = sim().Join("admin", 2, "A", true);
  sim().SetCheatBit("admin", true);
  OnHandleNewPlayer(nullptr, admin, nullptr, nullptr, true);
  EXPECT_TRUE(sim().AdminBit("admin"));
  EXPECT_TRUE(sim().CheatBit("admin"));
  EXPECT_EQ(Lines("security_admin.dat"), std::vector<std::string>{"1"});

  std::filesystem::remove(Dir() + "security_admin.dat");
  sim().Join("new", 5, "N");
  EXPECT_TRUE(Exists("security_admin.dat"));
  EXPECT_EQ(Read("security_admin.dat"), "");
  host::RemoveNewPlayerHook(&OnHandleNewPlayer);
}

// A line that a crash left for an offline player must survive every grant to others, also one
// whose journal line could not be written: linked ids of equal length made a removal that
// judged the file by its size empty it, and the crash victim then kept the admin bit.
TEST_F(AdminRightsTest, ALineACrashLeftSurvivesAGrantWhoseAppendFailed) {
  Write("security_admin.dat", "123456789\n");
  auto* buyer = sim().Join("y", 987654321, "Y");
  const std::string journal = Dir() + "security_admin.dat";
  SetFileFaultHook([&](FileStep step, const std::string& path) {
    return step == FileStep::open_append && path == journal ? 28 /* ENOSPC */ : 0;
  });
  EXPECT_TRUE(client().ExecuteAsPlayer("give 1", buyer, "Y"));
  client().hold_journal_lines = true;  // as a delivery slice does
  EXPECT_TRUE(client().ExecuteAsPlayer("give 2", buyer, "Y"));
  client().hold_journal_lines = false;
  client().ReleaseJournalLines();
  SetFileFaultHook(nullptr);
  EXPECT_FALSE(sim().AdminBit("y"));
  EXPECT_EQ(Read("security_admin.dat"), "123456789\n");

  // Appends that work: the file holds the victim's line and ours; only ours goes.
  EXPECT_TRUE(client().ExecuteAsPlayer("give 3", buyer, "Y"));
  EXPECT_EQ(Read("security_admin.dat"), "123456789\n");

  // The victim comes back with the bit the crash left: the join check takes it.
  host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player);
  sim().Join("x", 123456789, "X", /*admin_on_join=*/true);
  EXPECT_FALSE(sim().AdminBit("x"));
  EXPECT_EQ(Read("security_admin.dat"), "");
  host::RemoveNewPlayerHook(&OnHandleNewPlayer);
}

// The game's handler as a test wants it: refuses odd calls, accepts even ones.
int g_game_calls = 0;
bool AlternatingGameHandler(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*,
                            bool) {
  return ++g_game_calls % 2 == 0;
}

TEST_F(AdminRightsTest, AFailingJoinCheckStillReturnsTheGamesResult) {
  host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player);
  sim().BreakEntry("AShooterPlayerController.GetLinkedPlayerID()");
  sim().Join("p", 1, "P", true);
  EXPECT_TRUE(sim().AdminBit("p")) << "the game's handler ran";
  EXPECT_EQ(LogMessages("err.log").size(), 1u);
  host::RemoveNewPlayerHook(&OnHandleNewPlayer);

  // Whatever the check does, the detour returns what the game's handler returned.
  auto* player = sim().Player("p");
  const auto replaced = g_replaced_handle_new_player;
  g_replaced_handle_new_player = &AlternatingGameHandler;
  g_game_calls = 0;
  for (int call = 1; call <= 4; ++call)
    EXPECT_EQ(OnHandleNewPlayer(nullptr, player, nullptr, nullptr, true), call % 2 == 0) << "call " << call;
  sim().RestoreRegistry();
  for (int call = 5; call <= 6; ++call)
    EXPECT_EQ(OnHandleNewPlayer(nullptr, player, nullptr, nullptr, true), call % 2 == 0) << "call " << call;
  g_replaced_handle_new_player = replaced;
}

}  // namespace
}  // namespace gildmark::testing
