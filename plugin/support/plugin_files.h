// The plugin directory and the JSON file store: every file of the plugin lives in
// <server dir>/ArkApi/Plugins/Gildmark_DadUZ/, which the plugin never creates. The store's
// operations never throw: a file that cannot be read leaves the caller's value alone, and a
// file that does not hold exactly one JSON value counts as missing.
//
// Writes never leave a half-written file: the text goes to a temporary of this process's own
// beside the file (TemporaryPathFor), which is then renamed
// over the target, so a stop or a failed write at any moment leaves either the old or the new
// content. A write that fails is told on the error route, since it may lose data; a missing
// file when reading is not.
#pragma once

#include <chrono>
#include <string>

#include "json.hpp"
#include "support/file_access.h"

namespace gildmark {

class JsonFileStore {
 public:
  enum class ReadOutcome { value, missing, invalid, unreadable };

  static std::string PluginDirectory();
  // config.json and the installation's own files at the top; the rest in this instance's folder.
  static std::string PathOf(const std::string& name);
  // Creates the file with the default text when missing; when it exists but is not valid JSON,
  // keeps it as "<name>.broken", writes the default and says so on the error route. A file that
  // exists but cannot be read is left alone, and reported unless the caller tells it itself.
  // `replacement` says in the message what took the file's place and what that means.
  static void EnsureJson(const std::string& name, const std::string& default_text, bool tell_unreadable = true,
                         const std::string& replacement = "the default text");
  static bool ReplaceText(const std::string& path, const std::string& text);
  static void ReadJson(const std::string& name, nlohmann::json& value);
  // ReadJson that also says why there was no value.
  static ReadOutcome ReadJsonFile(const std::string& name, nlohmann::json& value);
  // True when written; a failure is reported. `durable`: the new text has reached the disk
  // when this returns (for a file whose backup is deleted next).
  static bool WriteText(const std::string& name, const std::string& text, bool durable = false);

  // Exactly one JSON value with nothing but whitespace after it; empty text is not valid.
  static bool IsValidJson(const std::string& text);
  // The file's lines, each followed by a line feed; false when the file cannot be read.
  static bool CollectText(const std::string& path, std::string& text);
};

// "<path>.<instance>.<process id>.tmp": the temporary of an atomic write, this process's own.
std::string TemporaryPathFor(const std::string& path);
// Temporaries older than this in `folder` (of any process, and of older versions' "<path>.tmp")
// are removed: what a stopped or killed process left. Quiet; a file that stays is harmless.
inline constexpr std::chrono::minutes kStaleTemporaryAge{10};
void RemoveStaleTemporaryFiles(const std::string& folder);
// The two halves of an atomic write, apart so that a test can stop between them.
// Returns the temporary file's path, or "" when it could not be written.
std::string WriteTemporaryFile(const std::string& path, const std::string& text, bool durable = false);
bool CommitTemporaryFile(const std::string& temporary, const std::string& path, bool durable = false);
// Both halves; a failure is reported with the write's title and text. True when written.
bool WriteFileAtomically(const std::string& path, const std::string& text, bool durable = false);
// "Can't write to <path>: ..." on the error route, with the system's reason; silent when the
// plugin directory itself is missing, since then nothing can be kept and every write would say so.
void ReportWriteProblem(const std::string& path);
// Says on the error route that the plugin folder is missing, when it is; true when it is there.
bool CheckPluginDirectory();

}  // namespace gildmark
