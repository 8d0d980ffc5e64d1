// The plugin directory and the JSON file store: every file of the plugin lives in
// <server dir>/ArkApi/Plugins/Gildmark_DadUZ/, which the plugin never creates. The store's
// operations never throw and return no status: a file that cannot be read leaves the caller's
// value alone, and a file that does not hold exactly one JSON value counts as missing.
//
// Writes never leave a half-written file: the text goes to "<path>.tmp", which is then renamed
// over the target, so a stop at any moment leaves either the old or the new content. A write
// that fails is told on the error route, since it loses data; a missing file when reading is not.
#pragma once

#include <string>

#include "json.hpp"

namespace gildmark {

class JsonFileStore {
 public:
  static std::string PluginDirectory();
  static std::string PathOf(const std::string& name);
  // Creates the file with the default text when missing; when it exists but is not valid JSON,
  // keeps it as "<name>.broken", writes the default and says so on the error route.
  static void EnsureJson(const std::string& name, const std::string& default_text);
  static void ReplaceText(const std::string& path, const std::string& text);
  static void ReadJson(const std::string& name, nlohmann::json& value);
  static void WriteText(const std::string& name, const std::string& text);

  // Exactly one JSON value with nothing but whitespace after it; empty text is not valid.
  static bool IsValidJson(const std::string& text);
  // The file's lines, each followed by a line feed; false when the file cannot be opened.
  static bool CollectText(const std::string& path, std::string& text);
};

// The file's bytes as they are; false when it cannot be opened.
bool ReadFileBytes(const std::string& path, std::string& bytes);

// The two halves of an atomic write, apart so that a test can stop between them.
// Returns the temporary file's path, or "" when it could not be written.
std::string WriteTemporaryFile(const std::string& path, const std::string& text);
bool CommitTemporaryFile(const std::string& temporary, const std::string& path);
// Both halves; a failure is reported with the write's title and text. True when written.
bool WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace gildmark
