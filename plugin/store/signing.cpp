#include "store/signing.h"

#include <chrono>
#include <cstring>

namespace gildmark {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256Hasher::Sha256Hasher() { std::memcpy(state_, kInitialState, sizeof(state_)); }

void Sha256Hasher::Compress(const uint8_t* block) {
  // The message schedule is kept as a rolling window of 16 words, and the rounds are unrolled
  // eight at a time so that the working variables stay in registers.
  uint32_t w[16];
  for (int i = 0; i < 16; ++i)
    w[i] = (uint32_t{block[4 * i]} << 24) | (uint32_t{block[4 * i + 1]} << 16) | (uint32_t{block[4 * i + 2]} << 8) |
           uint32_t{block[4 * i + 3]};
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  auto schedule = [&w](int i) {
    uint32_t& slot = w[i & 15];
    const uint32_t w15 = w[(i - 15) & 15], w2 = w[(i - 2) & 15];
    slot += (Rotr(w15, 7) ^ Rotr(w15, 18) ^ (w15 >> 3)) + w[(i - 7) & 15] + (Rotr(w2, 17) ^ Rotr(w2, 19) ^ (w2 >> 10));
    return slot;
  };
  auto round = [](uint32_t a, uint32_t b, uint32_t c, uint32_t& d, uint32_t e, uint32_t f, uint32_t g, uint32_t& h,
                  uint32_t k_plus_w) {
    const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k_plus_w;
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    d += t1;
    h = t1 + t2;
  };
  for (int i = 0; i < 64; i += 8) {
    auto word = [&](int j) { return kRoundConstants[j] + (j < 16 ? w[j] : schedule(j)); };
    round(a, b, c, d, e, f, g, h, word(i));
    round(h, a, b, c, d, e, f, g, word(i + 1));
    round(g, h, a, b, c, d, e, f, word(i + 2));
    round(f, g, h, a, b, c, d, e, word(i + 3));
    round(e, f, g, h, a, b, c, d, word(i + 4));
    round(d, e, f, g, h, a, b, c, word(i + 5));
    round(c, d, e, f, g, h, a, b, word(i + 6));
    round(b, c, d, e, f, g, h, a, word(i + 7));
  }
  state_[0] += a, state_[1] += b, state_[2] += c, state_[3] += d;
  state_[4] += e, state_[5] += f, state_[6] += g, state_[7] += h;
}

void Sha256Hasher::Update(const void* data, size_t length) {
  const auto* in = static_cast<const uint8_t*>(data);
  bit_length_ += static_cast<uint64_t>(length) * 8;
  if (fill_ > 0) {
    const size_t take = length < 64 - fill_ ? length : 64 - fill_;
    std::memcpy(buffer_ + fill_, in, take);
    fill_ += take, in += take, length -= take;
    if (fill_ < 64) return;
    Compress(buffer_);
    fill_ = 0;
  }
  for (; length >= 64; in += 64, length -= 64) Compress(in);
  std::memcpy(buffer_, in, length);
  fill_ = length;
}

void Sha256Hasher::Finish(uint8_t* out, size_t out_length) {
  const uint64_t bits = bit_length_;
  buffer_[fill_++] = 0x80;
  if (fill_ > 56) {
    std::memset(buffer_ + fill_, 0, 64 - fill_);
    Compress(buffer_);
    fill_ = 0;
  }
  std::memset(buffer_ + fill_, 0, 56 - fill_);
  for (int i = 0; i < 8; ++i) buffer_[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Compress(buffer_);
  fill_ = 0;
  uint8_t digest[32];
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (24 - 8 * j));
  std::memcpy(out, digest, out_length < 32 ? out_length : 32);
}

void Sha256(const void* data, uint32_t length, uint8_t* out, size_t out_length) {
  Sha256Hasher hasher;
  hasher.Update(data, length);
  hasher.Finish(out, out_length);
}

std::array<uint8_t, 32> HmacSha256(std::string_view key, std::string_view message) {
  uint8_t block[64] = {};
  if (key.size() <= 64) {
    std::memcpy(block, key.data(), key.size());
  } else {
    Sha256Hasher hasher;
    hasher.Update(key.data(), key.size());
    hasher.Finish(block, 32);
  }
  uint8_t pad[64];
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x36;
  uint8_t inner[32];
  Sha256Hasher inner_hasher;
  inner_hasher.Update(pad, 64);
  inner_hasher.Update(message.data(), message.size());
  inner_hasher.Finish(inner, 32);
  for (int i = 0; i < 64; ++i) pad[i] = block[i] ^ 0x5c;
  std::array<uint8_t, 32> mac{};
  Sha256Hasher outer_hasher;
  outer_hasher.Update(pad, 64);
  outer_hasher.Update(inner, 32);
  outer_hasher.Finish(mac.data(), 32);
  return mac;
}

std::string ToHexLower(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(length * 2, '0');
  for (size_t i = 0; i < length; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 0x0F];
  }
  return out;
}

std::string Base64Encode(const void* data, size_t length) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* in = static_cast<const uint8_t*>(data);
  std::string out;
  out.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (length - i == 1) {
    const uint32_t v = uint32_t{in[i]} << 16;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (length - i == 2) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

int64_t UnixTimeNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ComputeSignature(const SigningInput& input) {
  const std::string message = input.first_part + input.third_part + std::to_string(input.request_time);
  const auto mac = HmacSha256(input.second_part, message);
  const std::string hex = ToHexLower(mac.data(), mac.size());
  return Base64Encode(hex.data(), hex.size());
}

std::string AuthorizationHeader(const std::string& signature) {
  return "Authorization: Bearer SERVER_KEY:" + signature;
}

}  // namespace gildmark
