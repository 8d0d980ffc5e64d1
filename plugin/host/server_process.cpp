#include "host/server_process.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "host/windows_headers.h"
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#if !defined(_WIN32) || defined(GILDMARK_SYSTEM_HTTPS_STAND_IN)
#include "sim/simulation.h"
#endif

namespace gildmark::host {

std::string LaunchLine() {
#if defined(_WIN32) && !defined(GILDMARK_SYSTEM_HTTPS_STAND_IN)
  const wchar_t* line = GetCommandLineW();
  if (!line) return {};
  const int wide = static_cast<int>(wcslen(line));
  const int size = WideCharToMultiByte(CP_UTF8, 0, line, wide, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, line, wide, out.data(), size, nullptr, nullptr);
  return out;
#else
  return sim::Simulation::Get().LaunchLine();
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<unsigned long>(getpid());
#endif
}

ProcessLock::~ProcessLock() { Release(); }

ProcessLock::Outcome ProcessLock::TryAcquire(const std::string& path, std::string& error) {
  if (Held()) return Outcome::held;
#ifdef _WIN32
  // No FILE_SHARE_DELETE: while held, the file can be neither deleted nor replaced, so nobody
  // can lock a new file of the same name beside it.
  HANDLE file = CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
    return Outcome::failed;
  }
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return Outcome::taken;
    error = std::error_code(static_cast<int>(code), std::system_category()).message();
    return Outcome::failed;
  }
  handle_ = file;
#else
  // The folder first: a lock file can be deleted or replaced while held (a cleanup tool, an
  // admin tidying up), and the next process would lock a new file of that name beside it; the
  // folder holding it cannot be, while it holds files. flock, not fcntl: an fcntl lock belongs
  // to the process and goes with any close of the file, and two locks of one process never
  // meet, which a test of two holders needs.
  const std::string folder = std::filesystem::path(path).parent_path().string();
  const int folder_fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd < 0) {
    error = std::generic_category().message(errno);
    return Outcome::failed;
  }
  if (flock(folder_fd, LOCK_EX | LOCK_NB) != 0) {
    const int code = errno;
    close(folder_fd);
    if (code == EWOULDBLOCK) return Outcome::taken;
    error = std::generic_category().message(code);
    return Outcome::failed;
  }
  // The file too, for servers of this installation still running an older version, which lock
  // only it. The locked file must be the one at the path, not one replaced meanwhile.
  for (int attempt = 0;; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      error = std::generic_category().message(errno);
      close(folder_fd);
      return Outcome::failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int code = errno;
      close(fd);
      close(folder_fd);
      if (code == EWOULDBLOCK) return Outcome::taken;
      error = std::generic_category().message(code);
      return Outcome::failed;
    }
    struct stat locked {}, named {};
    if (fstat(fd, &locked) == 0 && stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
        locked.st_ino == named.st_ino) {
      handle_ = fd;
      folder_handle_ = folder_fd;
      break;
    }
    close(fd);
    if (attempt == 2) {
      error = "the file keeps being replaced or deleted";
      close(folder_fd);
      return Outcome::failed;
    }
  }
#endif
  return Outcome::held;
}

void ProcessLock::Release() {
  if (!Held()) return;
  // Closing the file ends the lock; none is left open between turns, where it would be one more
  // file the admin cannot move or delete while the server runs.
#ifdef _WIN32
  CloseHandle(handle_);
#else
  close(handle_);
  close(folder_handle_);
  folder_handle_ = kNone;
#endif
  handle_ = kNone;
}

}  // namespace gildmark::host
