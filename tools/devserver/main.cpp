// asa-devserver: a simulated dedicated server that loads a plugin library the way the host
// does, then plays a script (or standard input) of players and admins against it.
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#include <stdlib.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulation.h"

namespace {

const char* const kUsage = R"(usage: asa-devserver --root DIR --plugin LIB [options]

Copies the plugin library LIB (and the PluginInfo.json beside it) into DIR/ArkApi/Plugins/<name>/
and loads it from there as the host does (PluginInfo.json read first; its entry point runs) into a
simulated ARK: Survival Ascended server whose executable folder is DIR, then reads lines from
--script FILE or standard input. Real HTTP goes through libcurl, with TLS certificates verified.
Automatic plugin reloading is on, every 5 seconds, as the host ships it.

options:
  --root DIR               the server's folder; DIR/ArkApi/Plugins/<plugin name>/ is created
  --plugin LIB             the plugin library to copy into its folder, load (dlopen,
                           Plugin_Init) and unload (Plugin_Unload, dlclose) at quit
  --connect-to H:P:ADDR:PORT
                           send requests for host H port P to ADDR:PORT (repeatable)
  --cacert FILE            also trust the certificates in FILE (PEM)
  --rewrite FROM=TO        rewrite URLs that start with FROM (repeatable)
  --speed X                simulated seconds per real second (default 1)
  --events FILE            write every event as a JSON line to FILE
  --command-ms MS          real time the game takes for each console command (default 0)
  --script FILE            read lines from FILE instead of standard input
  --launch-line "LINE"     the game's launch line, program first, as the system gives it
                           (default "ArkAscendedServer.exe TheIsland_WP?listen"); several
                           servers over one --root tell themselves apart by its map and port,
                           or by -serverkey=NAME or -GildmarkInstance=NAME. With
                           ?RCONEnabled=True?RCONPort=PORT?ServerAdminPassword=PASSWORD in it,
                           the game's RCON listens on 127.0.0.1:PORT (0: a free port, told
                           at start)
  --no-auto-reload         turn the host's automatic plugin reloading off
  --hooks-fail             the host's hook installs fail (as its transaction step can)
  --no-world               start without a world (before the game's InitGame): no chat
                           messaging manager, and the host's EOS-id lookup crashes
  --help                   this text

script lines:
  join <eos_id> <linked_id> <character name> [nochar]
                                               a player connects (with nochar: without a
                                               character yet, as a new or dead survivor does)
  spawn <eos_id>                               the player's character appears (as respawn)
  admin <eos_id> on|off                        set the player's admin bit
  die <eos_id> | respawn <eos_id> | leave <eos_id>
  console <eos_id> <command line>              the player types in the console
  rcon <command line>                          an authenticated RCON client sends a command
  wait <seconds>                               let simulated time pass (timers run)
  sync                                         wait until no HTTP request is pending
  players                                      list the connected players
  world on|off                                 the world exists (and with it chat), or not yet
  hooks fail|work                              later hook installs fail, or work again
  messaging missing|present                    the chat messaging manager is missing, or there
  echo <text>                                  print a line of narration
Console and RCON also take the host's own commands: plugins.unload <name> and plugins.load
<name> unload and load the plugin (name: its library's name without the extension).
  update                                       drop a copy of LIB into the plugin's folder
                                               as <library file name>.ArkApi, as an admin
                                               drops an update (automatic reloading takes it)
  quit                                         unload the plugin and stop
  stop                                         stop as a server stops: no Plugin_Unload
Lines starting with # are comments. With standard input, time also passes on its own.

The event log has one JSON object per line with a "type": join, leave, death, respawn,
console_input, console_command (player, text, admin, cheat), chat (to, sender, text),
rights (player, admin, cheat: whenever a player's bits changed), rcon_input, rcon_reply
(packet_id, text), http_request (client: "system" for the system's HTTPS client the plugin
uses, "host" for the host's service; method, url, headers, body), http_done (status, body; or
failure: connect, timeout, certificate, too_large, with error), http_cancelled, http_refused,
timer_added, log (host log line), exception, game_thread (call, ms: a plugin call of 0.5 ms or
more), plugin_loaded, plugin_unloaded (clean: nothing of the plugin left reachable, its code gone),
world_saved (before an automatic reload), rcon_connected, rcon_login (accepted), rcon_closed.
Exit status: 0, or 1 if a plugin callback let an exception escape or an unload was not clean.
)";

struct Options {
  std::string root, plugin, events, script, launch_line;
  sim::CurlOptions curl;
  double speed = 1.0;
  int command_ms = 0;
  bool hooks_fail = false, no_world = false, no_auto_reload = false;
};

// One line about a store request or reply: what was asked or answered, not the raw JSON.
std::string DescribeHttpBody(const std::string& method, const std::string& body, bool reply) {
  const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  auto plural = [](size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); };
  if (method == "GET" && !reply) return "the payments waiting for this server";
  if (method == "GET" && document.is_array()) {
    size_t commands = 0;
    for (auto& p : document)
      if (p.is_object() && p.contains("cmds") && p["cmds"].is_array()) commands += p["cmds"].size();
    return document.empty() ? "no payments waiting"
                            : plural(document.size(), "payment") + " waiting (" + plural(commands, "command") + ")";
  }
  if (method == "POST" && !reply && document.is_object()) {
    size_t executed = 0, not_executed = 0;
    for (auto& [id, result] : document.items())
      if (result.is_object() && result.contains("cmds") && result["cmds"].is_object())
        for (auto& [cmd, state] : result["cmds"].items()) (state == "Executed" ? executed : not_executed) += 1;
    return "results for " + plural(document.size(), "payment") + " (" + std::to_string(executed) + " Executed, " +
           std::to_string(not_executed) + " Not Executed)";
  }
  if (method == "POST" && reply) return "results acknowledged";
  std::string text = body.size() > 100 ? body.substr(0, 100) + "..." : body;
  return text.empty() ? "(empty)" : text;
}

class HumanLog {
 public:
  std::string Line(const sim::Event& e) {
    const std::string type = e.value("type", "");
    auto s = [&](const char* key) {
      return e.contains(key) ? (e[key].is_string() ? e[key].get<std::string>() : e[key].dump()) : "";
    };
    auto on_off = [&](const char* key) { return e.value(key, false) ? std::string("on") : std::string("off"); };
    if (type == "log") return "[host log] " + s("text");
    if (type == "chat") return "[chat] to " + s("to") + " from " + s("sender") + ": " + s("text");
    if (type == "rcon_reply") return "[rcon] answer to RCON command " + s("packet_id") + ": " + s("text");
    if (type == "console_command")
      return "[game] " + s("player") + " runs \"" + s("text") + "\" (admin " + on_off("admin") + ", cheat " +
             on_off("cheat") + ")";
    // The bits change one at a time; the moments both are set and both are clear tell the story.
    if (type == "rights") {
      const bool admin = e.value("admin", false), cheat = e.value("cheat", false);
      if (admin && cheat) return "[rights] " + s("player") + ": admin and cheat bits set";
      if (!admin && !cheat) return "[rights] " + s("player") + ": admin and cheat bits cleared";
      return "";
    }
    if (type == "http_request") {
      methods_[s("id")] = s("method");
      return "[http] #" + s("id") + " " + s("method") + " " + DescribeHttpBody(s("method"), s("body"), false);
    }
    if (type == "http_done") {
      const std::string method = methods_[s("id")];
      if (e.contains("failure")) return "[http] #" + s("id") + " failed (" + s("failure") + "): " + s("error");
      const int status = e.value("status", 0);
      if (status < 200 || status >= 300)
        return "[http] #" + s("id") + " answered " + std::to_string(status) + " " + sim::ReasonPhrase(status);
      return "[http] #" + s("id") + " answered: " + DescribeHttpBody(method, s("body"), true);
    }
    if (type == "http_cancelled") return "[http] #" + s("id") + " cancelled";
    if (type == "http_refused") return "[http] #" + s("id") + " refused by the host";
    if (type == "game_thread") return "";  // in the event log, for measurements
    if (type == "exception") return "[CRASH] exception escaped from " + s("where") + ": " + s("what");
    if (type == "join") return "[world] " + s("player") + " joins as \"" + s("name") + "\"";
    if (type == "leave" || type == "death" || type == "respawn") return "[world] " + s("player") + " " + type;
    if (type == "console_input" || type == "rcon_input" || type == "timer_added") return "";
    if (type == "plugin_loaded") return "[server] plugin " + s("name") + " loaded";
    if (type == "plugin_unloaded")
      return "[server] plugin " + s("name") + " unloaded" +
             (e.value("clean", false) ? "" : " (not clean: " + s("registrations_left") + " registrations left)");
    return "[" + type + "] " + e.dump();
  }

 private:
  std::map<std::string, std::string> methods_;
};

// PluginInfo.json for the banner line; the host's own reading decides the load.
nlohmann::json ReadPluginInfo(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  const nlohmann::json info = in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
  return info.is_object() ? info : nlohmann::json::object();
}

// The value of ?KEY=VALUE in the game's launch line, "" if absent.
std::string LaunchOption(const std::string& line, const std::string& key) {
  const size_t at = line.find("?" + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  const size_t end = line.find_first_of("? ", start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else if (a == "--root") o.root = next();
    else if (a == "--plugin") o.plugin = next();
    else if (a == "--connect-to") o.curl.connect_to.push_back(next());
    else if (a == "--cacert") o.curl.ca_file = next();
    else if (a == "--rewrite") {
      const std::string v = next();
      const size_t eq = v.find('=');
      if (eq == std::string::npos) throw std::invalid_argument("--rewrite wants FROM=TO");
      o.curl.rewrites.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--speed") o.speed = std::stod(next());
    else if (a == "--events") o.events = next();
    else if (a == "--command-ms") o.command_ms = std::stoi(next());
    else if (a == "--script") o.script = next();
    else if (a == "--launch-line") o.launch_line = next();
    else if (a == "--hooks-fail") o.hooks_fail = true;
    else if (a == "--no-world") o.no_world = true;
    else if (a == "--no-auto-reload") o.no_auto_reload = true;
    else throw std::invalid_argument("unknown option " + a);
  }
  if (o.root.empty() || o.plugin.empty()) throw std::invalid_argument("--root and --plugin are required");
  if (o.speed <= 0) throw std::invalid_argument("--speed must be positive");
  return true;
}

class Server {
 public:
  explicit Server(Options options) : o_(std::move(options)), sim_(sim::Simulation::Get()) {}

  int Run() {
    namespace fs = std::filesystem;
    char resolved[PATH_MAX];
    if (!realpath(o_.plugin.c_str(), resolved)) {
      std::cerr << "asa-devserver: no plugin at " << o_.plugin << "\n";
      return 2;
    }
    plugin_path_ = resolved;
    const std::string name = fs::path(plugin_path_).stem().string();
    fs::create_directories(fs::path(o_.root) / "ArkApi" / "Plugins" / name);
    fs::create_directories(fs::path(o_.root) / "ShooterGame" / "Saved" / "Logs");
    const std::string root = fs::absolute(o_.root).lexically_normal().string();

    sim_.Reset(root.back() == '/' ? root.substr(0, root.size() - 1) : root);
    if (!o_.launch_line.empty()) sim_.SetLaunchLine(o_.launch_line);
    sim_.SetHostLogFile((fs::path(root) / "ShooterGame" / "Saved" / "Logs" / "AsaApi.log").string());
    if (!o_.events.empty()) events_.open(o_.events, std::ios::out | std::ios::trunc);
    sim_.SetEventListener([this](const sim::Event& e) {
      if (events_.is_open()) events_ << e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
      const std::string line = human_.Line(e);
      if (!line.empty()) std::cout << line << std::endl;
    });
    sim_.SetTransport(sim::MakeCurlTransport(o_.curl));
    if (o_.command_ms > 0) {
      const int ms = o_.command_ms;
      sim_.SetConsoleObserver([ms](AShooterPlayerController*, const std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      });
    }

    // As the host finds it: the library and its PluginInfo.json in the plugin's own folder.
    library_path_ = (fs::path(o_.root) / "ArkApi" / "Plugins" / name / fs::path(plugin_path_).filename()).string();
    library_path_ = fs::absolute(library_path_).lexically_normal().string();
    // Through a new file renamed over the old one: another server over the same --root may have
    // the library mapped, and writing into that file would change its running code.
    std::error_code copy_error;
    const std::string part = library_path_ + "." + std::to_string(getpid()) + ".part";
    fs::copy_file(plugin_path_, part, fs::copy_options::overwrite_existing, copy_error);
    if (!copy_error) fs::rename(part, library_path_, copy_error);
    const fs::path info_path = fs::path(plugin_path_).parent_path() / "PluginInfo.json";
    if (!copy_error && fs::exists(info_path))
      fs::copy_file(info_path, fs::path(library_path_).parent_path() / "PluginInfo.json",
                    fs::copy_options::overwrite_existing, copy_error);
    if (copy_error) {
      std::cerr << "asa-devserver: cannot copy the plugin into its folder: " << copy_error.message() << "\n";
      return 2;
    }
    std::cout << "[server] loading " << library_path_ << std::endl;
    const nlohmann::json info = ReadPluginInfo(fs::path(library_path_).parent_path() / "PluginInfo.json");
    if (info.contains("FullName") && info.contains("Version") && info.contains("MinApiVersion"))
      std::cout << "[server] plugin "
                << (info["FullName"].is_string() ? info["FullName"].get<std::string>() : info["FullName"].dump())
                << " version " << info["Version"].dump()
                << " (needs host API " << info["MinApiVersion"].dump() << ", this host is "
                << sim::Simulation::kHostApiVersion << ")" << std::endl;
    std::string load_error;
    plugin_name_ = name;
    if (o_.hooks_fail) sim_.SetHookInstallFails(true);
    if (o_.no_world) sim_.SetWorldExists(false);
    sim_.SetAutomaticReloading(!o_.no_auto_reload);
    const std::string launch = sim_.LaunchLine();
    if (LaunchOption(launch, "RCONEnabled") == "True") {
      std::string rcon_error;
      const std::string port = LaunchOption(launch, "RCONPort");
      const int bound = sim_.StartRconServer(port.empty() ? 27020 : std::stoi(port),
                                             LaunchOption(launch, "ServerAdminPassword"), &rcon_error);
      if (bound < 0) {
        std::cerr << "asa-devserver: RCON cannot listen: " << rcon_error << "\n";
        return 2;
      }
      std::cout << "[server] RCON listening on 127.0.0.1:" << bound << std::endl;
    }
    if (!sim_.LoadPluginAs(name, library_path_, &load_error)) {
      std::cerr << "asa-devserver: " << load_error << "\n";
      return 2;
    }

    if (!o_.script.empty()) {
      std::ifstream script(o_.script);
      if (!script) {
        std::cerr << "asa-devserver: cannot read " << o_.script << "\n";
        Unload();
        return 2;
      }
      for (std::string line; !quit_ && std::getline(script, line);) Execute(line);
    } else {
      RunInteractive();
    }
    Unload();
    bool clean = true;
    for (auto& e : sim_.Events("plugin_unloaded")) clean = clean && e.value("clean", false);
    if (!clean) std::cerr << "asa-devserver: an unload left something of the plugin behind\n";
    const auto escaped = sim_.EscapedExceptions();
    for (auto& e : escaped) std::cerr << "asa-devserver: exception escaped a plugin callback: " << e << "\n";
    return escaped.empty() && clean ? 0 : 1;
  }

 private:
  // Game thread work for `ms` of real time.
  void Pump(long ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      sim_.RunUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
  }

  void Tick() {
    Pump(static_cast<long>(1000.0 / o_.speed));
    sim_.Advance(1);
  }

  void Execute(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') return;
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    std::string rest;
    std::getline(in >> std::ws, rest);
    try {
      if (verb == "join") {
        std::istringstream args(rest);
        std::string eos;
        long long linked = 0;
        args >> eos >> linked;
        std::string name;
        std::getline(args >> std::ws, name);
        // A new survivor or a dead one joins without a character, and spawns later.
        const std::string nochar = " nochar";
        const bool without_character =
            name.size() > nochar.size() && name.compare(name.size() - nochar.size(), nochar.size(), nochar) == 0;
        if (without_character) name.resize(name.size() - nochar.size());
        sim_.Join(eos, linked, name, false, !without_character);
      } else if (verb == "admin") {
        std::istringstream args(rest);
        std::string eos, state;
        args >> eos >> state;
        sim_.SetAdminBit(eos, state == "on");
        std::cout << "[world] " << eos << " admin " << state << std::endl;
      } else if (verb == "die") {
        sim_.Die(rest);
      } else if (verb == "respawn" || verb == "spawn") {
        sim_.Respawn(rest);
      } else if (verb == "leave") {
        sim_.Leave(rest);
      } else if (verb == "console") {
        const size_t space = rest.find(' ');
        sim_.ConsoleInput(rest.substr(0, space), space == std::string::npos ? "" : rest.substr(space + 1));
      } else if (verb == "rcon") {
        std::cout << "[rcon] > " << rest << std::endl;
        sim_.RconInput(rest);
      } else if (verb == "wait") {
        const int seconds = std::stoi(rest);
        for (int i = 0; i < seconds; ++i) Tick();
      } else if (verb == "sync") {
        if (!sim_.WaitIdle(std::chrono::seconds(30))) std::cout << "[server] sync timed out" << std::endl;
      } else if (verb == "players") {
        const auto ids = sim_.PlayerIds();
        std::cout << "[world] players online: " << ids.size() << std::endl;
        for (auto& id : ids) std::cout << "[world]   " << sim_.Describe(id) << std::endl;
      } else if (verb == "world") {
        sim_.SetWorldExists(rest == "on");
        std::cout << "[world] " << (rest == "on" ? "the world exists" : "no world yet") << std::endl;
      } else if (verb == "hooks") {
        sim_.SetHookInstallFails(rest == "fail");
        std::cout << "[server] hook installs " << (rest == "fail" ? "fail" : "work") << std::endl;
      } else if (verb == "messaging") {
        sim_.SetMessagingMissing(rest == "missing");
        std::cout << "[server] chat messaging manager " << (rest == "missing" ? "missing" : "present") << std::endl;
      } else if (verb == "echo") {
        std::cout << "\n== " << rest << std::endl;
      } else if (verb == "update") {
        // Whole or not at all, so that the host's check never copies half a library.
        namespace fs = std::filesystem;
        const std::string update = library_path_ + ".ArkApi";
        fs::copy_file(plugin_path_, update + ".part", fs::copy_options::overwrite_existing);
        fs::rename(update + ".part", update);
        std::cout << "[server] dropped " << update << std::endl;
      } else if (verb == "quit") {
        quit_ = true;
      } else if (verb == "stop") {
        // As a real server stops: the host never calls Plugin_Unload then, and the process ends
        // with the plugin's thread where it is.
        std::cout << "[server] stopped without unloading the plugin, as a server stops" << std::endl;
        if (events_.is_open()) events_.flush();
        std::fflush(nullptr);
        std::_Exit(0);
      } else {
        std::cout << "[server] unknown line: " << line << std::endl;
      }
    } catch (const std::exception& e) {
      std::cout << "[server] " << line << ": " << e.what() << std::endl;
    }
    sim_.RunUntilIdle();
  }

  void RunInteractive() {
    // Shared with the reader, which is left behind blocked on standard input after "quit" and
    // may still write when that input ends: nothing of it may live on this frame.
    struct Input {
      std::mutex mutex;
      std::deque<std::string> lines;
      std::atomic<bool> eof{false};
    };
    auto input = std::make_shared<Input>();
    std::thread reader([input] {
      for (std::string line; std::getline(std::cin, line);) {
        std::lock_guard lock(input->mutex);
        input->lines.push_back(line);
      }
      input->eof = true;
    });
    reader.detach();
    while (!quit_) {
      std::string line;
      bool have = false;
      {
        std::lock_guard lock(input->mutex);
        if (!input->lines.empty()) {
          line = input->lines.front();
          input->lines.pop_front();
          have = true;
        }
      }
      if (have) {
        Execute(line);
      } else if (input->eof) {
        break;
      } else {
        Tick();
      }
    }
  }

  // The server stops: the plugin, if still loaded, is unloaded as the host's plugins.unload does.
  void Unload() {
    sim_.WaitIdle(std::chrono::seconds(5));
    if (!sim_.PluginLoaded(plugin_name_)) return;
    const std::string answer = sim_.UnloadPluginByName(plugin_name_);
    std::cout << "[server] " << answer << std::endl;
  }

  Options o_;
  HumanLog human_;
  sim::Simulation& sim_;
  std::ofstream events_;
  std::string plugin_path_, plugin_name_, library_path_;
  bool quit_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    ParseOptions(argc, argv, options);
  } catch (const std::exception& e) {
    std::cerr << "asa-devserver: " << e.what() << "\n\n" << kUsage;
    return 2;
  }
  return Server(options).Run();
}
