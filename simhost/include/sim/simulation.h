// Control of the simulated game server behind the stand-in host: players, rights bits, console
// and RCON input, the game thread's work queue and clock, the by-name registry of game calls
// (with fault injection), HTTP transports, and the event log that records what a plugin did.
//
// There is one game thread: whoever calls Advance, RunUntilIdle or WaitIdle. Work from other
// threads (HTTP completions) reaches it through Post.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "API/ARK/Ark.h"
#include "sim/http_transport.h"

namespace sim {

using Event = nlohmann::json;

class Simulation {
 public:
  static Simulation& Get();

  // Starts over: no players, no plugin registrations or timers, the default registry, a world,
  // clock 0, an empty event log and a fresh scripted transport. `current_dir` is what
  // AsaApi::Tools::GetCurrentDir returns.
  void Reset(const std::string& current_dir);
  // The game's launch line as the system gives it, program first (GetCommandLineW on Windows).
  // Reset makes it the stand-in's default, "ArkAscendedServer.exe TheIsland_WP?listen".
  void SetLaunchLine(const std::string& line);
  std::string LaunchLine() const;

  // --- world and players ------------------------------------------------------------------
  // Without a world (before the game's InitGame) there is no chat messaging manager either, and
  // the host's EOS-id lookup dereferences the null world.
  void SetWorldExists(bool exists);
  // The host's hook install fails at its transaction step (and nulls the stored original).
  void SetHookInstallFails(bool fails);
  // The next DisableHook's rebuild of the chain cannot attach the hooks that stay: each leaves
  // the chain with its original nulled, as the host's failed reinstall does (Hooks.cpp).
  void SetHookRebuildFails(bool fails);
  // The host's "Default" messaging manager is missing (a server configured for a messaging mod
  // that is not there): any chat lookup crashes, whatever the caller checks.
  void SetMessagingMissing(bool missing);
  // A player connects, with a living character or (as a new or dead survivor does) without one
  // until Respawn; the game's new-player handler runs through the hook chain. Names are UTF-8.
  // `admin_on_join`: the game grants the admin bit in its handler.
  AShooterPlayerController* Join(const std::string& eos_id, int64_t linked_id, const std::string& character_name,
                                 bool admin_on_join = false, bool with_character = true);
  // The game destroys the player's controller after logout: a plugin that kept the pointer
  // crashes the server when it uses it (recorded as a host crash; ASan sees the freed memory).
  void Leave(const std::string& eos_id);
  void Die(const std::string& eos_id);
  // The character lives again, and the game runs its new-player handler through the hook chain
  // with bIsFromLogin false (as it does for a respawn, not only at a login).
  void Respawn(const std::string& eos_id);
  void RemoveCharacter(const std::string& eos_id);
  AShooterPlayerController* Player(const std::string& eos_id) const;  // connected players only
  std::vector<std::string> PlayerIds() const;                        // in join order
  std::string Describe(const std::string& eos_id) const;
  bool AdminBit(const std::string& eos_id) const;
  bool CheatBit(const std::string& eos_id) const;
  void SetAdminBit(const std::string& eos_id, bool value);
  void SetCheatBit(const std::string& eos_id, bool value);

  // --- input -----------------------------------------------------------------------------
  // A line typed in a player's console: a registered plugin command (first word, any case)
  // gets it, else the game runs it as that player.
  void ConsoleInput(const std::string& eos_id, const std::string& line);
  // A line from an authenticated RCON client; returns the packet id (ids increase).
  int RconInput(const std::string& line);
  // The game's RCON server on loopback TCP (Linux): the game's protocol (a packet is its length,
  // id, type and body), a login (type 3) answered with its id or -1, then commands (type 2) run
  // on the game thread at the next frame, each answered with the packets its handler sends.
  // Port 0 lets the system pick; returns the port, or -1 (with the reason in `error`).
  int StartRconServer(int port, const std::string& password, std::string* error = nullptr);
  void StopRconServer();
  // The RCON client goes away: the game closes its connection and frees it, as the real one may
  // at any time after a command's handler has returned.
  void CloseRconClient();
  // Called by the game's console command function with the player and the text, once the
  // command is recorded: lets a test look at files and bits while a command runs.
  void SetConsoleObserver(std::function<void(AShooterPlayerController*, const std::string&)> observer);

  // --- registry of game calls, fields and bit fields ----------------------------------------
  // After `after_calls` good lookups, the next `times` lookups (negative: all) throw `message`.
  void BreakEntry(const std::string& name, int after_calls = 0, int times = -1,
                  const std::string& message = "");
  void RemoveEntry(const std::string& name);
  void RestoreRegistry();
  int LookupCount(const std::string& name) const;
  std::vector<std::string> EntryNames() const;

  // --- game thread -------------------------------------------------------------------------
  static constexpr int kFramesPerSecond = 30;
  void Post(std::function<void()> work);  // from any thread
  // Runs the queued work; true when there was some.
  bool RunQueue();
  // One game frame: the on-tick callbacks with the frame's delta.
  void RunFrame(float delta_seconds);
  // The queue, then a frame, until a frame leaves no new work (no simulated time passes).
  void RunUntilIdle();
  // Simulated seconds: each second a timer check (timers and on-timer callbacks), then
  // kFramesPerSecond frames with the queue drained before each.
  void Advance(int seconds);
  int64_t Now() const;
  uint64_t Frames() const;
  // Real time: runs the queue and frames until it is empty, no HTTP request is pending and a
  // while of frames has passed without an event (a plugin's own thread or its sliced work may
  // still be busy before that), or time is up.
  bool WaitIdle(std::chrono::milliseconds timeout);
  int PendingHttp() const;

