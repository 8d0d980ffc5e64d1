// The simulated server's core: its state, Reset, the event log, the host log sinks, and the
// host's entry points (hooks, commands, utilities). Players, input, frames and HTTP each have a
// file of their own.
#include "sim/simulation.h"

#include <chrono>
#include <stdexcept>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "Logger/Logger.h"
#include "state.h"

namespace sim {

std::string Narrow(const FString& text) { return AsaApi::Tools::Utf8Encode(std::wstring(*text, text.Len())); }
FString Wide(const std::string& utf8) { return FString(AsaApi::Tools::Utf8Decode(utf8)); }

namespace {

class EventSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit EventSink(Simulation::State* state) : state_(state) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    Simulation::State::RecordingScope recording;
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    std::string line(formatted.data(), formatted.size());
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    state_->Record({{"type", "log"},
                    {"logger", std::string(msg.logger_name.data(), msg.logger_name.size())},
                    {"level", std::string(spdlog::level::to_string_view(msg.level).data())},
                    {"text", line}});
  }
  void flush_() override {}

 private:
  Simulation::State* state_;
};

}  // namespace

// --- State -------------------------------------------------------------------------------

namespace {
thread_local double t_recording_micros = 0;
thread_local double t_plugin_micros = 0;
thread_local int t_recording_depth = 0;
}  // namespace

double Simulation::RecordingMicros() { return t_recording_micros; }
double Simulation::PluginCallMicros() { return t_plugin_micros; }
bool Simulation::Recording() { return t_recording_depth > 0; }

