// The plugin's entry points: load and unload, the gildmark.connect, gildmark.status and
// gildmark.lookup handlers for the console and RCON, and the timer tick. Each catches at its
// edge: nothing throws into the host, and load and unload always report success.
#pragma once

#include "host/host.h"
#include "store/store_config.h"

namespace gildmark {

inline constexpr const char* kConnectCommand = "gildmark.connect";
// What RCON hears while the store has not answered yet: the connection may be gone by then.
inline constexpr const char* kRconAnswerLaterMessage =
    "Gildmark is asking the store; run gildmark.status in a few seconds for its answer (it also goes to info.log "
    "or err.log and the server log)";

// err.log at load when the host could not hook the game's new-player handler.
inline constexpr const char* kJoinHookFailedMessage =
    "Could not hook the game's new-player handler; rights that a crash left to a player are taken back only "
    "at the next load of the plugin (plugins.load or a server start)";

// err.log when the host's rebuild of the hook chain (another plugin removing its own hook) left
// ours out, its original nulled.
inline constexpr const char* kJoinHookLostMessage =
    "The host lost Gildmark's hook of the game's new-player handler while another plugin removed its own (the "
    "host's log says why): joining players are not checked against the admin journal, and a buyer who joins "
    "waits for the next poll. plugins.unload Gildmark_DadUZ, then plugins.load Gildmark_DadUZ puts it back";

// err.log when Plugin_Init runs again in the library already loaded (the name typed in other
// letters at plugins.load).
inline constexpr const char* kLoadedTwiceMessage =
    "Gildmark was loaded a second time, under its name written in other letters (the host tells plugins apart "
    "letter for letter, Windows does not): nothing was started twice. Unloading either name stops Gildmark, "
    "since the host then removes its commands, hook and timer; to undo it, unload both names (each written "
    "exactly as it was loaded), then plugins.load Gildmark_DadUZ";

// err.log when one of two records of the library was unloaded: the host took every registration.
inline constexpr const char* kStoppedWithSecondRecordMessage =
    "Gildmark has stopped: one of the two names it was loaded under was unloaded, and the host removed its "
    "commands, hook and timer with it. Its results are kept. Unload the name still loaded (written exactly as "
    "it was loaded), then plugins.load Gildmark_DadUZ";

bool PluginLoad();
bool PluginUnload();
void OnConnectConsole(APlayerController* player, FString* message, bool flag);
void OnConnectRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
void OnTimerTick();
// gildmark.status: answered at once from what the plugin knows (console: admins only).
void OnStatusConsole(APlayerController* player, FString* message, bool flag);
void OnStatusRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
// gildmark.lookup <EOS id | character name | payment id> (console: admins only).
void OnLookupConsole(APlayerController* player, FString* message, bool flag);
void OnLookupRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

}  // namespace gildmark
