#include "support/request_target.h"

#include <chrono>

#include <spdlog/fmt/fmt.h>

#include "host/host.h"
#include "support/plugin_files.h"
#include "support/server_instance.h"

namespace gildmark {

namespace {
const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
}  // namespace

std::shared_ptr<spdlog::logger>& PluginLogger() {
  static std::shared_ptr<spdlog::logger> logger;
  return logger;
}

void InitPluginLogger() {
  auto& sinks = host::LogSinks();
  auto logger = std::make_shared<spdlog::logger>("Gildmark", sinks.begin(), sinks.end());
  logger->set_pattern("%D %R [%n][%l] %v", spdlog::pattern_time_type::local);
  logger->flush_on(spdlog::level::info);
  PluginLogger() = std::move(logger);
}

void ReleasePluginLogger() { PluginLogger().reset(); }

std::string FormatLocalTime(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return fmt::format("{} {} {:02} {:02}:{:02}:{:02} {}", kWeekdays[local.tm_wday % 7], kMonths[local.tm_mon % 12],
                     local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_year + 1900);
}

std::string FormatLocalTime() {
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return FormatLocalTime(static_cast<std::time_t>(seconds));
}

void AppendPluginLog(const std::string& message, const std::string& file_name) {
  // Bare line feeds on every system; a failed append loses the line and nothing else. Logs that
  // several servers of the installation write say which one wrote a line.
  const ServerInstance& instance = ThisInstance();
  const std::string tag = instance.tag_lines && !instance.listed ? "[" + instance.name + "] " : "";
  AppendFileBytes(JsonFileStore::PathOf(file_name), "[" + FormatLocalTime() + "] " + tag + message + "\n");
}

namespace {
FileProblems& FileProblemsState() {
  static FileProblems problems;
  return problems;
}
}  // namespace

const FileProblems& FileProblemsSinceStart() { return FileProblemsState(); }
void ForgetFileProblems() { FileProblemsState() = FileProblems{}; }

void RequestTarget::Report(const std::string& message, Severity severity, bool final) {
  if (severity == Severity::answer) {
    ReplyRcon(message, final);
    // Chat shows one line per message.
    size_t start = 0;
    while (start <= message.size()) {
      const size_t end = message.find('\n', start);
      const bool last = end == std::string::npos;
      ReplyChat(message.substr(start, last ? std::string::npos : end - start), final && last);
      if (last) break;
      start = end + 1;
    }
    return;
  }
  if (severity == Severity::error && message.rfind("Can't ", 0) == 0) {
    FileProblems& problems = FileProblemsState();
    ++problems.count;
    problems.last = message;
    try {
      problems.last_at = FormatLocalTime();
    } catch (...) {
    }
  }
  try {
    if (auto& logger = PluginLogger()) {
      if (severity == Severity::error)
        logger->error("{}", message);
      else
        logger->info("{}", message);
    }
  } catch (...) {
  }
  ReplyRcon(message, final);
  ReplyChat(message, final);
  try {
    AppendPluginLog(message, severity == Severity::error ? "err.log" : "info.log");
  } catch (...) {
  }
}

namespace {
RconAnswer* g_open_answer = nullptr;  // game thread only
}  // namespace

RconAnswer::RconAnswer(RCONClientConnection* connection, RCONPacket* packet, std::string fallback)
    : connection_(connection), packet_id_(connection && packet ? packet->Id : 0), fallback_(std::move(fallback)),
      outer_(g_open_answer) {
  g_open_answer = this;
}

RconAnswer::~RconAnswer() {
  g_open_answer = outer_;
  if (!connection_) return;
  try {
    host::ReplyRcon(connection_, packet_id_, host::FromUtf8(any_ ? text_ : fallback_));
  } catch (const std::exception& e) {
    try {
      if (auto& logger = PluginLogger()) logger->error("RCON reply failed: {}", e.what());
    } catch (...) {
    }
  } catch (...) {
  }
}

bool RconAnswer::Add(RCONClientConnection* connection, int packet_id, const std::string& message) {
  RconAnswer* answer = g_open_answer;
  if (!answer || answer->connection_ != connection || answer->packet_id_ != packet_id) return false;
  if (answer->any_) answer->text_ += '\n';
  answer->text_ += message;
  answer->any_ = true;
  return true;
}

bool RconAnswer::OpenAndEmpty() { return g_open_answer && !g_open_answer->any_; }

void RequestTarget::ReplyRcon(const std::string& message, bool final) {
  if (!rcon_connection) return;
  try {
    if (!RconAnswer::Add(rcon_connection, rcon_packet_id, message))
      host::ReplyRcon(rcon_connection, rcon_packet_id, host::FromUtf8(message));
  } catch (const std::exception& e) {
    if (auto& logger = PluginLogger()) logger->error("RCON reply failed: {}", e.what());
  } catch (...) {
  }
  if (final) rcon_connection = nullptr, rcon_packet = nullptr, rcon_packet_id = 0;
}

void RequestTarget::SetPlayer(APlayerController* controller) {
  player = nullptr;
  player_name.clear();
  player_linked_id = 0;
  if (!controller) return;
  auto* shooter = static_cast<AShooterPlayerController*>(controller);
  player_name = host::ToUtf8(host::CharacterName(shooter));
  player_linked_id = host::LinkedId(shooter);
  player = controller;
}

void RequestTarget::ReplyChat(const std::string& message, bool final) {
  if (!player) return;
  try {
    // An admin who left meanwhile is not written to; the other routes still have the message.
    if (AShooterPlayerController* admin =
            host::FindPlayerByNameAndLinkedId(host::FromUtf8(player_name), player_linked_id))
      host::SendChat(admin, host::FromUtf8("Gildmark"), host::ChatText(message));
  } catch (const std::exception& e) {
    if (auto& logger = PluginLogger()) logger->error("Chat reply failed: {}", e.what());
  } catch (...) {
  }
  if (final) player = nullptr, player_name.clear(), player_linked_id = 0;
}

}  // namespace gildmark
