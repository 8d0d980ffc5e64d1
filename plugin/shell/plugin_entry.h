// The plugin's entry points: load and unload, the gildmark.connect and gildmark.status
// handlers for the console and RCON, and the timer tick. Each catches at its edge: nothing throws into the host, and
// load and unload always report success.
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

bool PluginLoad();
bool PluginUnload();
void OnConnectConsole(APlayerController* player, FString* message, bool flag);
void OnConnectRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
void OnTimerTick();
// gildmark.status: answered at once from what the plugin knows (console: admins only).
void OnStatusConsole(APlayerController* player, FString* message, bool flag);
void OnStatusRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);

}  // namespace gildmark
