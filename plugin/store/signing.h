// Request signing: SHA-256 (FIPS 180-4), HMAC-SHA256 (RFC 2104), lower-case hex and Base64
// (RFC 4648), written here so the plugin carries no crypto library. A request is signed with
// HMAC-SHA256 keyed by the second key part over first part + third part + request time; the
// signature is the Base64 of the MAC's hex text. Pure computation, safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace gildmark {

class Sha256Hasher {
 public:
  Sha256Hasher();
  void Update(const void* data, size_t length);
  // Writes the first min(out_length, 32) bytes of the digest.
  void Finish(uint8_t* out, size_t out_length = 32);

 private:
  void Compress(const uint8_t* block);
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t fill_ = 0;
  uint64_t bit_length_ = 0;
};

void Sha256(const void* data, uint32_t length, uint8_t* out, size_t out_length);
std::array<uint8_t, 32> HmacSha256(std::string_view key, std::string_view message);
std::string ToHexLower(const uint8_t* data, size_t length);
std::string Base64Encode(const void* data, size_t length);

// Whole seconds since 1970-01-01 UTC.
int64_t UnixTimeNow();

struct SigningInput {
  std::string first_part;
  std::string second_part;
  std::string third_part;
  int64_t request_time = 0;
};

// The 88-character signature of a request.
std::string ComputeSignature(const SigningInput& input);
// "Authorization: Bearer SERVER_KEY:" + signature.
std::string AuthorizationHeader(const std::string& signature);

}  // namespace gildmark
