#include "support/file_access.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host/disk.h"

namespace gildmark {

namespace {

FileFaultHook& FaultHook() {
  static FileFaultHook hook;
  return hook;
}

// The plugin touches files from the game thread only (and from load and unload, which the host
// runs apart from it). A plain buffer: a thread-local with a destructor would pin the library in
// memory, and a static string would outlive an unload under the leak checker.
char last_error[160] = "";

void SetError(const std::string& text) {
  const size_t n = text.size() < sizeof last_error - 1 ? text.size() : sizeof last_error - 1;
  text.copy(last_error, n);
  last_error[n] = '\0';
}

// True when the step may go on; otherwise the failure is kept for LastFileError.
bool Allowed(FileStep step, const std::string& path) {
  if (!FaultHook()) return true;
  const int code = FaultHook()(step, path);
  if (code == 0) return true;
  SetError(std::generic_category().message(code));
  return false;
}

bool Fail(const std::error_code& ec) {
  SetError(ec ? ec.message() : std::generic_category().message(errno ? errno : EIO));
  return false;
}

bool Fail() { return Fail(std::error_code(errno ? errno : EIO, std::generic_category())); }

bool WriteThrough(const std::string& path, const std::string& bytes, FileStep open_step) {
  if (!Allowed(open_step, path)) return false;
  const auto mode = std::ios::out | std::ios::binary | (open_step == FileStep::open_append ? std::ios::app : std::ios::trunc);
  errno = 0;
  std::ofstream out(path, mode);
  if (!out.is_open()) return Fail();
  if (!Allowed(FileStep::write, path)) {
    const std::string saved = last_error;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    out.close();
    SetError(saved);
    return false;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out.fail()) return Fail();
  return true;
}

}  // namespace

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

void SetFileFaultHook(FileFaultHook hook) { FaultHook() = std::move(hook); }

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  if (!Allowed(FileStep::open_read, path)) return false;
  errno = 0;
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return Fail();
  if (!Allowed(FileStep::read, path)) return false;
  std::string read(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) return Fail();
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

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  return WriteThrough(path, bytes, FileStep::open_write);
}

bool AppendFileBytes(const std::string& path, const std::string& bytes) {
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
