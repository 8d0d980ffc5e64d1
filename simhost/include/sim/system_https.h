// The stand-in of the operating system's HTTPS client (WinHTTP on a Windows server), which the
// plugin uses itself because the host's service accepts any certificate. Like the system's, it
// always verifies certificates and passes on what came back as it came: the status, the body
// and the headers, or the kind of failure. It sends through the simulation's transport, so the
// devserver's --connect-to, --cacert and --rewrite steer it, and tests script it.
//
// `done` runs once, later, on the game thread's work queue (the plugin must not assume which
// thread; the real system calls back on threads of its own). Start and Cancel are called on the
// game thread.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/http_transport.h"

namespace sim {

using SystemHttpsDone = std::function<void(HttpResult)>;

// An id above 0; 0 when the request was refused (then `done` never runs).
uint64_t StartSystemHttps(HttpRequest request, SystemHttpsDone done);
// After this returns, `done` of that request never runs.
void CancelSystemHttps(uint64_t id);
// Requests whose `done` has neither run nor been cancelled.
size_t OutstandingSystemHttps();

}  // namespace sim
