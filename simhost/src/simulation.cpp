// The simulated server: players, input dispatch, the game thread's queue and clock, timers,
// HTTP through a transport, and the host interfaces (hooks, commands, utilities) over them.
#include "sim/simulation.h"

#include <strings.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#include "Logger/Logger.h"
#include "Requests.h"
#include "Timer.h"
#include "state.h"

namespace sim {

const char* const kNewPlayerHook =
    "AShooterGameMode.HandleNewPlayer_Implementation(AShooterPlayerController*,UPrimalPlayerData*,"
    "AShooterCharacter*,bool)";

std::string Narrow(const FString& text) { return AsaApi::Tools::Utf8Encode(std::wstring(*text, text.Len())); }
FString Wide(const std::string& utf8) { return FString(AsaApi::Tools::Utf8Decode(utf8)); }

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

// The game's own new-player handler: admins named in the server's list get the admin bit.
bool GameHandleNewPlayer(AShooterGameMode*, AShooterPlayerController* player, UPrimalPlayerData*, AShooterCharacter*,
                         bool) {
  auto* p = Simulation::Get().state().AsPlayer(player);
  if (p->admin_on_join) p->set_admin(true);
  return true;
}

class EventSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit EventSink(Simulation::State* state) : state_(state) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
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

class SimMessaging : public MessagingManager {
 protected:
  void SendChatMessage_Impl(AShooterPlayerController* player, const FString& sender_name,
                            const FString& message) override {
    auto& s = Simulation::Get().state();
    SimPlayer* p = s.AsPlayer(player);
    s.Record({{"type", "chat"}, {"to", p->eos_id}, {"sender", Narrow(sender_name)}, {"text", Narrow(message)}});
  }
};

class SimHooks : public AsaApi::IHooks {
 public:
  bool DisableHook(const std::string& name, LPVOID detour) override {
    auto& hooks = Simulation::Get().state().hooks;
    auto it = hooks.find(name);
    if (it == hooks.end()) return false;
    auto& links = it->second.links;
    for (size_t i = 0; i < links.size(); ++i) {
      if (links[i].detour != detour) continue;
      // The detour above this one now calls what this one called.
      if (i + 1 < links.size()) *links[i + 1].original_slot = *links[i].original_slot;
      links.erase(links.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    return false;
  }

 protected:
  bool SetHookInternal(const std::string& name, LPVOID detour, LPVOID* original) override {
    auto& hooks = Simulation::Get().state().hooks;
    auto it = hooks.find(name);
    if (it == hooks.end() || !detour || !original) return false;
    *original = it->second.Top();
    it->second.links.push_back({detour, original});
    return true;
  }
};

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

 private:
  template <typename List>
  static bool Remove(List& list, const std::string& name) {
    auto it = std::find_if(list.begin(), list.end(), [&](auto& entry) { return entry.first == name; });
    if (it == list.end()) return false;
    list.erase(it);
    return true;
  }
};

class SimApiUtils : public AsaApi::IApiUtils {
 public:
  UWorld* GetWorld() const override {
    auto& s = Simulation::Get().state();
    return s.world_exists ? &s.world : nullptr;
  }
  AShooterPlayerController* FindPlayerFromEOSID(const FString& eos_id) override {
    return Simulation::Get().state().FindPlayer(Narrow(eos_id));
  }

