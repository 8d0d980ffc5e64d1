#include "support/file_access.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <system_error>

#include "host/disk.h"

namespace gildmark {

namespace {

FileFaultHook& FaultHook() {
  static FileFaultHook hook;
  return hook;
}

// Per thread: the game thread, and the plugin's own thread when it writes a large results file.
// A plain buffer: a thread-local with a destructor would pin the library in memory, and a
// static string would outlive an unload under the leak checker.
thread_local char last_error[160] = "";

// A test's hook may be asked from both threads.
std::mutex& FaultHookMutex() {
  static std::mutex mutex;
  return mutex;
}

void SetError(const std::string& text) {
  const size_t n = text.size() < sizeof last_error - 1 ? text.size() : sizeof last_error - 1;
  text.copy(last_error, n);
  last_error[n] = '\0';
}

// True when the step may go on; otherwise the failure is kept for LastFileError.
bool Allowed(FileStep step, const std::string& path) {
  int code = 0;
  {
    std::lock_guard lock(FaultHookMutex());
    if (!FaultHook()) return true;
    code = FaultHook()(step, path);
  }
  if (code == 0) return true;
  SetError(std::generic_category().message(code));
  return false;
}

bool Fail(const std::error_code& ec) {
  SetError(ec ? ec.message() : std::generic_category().message(errno ? errno : EIO));
  return false;
}

bool Fail() { return Fail(std::error_code(errno ? errno : EIO, std::generic_category())); }

// Unbuffered C streams: each write goes straight to the system, and no stream buffer is
// allocated and freed per file (a delivery writes several files per command).
std::FILE* Open(const std::string& path, const char* mode) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), mode);
  if (file) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

bool WriteThrough(const std::string& path, const std::string& bytes, FileStep open_step) {
  if (!Allowed(open_step, path)) return false;
  std::FILE* out = Open(path, open_step == FileStep::open_append ? "ab" : "wb");
  if (!out) return Fail();
  if (!Allowed(FileStep::write, path)) {
    const std::string saved = last_error;
    std::fwrite(bytes.data(), 1, bytes.size() / 2, out);
    std::fclose(out);
    SetError(saved);
    return false;
  }
  errno = 0;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  const int write_error = errno;
  const bool closed = std::fclose(out) == 0;
  if (!written) errno = write_error;
  return written && closed ? true : Fail();
}

// The handles of the living HeldAppends: path -> open file, or null until first used.
std::vector<std::pair<std::string, std::FILE*>>& Held() {
  static std::vector<std::pair<std::string, std::FILE*>> held;
  return held;
}

std::pair<std::string, std::FILE*>* HeldFor(const std::string& path) {
  for (auto& entry : Held())
    if (entry.first == path) return &entry;
  return nullptr;
}

bool AppendThroughHeld(std::pair<std::string, std::FILE*>& entry, const std::string& bytes) {
  if (!Allowed(FileStep::open_append, entry.first)) return false;
  if (!entry.second) {
    entry.second = Open(entry.first, "ab");
    if (!entry.second) return Fail();
  }
  const bool allowed = Allowed(FileStep::write, entry.first);
  const std::string saved = last_error;
  errno = 0;
  const size_t size = allowed ? bytes.size() : bytes.size() / 2;
  const bool written = std::fwrite(bytes.data(), 1, size, entry.second) == size;
  if (allowed && written) return true;
  const int write_error = errno;
  std::fclose(entry.second);
  entry.second = nullptr;
  if (!allowed) {
    SetError(saved);
    return false;
  }
  errno = write_error;
  return Fail();
}

}  // namespace

HeldAppends::HeldAppends(std::vector<std::string> paths) {
  for (auto& path : paths)
    if (!HeldFor(path)) {
      Held().emplace_back(path, nullptr);
      added_.push_back(std::move(path));
    }
}

HeldAppends::~HeldAppends() {
  auto& held = Held();
  for (const std::string& path : added_)
    for (auto it = held.begin(); it != held.end(); ++it)
      if (it->first == path) {
        if (it->second) std::fclose(it->second);
        held.erase(it);
        break;
      }
}

const char* FileStepName(FileStep step) {
  switch (step) {
    case FileStep::open_read: return "open for reading";
    case FileStep::read: return "read";
    case FileStep::open_write: return "open for writing";
    case FileStep::open_append: return "open for appending";
    case FileStep::write: return "write";
    case FileStep::rename: return "rename";
    case FileStep::remove: return "remove";
    case FileStep::flush: return "flush to disk";
  }
  return "?";
}

void SetFileFaultHook(FileFaultHook hook) {
  std::lock_guard lock(FaultHookMutex());
  FaultHook() = std::move(hook);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  if (!Allowed(FileStep::open_read, path)) return false;
  std::FILE* in = Open(path, "rb");
  if (!in) return Fail();
  if (!Allowed(FileStep::read, path)) {
    std::fclose(in);
    return false;
  }
  std::string read;
  char chunk[4096];
  errno = 0;
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) read.append(chunk, n);
  const bool failed = std::ferror(in) != 0;
  const int read_error = errno;
  std::fclose(in);
  if (failed) {
    errno = read_error;
    return Fail();
  }
  bytes = std::move(read);
  return true;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

bool CreateFolder(const std::string& path) {
  if (!Allowed(FileStep::open_write, path)) return false;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return ec ? Fail(ec) : true;
}

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  return WriteThrough(path, bytes, FileStep::open_write);
}

bool AppendFileBytes(const std::string& path, const std::string& bytes) {
  if (auto* held = HeldFor(path)) return AppendThroughHeld(*held, bytes);
  return WriteThrough(path, bytes, FileStep::open_append);
}

bool RenameFile(const std::string& from, const std::string& to, bool durable) {
  if (!Allowed(FileStep::rename, to)) return false;
  if (durable) {
    std::string error;
    if (host::RenameDurably(from, to, error)) return true;
    SetError(error);
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(from, to, ec);
  return ec ? Fail(ec) : true;
}

bool FlushFileToDisk(const std::string& path) {
  if (!Allowed(FileStep::flush, path)) return false;
  std::string error;
  if (host::FlushFileToDisk(path, error)) return true;
  SetError(error);
  return false;
}

bool RemoveFile(const std::string& path) {
  if (!Allowed(FileStep::remove, path)) return false;
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return ec ? Fail(ec) : true;
}

std::string LastFileError() { return last_error; }

void RestoreFileError(const std::string& text) { SetError(text); }

std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

}  // namespace gildmark
