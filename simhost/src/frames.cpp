// The game thread's time: the work queue, frames (on-tick callbacks, 30 per simulated second),
// the once-a-second timer check (the host's timers and on-timer callbacks), and the host's
// Timer service.
#include <algorithm>
#include <chrono>
#include <thread>

#include "Timer.h"
#include "sim/simulation.h"
#include "state.h"

namespace sim {

void Simulation::Post(std::function<void()> work) {
  {
    std::lock_guard lock(state_->queue_mutex);
    state_->queue.push_back(std::move(work));
  }
  state_->queue_cv.notify_all();
}

bool Simulation::RunQueue() {
  bool ran = false;
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(state_->queue_mutex);
      if (state_->queue.empty()) return ran;
      work = std::move(state_->queue.front());
      state_->queue.pop_front();
    }
    work();
    ran = true;
    state_->NoteAllRights();
  }
}

void Simulation::RunFrame(float delta_seconds) {
  State& s = *state_;
  ++s.frames;
  PollRcon(s);
  // A callback may add or remove callbacks, or unload a plugin: walk a copy, as the host does,
  // and skip what an unload emptied meanwhile.
  const auto callbacks = s.tick_callbacks;
  for (const auto& record : callbacks)
    if (record->callback) s.Guard("on-tick callback " + record->name, [&] { record->callback(delta_seconds); });
  s.NoteAllRights();
}

void Simulation::RunUntilIdle() {
  // Work that arrives during a frame (a completion handed over, a request answered at once)
  // gets another frame, as it would on the next one of a running server.
  do {
    RunQueue();
    RunFrame(0.0f);
  } while (RunQueue());
}

namespace {

// A timer whose library is gone: calling or destroying it runs freed code, which ends the real
// server. Told as a crash, and kept alive for good so that the stand-in does not run it.
bool CalledIntoFreedLibrary(Simulation::State& s, const std::shared_ptr<TimerEntry>& timer, const char* what) {
  if (!s.freed_modules.count(timer->module)) return false;
  static auto* kept = new std::vector<std::shared_ptr<TimerEntry>>;
  kept->push_back(timer);
  s.escaped.push_back("host crash: timer " + timer->identifier + " " + what + " after its library was freed");
  s.Record({{"type", "exception"}, {"where", "host timer"},
            {"what", "timer " + timer->identifier + " " + what + " after its library was freed"}});
  return true;
}

// The host's Timer::Update: a copy of the list, walked whole. An unload during the walk erases
// the module's timers from the list, not from the copy, and empties nothing.
void CheckTimers(Simulation::State& s) {
  auto timers = s.timers;
  for (const auto& timer : timers) {
    if (timer->count == 0 || s.now < timer->next_due) continue;
    if (CalledIntoFreedLibrary(s, timer, "called")) continue;
    timer->next_due = s.now + timer->interval;
    if (timer->count > 0) --timer->count;
    s.Guard("timer " + timer->identifier, timer->callback);
  }
  for (auto& timer : timers)
    if (timer.use_count() == 1 && CalledIntoFreedLibrary(s, timer, "destroyed")) timer.reset();
  timers.clear();
  s.timers.erase(std::remove_if(s.timers.begin(), s.timers.end(), [](auto& t) { return t->count == 0; }),
                 s.timers.end());
}

}  // namespace

void Simulation::Advance(int seconds) {
  State& s = *state_;
  for (int i = 0; i < seconds; ++i) {
    ++s.now;
    // The game's once-a-second timer, as the host hooks it (AGameState::DefaultTimer): the
    // host's Timer (its own on-timer callback, the first), the plugins' on-timer callbacks over a
    // copy, then the automatic reload check (PluginManager::DetectPluginChangesTimerCallback).
    CheckTimers(s);
    const auto timer_callbacks = s.timer_callbacks;
    for (const auto& record : timer_callbacks)
      if (record->callback) s.Guard("on-timer callback " + record->name, [&] { record->callback(); });
    if (s.auto_reload && s.now >= s.next_reload_check) {
      s.next_reload_check = s.now + s.auto_reload_seconds;
      DetectPluginChanges();
    }
    for (int frame = 0; frame < kFramesPerSecond; ++frame) {
      RunQueue();
      RunFrame(1.0f / kFramesPerSecond);
    }
    RunQueue();
  }
}

int64_t Simulation::Now() const { return state_->now; }
uint64_t Simulation::Frames() const { return state_->frames; }

bool Simulation::WaitIdle(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  // A plugin may go on with work of its own after the last request: on a thread of its own, and
  // from frames. Idle is also a while of frames in which nothing happened.
  constexpr auto kQuiet = std::chrono::milliseconds(60);
  size_t events_seen = static_cast<size_t>(-1);
  auto quiet_since = Clock::now();
  for (;;) {
    RunUntilIdle();
    bool idle = false;
    if (state_->pending_http == 0) {
      std::lock_guard lock(state_->queue_mutex);
      idle = state_->queue.empty();
    }
    size_t events = 0;
    {
      std::lock_guard lock(state_->events_mutex);
      events = state_->events.size();
    }
    if (!idle || events != events_seen) {
      events_seen = events;
      quiet_since = Clock::now();
    } else if (Clock::now() - quiet_since >= kQuiet) {
      return true;
    }
    if (Clock::now() >= deadline) return false;
    if (idle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    std::unique_lock lock(state_->queue_mutex);
    state_->queue_cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return !state_->queue.empty(); });
  }
}

std::vector<Simulation::TimerInfo> Simulation::Timers() const {
  std::vector<TimerInfo> out;
  for (auto& t : state_->timers) out.push_back({t->interval, t->count, t->identifier, t->module});
  return out;
}

std::vector<Simulation::TimerInfo> Simulation::TimerCallbacks() const {
  std::vector<TimerInfo> out;
  for (auto& record : state_->timer_callbacks) out.push_back({1, -1, record->name, record->module});
  return out;
}

size_t Simulation::TickCallbackCount() const { return state_->tick_callbacks.size(); }

}  // namespace sim

namespace API {

Timer& Timer::Get() {
  static Timer timer;
  return timer;
}

void Timer::RecurringExecuteInternal(const std::function<void()>& callback, int execution_interval,
                                     int execution_counter, bool, const FString& identifier,
                                     const FString& module_name) {
  auto& s = sim::Simulation::Get().state();
  auto entry = std::make_shared<sim::TimerEntry>();
  entry->callback = callback;
  entry->interval = execution_interval;
  entry->count = execution_counter;
  entry->identifier = sim::Narrow(identifier);
  entry->module = sim::Narrow(module_name);
  entry->next_due = s.now + 1;  // the next check
  s.timers.push_back(std::move(entry));
  s.Record({{"type", "timer_added"}, {"interval", execution_interval}, {"count", execution_counter},
            {"identifier", sim::Narrow(identifier)}, {"module", sim::Narrow(module_name)}});
}

bool Timer::UnloadTimer(const FString& identifier) {
  auto& timers = sim::Simulation::Get().state().timers;
  const std::string wanted = sim::Narrow(identifier);
  const auto before = timers.size();
  timers.erase(std::remove_if(timers.begin(), timers.end(), [&](auto& t) { return t->identifier == wanted; }),
               timers.end());
  return timers.size() != before;
}

void Timer::UnloadAllTimers() { sim::Simulation::Get().state().timers.clear(); }

}  // namespace API
