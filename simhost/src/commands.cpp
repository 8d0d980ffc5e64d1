// Commands: console and RCON input dispatched to the plugin's commands or to the game, and the
// host's command table (console, RCON, per-frame and per-second callbacks).
#include <strings.h>

#include <algorithm>
#include <sstream>

#include "sim/simulation.h"
#include "state.h"

namespace sim {

namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string FirstWord(const std::string& line) {
  const size_t start = line.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return line.substr(start, line.find(' ', start) - start);
}

}  // namespace

class SimCommands : public AsaApi::ICommands {
 public:
  // The host keys a plugin's records by the library its call came from, to remove them itself
  // at unload.
  __attribute__((noinline)) void AddConsoleCommand(const FString& name, const ConsoleHandler& callback) override {
    Add(Simulation::Get().state().console_commands, Lower(Narrow(name)), callback, __builtin_return_address(0));
  }
  __attribute__((noinline)) void AddRconCommand(const FString& name, const RconHandler& callback) override {
    Add(Simulation::Get().state().rcon_commands, Lower(Narrow(name)), callback, __builtin_return_address(0));
  }
  bool RemoveConsoleCommand(const FString& name) override {
    return Remove(Simulation::Get().state().console_commands, Lower(Narrow(name)));
  }
  bool RemoveRconCommand(const FString& name) override {
    return Remove(Simulation::Get().state().rcon_commands, Lower(Narrow(name)));
  }
  __attribute__((noinline)) void AddOnTickCallback(const FString& id,
                                                   const std::function<void(float)>& callback) override {
    Add(Simulation::Get().state().tick_callbacks, Narrow(id), callback, __builtin_return_address(0));
  }
  bool RemoveOnTickCallback(const FString& id) override {
    return Remove(Simulation::Get().state().tick_callbacks, Narrow(id));
  }
  __attribute__((noinline)) void AddOnTimerCallback(const FString& id, const std::function<void()>& callback) override {
    Add(Simulation::Get().state().timer_callbacks, Narrow(id), callback, __builtin_return_address(0));
  }
  bool RemoveOnTimerCallback(const FString& id) override {
    return Remove(Simulation::Get().state().timer_callbacks, Narrow(id));
  }

 private:
  template <typename Callback>
  static void Add(RecordList<Callback>& list, std::string name, const Callback& callback, const void* caller) {
    list.push_back(std::make_shared<HostRecord<Callback>>(
        HostRecord<Callback>{std::move(name), callback, ModuleOfAddress(caller)}));
  }
  // Only erases the record, as the host's own removal by name does: a copy that a dispatch
  // holds keeps it, callback and all.
  template <typename Callback>
  static bool Remove(RecordList<Callback>& list, const std::string& name) {
    auto it = std::find_if(list.begin(), list.end(), [&](auto& record) { return record->name == name; });
    if (it == list.end()) return false;
    list.erase(it);
    return true;
  }
};

namespace {

// Dispatch as the host's (CheckCommands): a copy of the records, walked until the first of that
// name that still has its callback; an emptied record is passed over, not counted as handled.
// The copy lives until the command returns, even when the command unloaded the module it came
// from.
template <typename Callback, typename Call>
bool Dispatch(const RecordList<Callback>& records, const std::string& first_word, Call&& call) {
  const RecordList<Callback> snapshot = records;
  for (const auto& record : snapshot) {
    if (!record->callback || strcasecmp(record->name.c_str(), first_word.c_str()) != 0) continue;
    call(*record);
    return true;
  }
  return false;
}

}  // namespace

bool DispatchConsole(Simulation::State& s, APlayerController* player, const FString& line) {
  return Dispatch(s.console_commands, FirstWord(Narrow(line)), [&](HostRecord<ConsoleHandler>& record) {
    FString text = line;
    s.Guard("console command " + record.name, [&] { record.callback(player, &text, false); });
  });
}

