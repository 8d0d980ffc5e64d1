// Inner state of the simulated server, shared by the stand-in host's source files.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <spdlog/spdlog.h>

#include "API/ARK/Ark.h"
#include "sim/simulation.h"

namespace sim {

struct SimCharacter : AShooterCharacter {
  bool dead = false;
};

struct SimPlayer : AShooterPlayerController {
  std::string eos_id;
  std::string name;  // UTF-8
  long long linked_id = 0;
  // The rights bits live in words of other flags, as in the game, so that a reader or writer
  // that gets the position or the mask wrong disturbs the neighbours.
  static constexpr unsigned kAdminPosition = 3;
  static constexpr unsigned kCheatPosition = 6;
  uint32_t primal_flags = 0x81;  // APrimalPlayerController's word holding bIsAdmin
  uint32_t base_flags = 0x24;    // ABasePlayerController's word holding bCheatEnabled
  bool admin() const { return (primal_flags >> kAdminPosition) & 1u; }
  bool cheat() const { return (base_flags >> kCheatPosition) & 1u; }
  void set_admin(bool on) { primal_flags = (primal_flags & ~(1u << kAdminPosition)) | (unsigned(on) << kAdminPosition); }
  void set_cheat(bool on) { base_flags = (base_flags & ~(1u << kCheatPosition)) | (unsigned(on) << kCheatPosition); }
  bool connected = true;
  bool admin_on_join = false;
  // The bits as the event log last told them.
  bool told_admin = false, told_cheat = false;
  std::unique_ptr<SimCharacter> character;
};

struct SimRconConnection : RCONClientConnection {
  static constexpr unsigned kAlive = 0x52434f4e;
  int client = 0;
  int socket = -1;  // a client over TCP; -1 for the scripted one
  bool authenticated = false;
  std::string received;  // bytes of packets not yet whole
  unsigned closed_and_freed_marker = kAlive;
  ~SimRconConnection() { closed_and_freed_marker = 0; }
};

struct RegistryEntry {
  enum Kind { kFunction, kField, kBitField } kind = kFunction;
  void* target = nullptr;  // function, or accessor returning the field's (or bit's word's) address
  unsigned bit_position = 0;
  int lookups = 0;
  int fail_after = -1;
  int fail_times = 0;
  std::string message;
  bool removed = false;
};

struct HookLink {
  LPVOID detour;
  LPVOID* original_slot;
  std::string module;  // the library that installed it
};

struct HookChain {
  LPVOID game_function = nullptr;
  std::vector<HookLink> links;  // last is called first
  LPVOID Top() const { return links.empty() ? game_function : links.back().detour; }
};

struct TimerEntry {
  std::function<void()> callback;
  int interval = 0;
  int count = -1;
  std::string identifier;
  std::string module;
  int64_t next_due = 0;
};

using ConsoleHandler = std::function<void(APlayerController*, FString*, bool)>;
using RconHandler = std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>;

// A command or callback as the host keeps it: shared, because dispatch walks a copy of the list
// that lives until the dispatch returns, possibly past the unload of the module that added it.
template <typename Callback>
struct HostRecord {
  std::string name;  // a command's in lower case; a callback's identifier
  Callback callback;
  std::string module;  // the library that added it; empty for the host's own
};
template <typename Callback>
using RecordList = std::vector<std::shared_ptr<HostRecord<Callback>>>;

// A plugin the host has loaded, by the name of its folder and library.
struct LoadedPlugin {
  std::string name;  // as typed: the host looks records up by it exactly
  std::string path;
  void* handle = nullptr;
  std::string module;  // the library's path as the system reports it for its code
  // The path the host builds from the typed name, whose text its unload removes timers by.
  std::string record_path;
  bool prevent_unloading = false;  // PluginInfo.json's PreventUnloading
};

// The library holding the code at `address`, as the host tells modules apart; "" if none.
std::string ModuleOfAddress(const void* address);

struct Simulation::State {
  // Declared first so that it outlives every FString below.
  std::unordered_map<std::string, RegistryEntry> registry;

  std::string current_dir = ".";
  std::string launch_line;
  bool world_exists = true;
  UWorld world;
  AShooterGameMode game_mode;
  std::vector<std::unique_ptr<SimPlayer>> players;  // connected players, in join order
  std::set<const void*> player_pointers;
  std::set<const void*> character_pointers;