 protected:
  TArray<AShooterPlayerController*> PlayersByCharacterName(UWorld&, const FString& name, ESearchCase::Type search,
                                                            bool full_match) const override {
    TArray<AShooterPlayerController*> found;
    const FString wanted = name;
    for (auto& p : Simulation::Get().state().players) {
      if (!p->connected) continue;
      const FString have = Wide(p->name);
      bool match = false;
      if (full_match) {
        match = have.Equals(wanted, search);
      } else {
        std::wstring h(*have), w(*wanted);
        if (search == ESearchCase::IgnoreCase) {
          for (auto& c : h) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
          for (auto& c : w) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        }
        match = h.find(w) != std::wstring::npos;
      }
      if (match) found.Add(p.get());
    }
    return found;
  }
  // A plugin registers no manager of its own here, so each gets its own on first use; the
  // module name keys it, as the host's does, and unloading the module drops it.
  std::shared_ptr<MessagingManager> MessagingManagerOf(const FString& module_name) const override {
    auto& slot = Simulation::Get().state().messaging[Narrow(module_name)];
    if (!slot) slot = std::make_shared<SimMessaging>();
    return slot;
  }
};

bool StartHttp(const std::string& method, const std::string& url, const Simulation::State::HttpCallback& callback,
               const std::string& body, const std::string& content_type, const std::vector<std::string>& headers) {
  auto& s = Simulation::Get().state();
  HttpRequest request;
  request.id = s.next_request_id++;
  request.method = method;
  request.url = url;
  request.headers = headers;
  request.body = body;
  request.content_type = content_type;
  s.Record({{"type", "http_request"}, {"id", request.id}, {"method", method}, {"url", url}, {"headers", headers},
            {"body", body}, {"content_type", content_type}});
  if (!s.transport) return false;
  const uint64_t id = request.id;
  s.http_callbacks[id] = callback;
  ++s.pending_http;
  const bool accepted = s.transport->Start(request, [id](HttpResult result) {
    Simulation::Get().Post([id, result]() {
      auto& st = Simulation::Get().state();
      st.Record({{"type", "http_done"}, {"id", id}, {"success", result.success}, {"body", result.body}});
      auto it = st.http_callbacks.find(id);
      if (it != st.http_callbacks.end()) {
        auto call = std::move(it->second);
        st.http_callbacks.erase(it);
        st.Guard("HTTP completion", [&] { call(result.success, result.body, {}); });
      }
      --st.pending_http;
    });
  });
  if (!accepted) {
    s.http_callbacks.erase(id);
    --s.pending_http;
    s.Record({{"type", "http_refused"}, {"id", id}});
  }
  return accepted;
}

}  // namespace

// --- State -------------------------------------------------------------------------------

void Simulation::State::Record(Event event) {
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

void Simulation::Reset(const std::string& current_dir) {
  State& s = *state_;
  {
    std::lock_guard lock(s.queue_mutex);
    s.queue.clear();
  }
  s.current_dir = current_dir;
  s.world_exists = true;
  s.players.clear();
  s.player_pointers.clear();
  s.character_pointers.clear();
  s.hooks.clear();
  s.hooks[kNewPlayerHook].game_function = reinterpret_cast<LPVOID>(&GameHandleNewPlayer);
  s.console_commands.clear();
  s.rcon_commands.clear();
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

void Simulation::SetWorldExists(bool exists) { state_->world_exists = exists; }

AShooterPlayerController* Simulation::Join(const std::string& eos_id, int64_t linked_id,
                                           const std::string& character_name, bool admin_on_join) {
  State& s = *state_;
  if (s.FindPlayer(eos_id)) throw std::invalid_argument("player already connected: " + eos_id);
  auto player = std::make_unique<SimPlayer>();
  player->eos_id = eos_id;
  player->name = character_name;
  player->linked_id = linked_id;
  player->admin_on_join = admin_on_join;
  player->character = std::make_unique<SimCharacter>();
  SimPlayer* p = player.get();
  s.player_pointers.insert(p);
  s.character_pointers.insert(static_cast<AShooterCharacter*>(p->character.get()));
  s.players.push_back(std::move(player));
  s.Record({{"type", "join"}, {"player", eos_id}, {"linked_id", linked_id}, {"name", character_name}});
  using Handler = bool (*)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*, bool);
  auto handler = reinterpret_cast<Handler>(s.hooks[kNewPlayerHook].Top());
  s.Guard("new-player hook", [&] { handler(&s.game_mode, p, nullptr, p->character.get(), true); });
  return p;
}

void Simulation::Leave(const std::string& eos_id) {
  // The controller stays allocated, as the game frees it later; it is no longer connected.
  if (SimPlayer* p = state_->FindPlayer(eos_id)) {
    p->connected = false;
    state_->Record({{"type", "leave"}, {"player", eos_id}});
  }
}

void Simulation::Die(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id); p && p->character) {
    p->character->dead = true;
    state_->Record({{"type", "death"}, {"player", eos_id}});
  }
}

