// The game's RCON server over loopback TCP, polled on the game thread once a frame as the game's
// own is: a login, then commands, each packet its length, id, type and body. A command goes
// through the host's RCON dispatch (plugins first), else the game answers it itself.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "sim/simulation.h"
#include "state.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace sim {

namespace {

constexpr int kCommandType = 2;  // also the login's answer

#ifndef _WIN32
constexpr int kLoginType = 3;
constexpr int kMostPacketBytes = 4096;

void PutInt(std::string& out, int32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xff);
}

int32_t GetInt(const std::string& in, size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  return static_cast<int32_t>(value);
}
#endif

// The game's answer to a command no plugin took.
std::string GameAnswer(const Simulation::State& s, const std::string& line) {
  const std::string first = line.substr(0, line.find(' '));
  if (strcasecmp(first.c_str(), "listplayers") == 0) {
    std::string out;
    int n = 0;
    for (auto& p : s.players)
      if (p->connected) out += std::to_string(n++) + ". " + p->name + ", " + p->eos_id + "\n";
    return n == 0 ? "No Players Connected" : out;
  }
  return "Server received, But no response!! ";
}

}  // namespace

void WriteRconPacket(const SimRconConnection& connection, int id, int type, const std::string& body) {
#ifndef _WIN32
  if (connection.socket < 0) return;
  std::string packet;
  PutInt(packet, static_cast<int32_t>(body.size() + 10));
  PutInt(packet, id);
  PutInt(packet, type);
  packet += body;
  packet += std::string(2, '\0');
  size_t sent = 0;
  while (sent < packet.size()) {
    const ssize_t n = send(connection.socket, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      usleep(200);
      continue;
    }
    return;  // the client has gone: the game drops the answer
  }
#else
  (void)connection, (void)id, (void)type, (void)body;
#endif
}

// One command from an authenticated client, as the game hands it to the host's hook
// (Hook_RCONClientConnection_ProcessRCONPacket): the packet lives while its command runs.
void RunRconCommand(Simulation::State& s, SimRconConnection& connection, int id, const std::string& line) {
  auto packet = std::make_unique<RCONPacket>();
  packet->Id = id;
  packet->Type = kCommandType;
  packet->Body = Wide(line);
  packet->Length = static_cast<int>(line.size()) + 10;
  s.Record({{"type", "rcon_input"}, {"client", connection.client}, {"packet_id", id}, {"text", line}});
  if (DispatchRcon(s, &connection, packet.get())) return;
  const std::string answer = GameAnswer(s, line);
  s.Record({{"type", "rcon_reply"}, {"client", connection.client}, {"packet_id", id}, {"reply_type", 0},
            {"text", answer}});
  WriteRconPacket(connection, id, 0, answer);
}

#ifndef _WIN32

int Simulation::StartRconServer(int port, const std::string& password, std::string* error) {
  StopRconServer();
  State& s = *state_;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (error) *error = std::strerror(errno);
    close(fd);
    return -1;
  }
  s.rcon_listener = fd;
  s.rcon_password = password;
  return ntohs(address.sin_port);
}

void Simulation::StopRconServer() {
  State& s = *state_;
  if (s.rcon_listener >= 0) close(s.rcon_listener);
  s.rcon_listener = -1;
  auto& connections = s.rcon_connections;
  for (auto& c : connections)
    if (c->socket >= 0) close(c->socket);
  connections.erase(
      std::remove_if(connections.begin(), connections.end(), [](auto& c) { return c->socket >= 0; }),
      connections.end());
}

void PollRcon(Simulation::State& s) {
  if (s.rcon_listener < 0) return;
  for (;;) {
    const int fd = accept4(s.rcon_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) break;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto connection = std::make_unique<SimRconConnection>();
    connection->client = s.next_rcon_client++;
    connection->socket = fd;
    s.Record({{"type", "rcon_connected"}, {"client", connection->client}});
    s.rcon_connections.push_back(std::move(connection));
  }
  // By client number: a command may open or close connections.
  std::vector<int> clients;
  for (auto& c : s.rcon_connections)
    if (c->socket >= 0) clients.push_back(c->client);
  for (int client : clients) {
    auto find = [&] {
      return std::find_if(s.rcon_connections.begin(), s.rcon_connections.end(),
                          [&](auto& c) { return c->client == client; });
    };
    if (find() == s.rcon_connections.end()) continue;
    SimRconConnection& c = **find();
    bool gone = false;
    char buffer[4096];
    for (;;) {
      const ssize_t n = recv(c.socket, buffer, sizeof buffer, 0);
      if (n > 0) {
        c.received.append(buffer, static_cast<size_t>(n));
        continue;
      }
      gone = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
      break;
    }
    while (!gone && c.received.size() >= 4) {
      const int32_t size = GetInt(c.received, 0);
      if (size < 10 || size > kMostPacketBytes) {
        gone = true;  // not the protocol: the game drops the client
        break;
      }
      if (c.received.size() < static_cast<size_t>(size) + 4) break;
      const int id = GetInt(c.received, 4), type = GetInt(c.received, 8);
      std::string body = c.received.substr(12, static_cast<size_t>(size) - 10);
      body = body.substr(0, body.find('\0'));
      c.received.erase(0, static_cast<size_t>(size) + 4);
      if (type == kLoginType) {
        c.authenticated = body == s.rcon_password && !s.rcon_password.empty();
        s.Record({{"type", "rcon_login"}, {"client", client}, {"accepted", c.authenticated}});
        WriteRconPacket(c, c.authenticated ? id : -1, kCommandType, "");
      } else if (!c.authenticated) {
        gone = true;
      } else if (type == kCommandType) {
        RunRconCommand(s, c, id, body);
        if (find() == s.rcon_connections.end()) break;
      }
    }
    auto it = find();
    if (!gone || it == s.rcon_connections.end()) continue;
    // The game closes and frees the connection; an answer through it later reads freed memory.
    close((*it)->socket);
    s.rcon_connections.erase(it);
    s.Record({{"type", "rcon_closed"}, {"client", client}});
  }
}

#else

int Simulation::StartRconServer(int, const std::string&, std::string* error) {
  if (error) *error = "RCON over TCP is not in the Windows build of the stand-in";
  return -1;
}
void Simulation::StopRconServer() {}
void PollRcon(Simulation::State&) {}

#endif

}  // namespace sim
