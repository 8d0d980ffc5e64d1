// The plugin's WinHTTP client under Wine, against gildmark-storesim over HTTPS on loopback
// (scripts/winhttp_test.sh starts the stores and exports their ports): a store whose
// certificate comes from an authority the system trusts answers and delivers; a self-signed
// certificate and one for another name are refused and nothing runs; unload with a request
// outstanding neither crashes nor calls back.
#include <windows.h>
#include <wincrypt.h>

#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "host/store_https.h"
#include "plugin_fixture.h"
#include "store/request_cycle.h"

namespace gildmark::testing {
namespace {

using nlohmann::json;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string Base(const char* port_variable) { return "https://localhost:" + Env(port_variable); }

// The test authority into the local machine's Root store, where WinHTTP looks for trust.
bool TrustTestAuthority() {
  std::ifstream in(Env("GILDMARK_TEST_CA"), std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (!store) return false;
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()),
                                                      static_cast<DWORD>(der.size()),
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(store, 0);
  return added != FALSE;
}

class WinHttpTest : public PluginTest {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(TrustTestAuthority()) << "GILDMARK_TEST_CA: " << Env("GILDMARK_TEST_CA"); }
  void TearDown() override {
    host::StopHttps();
    PluginTest::TearDown();
  }
  // Frames until `done`, or 40 s.
  static bool Until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (std::chrono::steady_clock::now() < deadline) {
      sim().RunUntilIdle();
      host::RunHttpsCompletions();  // what the plugin's frame callback does, when there is one
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  static host::HttpsReply Fetch(const std::string& url, const std::string& method = "GET",
                                const std::string& body = "") {
    host::HttpsRequest request;
    request.method = method;
    request.url = url;
    request.body = body;
    request.content_type = "application/json";
    host::HttpsReply reply;
    bool done = false;
    EXPECT_TRUE(host::SendHttps(request, [&](host::HttpsReply r) { reply = std::move(r), done = true; }));
    EXPECT_TRUE(Until([&] { return done; })) << url;
    return reply;
  }
  // The plugin against the store at `base`, with a buyer online: its first cycle, then a poll.
  void PollStoreAt(const std::string& base) {
    _putenv_s("GILDMARK_TEST_STORE_BASE", base.c_str());
    WriteConfig(Env("GILDMARK_TEST_KEY"));
    if (!sim().Player("E1")) sim().Join("E1", 7, "Buyer");
    new StoreClient();
    ASSERT_TRUE(Until([] { return host::OutstandingHttps() == 0; }));
    WaitOutBackoff();
    g_store_client->RunRequestCycle(true, false);
    // The answer, its delivery (slices from frames, the results written off the game thread)
    // and the POST of its results.
    ASSERT_TRUE(Until([] {
      return host::OutstandingHttps() == 0 && !g_store_client->delivery && host::PendingOffGameThreadWork() == 0;
    }));
    delete g_store_client;
  }
};

TEST_F(WinHttpTest, ATrustedStoreAnswersWithStatusBodyAndRetryAfter) {
  ASSERT_TRUE(host::StartHttps());
  host::HttpsReply state = Fetch(Base("GILDMARK_TRUSTED_PORT") + "/_sim/state");
  ASSERT_EQ(state.failure, host::HttpsFailure::none) << state.error;
  EXPECT_EQ(state.status, 200);
  EXPECT_TRUE(json::parse(state.body).contains("waiting"));

  Fetch(Base("GILDMARK_TRUSTED_PORT") + "/_sim/faults", "POST",
        R"({"status_every":1,"status":429,"retry_after":"600","only":"GET"})");
  host::HttpsReply refused = Fetch(Base("GILDMARK_TRUSTED_PORT") + "/v1/store/server/srv/commands?time=1");
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.retry_after, "600");
  Fetch(Base("GILDMARK_TRUSTED_PORT") + "/_sim/faults", "POST", "{}");

  host::HttpsRequest plain;
  plain.method = "GET";
  plain.url = "http://localhost:" + Env("GILDMARK_TRUSTED_PORT") + "/_sim/state";
  EXPECT_FALSE(host::SendHttps(plain, [](host::HttpsReply) {})) << "https only";
}

TEST_F(WinHttpTest, ASelfSignedStoreAndAStoreOfAnotherNameAreRefused) {
  ASSERT_TRUE(host::StartHttps());
  for (const char* port : {"GILDMARK_SELF_PORT", "GILDMARK_WRONG_PORT"}) {
    host::HttpsReply reply = Fetch(Base(port) + "/_sim/state");
    EXPECT_EQ(reply.failure, host::HttpsFailure::certificate) << port << ": " << reply.error;
    EXPECT_TRUE(reply.body.empty());
  }
}

TEST_F(WinHttpTest, ThePluginDeliversFromTheTrustedStoreOnly) {
  for (const char* port : {"GILDMARK_SELF_PORT", "GILDMARK_WRONG_PORT"}) {
    PollStoreAt(Base(port));
    EXPECT_TRUE(CommandsRun().empty()) << port;
  }
  const auto errors = LogMessages("err.log");
  ASSERT_FALSE(errors.empty());
  EXPECT_NE(errors[0].find("certificate not trusted"), std::string::npos) << errors[0];

  PollStoreAt(Base("GILDMARK_TRUSTED_PORT"));
  EXPECT_EQ(CommandTexts(), std::vector<std::string>{"give E1 1"});
  EXPECT_EQ(Read("response.json"), "{}") << "the results were posted and acknowledged";
}

TEST_F(WinHttpTest, UnloadWithARequestOutstandingNeitherCrashesNorCallsBack) {
  _putenv_s("GILDMARK_TEST_STORE_BASE", Base("GILDMARK_SLOW_PORT").c_str());
  WriteConfig(Env("GILDMARK_TEST_KEY"));
  // The library's full path as the system names it, by which the host unloads the module.
  const std::string path =
      std::filesystem::absolute(std::filesystem::path(GILDMARK_WINHTTP_PLUGIN_PATH)).make_preferred().string();
  std::string error;
  void* library = sim().LoadPlugin(path, &error);
  ASSERT_NE(library, nullptr) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the first GET is on the wire
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim().UnloadPlugin(library, path));
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_EQ(GetModuleHandleA(path.c_str()), nullptr) << "freed";
  // The store answers after 6 s; nothing of the plugin may run then.
  std::this_thread::sleep_for(std::chrono::seconds(7));
  sim().Advance(2);
  EXPECT_TRUE(sim().EscapedExceptions().empty());
  std::cout << "unload with a request outstanding took "
            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
}

}  // namespace
}  // namespace gildmark::testing
