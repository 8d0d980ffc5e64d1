#include "support/server_instance.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host/server_process.h"
#include "support/file_access.h"
#include "support/plugin_files.h"
#include "support/request_target.h"

namespace gildmark {

const char* const kTurnsLockFileName = "store-turns.lock";
const char* const kInstancesFileName = "instances.txt";
const char* const kInstanceLockFileName = "instance.lock";
const char* const kInstancesFolderName = "servers";

namespace {

constexpr const char* kDefaultPort = "7777";
constexpr size_t kLongestName = 100;

struct InstanceState {
  ServerInstance instance;
  host::ProcessLock name_lock;  // servers/<name>/instance.lock while this process runs
  long long record_size = -2;   // of instances.txt when last read; -1: missing
};

// Freed with the library, as the leak checker wants of a plugin loaded again and again.
InstanceState& State() {
  static InstanceState state;
  return state;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// Words at blanks; a double-quoted part may hold blanks, and its quotes are dropped.
std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The system puts the program first; a launch line typed in a console may leave out ".exe",
// and a launcher may leave out the program.
bool LooksLikeProgram(const std::string& word) {
  const std::string lower = Lower(word);
  return word.find('/') != std::string::npos || word.find('\\') != std::string::npos || EndsWith(lower, ".exe") ||
         lower == "shootergameserver" || lower == "arkascendedserver";
}

// "-Name=value" with the name compared without case, as the game reads its options.
bool DashOption(const std::string& word, const std::string& name, std::string& value) {
  const size_t equals = word.find('=');
  if (equals == std::string::npos || Lower(word.substr(0, equals)) != Lower(name)) return false;
  value = word.substr(equals + 1);
  return true;
}

std::vector<std::string> RecordedNames() {
  std::string bytes;
  std::vector<std::string> names;
  if (!ReadFileBytes(JsonFileStore::PluginDirectory() + kInstancesFileName, bytes)) return names;
  for (const std::string& line : SplitLines(bytes))
    if (!line.empty() && std::find(names.begin(), names.end(), line) == names.end()) names.push_back(line);
  return names;
}

}  // namespace

std::string SafeFileName(const std::string& text) {
  std::string name;
  for (const char c : text.substr(0, kLongestName)) {
    const bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    name += safe && static_cast<unsigned char>(c) < 0x80 ? c : '_';
  }
  if (name.empty()) return "_";
  if (name.back() == '.') name.back() = '_';  // Windows drops a trailing dot: "." and ".." too
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  std::string stem = Lower(name.substr(0, name.find('.')));
  const bool device = std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices) ||
                      (stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) &&
                       std::isdigit(static_cast<unsigned char>(stem[3])));
  return device ? "_" + name : name;
}

namespace {

struct LaunchNames {
  std::string chosen, server_key, map_port;
};

LaunchNames NamesFromLaunchLine(const std::string& line) {
  const std::vector<std::string> words = SplitWords(line);
  size_t first = !words.empty() && LooksLikeProgram(words[0]) ? 1 : 0;
  // -GildmarkInstance= is ours and wins; -serverkey= is how this game's plugins and server
  // managers already tell servers of one installation apart.
  std::string chosen, server_key, map, url_port, dash_port, value;
  bool have_map = false;
  for (size_t i = first; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.empty()) continue;
    if (word[0] == '-') {
      if (DashOption(word, "-GildmarkInstance", value)) chosen = value;
      else if (DashOption(word, "-serverkey", value)) server_key = value;
      else if (DashOption(word, "-port", value)) dash_port = value;
      continue;
    }
    if (have_map) continue;
    have_map = true;
    const size_t question = word.find('?');
    map = word.substr(0, question);
    // The map's options: "?listen?SessionName=...?Port=7778".
    size_t at = question;
    while (at != std::string::npos) {
      const size_t next = word.find('?', at + 1);
      const std::string option = word.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
      const size_t equals = option.find('=');
      if (equals != std::string::npos && Lower(option.substr(0, equals)) == "port") url_port = option.substr(equals + 1);
      at = next;
    }
  }
  const std::string port = !url_port.empty() ? url_port : !dash_port.empty() ? dash_port : kDefaultPort;
  return {chosen, server_key, SafeFileName((map.empty() ? "server" : map) + "-" + port)};
}