void Simulation::Respawn(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id)) {
    if (!p->character) {
      p->character = std::make_unique<SimCharacter>();
      state_->character_pointers.insert(static_cast<AShooterCharacter*>(p->character.get()));
    }
    p->character->dead = false;
    state_->Record({{"type", "respawn"}, {"player", eos_id}});
  }
}

void Simulation::RemoveCharacter(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id); p && p->character) {
    state_->character_pointers.erase(static_cast<AShooterCharacter*>(p->character.get()));
    p->character.reset();
  }
}

AShooterPlayerController* Simulation::Player(const std::string& eos_id) const { return state_->FindPlayer(eos_id); }

std::vector<std::string> Simulation::PlayerIds() const {
  std::vector<std::string> ids;
  for (auto& p : state_->players)
    if (p->connected) ids.push_back(p->eos_id);
  return ids;
}

std::string Simulation::Describe(const std::string& eos_id) const {
  SimPlayer* p = state_->FindPlayer(eos_id);
  if (!p) return eos_id + " (offline)";
  std::string state = !p->character ? "no character" : p->character->dead ? "dead" : "alive";
  return eos_id + " linked " + std::to_string(p->linked_id) + " \"" + p->name + "\" " +
         state + (p->admin() ? " admin" : "") + (p->cheat() ? " cheat" : "");
}

namespace {
SimPlayer& Require(const Simulation::State& s, const std::string& eos_id) {
  SimPlayer* p = s.FindPlayer(eos_id);
  if (!p) throw std::invalid_argument("no connected player " + eos_id);
  return *p;
}
}  // namespace

bool Simulation::AdminBit(const std::string& eos_id) const { return Require(*state_, eos_id).admin(); }
bool Simulation::CheatBit(const std::string& eos_id) const { return Require(*state_, eos_id).cheat(); }
void Simulation::SetAdminBit(const std::string& eos_id, bool value) { Require(*state_, eos_id).set_admin(value); }
void Simulation::SetCheatBit(const std::string& eos_id, bool value) { Require(*state_, eos_id).set_cheat(value); }

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

void Simulation::Post(std::function<void()> work) {
  {
    std::lock_guard lock(state_->queue_mutex);
    state_->queue.push_back(std::move(work));
  }
  state_->queue_cv.notify_all();
}

void Simulation::RunUntilIdle() {
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(state_->queue_mutex);
      if (state_->queue.empty()) return;
      work = std::move(state_->queue.front());
      state_->queue.pop_front();
    }
    work();
    state_->NoteAllRights();
  }
}

void Simulation::Advance(int seconds) {
  State& s = *state_;
  for (int i = 0; i < seconds; ++i) {
    ++s.now;
    // Timers added by a timer callback wait for the next check.
    const size_t count = s.timers.size();
    for (size_t t = 0; t < count && t < s.timers.size(); ++t) {
      TimerEntry& timer = s.timers[t];
      if (timer.count == 0 || s.now < timer.next_due) continue;
      timer.next_due = s.now + timer.interval;
      if (timer.count > 0) --timer.count;
      auto callback = timer.callback;
      s.Guard("timer " + timer.identifier, callback);
    }
    RunUntilIdle();
  }
}

int64_t Simulation::Now() const { return state_->now; }

bool Simulation::WaitIdle(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    RunUntilIdle();
    if (state_->pending_http == 0) {
      std::lock_guard lock(state_->queue_mutex);
      if (state_->queue.empty()) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock lock(state_->queue_mutex);
    state_->queue_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return !state_->queue.empty(); });
  }
}

int Simulation::PendingHttp() const { return state_->pending_http; }

ScriptedTransport& Simulation::Scripted() {
  if (!state_->scripted) throw std::logic_error("the scripted transport is not in use");
  return *state_->scripted;
}

void Simulation::SetTransport(std::unique_ptr<HttpTransport> transport) {
  state_->scripted = dynamic_cast<ScriptedTransport*>(transport.get());
  state_->transport = std::move(transport);
}

