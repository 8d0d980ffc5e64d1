// The system's HTTPS client on Windows: WinHTTP, synchronous, on one worker thread of the
// plugin. Certificate and host-name checks stay on (no SECURITY_FLAG_IGNORE_* anywhere); the
// system's trusted roots and its proxy settings apply; redirects are not followed.
#include "host/https_backend.h"

#ifdef GILDMARK_HTTPS_WINHTTP

#include "host/windows_headers.h"
#include <winhttp.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif
#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
#define WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3 0x00002000
#endif

namespace gildmark::host {

namespace {

using Clock = std::chrono::steady_clock;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length, nullptr, nullptr);
  return out;
}

HttpsReply Failure(HttpsFailure kind, const std::string& error) {
  HttpsReply reply;
  reply.failure = kind;
  reply.error = error;
  return reply;
}

// Windows names the certificate failures by several codes (Wine by others again); all of them
// mean that nothing from that server may be trusted.
HttpsReply FromError(DWORD code, const char* step) {
  const std::string where = std::string(step) + " failed with WinHTTP error " + std::to_string(code);
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT: return Failure(HttpsFailure::timeout, where);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA: return Failure(HttpsFailure::certificate, where);
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
      return Failure(HttpsFailure::certificate, "the certificate is for another name (" + where + ")");
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
      return Failure(HttpsFailure::certificate, "the certificate has expired or is not yet valid (" + where + ")");
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED: return Failure(HttpsFailure::certificate, where);
    default: return Failure(HttpsFailure::connect, where);
  }
}

class WinHttpBackend : public HttpsBackend {
 public:
  WinHttpBackend(HINTERNET session, Report report) : session_(session), report_(std::move(report)) {
    worker_ = std::thread([this] { Run(); });
  }

  ~WinHttpBackend() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      jobs_.clear();
      // Closing the handle from another thread ends a synchronous call that is under way.
      if (current_) WinHttpCloseHandle(current_);
      current_ = nullptr;
    }
    cv_.notify_all();
    if (worker_.joinable()) worker_.join();
    WinHttpCloseHandle(session_);
  }

  bool Start(uint64_t id, HttpsRequest request) override {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return false;
      jobs_.push_back({id, std::move(request)});
    }
    cv_.notify_all();
    return true;
  }

 private:
  struct Job {
    uint64_t id;
    HttpsRequest request;
  };

  void Run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      HttpsReply reply = Perform(job.request);
      std::lock_guard lock(mutex_);
      if (stopping_) return;  // cancelled: no report after the destructor has begun
      report_(job.id, std::move(reply));
    }
  }

  // The handle a synchronous call may be blocked on, so that the destructor can close it.
  bool Track(HINTERNET handle) {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
    current_ = handle;
    return true;
  }
  // Closes the request handle unless the destructor already has.
  void Release(HINTERNET handle) {
    std::lock_guard lock(mutex_);
    if (current_ == handle) {
      WinHttpCloseHandle(handle);
      current_ = nullptr;
    }
  }

  HttpsReply Perform(const HttpsRequest& request) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kRequestTimeoutSeconds);
    const std::wstring url = Widen(request.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength =
        static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return FromError(GetLastError(), "WinHttpCrackUrl");
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) return Failure(HttpsFailure::connect, "not an https address");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    HINTERNET connection = WinHttpConnect(session_, host.c_str(), parts.nPort, 0);
    if (!connection) return FromError(GetLastError(), "WinHttpConnect");
    HINTERNET handle = WinHttpOpenRequest(connection, Widen(request.method).c_str(), path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    if (!handle) {
      const HttpsReply reply = FromError(GetLastError(), "WinHttpOpenRequest");
      WinHttpCloseHandle(connection);
      return reply;
    }
    HttpsReply reply;
    if (Track(handle)) {
      reply = Exchange(handle, request, deadline);
      Release(handle);
    } else {
      WinHttpCloseHandle(handle);
      reply = Failure(HttpsFailure::connect, "cancelled");
    }
    WinHttpCloseHandle(connection);
    return reply;
  }

  // Each blocking call may use what is left of the whole request's time.
  static bool LimitTo(HINTERNET handle, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    DWORD ms = static_cast<DWORD>(left);
    WinHttpSetOption(handle, WINHTTP_OPTION_SEND_TIMEOUT, &ms, sizeof(ms));
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_TIMEOUT, &ms, sizeof(ms));
    WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &ms, sizeof(ms));
    return true;
  }

  static HttpsReply Exchange(HINTERNET handle, const HttpsRequest& request, Clock::time_point deadline) {
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    std::wstring headers;
    bool has_content_type = false;
    for (const std::string& line : request.headers) {
      headers += Widen(line) + L"\r\n";
      if (line.rfind("Content-Type:", 0) == 0) has_content_type = true;
    }
    if (request.method == "POST" && !has_content_type && !request.content_type.empty())
      headers += L"Content-Type: " + Widen(request.content_type) + L"\r\n";
    const DWORD body_size = static_cast<DWORD>(request.body.size());
    if (!LimitTo(handle, deadline)) return Failure(HttpsFailure::timeout, "no time left");
    if (!WinHttpSendRequest(handle, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(-1L), body_size ? const_cast<char*>(request.body.data()) : nullptr,
                            body_size, body_size, 0))
      return FromError(GetLastError(), "WinHttpSendRequest");
    if (!LimitTo(handle, deadline)) return Failure(HttpsFailure::timeout, "no time left");
    if (!WinHttpReceiveResponse(handle, nullptr)) return FromError(GetLastError(), "WinHttpReceiveResponse");

    HttpsReply reply;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
      return FromError(GetLastError(), "WinHttpQueryHeaders");
    reply.status = static_cast<int>(status);
    wchar_t retry_after[128] = {};
    size = sizeof(retry_after) - sizeof(wchar_t);
    if (WinHttpQueryHeaders(handle, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, retry_after, &size,
                            WINHTTP_NO_HEADER_INDEX))
      reply.retry_after = Narrow(std::wstring(retry_after, size / sizeof(wchar_t)));

    for (;;) {
      if (!LimitTo(handle, deadline)) return Failure(HttpsFailure::timeout, "the reply took longer than 30 s");
      DWORD available = 0;
      if (!WinHttpQueryDataAvailable(handle, &available)) return FromError(GetLastError(), "WinHttpQueryDataAvailable");
      if (available == 0) break;
      if (reply.body.size() + available > kMaxReplyBytes)
        return Failure(HttpsFailure::too_large, "the reply is larger than 64 MiB");
      const size_t at = reply.body.size();
      reply.body.resize(at + available);
      DWORD read = 0;
      if (!WinHttpReadData(handle, reply.body.data() + at, available, &read)) return FromError(GetLastError(), "WinHttpReadData");
      reply.body.resize(at + read);
      if (read == 0) break;
    }
    return reply;
  }

  HINTERNET session_;
  Report report_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  HINTERNET current_ = nullptr;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<HttpsBackend> MakeHttpsBackend(HttpsBackend::Report report) {
  // The system's proxy settings, automatic where the system has that (Windows 8.1 and later).
  HINTERNET session = WinHttpOpen(L"Gildmark", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session)
    session = WinHttpOpen(L"Gildmark", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, 0);
  if (!session) return nullptr;
  const int ms = kConnectTimeoutSeconds * 1000;
  WinHttpSetTimeouts(session, ms, ms, kRequestTimeoutSeconds * 1000, kRequestTimeoutSeconds * 1000);
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
  if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
  }
  return std::make_unique<WinHttpBackend>(session, std::move(report));
}

}  // namespace gildmark::host

#endif
