// Temporary admin rights. A store command runs through its buyer's controller with the admin
// and cheat bits set for the length of the command. Before a non-admin gets the bits, their
// journal id goes into security_admin.dat; the line goes only once the bits are clear again,
// so a grant that a crash cut short is taken back when that player next joins (the detour on
// the game's new-player handler). A server listed in config.json has a journal of its own; the
// others share the installation's, whose lines a join check removes only in its turn.
#pragma once

#include <string>
#include <vector>

#include "host/host.h"

namespace gildmark {

extern const char* const kJournalFileName;

class AdminJournal {
 public:
  static std::string Path();
  // False when the line could not be written (told).
  static bool Append(const std::string& id);
  // Removes every line equal to `id`; true if there was one. Rewritten atomically.
  static bool Remove(const std::string& id);
  static bool RemoveLines(const std::vector<std::string>& ids);
  // Removes the lines of `ids` that Append added, after reading what the journal holds: it is
  // emptied only when it held nothing else; otherwise it is rewritten once without them.
  static void RemoveAppended(const std::vector<std::string>& ids);
  // A server that has just been given a folder of its own starts its journal with the lines of
  // the installation's journal, which it used until now: an upgrade loses no line. Done once,
  // when it has no journal of its own yet; the installation's journal is left to the others.
  static void CarryOverFromInstallation();
  // False also when the journal cannot be read; `readable` tells the two apart.
  static bool Contains(const std::string& id, bool* readable = nullptr);
};

// The decimal text of the player's 32-bit linked id.
std::string JournalId(AShooterPlayerController* player);

extern host::NewPlayerHandler g_replaced_handle_new_player;
bool OnHandleNewPlayer(AShooterGameMode* game_mode, AShooterPlayerController* player, UPrimalPlayerData* data,
                       AShooterCharacter* character, bool from_login);

}  // namespace gildmark
