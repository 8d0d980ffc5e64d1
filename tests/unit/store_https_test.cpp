// The plugin's own HTTPS client over the stand-in's system client: https only, what came back
// passed on whole, completions only on the game thread's frames, and nothing after a stop.
#include "host/store_https.h"
#include "plugin_fixture.h"
#include "sim/system_https.h"

namespace gildmark::testing {
namespace {

class StoreHttpsTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(host::StartHttps());
  }
  void TearDown() override {
    host::StopHttps();
    PluginTest::TearDown();
  }
  static host::HttpsRequest Get(const std::string& url) {
    host::HttpsRequest request;
    request.method = "GET";
    request.url = url;
    return request;
  }
};

TEST_F(StoreHttpsTest, OnlyHttpsAndEveryPartOfTheAnswer) {
  std::vector<host::HttpsReply> replies;
  auto keep = [&](host::HttpsReply reply) { replies.push_back(std::move(reply)); };
  EXPECT_FALSE(host::SendHttps(Get("http://api.gildmark.com/x"), keep));
  EXPECT_FALSE(host::SendHttps(Get("ftp://api.gildmark.com/x"), keep));
  EXPECT_FALSE(host::SendHttps(Get("https://"), keep));
  EXPECT_TRUE(sim().Events("http_request").empty());
  ASSERT_TRUE(host::SendHttps(Get("HTTPS://api.gildmark.com/a"), keep));
  ASSERT_TRUE(host::SendHttps(Get("https://api.gildmark.com/b"), keep));
  ASSERT_TRUE(host::SendHttps(Get("https://api.gildmark.com/c"), keep));
  EXPECT_EQ(host::OutstandingHttps(), 3u);

  sim().Scripted().CompleteNext(429, "wait", {{"retry-after", "120"}});
  sim().Scripted().CompleteNext(204, "");
  sim().Scripted().FailNext(sim::HttpFailure::certificate, "self-signed certificate");
  sim().RunQueue();
  EXPECT_TRUE(replies.empty()) << "completions run on a frame of the game thread";
  host::RunHttpsCompletions();
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].status, 429);
  EXPECT_EQ(replies[0].body, "wait");
  EXPECT_EQ(replies[0].retry_after, "120") << "header names in any case";
  EXPECT_FALSE(replies[0].Ok());
  EXPECT_EQ(replies[1].status, 204);
  EXPECT_TRUE(replies[1].Ok());
  EXPECT_EQ(replies[2].failure, host::HttpsFailure::certificate);
  EXPECT_EQ(replies[2].error, "self-signed certificate");
  EXPECT_EQ(host::OutstandingHttps(), 0u);
}

TEST_F(StoreHttpsTest, AStopCancelsWhatIsOutstandingAndDropsWhatArrived) {
  int calls = 0;
  ASSERT_TRUE(host::SendHttps(Get("https://a/1"), [&](host::HttpsReply) { ++calls; }));
  ASSERT_TRUE(host::SendHttps(Get("https://a/2"), [&](host::HttpsReply) { ++calls; }));
  sim().Scripted().CompleteNext(200, "[]");
  sim().RunQueue();  // arrived, not yet run
  host::StopHttps();
  EXPECT_EQ(sim::OutstandingSystemHttps(), 0u) << "the system was told to cancel";
  sim().Scripted().CompleteNext(200, "[]");
  sim().RunUntilIdle();
  host::RunHttpsCompletions();
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(host::SendHttps(Get("https://a/3"), [&](host::HttpsReply) { ++calls; })) << "stopped";
  ASSERT_TRUE(host::StartHttps()) << "and it starts again";
  EXPECT_TRUE(host::SendHttps(Get("https://a/4"), [&](host::HttpsReply) { ++calls; }));
}

}  // namespace
}  // namespace gildmark::testing
