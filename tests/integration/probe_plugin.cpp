// The smallest plugin there is, for the host's unload: a console command, an RCON command and a
// frame callback. Built twice: probe_polite leaves its registrations to the host at unload, as
// the host wants since 2.03; probe_rude removes them itself in Plugin_Unload, which leaves the
// host's dispatch holding the last copy of its callbacks past the library's close.
#include "API/ARK/Ark.h"

#ifdef _WIN32
#define PROBE_EXPORT extern "C" __declspec(dllexport)
#else
#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PROBE_EXPORT void Plugin_Init() {
  AsaApi::GetCommands().AddConsoleCommand(FString("probe.ping"), [](APlayerController*, FString*, bool) {});
  AsaApi::GetCommands().AddRconCommand(FString("probe.ping"), [](RCONClientConnection*, RCONPacket*, UWorld*) {});
  AsaApi::GetCommands().AddOnTickCallback(FString("probe.frame"), [](float) {});
}

PROBE_EXPORT void Plugin_Unload() {
#ifdef PROBE_REMOVES_ITS_OWN
  AsaApi::GetCommands().RemoveConsoleCommand(FString("probe.ping"));
  AsaApi::GetCommands().RemoveRconCommand(FString("probe.ping"));
  AsaApi::GetCommands().RemoveOnTickCallback(FString("probe.frame"));
#endif
}
