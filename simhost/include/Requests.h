// The host's asynchronous HTTP service, mirrored from the real SDK's Requests.h. True means the
// request was taken and its callback runs exactly once, later, on the game thread; false means it
// was refused and the callback never runs. Success is a 2xx status; the body is passed for 200
// only, other statuses pass "<code> <reason>", a network failure passes false and "". The POST
// callback's third argument holds the reply's headers. Each header is "Key: Value".
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "API/Base.h"

namespace API {
class Requests {
  // The stand-in's own shorthand, not a name of the SDK.
  using PostCallback = std::function<void(bool, std::string, std::unordered_map<std::string, std::string>)>;

 public:
  ARK_API static Requests& Get();
  ARK_API bool CreateGetRequest(const std::string& url, const std::function<void(bool, std::string)>& callback,
                                std::vector<std::string> headers = {});
  ARK_API bool CreatePostRequest(const std::string& url, const PostCallback& callback, const std::string& post_data,
                                 const std::string& content_type, std::vector<std::string> headers = {});
  [[deprecated("use the callback with the reply's headers")]] ARK_API bool CreatePostRequest(
      const std::string& url, const std::function<void(bool, std::string)>& callback, const std::string& post_data,
      const std::string& content_type, std::vector<std::string> headers = {});

 private:
  Requests() = default;
};
}  // namespace API
