#include "host/disk.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "host/windows_headers.h"
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace gildmark::host {

namespace {

#ifdef _WIN32
bool Failed(std::string& error) {
  error = std::error_code(static_cast<int>(GetLastError()), std::system_category()).message();
  return false;
}
#else
bool Failed(std::string& error, int code) {
  error = std::generic_category().message(code ? code : EIO);
  return false;
}

bool SyncDescriptorOf(const std::string& path, int flags, std::string& error) {
  const int fd = open(path.c_str(), flags);
  if (fd < 0) return Failed(error, errno);
  const bool synced = fsync(fd) == 0;
  const int code = errno;
  close(fd);
  return synced ? true : Failed(error, code);
}
#endif

}  // namespace

bool FlushFileToDisk(const std::string& path, std::string& error) {
#ifdef _WIN32
  HANDLE file = CreateFileW(std::filesystem::path(path).wstring().c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Failed(error);
  const bool flushed = FlushFileBuffers(file) != 0;
  if (!flushed) Failed(error);
  CloseHandle(file);
  return flushed;
#else
  return SyncDescriptorOf(path, O_RDONLY, error);
#endif
}

bool RenameDurably(const std::string& from, const std::string& to, std::string& error) {
#ifdef _WIN32
  const std::wstring a = std::filesystem::path(from).wstring(), b = std::filesystem::path(to).wstring();
  return MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? true : Failed(error);
#else
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  // The new name is an entry of the folder: the folder too must reach the disk.
  const std::string folder = std::filesystem::path(to).parent_path().string();
  return SyncDescriptorOf(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY, error);
#endif
}

}  // namespace gildmark::host
