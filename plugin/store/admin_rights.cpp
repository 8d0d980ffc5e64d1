#include "store/admin_rights.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "store/store_client.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/server_instance.h"

namespace gildmark {

const char* const kJournalFileName = "security_admin.dat";
host::NewPlayerHandler g_replaced_handle_new_player = nullptr;

namespace {

void ReportError(const std::string& message) {
  if (g_store_client) {
    g_store_client->target->Report(message, Severity::error, false);
  } else {
    RequestTarget nobody;
    nobody.Report(message, Severity::error, false);
  }
}

// Clears the cheat bit, then the admin bit; each is tried even if the other fails.
void ClearRights(AShooterPlayerController* player) {
  std::string failure;
  try {
    host::WriteBit(player, host::kCheatBit, false);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  try {
    host::WriteBit(player, host::kAdminBit, false);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) throw std::runtime_error(failure);
}

}  // namespace

std::string AdminJournal::Path() { return JsonFileStore::PathOf(kJournalFileName); }

namespace {
// Without the plugin folder no file can be written, and the load said so once: a permission
// message at every join would blame the wrong thing.
void ReportJournalWriteProblem() {
  if (!IsDirectory(JsonFileStore::PluginDirectory())) return;
  ReportError("Can't write to " + AdminJournal::Path() + ": Gildmark was unable to open " + AdminJournal::Path() +
              ", please verify that Gildmark has the right permissions in the plugin repository (" +
              LastFileError() + ")");
}
}  // namespace

// One id per line with a bare line feed on every system; lines that end in "\r\n" (edited by
// hand on Windows) are read as the same ids.
bool AdminJournal::Append(const std::string& id) {
  if (AppendFileBytes(Path(), id.empty() ? "" : id + "\n")) return true;
  ReportJournalWriteProblem();
  return false;
}

bool AdminJournal::Remove(const std::string& id) { return RemoveLines({id}); }

bool AdminJournal::RemoveLines(const std::vector<std::string>& ids) {
  std::string bytes;
  if (!ReadFileBytes(Path(), bytes)) {
    if (!FileExists(Path())) Append("");
    return false;
  }
  bool found = false;
  std::string kept;
  for (const std::string& line : SplitLines(bytes)) {
    if (std::find(ids.begin(), ids.end(), line) != ids.end()) {
      found = true;
      continue;
    }
    kept += line;
    kept += '\n';
  }
  if (found) {
    // Emptying is one truncation, which a stop cannot leave half done; other content is
    // replaced whole. If neither works the line stays, for the next join to find.
    bool written = false;
    if (kept.empty()) {
      written = WriteFileBytes(Path(), "");
    } else {
      const std::string temporary = WriteTemporaryFile(Path(), kept);
      written = !temporary.empty() && CommitTemporaryFile(temporary, Path());
    }
    if (!written) ReportJournalWriteProblem();
  }
  return found;
}

void AdminJournal::RemoveAppended(const std::vector<std::string>& ids) {
  // Read, never judged by its size: a line a crash left for another player may have the same
  // length as ours, and emptying the file would give that player their rights for good.
  // RemoveLines empties the file only when it held nothing but these lines.
  if (!ids.empty()) RemoveLines(ids);
}

void AdminJournal::CarryOverFromInstallation() {
  const std::string own = Path(), shared = JsonFileStore::PluginDirectory() + kJournalFileName;
  if (own == shared || FileExists(own)) return;
  std::string bytes;
  if (!ReadFileBytes(shared, bytes)) {
    // Unreadable now: tried again at the next start, as no journal of its own exists yet.
    if (FileExists(shared))
      ReportError("Can't read " + shared + " (" + LastFileError() + ") to start this server's own journal from it; "
                  "tried again at the next start");
    else
      Append("");
    return;
  }
  const std::string temporary = WriteTemporaryFile(own, bytes);
  if (temporary.empty() || !CommitTemporaryFile(temporary, own)) ReportJournalWriteProblem();
}

bool AdminJournal::Contains(const std::string& id, bool* readable) {
  std::string bytes;
  const bool read = ReadFileBytes(Path(), bytes);
  if (readable) *readable = read || !FileExists(Path());
  if (!read) return false;
  for (const std::string& line : SplitLines(bytes))
    if (line == id) return true;
  return false;
}

std::string JournalId(AShooterPlayerController* player) { return std::to_string(host::LinkedId32(player)); }

bool StoreClient::ExecuteAsPlayer(const std::string& command, APlayerController* controller,
                                  const std::string& target_text) {
  if (!controller) return false;
  auto* player = static_cast<AShooterPlayerController*>(controller);
  const bool was_admin = host::ReadBit(player, host::kAdminBit);
  std::string journal_id;
  // Our own line is in the journal (appended now, or held from earlier in this slice): only then
  // is there a line of ours to remove afterwards. A failed append was told; the command runs.
  bool line_is_ours = false;
  if (!was_admin) {
    journal_id = JournalId(player);
    line_is_ours =
        std::find(held_journal_ids.begin(), held_journal_ids.end(), journal_id) != held_journal_ids.end();
    if (!line_is_ours && AdminJournal::Append(journal_id)) {
      line_is_ours = true;
      if (hold_journal_lines) held_journal_ids.push_back(journal_id);
    }
  }
  // Bits first, line second; a line whose bits could not be cleared stays for the join check.
  const auto clear = [&] {
    try {
      ClearRights(player);
    } catch (...) {
      held_journal_ids.erase(std::remove(held_journal_ids.begin(), held_journal_ids.end(), journal_id),
                             held_journal_ids.end());
      throw;
    }
    if (!hold_journal_lines && line_is_ours) AdminJournal::RemoveAppended({journal_id});
  };
  const FString text = host::FromUtf8(command);
  target->Report("Executing command [FOR " + target_text + "]  : " + command, Severity::information, false);
  try {
    host::WriteBit(player, host::kCheatBit, true);
    host::WriteBit(player, host::kAdminBit, true);
    host::RunConsoleCommand(player, text);
  } catch (...) {
    // Rights never outlive the command.
    if (!was_admin) clear();
    throw;
  }
  if (!was_admin) clear();
  return true;
}

void StoreClient::ReleaseJournalLines() {
  if (held_journal_ids.empty()) return;
  std::vector<std::string> ids;
  ids.swap(held_journal_ids);
  AdminJournal::RemoveAppended(ids);
}

namespace {
// The installation's journal, which other servers rewrite too, is changed only in this process's
// turn; when another server has it, a second later. A journal of this server's own needs no turn.
// (Removing an id that is not there only makes sure the journal exists.)
void RemoveJoinedPlayersLine(const std::string& id, bool listed) {
  StoreClient* client = g_store_client;
  if (!client || ThisInstance().listed) {
    AdminJournal::Remove(id);
    return;
  }
  const bool in_turn = client->turns.Held();
  if (!client->turns.TakeNow()) {
    if (listed) client->turns.DeferJournalRemoval(id, GameSeconds());
    return;
  }
  AdminJournal::Remove(id);
  // Taken for this line alone: the other servers may have it again at once.
  if (!in_turn) client->turns.Release();
}
}  // namespace

bool OnHandleNewPlayer(AShooterGameMode* game_mode, AShooterPlayerController* player, UPrimalPlayerData* data,
                       AShooterCharacter* character, bool from_login) {
  const bool result =
      g_replaced_handle_new_player ? g_replaced_handle_new_player(game_mode, player, data, character, from_login) : true;
  // The game calls this for a respawn too, even from inside a command a delivery runs with lent
  // rights: only a login is a join, and a journal line the delivery holds must stay.
  if (!from_login) return result;
  try {
    if (player && g_store_client) g_store_client->waiting_buyers.OnJoin(player, GameSeconds());
  } catch (...) {
  }
  try {
    // A second process under this listed name delivers nothing; the journal is the other's.
    if (player && !ThisInstance().duplicate) {
      const std::string id = JournalId(player);
      // Bits first, line second: if clearing fails the line stays for the next join, and so it
      // does when the journal cannot be read now.
      bool readable = true;
      const bool listed = AdminJournal::Contains(id, &readable);
      if (!readable) {
        ReportError("Can't read " + AdminJournal::Path() + " (" + LastFileError() +
                    "); the joining player is checked again at the next join");
        return result;
      }
      // A listed player was no admin when granted; either bit still set is left from a grant
      // (a cheat bit alone when clearing it failed after a command).
      if (listed && (host::ReadBit(player, host::kAdminBit) || host::ReadBit(player, host::kCheatBit)))
        ClearRights(player);
      RemoveJoinedPlayersLine(id, listed);
    }
  } catch (const std::exception& e) {
    ReportError(std::string("Could not check a joining player against the admin journal: ") + e.what());
  } catch (...) {
    ReportError("Could not check a joining player against the admin journal");
  }
  return result;
}

}  // namespace gildmark
