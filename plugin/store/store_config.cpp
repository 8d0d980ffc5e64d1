#include "store/store_config.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "host/host.h"
#include "support/server_instance.h"

namespace gildmark {

const char* const kConfigFileName = "config.json";
const char* const kDefaultConfigText =
    "{\n"
    "\"key\": \"YOUR_API_KEY\",\n"
    "\"request_interval_in_minutes\" : 1,\n"
    "\"order_received_text\" : \"Thank you for your purchase :)\"\n"
    "}";
const char* const kDefaultOrderReceivedText = "Thank you for your purchase :)";
const char* const kInvalidKeyMessage =
    "INVALID API KEY : Please set the key to a valid API Key in config.json then run cheat gildmark.connect. Make "
    "sure you copied the entire key on gildmark.com (CTRL+A then CTRL+C)";

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t dot = key.find('.', start);
    if (dot == std::string::npos) {
      pieces.push_back(key.substr(start));
      return pieces;
    }
    pieces.push_back(key.substr(start, dot - start));
    start = dot + 1;
  }
}

namespace {

// Blanks a paste may bring: ASCII white space and the no-break space (UTF-8 C2 A0).
std::string Trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  for (;;) {
    if (begin < end && std::strchr(" \t\r\n\v\f", text[begin]) && text[begin] != '\0') ++begin;
    else if (end - begin >= 2 && text.compare(begin, 2, "\xC2\xA0") == 0) begin += 2;
    else break;
  }
  for (;;) {
    if (end > begin && std::strchr(" \t\r\n\v\f", text[end - 1]) && text[end - 1] != '\0') --end;
    else if (end - begin >= 2 && text.compare(end - 2, 2, "\xC2\xA0") == 0) end -= 2;
    else break;
  }
  return text.substr(begin, end - begin);
}

// Keys are base64 or base64url text; the server id, in the URL's path, never holds "+" or "/".
bool HoldsOnlyKeyCharacters(const std::string& part, bool in_url) {
  for (const char c : part) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || c == '=';
    if (!plain && (in_url || (c != '+' && c != '/'))) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> KeyParts(const std::string& key) {
  std::vector<std::string> parts = SplitKey(Trimmed(key));
  if (parts.size() != 3) return {};
  for (size_t i = 0; i < parts.size(); ++i) {
    parts[i] = Trimmed(parts[i]);
    if (!HoldsOnlyKeyCharacters(parts[i], i == 0)) return {};
  }
  return parts;
}

namespace {

std::string TypeName(const nlohmann::json& value) { return value.type_name(); }

// The interval as the store client keeps it: integers must fit 32 bits, a fraction is cut
// toward zero, a boolean reads as 0 or 1.
bool ReadInterval(const nlohmann::json& value, int32_t& out) {
  constexpr auto kMin = std::numeric_limits<int32_t>::min();
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  if (value.is_boolean()) {
    out = value.get<bool>() ? 1 : 0;
    return true;
  }
  if (value.is_number_unsigned()) {
    const auto v = value.get<uint64_t>();
    if (v > static_cast<uint64_t>(kMax)) return false;
    out = static_cast<int32_t>(v);
    return true;
  }
  if (value.is_number_integer()) {
    const auto v = value.get<int64_t>();
    if (v < kMin || v > kMax) return false;
    out = static_cast<int32_t>(v);
    return true;
  }
  if (value.is_number_float()) {
    const double v = std::trunc(value.get<double>());
    if (!std::isfinite(v) || v < kMin || v > kMax) return false;
    out = static_cast<int32_t>(v);
    return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> ReadConfigMembers(const nlohmann::json& document, StoreConfig& config, bool& key_usable) {
  std::vector<std::string> problems;
  key_usable = false;
  if (!document.is_object()) {
    problems.push_back(std::string("config.json must hold a JSON object, but holds ") +
                       (document.is_null() ? "null or could not be read" : TypeName(document)));
    config.key.clear();
    config.request_interval_in_minutes = 1;
    config.order_received_text = host::FromUtf8(kDefaultOrderReceivedText);
    return problems;
  }

  auto key = document.find("key");
  if (key != document.end() && key->is_string()) {
    config.key = key->get<std::string>();
    key_usable = true;
  } else {
    config.key.clear();
    problems.push_back(key == document.end()
                           ? "config.json: \"key\" is missing; expected a string"
                           : "config.json: \"key\" must be a string, but is " + TypeName(*key));
  }

  auto interval = document.find("request_interval_in_minutes");
  if (interval == document.end()) {
    config.request_interval_in_minutes = 1;
    problems.push_back("config.json: \"request_interval_in_minutes\" is missing; expected a number, using 1");
  } else if (!ReadInterval(*interval, config.request_interval_in_minutes)) {
    config.request_interval_in_minutes = 1;
    problems.push_back("config.json: \"request_interval_in_minutes\" must be a number of minutes within 32 bits, "
                       "but is " + interval->dump() + "; using 1");
  }

  auto text = document.find("order_received_text");
  if (text != document.end() && text->is_string()) {
    config.order_received_text = host::FromUtf8(text->get<std::string>());
  } else {
    config.order_received_text = host::FromUtf8(kDefaultOrderReceivedText);
    problems.push_back(text == document.end()
                           ? "config.json: \"order_received_text\" is missing; expected a string, using the default"
                           : "config.json: \"order_received_text\" must be a string, but is " + TypeName(*text) +
                                 "; using the default");
  }
  return problems;
}

nlohmann::json ConfigForInstance(const nlohmann::json& document, const std::string& instance, bool& listed,
                                 std::vector<std::string>& problems) {
  listed = false;
  if (!document.is_object()) return document;
  auto servers = document.find("servers");
  if (servers == document.end()) return document;
  if (!servers->is_object()) {
    problems.push_back("config.json: \"servers\" must be an object of server names, but is " + TypeName(*servers) +
                       "; ignored");
    return document;
  }
  // The admin may write the name as they gave it, before unsafe characters became "_".
  auto entry = servers->find(instance);
  for (auto it = servers->begin(); entry == servers->end() && it != servers->end(); ++it)
    if (SafeFileName(it.key()) == instance) entry = it;
  if (entry == servers->end()) return document;
  listed = true;
  if (!entry->is_object()) {
    problems.push_back("config.json: the entry of this server (\"" + instance +
                       "\") under \"servers\" must be an object, but is " + TypeName(*entry) +
                       "; the top-level members are used");
    return document;
  }
  nlohmann::json merged = document;
  merged.erase("servers");
  for (const auto& [member, value] : entry->items()) merged[member] = value;
  return merged;
}

int TimerPeriodSeconds(int interval_in_minutes) {
  if (interval_in_minutes <= 0) return 60;
  const long long seconds = static_cast<long long>(interval_in_minutes) * 60;
  return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

}  // namespace gildmark
