// The system calls that make a file survive a power loss: its data flushed to the disk, and a
// rename that reaches the disk before it returns. Apart from the plugin's file seam
// (support/file_access) because they are platform calls, which only this layer makes. Each
// returns false with the system's reason in `error`.
#pragma once

#include <string>

namespace gildmark::host {

bool FlushFileToDisk(const std::string& path, std::string& error);
// Replaces `to` with `from`; the new name is on the disk when this returns.
bool RenameDurably(const std::string& from, const std::string& to, std::string& error);

}  // namespace gildmark::host