std::vector<Simulation::TimerInfo> Simulation::Timers() const {
  std::vector<TimerInfo> out;
  for (auto& t : state_->timers) out.push_back({t.interval, t.count, t.identifier, t.module});
  return out;
}

void Simulation::DropModule(const std::string& module_path) {
  auto& timers = state_->timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(), [&](auto& t) { return t.module == module_path; }),
               timers.end());
  state_->http_callbacks.clear();  // completions still to come find no callback
  state_->messaging.erase(module_path);
}

size_t Simulation::ConsoleCommandCount() const { return state_->console_commands.size(); }
size_t Simulation::RconCommandCount() const { return state_->rcon_commands.size(); }
size_t Simulation::HookCount(const std::string& name) const {
  auto it = state_->hooks.find(name);
  return it == state_->hooks.end() ? 0 : it->second.links.size();
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

namespace AsaApi {
IHooks& GetHooks() {
  static sim::SimHooks hooks;
  return hooks;
}
ICommands& GetCommands() {
  static sim::SimCommands commands;
  return commands;
}
IApiUtils& GetApiUtils() {
  static sim::SimApiUtils utils;
  return utils;
}
std::string Tools::GetCurrentDir() { return sim::Simulation::Get().state().current_dir; }
}  // namespace AsaApi

std::vector<spdlog::sink_ptr>& GetLogSinks() { return sim::Simulation::Get().state().sinks; }

namespace API {

Timer& Timer::Get() {
  static Timer timer;
  return timer;
}

void Timer::RecurringExecuteInternal(const std::function<void()>& callback, int execution_interval,
                                     int execution_counter, bool, const FString& identifier,
                                     const FString& module_name) {
  auto& s = sim::Simulation::Get().state();
  sim::TimerEntry entry;
  entry.callback = callback;
  entry.interval = execution_interval;
  entry.count = execution_counter;
  entry.identifier = sim::Narrow(identifier);
  entry.module = sim::Narrow(module_name);
  entry.next_due = s.now + 1;  // the next check
  s.timers.push_back(std::move(entry));
  s.Record({{"type", "timer_added"}, {"interval", execution_interval}, {"count", execution_counter},
            {"identifier", sim::Narrow(identifier)}, {"module", sim::Narrow(module_name)}});
}

bool Timer::UnloadTimer(const FString& identifier) {
  auto& timers = sim::Simulation::Get().state().timers;
  const std::string wanted = sim::Narrow(identifier);
  const auto before = timers.size();
  timers.erase(std::remove_if(timers.begin(), timers.end(), [&](auto& t) { return t.identifier == wanted; }),
               timers.end());
  return timers.size() != before;
}

void Timer::UnloadAllTimers() { sim::Simulation::Get().state().timers.clear(); }

Requests& Requests::Get() {
  static Requests requests;
  return requests;
}

bool Requests::CreateGetRequest(const std::string& url, const std::function<void(bool, std::string)>& callback,
                                std::vector<std::string> headers) {
  return sim::StartHttp(
      "GET", url, [callback](bool success, std::string body, auto) { callback(success, std::move(body)); }, "", "",
      headers);
}

bool Requests::CreatePostRequest(const std::string& url, const PostCallback& callback, const std::string& post_data,
                                 const std::string& content_type, std::vector<std::string> headers) {
  return sim::StartHttp("POST", url, callback, post_data, content_type, headers);
}

bool Requests::CreatePostRequest(const std::string& url, const std::function<void(bool, std::string)>& callback,
                                 const std::string& post_data, const std::string& content_type,
                                 std::vector<std::string> headers) {
  return sim::StartHttp(
      "POST", url, [callback](bool success, std::string body, auto) { callback(success, std::move(body)); },
      post_data, content_type, headers);
}

}  // namespace API

namespace sim::detail {
void HostCrash(const std::string& what) {
  auto& s = Simulation::Get().state();
  s.escaped.push_back("host crash: " + what);
  s.Record({{"type", "exception"}, {"where", "host"}, {"what", what}});
  throw std::runtime_error("host crash: " + what);
}
}  // namespace sim::detail