void Simulation::State::AddHostCommands() {
  // "plugins.load <name>": the name is the line's second word.
  auto name_in = [](const FString& line) {
    std::istringstream in(Narrow(line));
    std::string command, name;
    in >> command >> name;
    return name;
  };
  // A console answer goes to the host log; an RCON one to its client.
  auto add = [&](const char* command, std::string (Simulation::*action)(const std::string&)) {
    console_commands.push_back(std::make_shared<HostRecord<ConsoleHandler>>(HostRecord<ConsoleHandler>{
        command,
        [this, action, name_in](APlayerController*, FString* message, bool) {
          const std::string answer = (Simulation::Get().*action)(message ? name_in(*message) : "");
          Record({{"type", "log"}, {"logger", "API"}, {"level", "info"}, {"text", answer}});
        },
        ""}));
    rcon_commands.push_back(std::make_shared<HostRecord<RconHandler>>(HostRecord<RconHandler>{
        command,
        [action, name_in](RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
          FString answer = Wide((Simulation::Get().*action)(packet ? name_in(packet->Body) : ""));
          if (connection && packet) connection->SendMessageW(packet->Id, 0, &answer);
        },
        ""}));
  };
  add("plugins.load", &Simulation::LoadPluginByName);
  add("plugins.unload", &Simulation::UnloadPluginByName);
}

void Simulation::ConsoleInput(const std::string& eos_id, const std::string& line) {
  State& s = *state_;
  SimPlayer& p = Require(s, eos_id);
  s.Record({{"type", "console_input"}, {"player", eos_id}, {"text", line}});
  if (DispatchConsole(s, &p, Wide(line))) return;
  FString result;
  FString command = Wide(line);
  s.Guard("game console", [&] { p.ConsoleCommand(&result, &command, true); });
}

bool DispatchRcon(Simulation::State& s, SimRconConnection* connection, RCONPacket* packet) {
  return Dispatch(s.rcon_commands, FirstWord(Narrow(packet->Body)), [&](HostRecord<RconHandler>& record) {
    s.Guard("rcon command " + record.name,
            [&] { record.callback(connection, packet, s.world_exists ? &s.world : nullptr); });
  });
}

int Simulation::RconInput(const std::string& line) {
  State& s = *state_;
  auto scripted = std::find_if(s.rcon_connections.begin(), s.rcon_connections.end(),
                               [](auto& c) { return c->socket < 0; });
  if (scripted == s.rcon_connections.end()) {
    s.rcon_connections.push_back(std::make_unique<SimRconConnection>());
    scripted = s.rcon_connections.end() - 1;
  }
  SimRconConnection& connection = **scripted;
  const int id = s.next_packet_id++;
  RunRconCommand(s, connection, id, line);
  return id;
}

void Simulation::SetConsoleObserver(std::function<void(AShooterPlayerController*, const std::string&)> observer) {
  state_->console_observer = std::move(observer);
}

void Simulation::CloseRconClient() {
  State& s = *state_;
  auto scripted = std::find_if(s.rcon_connections.begin(), s.rcon_connections.end(),
                               [](auto& c) { return c->socket < 0; });
  if (scripted == s.rcon_connections.end()) return;
  s.rcon_connections.erase(scripted);
  s.Record({{"type", "rcon_closed"}});
}

namespace {
template <typename Callback>
size_t PluginRecords(const RecordList<Callback>& list) {
  return static_cast<size_t>(std::count_if(list.begin(), list.end(), [](auto& r) { return !r->module.empty(); }));
}
}  // namespace

size_t Simulation::ConsoleCommandCount() const { return PluginRecords(state_->console_commands); }
size_t Simulation::RconCommandCount() const { return PluginRecords(state_->rcon_commands); }

}  // namespace sim

namespace AsaApi {
ICommands& GetCommands() {
  static sim::SimCommands commands;
  return commands;
}
}  // namespace AsaApi
