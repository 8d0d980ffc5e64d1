// The host's recurring timer, mirrored from the real SDK's Timer.h. Timers are checked about once
// a second on the game thread; the first run comes at the next check.
#pragma once

#include <functional>

#include "API/UE/Containers.h"

namespace API {
class Timer {
 public:
  ARK_API static Timer& Get();
  // count -1 runs without end. The host drops a module's timers when it unloads the module.
  ARK_API void RecurringExecuteInternal(const std::function<void()>& callback, int interval_seconds, int count,
                                        bool async, const FString& identifier, const FString& module_name);

 private:
  Timer() = default;
};
}  // namespace API
