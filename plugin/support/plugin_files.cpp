#include "support/plugin_files.h"

#include <filesystem>
#include <system_error>

#include "host/host.h"
#include "host/server_process.h"
#include "support/request_target.h"
#include "support/server_instance.h"

namespace gildmark {

namespace {

std::string Reason() {
  const std::string reason = LastFileError();
  return reason.empty() ? "" : " (" + reason + ")";
}

std::string CollectLines(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size() + 1);
  for (const std::string& line : SplitLines(bytes)) {
    text += line;
    text += '\n';
  }
  return text;
}

void ReportError(const std::string& message) {
  RequestTarget nobody;
  nobody.Report(message, Severity::error, false);
}

}  // namespace

void ReportWriteProblem(const std::string& path) {
  const std::string reason = Reason();
  if (!IsDirectory(JsonFileStore::PluginDirectory())) return;
  ReportError("Can't write to " + path + ": Gildmark was unable to write in to " + path +
              " file, please verify that Gildmark has the right permissions in the plugins repository" + reason);
}

bool CheckPluginDirectory() {
  const std::string folder = JsonFileStore::PluginDirectory();
  if (IsDirectory(folder)) return true;
  ReportError("The plugin folder " + folder +
              " does not exist, so Gildmark can keep no configuration, results or admin journal and delivers "
              "nothing; create it (or reinstall the plugin), then run gildmark.connect");
  return false;
}

std::string JsonFileStore::PluginDirectory() { return host::CurrentDir() + "/ArkApi/Plugins/Gildmark_DadUZ/"; }

std::string JsonFileStore::PathOf(const std::string& name) {
  return IsInstallationFile(name) ? PluginDirectory() + name : InstanceFolder() + name;
}

bool JsonFileStore::IsValidJson(const std::string& text) { return nlohmann::json::accept(text); }

bool JsonFileStore::CollectText(const std::string& path, std::string& text) {
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return false;
  text = CollectLines(bytes);
  return true;
}

void JsonFileStore::EnsureJson(const std::string& name, const std::string& default_text, bool tell_unreadable,
                               const std::string& replacement) {
  const std::string path = PathOf(name);
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) {
    // A file that exists but cannot be read is not replaced: it may be the admin's.
    if (FileExists(path)) {
      if (tell_unreadable)
        ReportError("Can't read " + path + ": Gildmark was unable to open " + path +
                    ", please verify that Gildmark has the right permissions in the plugins repository" + Reason());
      return;
    }
    ReplaceText(path, default_text);
    return;
  }
  if (IsValidJson(CollectLines(bytes))) return;
  const bool kept = WriteFileBytes(path + ".broken", bytes);
  ReportError(kept ? name + " did not hold valid JSON: it is kept as " + name + ".broken and replaced with " +
                         replacement
                   : name + " did not hold valid JSON and could not be kept as " + name + ".broken; it is replaced with " +
                         replacement);
  ReplaceText(path, default_text);
}

bool JsonFileStore::ReplaceText(const std::string& path, const std::string& text) {
  return WriteFileAtomically(path, text);
}

JsonFileStore::ReadOutcome JsonFileStore::ReadJsonFile(const std::string& name, nlohmann::json& value) {
  const std::string path = PathOf(name);
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return FileExists(path) ? ReadOutcome::unreadable : ReadOutcome::missing;
  const std::string text = CollectLines(bytes);
  if (!IsValidJson(text)) return ReadOutcome::invalid;
  value = nlohmann::json::parse(text, nullptr, false);
  return ReadOutcome::value;
}

void JsonFileStore::ReadJson(const std::string& name, nlohmann::json& value) { ReadJsonFile(name, value); }

bool JsonFileStore::WriteText(const std::string& name, const std::string& text, bool durable) {
  return WriteFileAtomically(PathOf(name), text, durable);
}

std::string TemporaryPathFor(const std::string& path) {
  // Servers of one installation write beside the same files, at start outside any turn: each
  // its own temporary. The instance name too, as containers over one folder may share ids.
  const std::string& instance = ThisInstance().name;
  return path + "." + (instance.empty() ? "" : instance + ".") + std::to_string(host::ProcessId()) + ".tmp";
}

void RemoveStaleTemporaryFiles(const std::string& folder) {
  // A write takes milliseconds: a temporary this old is what a stopped or killed process left.
  namespace fs = std::filesystem;
  std::error_code ec;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (path.extension() != ".tmp" || !it->is_regular_file(ec)) continue;
    const auto written = fs::last_write_time(path, ec);
    if (ec || now - written < kStaleTemporaryAge) {
      ec.clear();
      continue;
    }
    RemoveFile(path.string());
  }
}

std::string WriteTemporaryFile(const std::string& path, const std::string& text, bool durable) {
  const std::string temporary = TemporaryPathFor(path);
  if (WriteFileBytes(temporary, text) && (!durable || FlushFileToDisk(temporary))) return temporary;
  const std::string reason = LastFileError();
  RemoveFile(temporary);
  RestoreFileError(reason);
  return "";
}

bool CommitTemporaryFile(const std::string& temporary, const std::string& path, bool durable) {
  if (RenameFile(temporary, path, durable)) return true;
  const std::string reason = LastFileError();
  // A durable rename that failed only in reaching the disk has replaced the file all the same.
  if (FileExists(temporary)) RemoveFile(temporary);
  RestoreFileError(reason);
  return false;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, bool durable) {
  const std::string temporary = WriteTemporaryFile(path, text, durable);
  if (temporary.empty() || !CommitTemporaryFile(temporary, path, durable)) {
    ReportWriteProblem(path);
    return false;
  }
  return true;
}

}  // namespace gildmark
