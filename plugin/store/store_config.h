// config.json: the API key, the poll interval and the greeting, for the whole installation or,
// under "servers", for one server of it. The file is created with the
// default text when missing; a file of the wrong shape never throws: each unusable member is
// told on the error route and replaced (key: invalid, interval: 1, greeting: the default),
// and the admin's file is left as it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.hpp"

#include "host/host.h"

namespace gildmark {

struct StoreConfig {
  std::string key;
  int32_t request_interval_in_minutes = 0;
  FString order_received_text;
};

extern const char* const kConfigFileName;
extern const char* const kDefaultConfigText;
extern const char* const kDefaultOrderReceivedText;
extern const char* const kInvalidKeyMessage;

// Pieces of the key at every "."; pieces may be empty, and there is always one more than dots.
std::vector<std::string> SplitKey(const std::string& key);
// The key's three parts as the store issued them, or none. A paste brings spaces, tabs, line
// breaks and no-break spaces around the key (and around its parts): those are dropped. A part
// holding a character no key holds makes the key invalid: the first part goes into the request's
// URL, where a "?" or "/" would change what is asked.
std::vector<std::string> KeyParts(const std::string& key);

// The document with the members of this server's entry under "servers" laid over the top-level
// ones. `listed`: the document has an entry for `instance` (compared as a safe file name, the form
// instance names take). What is wrong with "servers" or the entry is added to `problems`, and
// ignored.
nlohmann::json ConfigForInstance(const nlohmann::json& document, const std::string& instance, bool& listed,
                                 std::vector<std::string>& problems);

// Reads the three members of a config document into `config`; returns one text per member that
// could not be used, saying what was expected. `key_usable` is false when "key" was unusable.
std::vector<std::string> ReadConfigMembers(const nlohmann::json& document, StoreConfig& config, bool& key_usable);

// The poll period for an interval in minutes: at least 60 seconds, without overflow.
int TimerPeriodSeconds(int interval_in_minutes);

}  // namespace gildmark
