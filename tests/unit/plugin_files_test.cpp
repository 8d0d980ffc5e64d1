// The JSON file store: strict acceptance, exact bytes, atomic writes, the ".broken" copy, and
// silence where the plugin directory is missing.
#include <chrono>
#include <filesystem>

#include "host/server_process.h"

#include "plugin_fixture.h"

namespace gildmark::testing {
namespace {

using FileStoreTest = PluginTest;

TEST_F(FileStoreTest, AcceptsExactlyOneJsonValue) {
  for (const char* valid : {"{}", "[]", "null", "0", "\"\"", " {\"a\":1}\n\n", "{}\n"})
    EXPECT_TRUE(JsonFileStore::IsValidJson(valid)) << valid;
  for (const char* invalid : {"", "  \n\t ", "{", "{} x", "{}{}", "// c\n{}", "[1,]", "nul"})
    EXPECT_FALSE(JsonFileStore::IsValidJson(invalid)) << invalid;
}

TEST_F(FileStoreTest, EnsureJsonCreatesKeepsOrReplaces) {
  JsonFileStore::EnsureJson("a.json", "{\"x\": 1}");
  EXPECT_EQ(Read("a.json"), "{\"x\": 1}");
  EXPECT_FALSE(Exists("a.json.broken"));
  EXPECT_TRUE(Lines("err.log").empty()) << "a missing file is created silently";

  for (const char* kept : {"[]", "null", "{\"y\":2}\n"}) {
    Write("b.json", kept);
    JsonFileStore::EnsureJson("b.json", "{}");
    EXPECT_EQ(Read("b.json"), kept);
  }

  Write("c.json", "{ \"key\": \"abc.def\" ");
  JsonFileStore::EnsureJson("c.json", "{}");
  EXPECT_EQ(Read("c.json"), "{}");
  EXPECT_EQ(Read("c.json.broken"), "{ \"key\": \"abc.def\" ") << "the admin's text is kept";
  ASSERT_EQ(LogMessages("err.log").size(), 1u);
  EXPECT_NE(LogMessages("err.log")[0].find("c.json.broken"), std::string::npos);

  // A later broken file replaces the older copy.
  Write("c.json", "{} x");
  JsonFileStore::EnsureJson("c.json", "{}");
  EXPECT_EQ(Read("c.json.broken"), "{} x");
  Write("d.json", "");
  JsonFileStore::EnsureJson("d.json", "[]");
  EXPECT_EQ(Read("d.json"), "[]");
}

TEST_F(FileStoreTest, ReadJsonReplacesTheValueOnlyWhenValid) {
  nlohmann::json value;
  JsonFileStore::ReadJson("missing.json", value);
  EXPECT_TRUE(value.is_null());

  Write("r.json", "{\"a\":[1,2]}");  // no final line feed
  JsonFileStore::ReadJson("r.json", value);
  EXPECT_EQ(value, nlohmann::json::parse("{\"a\":[1,2]}"));

  Write("r.json", "{\"a\":");
  JsonFileStore::ReadJson("r.json", value);
  EXPECT_EQ(value, nlohmann::json::parse("{\"a\":[1,2]}")) << "a corrupt file leaves the value alone";
  Write("r.json", "{} x");
  JsonFileStore::ReadJson("r.json", value);
  EXPECT_EQ(value, nlohmann::json::parse("{\"a\":[1,2]}"));
  Write("r.json", "null\n");
  JsonFileStore::ReadJson("r.json", value);
  EXPECT_TRUE(value.is_null());
  EXPECT_TRUE(Lines("err.log").empty());
}

TEST_F(FileStoreTest, WritesAreExactAndAtomic) {
  JsonFileStore::WriteText("response.json", "{}");
  EXPECT_EQ(Read("response.json"), "{}");
  EXPECT_EQ(std::filesystem::file_size(Dir() + "response.json"), 2u);

  // A stop between writing the temporary file and the rename leaves the old content.
  const std::string path = JsonFileStore::PathOf("response.json");
  const std::string temporary = WriteTemporaryFile(path, "{\"1\":{}}");
  ASSERT_FALSE(temporary.empty());
  EXPECT_EQ(Read("response.json"), "{}");
  nlohmann::json value;
  JsonFileStore::ReadJson("response.json", value);
  EXPECT_EQ(value, nlohmann::json::object());
  // The next write goes through, whatever the stale temporary file holds.
  JsonFileStore::WriteText("response.json", "{\"2\":{}}");
  EXPECT_EQ(Read("response.json"), "{\"2\":{}}");
  EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(FileStoreTest, AFailedWriteIsReportedAndLosesNothing) {
  JsonFileStore::WriteText("response.json", "{\"keep\":1}");
  // A directory where the temporary file would go makes the write fail.
  std::filesystem::create_directory(TemporaryPathFor(Dir() + "response.json"));
  JsonFileStore::WriteText("response.json", "{}");
  EXPECT_EQ(Read("response.json"), "{\"keep\":1}");
  ASSERT_EQ(LogMessages("err.log").size(), 1u);
  EXPECT_EQ(LogMessages("err.log")[0].rfind("Can't write to " + Dir() + "response.json", 0), 0u);
}

// Servers of one installation write beside the same files, at start outside any turn: each
// process has temporaries of its own, and what a dead one left is cleaned up at the next start.
TEST_F(FileStoreTest, TemporariesAreEachProcesssOwnAndStaleOnesGo) {
  WriteConfig();
  sim().SetLaunchLine("ArkAscendedServer TheIsland_WP?Port=7781");
  const std::string pid = std::to_string(host::ProcessId());
  namespace fs = std::filesystem;
  const auto age = [&](const std::string& name, std::chrono::minutes minutes) {
    Write(name, "x");
    fs::last_write_time(Dir() + name, fs::file_time_type::clock::now() - minutes);
  };
  age("response.json.tmp", std::chrono::minutes(60));                     // an older version's
  age("security_admin.dat.Other-7777.4242.tmp", std::chrono::minutes(11));  // a dead process's
  age("response.json.Other-7777.4242.tmp", std::chrono::minutes(1));        // a live one's, maybe
  age("notes.txt", std::chrono::minutes(600));                              // not ours at all
  StartClient();
  EXPECT_EQ(TemporaryPathFor(Dir() + "response.json"), Dir() + "response.json.TheIsland_WP-7781." + pid + ".tmp");
  EXPECT_FALSE(Exists("response.json.tmp"));
  EXPECT_FALSE(Exists("security_admin.dat.Other-7777.4242.tmp"));
  EXPECT_TRUE(Exists("response.json.Other-7777.4242.tmp"));
  EXPECT_TRUE(Exists("notes.txt"));
  // Another process writing a temporary of the same file (under the one name all used to
  // share, or under its own) does not stand in the way of this one's write.
  fs::create_directory(Dir() + "response.json.tmp");
  fs::create_directory(Dir() + "response.json.TheIsland_WP-7781.1.tmp");
  EXPECT_TRUE(JsonFileStore::WriteText("response.json", "{\"x\":1}"));
  EXPECT_EQ(Read("response.json"), "{\"x\":1}");
}

TEST_F(FileStoreTest, AMissingPluginDirectoryIsSilent) {
  std::filesystem::remove_all(Dir());
  JsonFileStore::EnsureJson("config.json", "{}");
  JsonFileStore::WriteText("response.json", "{}");
  nlohmann::json value = 5;
  JsonFileStore::ReadJson("config.json", value);
  EXPECT_EQ(value, 5);
  EXPECT_FALSE(std::filesystem::exists(Dir())) << "the plugin never creates its directory";
  for (auto& line : sim().HostLog()) ADD_FAILURE() << "unexpected host log line: " << line;
}

}  // namespace
}  // namespace gildmark::testing
