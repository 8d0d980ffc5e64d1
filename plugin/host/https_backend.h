// What the system's HTTPS client does for store_https.cpp: take a request and report exactly one
// reply, from any thread, unless it is destroyed first. Destroying it cancels what is
// outstanding and returns only when no report can come any more. WinHTTP on Windows; on Linux
// (and in the Windows test build) the stand-in host's system client.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "host/store_https.h"

#if defined(_WIN32) && !defined(GILDMARK_SYSTEM_HTTPS_STAND_IN)
#define GILDMARK_HTTPS_WINHTTP 1
#endif

namespace gildmark::host {

class HttpsBackend {
 public:
  using Report = std::function<void(uint64_t id, HttpsReply reply)>;
  virtual ~HttpsBackend() = default;
  // False when the request cannot be taken; `report` is then never called for it.
  virtual bool Start(uint64_t id, HttpsRequest request) = 0;
};

// Null when the system's client cannot be set up.
std::unique_ptr<HttpsBackend> MakeHttpsBackend(HttpsBackend::Report report);

}  // namespace gildmark::host