  // --- HTTP ---------------------------------------------------------------------------------
  ScriptedTransport& Scripted();  // the transport after Reset
  void SetTransport(std::unique_ptr<HttpTransport> transport);

  // --- timers and modules ---------------------------------------------------------------------
  struct TimerInfo {
    int interval_seconds;
    int count;
    std::string identifier;
    std::string module;
  };
  std::vector<TimerInfo> Timers() const;
  // The host's on-timer callbacks (AddOnTimerCallback), called once a second: interval 1.
  std::vector<TimerInfo> TimerCallbacks() const;
  // What the host does after a plugin's Plugin_Unload: the module's timers dropped, each of its
  // console, RCON and chat commands and on-tick and on-timer callbacks emptied and removed, its
  // hooks disabled, its pending HTTP callbacks and messaging manager dropped. The module is the
  // library's path as the system names it (the plugin's own ModulePath()).
  void DropModule(const std::string& module_path);
  // As the host drops a record: timers and the messaging manager whose path text is `timer_path`
  // exactly, the rest by module.
  void DropModule(const std::string& module_path, const std::string& timer_path);
  // The host's unload of a module whose code is linked in (tests): `plugin_unload`, then
  // DropModule.
  void UnloadModule(const std::string& module_path, const std::function<void()>& plugin_unload);
  // What the host still holds of a module: commands, callbacks, hooks, timers.
  size_t ModuleRegistrations(const std::string& module_path) const;
  size_t TickCallbackCount() const;
  // The host's loading: the library (dlopen, LoadLibraryW), then its exported Plugin_Init if
  // any. Null on failure, with the reason in `error`. Records a "plugin_loaded" event.
  void* LoadPlugin(const std::string& path, std::string* error = nullptr);
  // LoadPlugin under a record of the name `name` (the one typed at plugins.load).
  void* LoadPluginAs(const std::string& name, const std::string& path, std::string* error = nullptr);
  // The host's unloading: the exported Plugin_Unload if any, DropModule, then the library
  // closed. False when closing failed. Records a "plugin_unloaded" event whose "clean" says
  // that nothing of the module is left reachable and its code is gone.
  bool UnloadPlugin(void* handle, const std::string& path);
  // The host's commands plugins.load <name> and plugins.unload <name> (console and RCON) do
  // these; each returns the host's answer. A name loaded before is loaded from the same path,
  // any other from ArkApi/Plugins/<name>/<name>.so (.dll) under the current directory.
  // As the host's plugins.load / plugins.unload: records by the exact name typed, the library
  // file found whatever its case (as on Windows).
  std::string LoadPluginByName(const std::string& name);
  std::string UnloadPluginByName(const std::string& name);
  // The host's unload of the record of exactly this name: the error it would throw, or "".
  std::string UnloadByName(const std::string& name);
  bool PluginLoaded(const std::string& name) const;  // a record of exactly this name
  // The library the host would load for a typed name.
  std::string PluginFile(const std::string& name) const;
  // The host's version, which a plugin's PluginInfo.json "MinApiVersion" may not exceed.
  static constexpr double kHostApiVersion = 2.03;
  // Automatic reloading, on every 5 s after Reset as the host ships it: after the on-timer
  // callbacks of a timer check, <library>.ArkApi in a loaded plugin's folder is copied over the
  // library between its unload and its load.
  void SetAutomaticReloading(bool on, int seconds = 5);
  void DetectPluginChanges();
  size_t LoadedPluginCount() const;  // records, two for one library loaded twice
  // Plugin commands only; the host's own plugins.* are not counted.
  size_t ConsoleCommandCount() const;
  size_t RconCommandCount() const;
  size_t HookCount(const std::string& name) const;

  // --- events ---------------------------------------------------------------------------------
  // Every plugin callback that holds the game thread this long or longer is recorded as
  // {"type": "game_thread", "call": <what>, "ms": <duration>}. The stand-in's own recording of
  // events during the call (a request's body copied into the event log, the devserver writing
  // it out) is not the plugin's time and is left out.
  static constexpr double kSlowCallMs = 0.5;
  // The time this thread has spent recording events, in microseconds: what a measurement of a
  // plugin call leaves out.
  static double RecordingMicros();
  // This thread is recording an event now (its memory is the stand-in's, not the plugin's).
  static bool Recording();
  // The time this thread has spent in plugin callbacks, recording left out, in microseconds.
  static double PluginCallMicros();
  // An event of the caller's own (the devserver notes loads and unloads).
  void Record(Event event);
  std::vector<Event> Events() const;
  std::vector<Event> Events(const std::string& type) const;
  void ClearEvents();
  // Each event is also handed here as it happens (the devserver writes JSON lines).
  void SetEventListener(std::function<void(const Event&)> listener);
  std::vector<std::string> ChatTo(const std::string& eos_id) const;
  std::vector<std::string> RconReplies() const;
  std::vector<std::string> HostLog() const;
  // Exceptions that left a plugin callback: on a real server, each one is a crash.
  std::vector<std::string> EscapedExceptions() const;

  // --- host log sinks -----------------------------------------------------------------------
  void SetConsoleLogging(bool on);
  void SetHostLogFile(const std::string& path);

  struct State;
  State& state() { return *state_; }

 private:
  Simulation();
  std::unique_ptr<State> state_;
};

}  // namespace sim
