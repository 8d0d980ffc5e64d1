#include "shell/plugin_entry.h"

#include <exception>
#include <memory>
#include <string>

#include "host/host.h"
#include "store/admin_rights.h"
#include "store/delivery_lookup.h"
#include "store/store_client.h"
#include "store/store_status.h"
#include "support/game_clock.h"
#include "support/plugin_files.h"
#include "support/request_target.h"

namespace gildmark {

namespace {

const char* const kCouldNotStartMessage = "Gildmark could not start its store client; err.log says why";
// The RCON answer when nothing else was said (an error on the way, told in err.log).
const char* const kCouldNotAnswerMessage = "Gildmark could not answer this command; err.log says why";

void ReportFailure(const std::string& where, const char* what) {
  const std::string message = "Gildmark " + where + " failed: " + what;
  if (g_store_client) {
    g_store_client->target->Report(message, Severity::error, true);
  } else {
    RequestTarget nobody;
    nobody.Report(message, Severity::error, false);
  }
}

// Runs one entry point's work; an exception is told and goes no further.
template <typename Work>
void AtEdge(const std::string& where, Work&& work) {
  try {
    work();
  } catch (const std::exception& e) {
    ReportFailure(where, e.what());
  } catch (...) {
    ReportFailure(where, "unknown error");
  }
}

// The store client, constructed now if an earlier construction failed. Its constructor runs a
// first cycle of its own: for `requester`, that cycle is their connection test. False when it
// still cannot be made (reported).
bool EnsureStoreClient(const RequestTarget* requester = nullptr) {
  if (g_store_client) return true;
  AtEdge("start", [requester] {
    auto client = std::make_unique<StoreClient>(requester);
    client.release();  // owned through g_store_client until unload
  });
  return g_store_client != nullptr;
}

// The connection test of an admin: the config reloaded, then a cycle that answers them. A
// client made just now has run that cycle as its first one.
void TestConnectionFor(const RequestTarget& requester) {
  if (!g_store_client) {
    if (!EnsureStoreClient(&requester)) {
      RequestTarget asker = requester;
      asker.Report(kCouldNotStartMessage, Severity::error, true);
    }
    return;
  }
  *g_store_client->target = requester;
  g_store_client->LoadConfig();
  g_store_client->RunRequestCycle(false, true);
}

// Plugin_Init calls in this library not yet undone by Plugin_Unload, one per record the host
// keeps of it. The host looks a loaded plugin up by its name letter for letter
// (PluginManager::FindPlugin), while Windows finds the file and the loaded library whatever the
// case: plugins.load of the name in other letters runs Plugin_Init again in the library already
// loaded, under a second record.
int g_records = 0;
// The hook, commands, timer and store client are in place. The host removes every registration
// of the module (by module) when any one of its records goes, so the plugin then stops whole.
bool g_running = false;
// The join hook went in: from then on its original must stay set until the unload.
bool g_hook_in_place = false;
bool g_told_hook_lost = false;

void RegisterHookAndCommands() {
  g_hook_in_place = false;
  g_told_hook_lost = false;
  AtEdge("hook", [] {
    if (host::InstallNewPlayerHook(&OnHandleNewPlayer, &g_replaced_handle_new_player)) {
      g_hook_in_place = true;
      return;
    }
    RequestTarget nobody;
    nobody.Report(kJoinHookFailedMessage, Severity::error, false);
  });
  AtEdge("command registration", [] {
    host::AddConsoleCommand(kConnectCommand, &OnConnectConsole);
    host::AddRconCommand(kConnectCommand, &OnConnectRcon);
    host::AddConsoleCommand(kStatusCommand, &OnStatusConsole);
    host::AddRconCommand(kStatusCommand, &OnStatusRcon);
    host::AddConsoleCommand(kLookupCommand, &OnLookupConsole);
    host::AddRconCommand(kLookupCommand, &OnLookupRcon);
  });
}

// Another plugin's DisableHook rebuilds the chain and nulls the original of a hook it could not
// attach again: ours is then out of the chain, and the host says so only in its own log.
void TellIfJoinHookLost() {
  if (!g_hook_in_place || g_told_hook_lost || g_replaced_handle_new_player) return;
  g_told_hook_lost = true;
  RequestTarget nobody;
  nobody.Report(kJoinHookLostMessage, Severity::error, false);
}

}  // namespace

bool PluginLoad() {
  ++g_records;
  if (g_running) {
    // A second hook over the same original slot would call itself at the next join, and a
    // second timer would poll twice: nothing is started again.
    AtEdge("second start", [] {
      RequestTarget nobody;
      nobody.Report(kLoadedTwiceMessage, Severity::error, false);
    });
    return true;
  }
  g_running = true;
  AtEdge("logger set-up", [] { InitPluginLogger(); });
  ForgetFileProblems();
  // Once per start: without the folder every later step fails, and each would blame something else.
  AtEdge("start", [] { CheckPluginDirectory(); });
  // A client that fails here is tried again by the next tick or gildmark.connect.
  EnsureStoreClient();
  RegisterHookAndCommands();
  AtEdge("timer", [] {
    const int minutes = g_store_client ? g_store_client->config.request_interval_in_minutes : 1;
    if (minutes <= 0) {
      RequestTarget nobody;
      nobody.Report("request_interval_in_minutes is " + std::to_string(minutes) +
                        " in config.json; polling the store every minute instead",
                    Severity::error, false);
    }
    host::StartRecurringTimer(&OnTimerTick, TimerPeriodSeconds(minutes));
  });
  return true;
}

// Only what is the plugin's own: its thread stopped and its results kept. The host removes the
// commands, the frame callback, the timer and the hook itself once this returns, emptying each
// before it closes the library; removing one here would leave the host's dispatch, which may be
// running this very unload (plugins.unload), holding a copy that is destroyed after the library
// is gone.
bool PluginUnload() {
  if (g_records > 0) --g_records;
  const bool was_running = g_running;
  g_running = false;
  g_hook_in_place = false;
  AtEdge("stop", [] {
    if (StoreClient* client = g_store_client) {
      client->leave_registrations_to_host = true;
      delete client;
    }
    g_store_client = nullptr;
  });
  if (g_records > 0) {
    // One of two records went and took every registration of the library with it; the library
    // stays for the other record, idle, with its results kept for the next start.
    if (was_running)
      AtEdge("stop", [] {
        RequestTarget nobody;
        nobody.Report(kStoppedWithSecondRecordMessage, Severity::error, false);
      });
    return true;
  }
  ReleasePluginLogger();
  return true;
}

void OnConnectConsole(APlayerController* player, FString*, bool) {
  if (!player) return;
  AtEdge("gildmark.connect", [player] {
    if (!host::ReadBit(player, host::kAdminBit)) return;
    RequestTarget requester = g_store_client ? *g_store_client->target : RequestTarget{};
    requester.SetPlayer(player);
    TestConnectionFor(requester);
  });
}

void OnConnectRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
  const RconAnswer answer(connection, packet, kCouldNotAnswerMessage);
  AtEdge("gildmark.connect", [connection, packet] {
    RequestTarget requester = g_store_client ? *g_store_client->target : RequestTarget{};
    requester.SetRconRequester(connection, packet);
    TestConnectionFor(requester);
    // The game may close and free the connection once this handler returns (a client that
    // gives up while the store is slow), and nothing in the SDK says when: an answer that comes
    // later would write through a freed pointer. So RCON hears now, in this command's one
    // answer, and the store's verdict goes to the logs.
    if (g_store_client && g_store_client->target->rcon_connection) {
      if (RconAnswer::OpenAndEmpty())
        g_store_client->target->ReplyRcon(kRconAnswerLaterMessage, true);
      else
        g_store_client->target->SetRconRequester(nullptr, nullptr);  // it has had its answer
    }
  });
}