Simulation::State::RecordingScope::RecordingScope() : start(std::chrono::steady_clock::now()) { ++t_recording_depth; }
Simulation::State::RecordingScope::~RecordingScope() {
  --t_recording_depth;
  t_recording_micros += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void Simulation::State::Record(Event event) {
  RecordingScope recording;
  // Whatever happens next, a change of rights bits happened before it.
  if (event["type"] != "rights") NoteAllRights();
  event["time"] = now;
  std::function<void(const Event&)> to_listener;
  {
    std::lock_guard lock(events_mutex);
    events.push_back(event);
    to_listener = listener;
  }
  if (to_listener) to_listener(event);
}

void Simulation::State::Guard(const std::string& where, const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  struct Timing {
    State& state;
    const std::string& where;
    std::chrono::steady_clock::time_point start;
    double recording_before;
    ~Timing() {
      const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() -
                        (t_recording_micros - recording_before) / 1000;
      t_plugin_micros += ms * 1000;
      if (ms >= kSlowCallMs) state.Record({{"type", "game_thread"}, {"call", where}, {"ms", ms}});
    }
  } timing{*this, where, start, t_recording_micros};
  try {
    call();
  } catch (const std::exception& e) {
    escaped.push_back(where + ": " + e.what());
    Record({{"type", "exception"}, {"where", where}, {"what", e.what()}});
  } catch (...) {
    escaped.push_back(where + ": unknown exception");
    Record({{"type", "exception"}, {"where", where}, {"what", "unknown exception"}});
  }
}

void Simulation::State::NoteRights(SimPlayer& p) {
  if (p.admin() == p.told_admin && p.cheat() == p.told_cheat) return;
  RecordingScope recording;
  p.told_admin = p.admin();
  p.told_cheat = p.cheat();
  Record({{"type", "rights"}, {"player", p.eos_id}, {"admin", p.told_admin}, {"cheat", p.told_cheat}});
}

void Simulation::State::NoteAllRights() {
  for (auto& p : players) NoteRights(*p);
}

SimPlayer* Simulation::State::FindPlayer(const std::string& eos_id) const {
  for (auto& p : players)
    if (p->connected && p->eos_id == eos_id) return p.get();
  return nullptr;
}

SimPlayer* Simulation::State::AsPlayer(const void* controller) const {
  if (controller && freed_players.count(controller))
    detail::HostCrash("game call on a player controller that the game destroyed after logout");
  if (!controller || !player_pointers.count(controller))
    throw std::runtime_error("game call on an object that is no player controller");
  return static_cast<SimPlayer*>(static_cast<AShooterPlayerController*>(const_cast<void*>(controller)));
}

void Simulation::State::RebuildSinks() {
  sinks.clear();
  sinks.push_back(event_sink);
  if (console_sink) sinks.push_back(console_sink);
  if (file_sink) sinks.push_back(file_sink);
}

// --- Simulation --------------------------------------------------------------------------

Simulation::Simulation() : state_(std::make_unique<State>()) {
  state_->InstallDefaultRegistry();
  state_->event_sink = std::make_shared<EventSink>(state_.get());
}

Simulation& Simulation::Get() {
  // Never destroyed: plugin objects holding host strings may outlive static destruction.
  static Simulation* instance = new Simulation();
  return *instance;
}

namespace {
const char* const kDefaultLaunchLine = "ArkAscendedServer.exe TheIsland_WP?listen";
}  // namespace

void Simulation::SetLaunchLine(const std::string& line) { state_->launch_line = line; }
std::string Simulation::LaunchLine() const { return state_->launch_line; }

void Simulation::Reset(const std::string& current_dir) {
  State& s = *state_;
  {
    std::lock_guard lock(s.queue_mutex);
    s.queue.clear();
  }
  s.current_dir = current_dir;
  s.launch_line = kDefaultLaunchLine;
  s.world_exists = true;
  s.hook_install_fails = false;
  s.hook_rebuild_fails = false;
  s.messaging_missing = false;
  s.auto_reload = true;
  s.auto_reload_seconds = 5;
  s.next_reload_check = 0;
  s.prevent_unload_warned.clear();
  s.freed_modules.clear();
  s.plugins.clear();
  s.plugin_paths.clear();
  s.freed_players.clear();
  s.players.clear();
  s.player_pointers.clear();
  s.character_pointers.clear();
  s.hooks.clear();
  s.hooks[kNewPlayerHook].game_function = reinterpret_cast<LPVOID>(&GameHandleNewPlayer);
  s.console_commands.clear();
  s.rcon_commands.clear();
  s.AddHostCommands();
  s.tick_callbacks.clear();
  s.timer_callbacks.clear();
  s.frames = 0;
  StopRconServer();
  s.rcon_connections.clear();
  s.next_packet_id = 1;
  s.console_observer = nullptr;
  s.now = 0;
  s.timers.clear();
  auto scripted = std::make_unique<ScriptedTransport>();
  s.scripted = scripted.get();
  s.transport = std::move(scripted);
  s.pending_http = 0;
  s.http_callbacks.clear();
  s.system_callbacks.clear();
  {
    std::lock_guard lock(s.events_mutex);
    s.events.clear();
    s.listener = nullptr;
  }
  s.escaped.clear();
  s.messaging.clear();
  for (auto& [name, entry] : s.registry) entry.lookups = 0;
  RestoreRegistry();
  s.RebuildSinks();
}

void Simulation::Record(Event event) { state_->Record(std::move(event)); }

std::vector<Event> Simulation::Events() const {
  std::lock_guard lock(state_->events_mutex);
  return state_->events;
}

std::vector<Event> Simulation::Events(const std::string& type) const {
  std::lock_guard lock(state_->events_mutex);
  std::vector<Event> out;
  for (auto& e : state_->events)
    if (e["type"] == type) out.push_back(e);
  return out;
}

void Simulation::ClearEvents() {
  std::lock_guard lock(state_->events_mutex);
  state_->events.clear();
}

void Simulation::SetEventListener(std::function<void(const Event&)> listener) {
  std::lock_guard lock(state_->events_mutex);
  state_->listener = std::move(listener);
}

std::vector<std::string> Simulation::ChatTo(const std::string& eos_id) const {
  std::vector<std::string> out;
  for (auto& e : Events("chat"))
    if (e["to"] == eos_id) out.push_back(e["text"]);
  return out;
}

std::vector<std::string> Simulation::RconReplies() const {
  std::vector<std::string> out;
  for (auto& e : Events("rcon_reply")) out.push_back(e["text"]);
  return out;
}

std::vector<std::string> Simulation::HostLog() const {
  std::vector<std::string> out;
  for (auto& e : Events("log")) out.push_back(e["text"]);
  return out;
}

std::vector<std::string> Simulation::EscapedExceptions() const { return state_->escaped; }

void Simulation::SetConsoleLogging(bool on) {
  state_->console_sink = on ? std::make_shared<spdlog::sinks::stdout_sink_mt>() : nullptr;
  state_->RebuildSinks();
}

void Simulation::SetHostLogFile(const std::string& path) {
  state_->file_sink = path.empty() ? nullptr : std::make_shared<spdlog::sinks::basic_file_sink_mt>(path);
  state_->RebuildSinks();
}


}  // namespace sim

// --- the host's entry points -------------------------------------------------------------

// --- the host's entry points -------------------------------------------------------------

namespace AsaApi {
std::string Tools::GetCurrentDir() { return sim::Simulation::Get().state().current_dir; }
}  // namespace AsaApi

std::vector<spdlog::sink_ptr>& GetLogSinks() { return sim::Simulation::Get().state().sinks; }

namespace sim::detail {
void HostCrash(const std::string& what) {
  auto& s = Simulation::Get().state();
  s.escaped.push_back("host crash: " + what);
  s.Record({{"type", "exception"}, {"where", "host"}, {"what", what}});
  throw std::runtime_error("host crash: " + what);
}
}  // namespace sim::detail
