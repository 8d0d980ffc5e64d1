// The plugin's one layer over the host framework. Every host call the plugin makes is one of the
// small named operations below, each a few lines over the host's own names, so that moving
// between the real SDK and the Linux stand-in touches this piece only. Host types (FString,
// controller pointers) may be used elsewhere; host calls may not.
//
// Operations may throw what the host throws (a missing game function, a bad bit field); callers
// decide where such an error is caught.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The host's logger header first: it brings spdlog, whose bundled formatting library must be the
// one the SDK's string header then finds.
#include "Logger/Logger.h"

#include "API/ARK/Ark.h"

namespace gildmark::host {

inline constexpr const char* kAdminBit = "APrimalPlayerController.bIsAdmin";
inline constexpr const char* kCheatBit = "ABasePlayerController.bCheatEnabled";
inline constexpr const char* kNewPlayerFunction =
    "AShooterGameMode.HandleNewPlayer_Implementation(AShooterPlayerController*,UPrimalPlayerData*,"
    "AShooterCharacter*,bool)";

// --- text ---------------------------------------------------------------------------------
std::wstring Utf8Decode(const std::string& text);
FString FromUtf8(const std::string& text);
std::string ToUtf8(const FString& text);
// Every character above 0x7F becomes "?".
std::string To7Bit(const FString& text);
// A chat text: "{{" and "}}" become "{" and "}" when the text is a valid format string without
// arguments; any other text is sent exactly as it stands.
FString ChatText(const std::string& utf8);

// --- places -------------------------------------------------------------------------------
// The server executable's folder.
std::string CurrentDir();
// The full path of the plugin's own library file; it names the plugin to the timer and chat.
FString ModulePath();

// --- players and the world ----------------------------------------------------------------
// The game's world exists (not before the game mode's InitGame): without it nobody is online.
bool WorldExists();
AShooterPlayerController* FindPlayerByEosId(const FString& eos_id);
// A connected player by character name and 64-bit linked id together, or null: a controller
// kept across frames may have been destroyed at logout, so it is found again this way.
AShooterPlayerController* FindPlayerByNameAndLinkedId(const FString& character_name, int64_t linked_id);
// The first connected player whose character name matches exactly, case-sensitive; or null.
AShooterPlayerController* FindPlayerByCharacterName(const FString& name);
// Every connected player whose character name matches exactly, case-sensitive: names are not
// unique in this game.
std::vector<AShooterPlayerController*> FindPlayersByCharacterName(const FString& name);
// The player's EOS id as the game knows it.
FString EosIdOf(AShooterPlayerController* player);
// True when the player has a character that is not dead or dying.
bool HasLivingCharacter(AShooterPlayerController* player);
FString CharacterName(AShooterPlayerController* player);
int64_t LinkedId(AShooterPlayerController* player);    // the 64-bit field
int32_t LinkedId32(AShooterPlayerController* player);  // GetLinkedPlayerID()
// The world's first player controller; null without a world or without players.
AShooterPlayerController* FirstPlayerController();
// Runs a console command as the player; the game's answer is discarded.
void RunConsoleCommand(AShooterPlayerController* player, const FString& command);
bool ReadBit(APlayerController* player, const char* name);
void WriteBit(APlayerController* player, const char* name, bool value);

// --- replies to people ----------------------------------------------------------------------
void ReplyRcon(RCONClientConnection* connection, int packet_id, const FString& text);
void SendChat(AShooterPlayerController* player, const FString& sender, const FString& text);

// --- registrations ------------------------------------------------------------------------
using NewPlayerHandler = bool (*)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*,
                                  AShooterCharacter*, bool);
bool InstallNewPlayerHook(NewPlayerHandler detour, NewPlayerHandler* original);
bool RemoveNewPlayerHook(NewPlayerHandler detour);
using ConsoleHandler = std::function<void(APlayerController*, FString*, bool)>;
using RconHandler = std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>;
void AddConsoleCommand(const char* name, const ConsoleHandler& handler);
void AddRconCommand(const char* name, const RconHandler& handler);
bool RemoveConsoleCommand(const char* name);
bool RemoveRconCommand(const char* name);
// Once per game frame with its delta seconds, on the game thread; one per plugin.
void AddFrameCallback(const std::function<void(float)>& callback);
bool RemoveFrameCallback();
// Endless, on the game thread, from the host's once-a-second check: the first run at the next
// check, then one every period. Identified by the module path + "_timer".
void StartRecurringTimer(const std::function<void()>& callback, int period_seconds);
std::vector<spdlog::sink_ptr>& LogSinks();

}  // namespace gildmark::host