  std::map<std::string, HookChain> hooks;
  bool hook_install_fails = false;
  bool hook_rebuild_fails = false;  // the next DisableHook's rebuild cannot attach the survivors
  bool messaging_missing = false;
  RecordList<ConsoleHandler> console_commands;
  RecordList<RconHandler> rcon_commands;
  std::vector<LoadedPlugin> plugins;
  std::map<std::string, std::string> plugin_paths;  // lower-case name -> library, once loaded
  // Controllers freed after logout: a call through one is what crashes the real server.
  std::set<const void*> freed_players;
  std::vector<std::unique_ptr<SimRconConnection>> rcon_connections;
  int next_packet_id = 1;
  std::function<void(AShooterPlayerController*, const std::string&)> console_observer;

  std::mutex queue_mutex;
  std::condition_variable queue_cv;
  std::deque<std::function<void()>> queue;
  int64_t now = 0;
  uint64_t frames = 0;
  // Shared, as the host's: its check walks a copy that outlives an unload during the walk.
  std::vector<std::shared_ptr<TimerEntry>> timers;
  // Libraries closed and unmapped: a timer of one of them that is still called or destroyed is
  // a call into freed code.
  std::set<std::string> freed_modules;
  // Automatic reloading, as the host ships it (config.json "AutomaticPluginReloading").
  bool auto_reload = true;
  int auto_reload_seconds = 5;
  int64_t next_reload_check = 0;
  std::set<std::string> prevent_unload_warned;
  // The game's RCON server over TCP, when started.
  int rcon_listener = -1;
  std::string rcon_password;
  int next_rcon_client = 1;
  // The host's per-frame and per-second callbacks, by identifier, in the order added.
  RecordList<std::function<void(float)>> tick_callbacks;
  RecordList<std::function<void()>> timer_callbacks;

  std::unique_ptr<HttpTransport> transport;
  ScriptedTransport* scripted = nullptr;
  std::atomic<int> pending_http{0};
  std::atomic<uint64_t> next_request_id{1};
  // Plugin callbacks of pending requests, apart from the transport so that dropping a module
  // destroys them while its code is still loaded.
  using HttpCallback = std::function<void(bool, std::string, std::unordered_map<std::string, std::string>)>;
  std::map<uint64_t, HttpCallback> http_callbacks;
  // Callbacks of the system's HTTPS client, which only the plugin itself can cancel.
  std::map<uint64_t, std::function<void(HttpResult)>> system_callbacks;

  mutable std::mutex events_mutex;
  std::vector<Event> events;
  std::function<void(const Event&)> listener;
  std::vector<std::string> escaped;

  std::map<std::string, std::shared_ptr<MessagingManager>> messaging;
  std::vector<spdlog::sink_ptr> sinks;
  spdlog::sink_ptr event_sink;
  spdlog::sink_ptr console_sink;
  spdlog::sink_ptr file_sink;

  void Record(Event event);
  // Time spent while one lives is the stand-in's own bookkeeping (building and recording an
  // event), left out of a plugin call's measured time.
  struct RecordingScope {
    RecordingScope();
    ~RecordingScope();
    std::chrono::steady_clock::time_point start;
  };
  // Runs a plugin callback; an exception that leaves it is recorded, as a crash would be.
  void Guard(const std::string& where, const std::function<void()>& call);
  SimPlayer* FindPlayer(const std::string& eos_id) const;  // connected only
  SimPlayer* AsPlayer(const void* controller) const;       // throws if not a player
  // Records a "rights" event for a player whose bits changed since the last one. Bits are
  // plain memory to a plugin, so this runs wherever the game would next see them: each bit
  // lookup, each console command and the end of each piece of game-thread work.
  void NoteRights(SimPlayer& player);
  void NoteAllRights();
  void InstallDefaultRegistry();
  void RebuildSinks();
  // The host's own commands (plugins.load, plugins.unload), console and RCON.
  void AddHostCommands();
};

std::string Narrow(const FString& text);  // UTF-8
FString Wide(const std::string& utf8);
SimPlayer& Require(const Simulation::State& s, const std::string& eos_id);  // connected, or throws
// A console line to the host's and the plugins' console commands; false when none has its name.
bool DispatchConsole(Simulation::State& s, APlayerController* player, const FString& line);

// RCON: a packet to the connection's client (none for the scripted one); a command through the
// host's dispatch, false when no plugin or host command took it; a command run as the game runs
// it (the game answers what nobody took); the TCP server's work of a frame.
void WriteRconPacket(const SimRconConnection& connection, int id, int type, const std::string& body);
bool DispatchRcon(Simulation::State& s, SimRconConnection* connection, RCONPacket* packet);
void RunRconCommand(Simulation::State& s, SimRconConnection& connection, int id, const std::string& line);
void PollRcon(Simulation::State& s);

extern const char* const kNewPlayerHook;
bool GameHandleNewPlayer(AShooterGameMode*, AShooterPlayerController* player, UPrimalPlayerData*, AShooterCharacter*,
                         bool);

}  // namespace sim
