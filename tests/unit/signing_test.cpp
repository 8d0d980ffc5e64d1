// Signing: known answers from FIPS 180-4, RFC 4231 and RFC 4648, random inputs checked
// against OpenSSL, and whole request signatures recomputed with OpenSSL.
#include <gtest/gtest.h>
#if GILDMARK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#endif

#include <cstring>
#include <random>

#include <fmt/format.h>

#include "plugin_fixture.h"
#include "store/signing.h"
#include "store/store_client.h"

namespace gildmark {
namespace {

std::string Sha256Hex(const std::string& data) {
  uint8_t digest[32];
  Sha256(data.data(), static_cast<uint32_t>(data.size()), digest, 32);
  return ToHexLower(digest, 32);
}

std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string HmacHex(const std::string& key, const std::string& message) {
  const auto mac = HmacSha256(key, message);
  return ToHexLower(mac.data(), mac.size());
}

#if GILDMARK_HAVE_OPENSSL
std::string OpenSslSignature(const std::string& first, const std::string& second, const std::string& third,
                             int64_t time) {
  const std::string message = first + third + std::to_string(time);
  unsigned char mac[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), second.data(), static_cast<int>(second.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &length);
  std::string hex;
  for (unsigned i = 0; i < length; ++i) hex += fmt::format("{:02x}", mac[i]);
  unsigned char b64[128];
  const int n = EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(hex.data()), static_cast<int>(hex.size()));
  return std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(n));
}
#endif  // GILDMARK_HAVE_OPENSSL

