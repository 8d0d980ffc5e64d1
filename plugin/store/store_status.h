// gildmark.status: what the plugin knows now, in short lines for RCON tools and chat. It is
// answered at once from the plugin's own records and small files; it never waits for the store
// and sends nothing. It names no part of the key but the server id.
#pragma once

#include <string>

namespace gildmark {

class StoreClient;

inline constexpr const char* kPluginVersion = "1.0";
inline constexpr const char* kStatusCommand = "gildmark.status";

// What the store said last, to any request (`at` < 0: nothing yet).
struct StoreAnswerNote {
  double at = -1;      // game seconds
  std::string method;  // GET or POST
  std::string what;    // "success", or the failure in a few words ("503 Service Unavailable: ...")
};

// The lines of the status, joined by line feeds. `client` may be null (the store client could
// not start).
std::string StatusText(StoreClient* client);

}  // namespace gildmark
