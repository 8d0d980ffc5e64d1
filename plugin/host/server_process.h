// What this server process is among others started from the same installation: the game's
// launch line, and locks on files that other processes see. Platform calls, so they sit in this
// layer: GetCommandLineW and LockFileEx on Windows, flock elsewhere. Builds over the stand-in
// (Linux, and the suites under Wine) take the launch line from the stand-in, which the devserver
// sets with --launch-line.
#pragma once

#include <string>

namespace gildmark::host {

// The game's launch line as the system gives it, program first, in UTF-8.
std::string LaunchLine();
// This process's id.
unsigned long ProcessId();

// An exclusive lock on a file, shared with every process of the machine (and of containers over
// the same folder). The system releases it when its holder dies, so a killed server never
// leaves it taken. Never waits. A file that is deleted or replaced never gives two holders: on
// Windows it cannot be while held; elsewhere the folder holding it is locked as well, and the
// locked file must be the one at the path.
class ProcessLock {
 public:
  ProcessLock() = default;
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;

  enum class Outcome { held, taken, failed };
  // Creates the file when missing. `taken`: another process holds it; `failed`: the file could
  // not be opened or locked, with the system's reason in `error`.
  Outcome TryAcquire(const std::string& path, std::string& error);
  void Release();
  bool Held() const { return handle_ != kNone; }

 private:
#ifdef _WIN32
  using Handle = void*;
  static constexpr Handle kNone = nullptr;
#else
  using Handle = int;
  static constexpr Handle kNone = -1;
#endif
  Handle handle_ = kNone;
#ifndef _WIN32
  Handle folder_handle_ = kNone;
#endif
};

}  // namespace gildmark::host