TEST(Sha256Test, KnownAnswersFromFips180) {
  // FIPS 180-4 examples (NIST CSRC "Examples with intermediate values").
  EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(Sha256Hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                      "mnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(Sha256Hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

#if GILDMARK_HAVE_OPENSSL
TEST(Sha256Test, PiecesAndShortOutputsMatchOpenSsl) {
  std::mt19937 rng(42);
  for (size_t length = 0; length <= 300; ++length) {
    std::string data(length, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    unsigned char expected[32];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), expected);

    Sha256Hasher hasher;
    size_t at = 0;
    while (at < length) {  // random piece sizes, including empty ones
      const size_t piece = std::min<size_t>(rng() % 70, length - at);
      hasher.Update(data.data() + at, piece);
      at += piece;
    }
    uint8_t got[32];
    hasher.Finish(got, 32);
    ASSERT_EQ(0, memcmp(got, expected, 32)) << "length " << length;
  }
  uint8_t shorter[40] = {};
  Sha256("abc", 3, shorter, 5);
  EXPECT_EQ(ToHexLower(shorter, 6), "ba7816bf8f00");
  Sha256("abc", 3, shorter, 40);
  EXPECT_EQ(shorter[32], 0) << "at most 32 bytes are written";
}
#endif  // GILDMARK_HAVE_OPENSSL

TEST(HmacTest, Rfc4231TestCases) {
  // RFC 4231 section 4, HMAC-SHA-256 results; case 5 is truncated to 128 bits there.
  EXPECT_EQ(HmacHex(std::string(20, '\x0b'), "Hi There"),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(HmacHex("Jefe", "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(HmacHex(std::string(20, '\xaa'), std::string(50, '\xdd')),
            "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
  EXPECT_EQ(HmacHex(FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd')),
            "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
  EXPECT_EQ(HmacHex(std::string(20, '\x0c'), "Test With Truncation").substr(0, 32), "a3b6167473100ee06e0c796c2955552b");
  EXPECT_EQ(HmacHex(std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  EXPECT_EQ(HmacHex(std::string(131, '\xaa'),
                    "This is a test using a larger than block-size key and a larger than block-size data. The key "
                    "needs to be hashed before being used by the HMAC algorithm."),
            "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

#if GILDMARK_HAVE_OPENSSL
TEST(HmacTest, KeysAroundTheBlockSizeMatchOpenSsl) {
  std::mt19937 rng(7);
  for (size_t key_length : {0u, 1u, 63u, 64u, 65u, 200u}) {
    for (size_t message_length : {0u, 1u, 55u, 56u, 64u, 119u, 300u}) {
      std::string key(key_length, '\0'), message(message_length, '\0');
      for (auto& c : key) c = static_cast<char>(rng());
      for (auto& c : message) c = static_cast<char>(rng());
      unsigned char expected[32];
      unsigned int n = 0;
      HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), expected, &n);
      const auto got = HmacSha256(key, message);
      ASSERT_EQ(0, memcmp(got.data(), expected, 32)) << key_length << "/" << message_length;
    }
  }
}
#endif  // GILDMARK_HAVE_OPENSSL

TEST(Base64Test, Rfc4648Vectors) {
  // RFC 4648 section 10.
  const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (auto [in, out] : vectors) EXPECT_EQ(Base64Encode(in, strlen(in)), out);
  const unsigned char high[] = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(Base64Encode(high, 3), "+/+/");
}

#if GILDMARK_HAVE_OPENSSL
TEST(SignatureTest, MatchesOpenSslForAnyKeyAndTime) {
  std::mt19937 rng(11);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_/? ";
  auto random_text = [&](size_t max) {
    std::string s(rng() % (max + 1), 'a');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 300; ++i) {
    SigningInput input{random_text(40), random_text(i % 3 == 0 ? 130 : 64), random_text(40),
                       static_cast<int64_t>(rng()) * (i % 5 == 0 ? -1 : 1)};
    const std::string signature = StoreClient::SignRequest(input);
    ASSERT_EQ(signature, OpenSslSignature(input.first_part, input.second_part, input.third_part, input.request_time));
    ASSERT_EQ(signature.size(), 88u);
    ASSERT_EQ(signature.substr(86), "==");
    ASSERT_EQ(signature.find_first_of("+/"), std::string::npos) << "hex text never encodes to + or /";
  }
}
#endif  // GILDMARK_HAVE_OPENSSL

using SignedUrlTest = testing::PluginTest;

TEST_F(SignedUrlTest, OnlyTheRightPartsChangeTheUrlAndSignature) {
  const int64_t t = 1765104493;
  // The URL carries the first part only: the second and third change the signature alone.
  WriteConfig("ab.secret.c");
  StoreClient& client = StartClient();
  const std::string url = client.BuildCommandsUrl(t);
  EXPECT_EQ(url, "https://api.gildmark.com/v1/store/server/ab/commands?time=1765104493");
  client.key_parts = {"ab", "secreT", "d"};
  EXPECT_EQ(client.BuildCommandsUrl(t), url);
  client.key_parts = {"a", "secret", "bc"};
  EXPECT_NE(client.BuildCommandsUrl(t), url);
  EXPECT_NE(client.BuildCommandsUrl(t + 1), client.BuildCommandsUrl(t));

  const SigningInput base{"ab", "secret", "c", t};
  const std::string sig = StoreClient::SignRequest(base);
  EXPECT_EQ(sig, StoreClient::SignRequest({"a", "secret", "bc", t})) << "no separator between the pieces";
  EXPECT_NE(sig, StoreClient::SignRequest({"ab", "secreT", "c", t}));
  EXPECT_NE(sig, StoreClient::SignRequest({"ab", "secret", "d", t}));
  EXPECT_NE(sig, StoreClient::SignRequest({"ab", "secret", "c", t + 1}));
  EXPECT_EQ(AuthorizationHeader(sig), "Authorization: Bearer SERVER_KEY:" + sig);
#if GILDMARK_HAVE_OPENSSL
  // A fixed vector, recomputed independently.
  EXPECT_EQ(StoreClient::SignRequest({"srv1", "secret2", "third3", 1765104493}),
            OpenSslSignature("srv1", "secret2", "third3", 1765104493));
#endif
}

TEST(UnixTimeTest, IsTheSystemClockInSeconds) {
  const int64_t before = static_cast<int64_t>(time(nullptr));
  const int64_t now = UnixTimeNow();
  EXPECT_GE(now, before);
  EXPECT_LE(now, before + 2);
}

}  // namespace
}  // namespace gildmark
