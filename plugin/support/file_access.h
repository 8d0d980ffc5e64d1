// Every file operation of the plugin goes through here: one place that checks each step (open,
// write, rename, remove), keeps the system's reason for a failure, and lets a test fail any step
// on purpose. A seam in our own code rather than a preload library, because it works the same
// on Windows, where the product runs, and a fault campaign can count and aim at each step.
//
// Files are read and written as bytes: the plugin writes bare line feeds on every system, and
// its readers take "\r\n" as a line end too (a file edited by hand on Windows).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace gildmark {

enum class FileStep { open_read, read, open_write, open_append, write, rename, remove, flush };
const char* FileStepName(FileStep step);

// Tests only: asked before each step; a non-zero errno value makes the step fail with it. A
// failed write step writes the first half of its bytes, as a full disk may. Called under a
// lock: a large results file is written on the plugin's own thread.
using FileFaultHook = std::function<int(FileStep step, const std::string& path)>;
void SetFileFaultHook(FileFaultHook hook);

// The whole file; false when it is missing or cannot be read.
bool ReadFileBytes(const std::string& path, std::string& bytes);
bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// The folder and those above it; true also when it was there.
bool CreateFolder(const std::string& path);
// Creates or truncates the file, then writes the bytes.
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool AppendFileBytes(const std::string& path, const std::string& bytes);

// While one lives, appends to these files go through handles opened once (each append still one
// unbuffered write, so nothing waits in memory): a delivery appends several lines per command,
// and opening a file costs more than writing a line. Handles are closed at its end, and one
// whose write failed at once, so that the next append opens the file again. Game thread only.
class HeldAppends {
 public:
  explicit HeldAppends(std::vector<std::string> paths);
  ~HeldAppends();
  HeldAppends(const HeldAppends&) = delete;
  HeldAppends& operator=(const HeldAppends&) = delete;

 private:
  std::vector<std::string> added_;  // paths another living one did not hold already
};
// Replaces `to` with `from`. `durable`: the rename itself reaches the disk before this returns.
bool RenameFile(const std::string& from, const std::string& to, bool durable = false);
// Makes the file's data reach the disk (fsync, FlushFileBuffers): after a power loss it is
// there, not an empty file of the right name.
bool FlushFileToDisk(const std::string& path);
// True when the file is gone afterwards, also when it was never there.
bool RemoveFile(const std::string& path);
// The system's text for the last failure, such as "No space left on device".
std::string LastFileError();
// Puts back a failure's text after a clean-up step that may have failed too.
void RestoreFileError(const std::string& text);

// Lines at "\n", each without its "\r"; text after the last line feed is a line too.
std::vector<std::string> SplitLines(const std::string& bytes);

}  // namespace gildmark
