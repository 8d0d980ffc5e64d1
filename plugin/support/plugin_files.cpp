#include "support/plugin_files.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "host/host.h"
#include "support/request_target.h"

namespace gildmark {

namespace {
void ReportWriteProblem(const std::string& path) {
  // Without the plugin directory nothing can be kept, and every write would say so.
  std::error_code ec;
  if (!std::filesystem::is_directory(JsonFileStore::PluginDirectory(), ec)) return;
  RequestTarget nobody;
  nobody.Report("Can't write to " + path + ": Gildmark was unable to write in to " + path +
                    " file, please verify that Gildmark has the right permissions in the plugins repository",
                Severity::error, false);
}
}  // namespace

std::string JsonFileStore::PluginDirectory() { return host::CurrentDir() + "/ArkApi/Plugins/Gildmark_DadUZ/"; }

std::string JsonFileStore::PathOf(const std::string& name) { return PluginDirectory() + name; }

bool JsonFileStore::IsValidJson(const std::string& text) { return nlohmann::json::accept(text); }

bool JsonFileStore::CollectText(const std::string& path, std::string& text) {
  std::ifstream in(path);
  if (!in.is_open()) return false;
  std::string line;
  text.clear();
  while (std::getline(in, line)) {
    text += line;
    text += '\n';
  }
  return true;
}

void JsonFileStore::EnsureJson(const std::string& name, const std::string& default_text) {
  const std::string path = PathOf(name);
  std::string text;
  if (!CollectText(path, text)) {
    std::error_code ec;
    // A file that exists but cannot be read is not replaced: it may be the admin's.
    if (std::filesystem::exists(path, ec)) {
      RequestTarget nobody;
      nobody.Report("Can't read " + path + ": Gildmark was unable to open " + path +
                        ", please verify that Gildmark has the right permissions in the plugins repository",
                    Severity::error, false);
      return;
    }
    ReplaceText(path, default_text);
    return;
  }
  if (IsValidJson(text)) return;
  const std::string kept = path + ".broken";
  std::error_code ec;
  std::filesystem::copy_file(path, kept, std::filesystem::copy_options::overwrite_existing, ec);
  RequestTarget nobody;
  if (ec) {
    nobody.Report(name + " did not hold valid JSON and could not be kept as " + name +
                      ".broken; it is replaced with the default text",
                  Severity::error, false);
  } else {
    nobody.Report(name + " did not hold valid JSON: it is kept as " + name +
                      ".broken and replaced with the default text",
                  Severity::error, false);
  }
  ReplaceText(path, default_text);
}

void JsonFileStore::ReplaceText(const std::string& path, const std::string& text) { WriteFileAtomically(path, text); }

void JsonFileStore::ReadJson(const std::string& name, nlohmann::json& value) {
  std::string text;
  if (!CollectText(PathOf(name), text)) return;
  if (!IsValidJson(text)) return;
  value = nlohmann::json::parse(text, nullptr, false);
}

void JsonFileStore::WriteText(const std::string& name, const std::string& text) {
  WriteFileAtomically(PathOf(name), text);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

std::string WriteTemporaryFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::ofstream out(temporary, std::ios::out | std::ios::trunc);
  if (!out.is_open()) return "";
  out << text;
  out.close();
  if (!out) {
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
    return "";
  }
  return temporary;
}

bool CommitTemporaryFile(const std::string& temporary, const std::string& path) {
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (!ec) return true;
  std::filesystem::remove(temporary, ec);
  return false;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = WriteTemporaryFile(path, text);
  if (temporary.empty() || !CommitTemporaryFile(temporary, path)) {
    ReportWriteProblem(path);
    return false;
  }
  return true;
}

}  // namespace gildmark
