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
    const auto timer_callbacks = s.timer_callbacks;
    for (const auto& record : timer_callbacks)
      if (record->callback) s.Guard("on-timer callback " + record->name, [&] { record->callback(); });
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
  for (auto& t : state_->timers) out.push_back({t.interval, t.count, t.identifier, t.module});
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

}  // namespace API
