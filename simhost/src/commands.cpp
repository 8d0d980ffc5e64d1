// Commands: console and RCON input dispatched to the plugin's commands or to the game, and the
// host's command table (console, RCON, per-frame and per-second callbacks).
#include <strings.h>

#include <algorithm>

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
  void AddConsoleCommand(const FString& name, const ConsoleHandler& callback) override {
    Simulation::Get().state().console_commands.emplace_back(Lower(Narrow(name)), callback);
  }
  void AddRconCommand(const FString& name, const RconHandler& callback) override {
    Simulation::Get().state().rcon_commands.emplace_back(Lower(Narrow(name)), callback);
  }
  bool RemoveConsoleCommand(const FString& name) override {
    return Remove(Simulation::Get().state().console_commands, Lower(Narrow(name)));
  }
  bool RemoveRconCommand(const FString& name) override {
    return Remove(Simulation::Get().state().rcon_commands, Lower(Narrow(name)));
  }
  void AddOnTickCallback(const FString& id, const std::function<void(float)>& callback) override {
    Simulation::Get().state().tick_callbacks.emplace_back(Narrow(id), callback);
  }
  bool RemoveOnTickCallback(const FString& id) override {
    return Remove(Simulation::Get().state().tick_callbacks, Narrow(id));
  }
  void AddOnTimerCallback(const FString& id, const std::function<void()>& callback) override {
    Simulation::Get().state().timer_callbacks.emplace_back(Narrow(id), callback);
  }
  bool RemoveOnTimerCallback(const FString& id) override {
    return Remove(Simulation::Get().state().timer_callbacks, Narrow(id));
  }

 private:
  template <typename List>
  static bool Remove(List& list, const std::string& name) {
    auto it = std::find_if(list.begin(), list.end(), [&](auto& entry) { return entry.first == name; });
    if (it == list.end()) return false;
    list.erase(it);
    return true;
  }
};

void Simulation::ConsoleInput(const std::string& eos_id, const std::string& line) {
  State& s = *state_;
  SimPlayer& p = Require(s, eos_id);
  s.Record({{"type", "console_input"}, {"player", eos_id}, {"text", line}});
  const std::string first = FirstWord(line);
  for (auto& [name, handler] : s.console_commands) {
    if (strcasecmp(name.c_str(), first.c_str()) != 0) continue;
    FString text = Wide(line);
    auto call = handler;  // the handler may remove commands
    s.Guard("console command " + name, [&] { call(&p, &text, false); });
    return;
  }
  FString result;
  FString command = Wide(line);
  s.Guard("game console", [&] { p.ConsoleCommand(&result, &command, true); });
}

int Simulation::RconInput(const std::string& line) {
  State& s = *state_;
  if (s.rcon_connections.empty()) s.rcon_connections.push_back(std::make_unique<SimRconConnection>());
  SimRconConnection* connection = s.rcon_connections.front().get();
  auto packet = std::make_unique<RCONPacket>();
  packet->Id = s.next_packet_id++;
  packet->Type = 2;
  packet->Body = Wide(line);
  packet->Length = static_cast<int>(line.size()) + 10;
  // Like the host's, the packet lives only while its command runs: a plugin that answers later
  // must have kept what it needs.
  RCONPacket* raw = packet.get();
  s.Record({{"type", "rcon_input"}, {"packet_id", raw->Id}, {"text", line}});
  const std::string first = FirstWord(line);
  for (auto& [name, handler] : s.rcon_commands) {
    if (strcasecmp(name.c_str(), first.c_str()) != 0) continue;
    auto call = handler;
    s.Guard("rcon command " + name, [&] { call(connection, raw, s.world_exists ? &s.world : nullptr); });
    return packet->Id;
  }
  s.Record({{"type", "rcon_reply"}, {"client", 0}, {"packet_id", raw->Id}, {"reply_type", 0},
            {"text", "Unknown command"}});
  return packet->Id;
}

void Simulation::SetConsoleObserver(std::function<void(AShooterPlayerController*, const std::string&)> observer) {
  state_->console_observer = std::move(observer);
}

void Simulation::CloseRconClient() {
  State& s = *state_;
  if (s.rcon_connections.empty()) return;
  s.rcon_connections.erase(s.rcon_connections.begin());
  s.Record({{"type", "rcon_closed"}});
}

size_t Simulation::ConsoleCommandCount() const { return state_->console_commands.size(); }
size_t Simulation::RconCommandCount() const { return state_->rcon_commands.size(); }

}  // namespace sim

namespace AsaApi {
ICommands& GetCommands() {
  static sim::SimCommands commands;
  return commands;
}
}  // namespace AsaApi
