// The host's recurring timer, mirrored from the real SDK's Timer.h. Timers are checked about once
// a second on the game thread; the first run comes at the next check, then one every interval;
// a counter of -1 runs without end. Each timer is keyed by its identifier and by the module that
// added it (GetDllName()), and the host drops a module's timers when it unloads the module.
#pragma once

#include <functional>
#include <random>
#include <string>
#include <utility>

#include "API/Helpers/Helpers.h"
#include "API/UE/Containers.h"

namespace API {
class Timer {
 public:
  ARK_API static Timer& Get();

  template <class Func, class... Args>
  void RecurringExecute(const FString& identifier, const Func& callback, int execution_interval,
                        int execution_counter, bool async, Args&&... args) {
    RecurringExecuteInternal(Bind(callback, std::forward<Args>(args)...), execution_interval, execution_counter,
                             async, identifier, GetDllName());
  }

  // The same with an identifier of the host's choosing.
  template <class Func, class... Args>
  void RecurringExecute(const Func& callback, int execution_interval, int execution_counter, bool async,
                        Args&&... args) {
    const std::string random = "timer_" + std::to_string(std::random_device{}());
    RecurringExecuteInternal(Bind(callback, std::forward<Args>(args)...), execution_interval, execution_counter,
                             async, FString(random.c_str()), GetDllName());
  }

  ARK_API bool UnloadTimer(const FString& identifier);
  ARK_API void UnloadAllTimers();

 private:
  Timer() = default;

  template <class Func, class... Args>
  static std::function<void()> Bind(const Func& callback, Args&&... args) {
    return [callback, ... bound = std::forward<Args>(args)]() mutable { callback(bound...); };
  }

  ARK_API void RecurringExecuteInternal(const std::function<void()>& callback, int execution_interval,
                                        int execution_counter, bool async, const FString& identifier,
                                        const FString& module_name);
};
}  // namespace API
