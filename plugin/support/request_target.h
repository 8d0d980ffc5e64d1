// Message routing: the one way a message reaches people. RequestTarget::Report sends a message
// to the host log through the plugin's logger, to the RCON client and the admin player who asked
// for the current request (if any), and as a line to info.log or err.log. A final message
// releases the requester it reached. Report never throws: a route that fails is skipped.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "host/host.h"

namespace gildmark {

// information: info.log; error: err.log; answer: only the one who asked (RCON and chat), for
// answers that belong in no log (a status report). Each line of an answer is a chat line of its
// own; RCON gets them in one reply.
enum class Severity { information, error, answer };

struct RequestTarget {
  // The admin who asked, as they asked. The game destroys a controller after logout, so the
  // pointer is never called through once the request has left the frame it came in: each chat
  // reply finds the admin again among the connected players by name and linked id.
  APlayerController* player = nullptr;
  std::string player_name;  // UTF-8
  int64_t player_linked_id = 0;
  RCONClientConnection* rcon_connection = nullptr;
  RCONPacket* rcon_packet = nullptr;
  // The packet's id, copied when the command arrives: the host's packet does not outlive the
  // command, while replies may come long after it.
  int rcon_packet_id = 0;

  // The RCON client that ran a command; the packet is kept only with a connection.
  void SetRconRequester(RCONClientConnection* connection, RCONPacket* packet) {
    rcon_connection = connection;
    rcon_packet = connection ? packet : nullptr;
    rcon_packet_id = connection && packet ? packet->Id : 0;
  }
  // The admin player who ran a command, while their controller is certainly alive (in the
  // command's handler). Throws what the game's calls throw.
  void SetPlayer(APlayerController* controller);
  void Report(const std::string& message, Severity severity, bool final);
  void ReplyRcon(const std::string& message, bool final);
  void ReplyChat(const std::string& message, bool final);
  void Clear() {
    player = nullptr, player_name.clear(), player_linked_id = 0;
    rcon_connection = nullptr, rcon_packet = nullptr, rcon_packet_id = 0;
  }
};

// The answer to one RCON command, gathered while its handler runs: the game's RCON protocol
// answers a command with one packet, and a tool reads a second one as the answer to its next
// command. While one is open, replies to that command add a line to it; it goes as one packet
// when it closes (`fallback` if nothing was said).
class RconAnswer {
 public:
  RconAnswer(RCONClientConnection* connection, RCONPacket* packet, std::string fallback);
  ~RconAnswer();
  RconAnswer(const RconAnswer&) = delete;
  RconAnswer& operator=(const RconAnswer&) = delete;
  // True when taken into the open answer.
  static bool Add(RCONClientConnection* connection, int packet_id, const std::string& message);
  // True when an answer is open and nothing was said in it yet.
  static bool OpenAndEmpty();

 private:
  RCONClientConnection* connection_;
  int packet_id_;
  std::string text_, fallback_;
  bool any_ = false;
  RconAnswer* outer_;
};

// File problems told since the plugin started (every "Can't ..." on the error route): how many,
// and the last with its local time.
struct FileProblems {
  size_t count = 0;
  std::string last;
  std::string last_at;
};
const FileProblems& FileProblemsSinceStart();
void ForgetFileProblems();

// Appends "[<local time>] <message>\n" to a log file of the plugin directory; silent on failure.
void AppendPluginLog(const std::string& message, const std::string& file_name);

// 'Mon December 07 10:48:13 2026', in the server's local time.
std::string FormatLocalTime();
std::string FormatLocalTime(std::time_t when);

// The plugin's logger "Gildmark" over the host's sinks; empty until initialised at load.
void InitPluginLogger();
void ReleasePluginLogger();
std::shared_ptr<spdlog::logger>& PluginLogger();

}  // namespace gildmark