void OnTimerTick() {
  TellIfJoinHookLost();
  // A client made now has just run its first cycle, which stands in for this poll.
  if (!g_store_client) {
    EnsureStoreClient();
    return;
  }
  AtEdge("scheduled poll", [] {
    g_store_client->last_scheduled_poll = GameSeconds();
    g_store_client->target->Clear();
    // The early poll for a buyer who joined is this poll, come sooner: nobody asked, and
    // "Please wait" would read as a fault.
    if (g_store_client->request_in_flight && g_store_client->early_poll_in_flight) return;
    g_store_client->RunRequestCycle(true, false);
  });
}

// The status goes to the one who asked only; the requester of a request still out is left alone.
void OnStatusConsole(APlayerController* player, FString*, bool) {
  if (!player) return;
  AtEdge("gildmark.status", [player] {
    if (!host::ReadBit(player, host::kAdminBit)) return;
    RequestTarget asker;
    asker.SetPlayer(player);
    asker.Report(StatusText(g_store_client), Severity::answer, true);
  });
}

void OnStatusRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
  const RconAnswer answer(connection, packet, kCouldNotAnswerMessage);
  AtEdge("gildmark.status", [connection, packet] {
    RequestTarget asker;
    asker.SetRconRequester(connection, packet);
    asker.Report(StatusText(g_store_client), Severity::answer, true);
  });
}

void OnLookupConsole(APlayerController* player, FString* message, bool) {
  if (!player) return;
  AtEdge("gildmark.lookup", [player, message] {
    if (!host::ReadBit(player, host::kAdminBit)) return;
    RequestTarget asker;
    asker.SetPlayer(player);
    if (!g_store_client) {
      asker.Report(kCouldNotStartMessage, Severity::answer, true);
      return;
    }
    LookUpForPlayer(*g_store_client, asker, LookupQuery(message ? host::ToUtf8(*message) : std::string()));
  });
}

void OnLookupRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
  const RconAnswer answer(connection, packet, kCouldNotAnswerMessage);
  AtEdge("gildmark.lookup", [connection, packet] {
    RequestTarget asker;
    asker.SetRconRequester(connection, packet);
    const std::string text = g_store_client ? LookUpForRcon(*g_store_client, LookupQuery(packet ? host::ToUtf8(packet->Body)
                                                                                              : std::string()))
                                            : kCouldNotStartMessage;
    asker.Report(text, Severity::answer, true);
  });
}

}  // namespace gildmark