bool HasOwnFolder(const std::string& name) {
  return IsDirectory(JsonFileStore::PluginDirectory() + kInstancesFolderName + "/" + name);
}

}  // namespace

std::string InstanceNameFromLaunchLine(const std::string& line) {
  const LaunchNames names = NamesFromLaunchLine(line);
  if (!names.chosen.empty()) return SafeFileName(names.chosen);
  if (!names.server_key.empty()) return SafeFileName(names.server_key);
  return names.map_port;
}

std::string FormerInstanceName(const std::string& line) {
  const LaunchNames names = NamesFromLaunchLine(line);
  if (!names.chosen.empty() || names.server_key.empty() || SafeFileName(names.server_key) == names.map_port) return "";
  return names.map_port;
}

const ServerInstance& ThisInstance() { return State().instance; }

void IdentifyInstance() {
  ForgetInstance();
  const std::string line = host::LaunchLine();
  ServerInstance& instance = State().instance;
  instance.name = InstanceNameFromLaunchLine(line);
  instance.former_name = FormerInstanceName(line);
  // A folder of its own under the name an earlier version gave it keeps this server what is
  // there (journal, results waiting for the store) after the update.
  if (!instance.former_name.empty() && HasOwnFolder(instance.former_name) && !HasOwnFolder(instance.name))
    KeepFormerInstanceName("its files are in servers/" + instance.former_name + "/");
  else
    RecordInstanceName();
}

void KeepFormerInstanceName(const std::string& because) {
  ServerInstance& instance = State().instance;
  instance.launch_name = instance.name;
  instance.name = instance.former_name;
  instance.kept_former_because = because;
  RecordInstanceName();
}

void RecordInstanceName() {
  // Best effort: without the record, lines are only not tagged, and every other file problem is
  // told by the files that matter.
  const std::vector<std::string> names = RecordedNames();
  if (std::find(names.begin(), names.end(), State().instance.name) == names.end() &&
      IsDirectory(JsonFileStore::PluginDirectory()))
    AppendFileBytes(JsonFileStore::PluginDirectory() + kInstancesFileName, State().instance.name + "\n");
  RefreshLineTags();
}

void ForgetInstance() {
  State().name_lock.Release();
  State().instance = ServerInstance{};
  State().record_size = -2;
}

bool UseOwnFolder() {
  ServerInstance& instance = State().instance;
  const std::string folder =
      JsonFileStore::PluginDirectory() + kInstancesFolderName + "/" + instance.name + "/";
  if (!CreateFolder(folder)) {
    RequestTarget nobody;
    nobody.Report("Can't create " + folder + " for this server's own files (" + LastFileError() +
                      "); it uses the files of " + JsonFileStore::PluginDirectory() + " until the next start",
                  Severity::error, false);
    return false;
  }
  instance.listed = true;
  ClaimInstanceName();
  return true;
}

bool ClaimInstanceName() {
  ServerInstance& instance = State().instance;
  if (!instance.listed) return true;
  std::string error;
  const auto outcome = State().name_lock.TryAcquire(InstanceFolder() + kInstanceLockFileName, error);
  // A lock the system cannot give (a file system without locks) tells nothing about another
  // process; the name is used as the admin chose it.
  instance.duplicate = outcome == host::ProcessLock::Outcome::taken;
  return !instance.duplicate;
}

void RefreshLineTags() {
  // The record only grows while servers start, so its size tells whether to read it again: one
  // system call per store conversation.
  std::error_code ec;
  const auto size = std::filesystem::file_size(JsonFileStore::PluginDirectory() + kInstancesFileName, ec);
  const long long seen = ec ? -1 : static_cast<long long>(size);
  if (seen == State().record_size) return;
  State().record_size = seen;
  State().instance.tag_lines = RecordedNames().size() > 1;
}

std::string InstanceFolder() {
  const ServerInstance& instance = State().instance;
  return instance.listed ? JsonFileStore::PluginDirectory() + kInstancesFolderName + "/" + instance.name + "/"
                         : JsonFileStore::PluginDirectory();
}

bool IsInstallationFile(const std::string& name) {
  return name == "config.json" || name == kTurnsLockFileName || name == kInstancesFileName;
}

}  // namespace gildmark
