// The plugin's entry points: load and unload, the gildmark.connect handlers for the console
// and RCON, and the timer tick. Each catches at its edge: nothing throws into the host, and
// load and unload always report success.
#pragma once

#include "host/host.h"

namespace gildmark {

inline constexpr const char* kConnectCommand = "gildmark.connect";

bool PluginLoad();
bool PluginUnload();
void OnConnectConsole(APlayerController* player, FString* message, bool flag);
void OnConnectRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world);
void OnTimerTick();
// The timer period for an interval in minutes: at least 60 seconds, without overflow.
int TimerPeriodSeconds(int interval_in_minutes);
// What the library entry point does for a reason code: 1 attach, 0 detach, others nothing.
// `process_exiting`: a detach because the process ends, when the host's other threads are gone
// and a call into the host can hang: then nothing is done.
bool OnLibraryEvent(unsigned long reason, bool process_exiting = false);

}  // namespace gildmark
