// The file-fault campaign: one whole delivery cycle (load, a poll whose reply has an online and
// an offline buyer, their commands, the results, the POST and its reply, a join) on the
// simulated server with the plugin linked in, run again and again with file operations failing:
// each step of the cycle in turn with ENOSPC, EIO and EACCES, then the plugin folder unwritable
// for K steps from each step on, then a failed step followed by an unload and a load, then the
// turns lock file made unopenable, replaced or deleted while another process tries to take it.
// Every run starts with a journal line a crash left for an offline player, who joins at the end. After each run the faults go and the server runs on until the
// store has every command delivered and acknowledged. Per fault class it prints the runs,
// crashes, lost results, commands run twice, rights left set and runs whose polling stopped;
// any figure but the runs fails. A repeat has no excuse: results that no file could keep are
// kept in memory and posted from there. Each command takes the game 2 ms, so the reply is
// delivered in several slices, with the faults falling between them too.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/portable.h"
#include "json.hpp"
#include "host/server_process.h"
#include "host/store_https.h"
#include "shell/plugin_entry.h"
#include "sim/simulation.h"
#include "store/store_client.h"
#include "support/file_access.h"
#include "support/plugin_files.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

sim::Simulation& Sim() { return sim::Simulation::Get(); }

// Linked ids of one length: a journal removal that judged the file by its size would take the
// crash victim's line with a buyer's.
constexpr int64_t kAlice = 100000011, kBob = 100000022, kCrashVictim = 123456789;

// The store as far as the campaign needs it: payments with their waiting commands; "Executed"
// removes a command, "Not Executed" keeps it for the next poll.
class StoreModel {
 public:
  StoreModel() {
    payments_ = json::parse(R"([
      {"id":"p1","action":"give","eos_id":"eosA","username":"alice_store","cmds":[
        {"id":1,"str":"give {eosid} 1","state":"Must be online"},
        {"id":2,"str":"say thanks {username}","state":""}]},
      {"id":"p2","action":"give","eos_id":"","username":"Bob","cmds":[
        {"id":3,"str":"broadcast a gift for Bob","state":""},
        {"id":4,"str":"give {username} 2","state":""}]}])");
    // A purchase whose delivery spans several frames (each command takes the game a millisecond).
    json many = {{"id", "p3"}, {"action", "give"}, {"eos_id", ""}, {"username", "nobody online"}, {"cmds", json::array()}};
    for (int c = 10; c < 22; ++c) many["cmds"].push_back({{"id", c}, {"str", "broadcast part " + std::to_string(c)}, {"state", ""}});
    payments_.push_back(many);
    // A payment whose first command ran before and was set aside with its result, which the
    // store refused: the store offers it still, and that command must never run again.
    Offer(json::parse(R"({"id":"p9","action":"give","eos_id":"eosA","username":"","cmds":[
        {"id":90,"str":"give aside 90","state":""},{"id":91,"str":"give aside 91","state":""}]})"), 90);
  }
  // A payment from now on, `aside` being the id of its command that ran elsewhere already.
  void Offer(json payment, int aside) {
    payments_.push_back(std::move(payment));
    aside_.push_back(aside);
  }
  bool IsAside(int id) const { return std::find(aside_.begin(), aside_.end(), id) != aside_.end(); }
  std::string Reply() const {
    json waiting = json::array();
    for (auto& p : payments_)
      if (!p["cmds"].empty()) waiting.push_back(p);
    return waiting.dump();
  }
  void Apply(const std::string& body) {
    const json results = json::parse(body, nullptr, false);
    if (!results.is_object()) return;
    for (auto& [id, result] : results.items()) {
      if (!result.is_object() || !result.contains("cmds") || !result["cmds"].is_object()) continue;
      for (auto& p : payments_) {
        if (p["id"] != id) continue;
        json kept = json::array();
        for (auto& c : p["cmds"]) {
          auto state = result["cmds"].find(std::to_string(c["id"].get<int>()));
          if (state == result["cmds"].end() || *state != "Executed") kept.push_back(c);
        }
        p["cmds"] = kept;
      }
    }
  }
  int Waiting() const {
    int n = 0;
    for (auto& p : payments_)
      for (auto& c : p["cmds"]) n += !IsAside(c["id"].get<int>());
    return n;
  }

 private:
  json payments_;
  std::vector<int> aside_;
};

bool IsWrite(gildmark::FileStep step) {
  using gildmark::FileStep;
  return step == FileStep::open_write || step == FileStep::open_append || step == FileStep::write ||
         step == FileStep::rename || step == FileStep::remove;
}

// What happens to the turns lock file at the fault's step (the servers of this installation are
// two, so a lock that cannot be had stops polling until it can).
enum class LockTrouble { none, unopenable, replaced, deleted };

// What happens to the set-aside results file: the next read of it fails once (`first` counts
// its reads), it is damaged at the step (the end cut off, garbage after), or another server
// sets a payment aside in it at the step, which the store then offers.
enum class AsideTrouble { none, unreadable, damaged, changed };
const char* const kAsideFile = "response.refused.json";
const char* const kAsideText = R"({"p9":{"action":"give","cmds":{"90":"Executed"}}})";

struct Fault {
  std::string cls;
  int code = 0;
  long first = 0;   // the first failing step, counted from 1
  long count = 1;   // how many steps from there
  bool writes_only = false;
  bool post_lost = false;  // the delivery's own POST fails too, so the files are all that keep the states
  bool unload = false;     // the plugin is unloaded (by the host's order) right after the step, and loaded again
  LockTrouble lock = LockTrouble::none;
  AsideTrouble aside = AsideTrouble::none;
};

struct Outcome {
  bool crashed = false;
  int lost = 0;
  int repeats = 0;
  int rights_left = 0;
  int two_holders = 0;  // another process got the turns lock while the plugin held it
  bool polling_stopped = false;
  long steps = 0;  // file steps while the faults were on
  long aside_reads = 0;  // reads of the set-aside file then
  std::vector<std::string> failed;  // "write of response.pending: No space left on device"
  std::vector<std::string> notes;
};

Outcome Run(const fs::path& root, const Fault* fault) {
  Outcome out;
  fs::remove_all(root);
  const fs::path dir = root / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
  fs::create_directories(dir);
  std::ofstream(dir / "config.json")
      << R"({"key":"srv.secret.third","request_interval_in_minutes":1,"order_received_text":"Thanks!"})";
  // A line a crash left for an offline player, of the same length as the buyers' ids: it must
  // survive every grant and removal, whatever fails.
  std::ofstream(dir / "security_admin.dat") << kCrashVictim << "\n";
  std::ofstream(dir / "instances.txt") << "TheIsland_WP-7777\nScorchedEarth_WP-7779\n";
  std::ofstream(dir / kAsideFile) << kAsideText;
  const std::string lock_path = (dir / "store-turns.lock").string();
  Sim().Reset(root.string());
  Sim().SetConsoleObserver([](AShooterPlayerController*, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  StoreModel store;
  bool faults_on = true;
  long step = 0;
  bool unload_due = false;
  // Another process of the installation, as far as the lock goes (flock and LockFileEx locks of
  // separate opens meet within one process too).
  gildmark::host::ProcessLock rival;
  auto rival_tries = [&] {
    std::string error;
    const bool plugin_holds = gildmark::g_store_client && gildmark::g_store_client->turns.Held();
    if (rival.TryAcquire(lock_path, error) == gildmark::host::ProcessLock::Outcome::held && plugin_holds)
      ++out.two_holders;
    rival.Release();
  };
  auto restore_lock = [&] {
    std::error_code ec;
    if (fs::is_directory(lock_path, ec)) fs::remove_all(lock_path, ec);
  };
  const fs::path aside_path = dir / kAsideFile;
  bool aside_done = false;  // the damage or the other server's write happened
  gildmark::SetFileFaultHook([&](gildmark::FileStep s, const std::string& path) -> int {
    if (!faults_on) return 0;
    ++step;
    const bool aside_read = s == gildmark::FileStep::open_read && fs::path(path) == aside_path;
    out.aside_reads += aside_read;
    if (fault && fault->aside == AsideTrouble::unreadable) {
      if (!aside_read || out.aside_reads != fault->first) return 0;
      out.failed.push_back("read of " + std::string(kAsideFile) + ": " + std::strerror(EACCES));
      return EACCES;
    }
    if (fault && fault->aside != AsideTrouble::none && step >= fault->first && !aside_done) {
      std::stringstream read;
      read << std::ifstream(aside_path, std::ios::binary).rdbuf();
      const std::string text = read.str();
      if (fault->aside == AsideTrouble::damaged) {
        std::ofstream(aside_path, std::ios::binary | std::ios::trunc) << text.substr(0, text.size() - 1) << "\x01garbage";
        out.failed.push_back(std::string(kAsideFile) + " damaged");
        aside_done = true;
      } else {
        // As another server writes it, whole, during its turn.
        json kept = json::parse(text, nullptr, false);
        if (!kept.is_object()) kept = json::object();
        kept["p8"] = {{"action", "give"}, {"cmds", {{"80", "Executed"}}}};
        std::ofstream(aside_path.string() + ".other", std::ios::binary | std::ios::trunc) << kept.dump();
        // On Windows the rename fails while the plugin holds the file open (a read under way):
        // the other server tries again at the next step, and the store offers the payment only
        // once the file has it (until then its results wait in the shared response.json).
        std::error_code ec;
        fs::rename(aside_path.string() + ".other", aside_path, ec);
        if (ec) return 0;
        aside_done = true;
        store.Offer(json::parse(R"({"id":"p8","action":"give","eos_id":"eosA","username":"","cmds":[
            {"id":80,"str":"give aside 80","state":""},{"id":81,"str":"give aside 81","state":""}]})"), 80);
        out.failed.push_back(std::string(kAsideFile) + " changed by another server");
      }
      return 0;
    }
    if (fault && fault->lock != LockTrouble::none && step == fault->first) {
      std::error_code ec;
      if (fault->lock == LockTrouble::unopenable) {
        fs::remove(lock_path, ec);
        fs::create_directories(fs::path(lock_path) / "in the way", ec);
        out.failed.push_back("store-turns.lock made a folder");
      } else if (fault->lock == LockTrouble::replaced) {
        std::ofstream(lock_path + ".new") << "";
        fs::rename(lock_path + ".new", lock_path, ec);
        out.failed.push_back("store-turns.lock replaced");
      } else {
        fs::remove(lock_path, ec);
        out.failed.push_back("store-turns.lock deleted");
      }
      rival_tries();
      return 0;
    }
    if (fault && fault->lock == LockTrouble::unopenable && step == fault->first + fault->count) restore_lock();
    if (fault && fault->unload && step == fault->first) unload_due = true;
    if (!fault || step < fault->first || step >= fault->first + fault->count) return 0;
    if (fault->writes_only && !IsWrite(s)) return 0;
    out.failed.push_back(std::string(gildmark::FileStepName(s)) + " of " + fs::path(path).filename().string() +
                         ": " + std::strerror(fault->code));
    return fault->code;
  });

  int requests_seen = 0;
  bool drop_next_post = fault && fault->post_lost;
  auto answer_all = [&] {
    // Frames here take no time at all; a server's give the plugin's own thread time to finish
    // what a cycle handed it (reading back a results log) before its request goes out.
    gildmark::host::WaitForPreparedHttps();
    Sim().RunUntilIdle();
    for (int guard = 0; guard < 20 && Sim().Scripted().PendingCount() > 0; ++guard) {
      const auto request = Sim().Scripted().Pending().front();
      ++requests_seen;
      if (request.method == "GET") {
        Sim().Scripted().CompleteNext(200, store.Reply());
      } else if (drop_next_post && faults_on) {
        drop_next_post = false;
        Sim().Scripted().FailNext();
      } else {
        store.Apply(request.body);
        Sim().Scripted().CompleteNext(200, "{}");
      }
      // The reply decoded off the game thread, then delivered a slice per frame.
      Sim().RunUntilIdle();
      gildmark::host::WaitForPreparedHttps();
      Sim().RunUntilIdle();
      for (int frame = 0; frame < 1000 && gildmark::g_store_client &&
                          (gildmark::g_store_client->delivery || gildmark::host::PendingOffGameThreadWork() > 0);
           ++frame) {
        if (unload_due) break;
        Sim().RunFrame(1.0f / 30);
        gildmark::host::WaitForPreparedHttps();
      }
      if (unload_due) {
        // The host's unload, then its load: whatever was under way stops between two steps.
        unload_due = false;
        Sim().UnloadModule(gildmark::host::ToUtf8(gildmark::host::ModulePath()), [] { gildmark::PluginUnload(); });
        gildmark::PluginLoad();
      }
    }
  };

  Sim().SetConsoleObserver([](AShooterPlayerController*, const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  gildmark::PluginLoad();
  answer_all();  // the first cycle's reply is discarded
  Sim().Join("eosA", kAlice, "Alice");
  Sim().Advance(1);  // the first tick: Alice online, Bob offline
  answer_all();
  Sim().Join("eosB", kBob, "Bob");
  out.steps = step;
  faults_on = false;
  restore_lock();
  if (unload_due) {
    unload_due = false;
    Sim().UnloadModule(gildmark::host::ToUtf8(gildmark::host::ModulePath()), [] { gildmark::PluginUnload(); });
    gildmark::PluginLoad();
  }

  // The faults are gone: the server runs on until the store has nothing waiting.
  int idle_ticks = 0;
  for (int tick = 0; tick < 12 && store.Waiting() > 0; ++tick) {
    const int before = requests_seen;
    Sim().Advance(60);
    answer_all();
    idle_ticks = requests_seen == before ? idle_ticks + 1 : 0;
  }
  // And once more, so that results still waiting in the folder reach the store.
  for (int tick = 0; tick < 3; ++tick) {
    Sim().Advance(60);
    answer_all();
  }
  out.polling_stopped = store.Waiting() > 0 && idle_ticks >= 2;

  std::string response;
  gildmark::ReadFileBytes((dir / "response.json").string(), response);
  out.lost = store.Waiting();
  if (!(response.empty() || response == "{}") || fs::exists(dir / "response.pending")) {
    ++out.lost;
    out.notes.push_back("results left unacknowledged: " + response);
  }
  for (const char* player : {"eosA", "eosB"})
    if (Sim().AdminBit(player) || Sim().CheatBit(player)) ++out.rights_left;
  // The crash victim comes back with the admin bit the crash left: the join check must take it.
  Sim().Join("eosX", kCrashVictim, "Xavier", /*admin_on_join=*/true);
  if (Sim().AdminBit("eosX") || Sim().CheatBit("eosX")) {
    ++out.rights_left;
    out.notes.push_back("the crash victim's journal line was lost");
  }

  std::map<std::string, int> runs;
  for (auto& e : Sim().Events("console_command")) ++runs[e["text"].get<std::string>()];
  for (auto& [text, n] : runs) {
    // Ran before the campaign, or on another server: once here is once too often.
    if (text == "give aside 90" || text == "give aside 80") {
      out.repeats += n;
      out.notes.push_back("a set-aside command ran: " + text);
      continue;
    }
    if (n < 2) continue;
    out.repeats += n - 1;
    out.notes.push_back("ran " + std::to_string(n) + " times: " + text);
  }
  out.crashed = !Sim().EscapedExceptions().empty();
  for (auto& e : Sim().EscapedExceptions()) out.notes.push_back("escaped: " + e);

  Sim().UnloadModule(gildmark::host::ToUtf8(gildmark::host::ModulePath()), [] { gildmark::PluginUnload(); });
  gildmark::SetFileFaultHook(nullptr);
  return out;
}

struct Tally {
  int runs = 0, crashes = 0, lost = 0, repeats = 0, rights = 0, stopped = 0, two_holders = 0;
  std::vector<std::string> examples;
};

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--quick") quick = true;
  const fs::path root = fs::temp_directory_path() / ("gildmark-faults-" + std::to_string(gildmark::testing::ProcessId()));

  const Outcome clean = Run(root, nullptr);
  if (clean.crashed || clean.lost || clean.repeats || clean.rights_left) {
    std::cerr << "fault campaign: the run without faults already fails\n";
    for (auto& n : clean.notes) std::cerr << "  " << n << "\n";
    return 1;
  }
  const long steps = clean.steps;
  const auto commands = Sim().Events("console_command").size();
  // The quick run (in make test) takes every fifth step; make faulttest takes them all.
  const long stride = quick ? 5 : 1;

  std::vector<std::pair<std::string, std::vector<Fault>>> classes;
  for (bool post_lost : {false, true}) {
    const std::string suffix = post_lost ? ", POST lost" : "";
    for (auto [name, code] : {std::pair{"ENOSPC once", ENOSPC}, {"EIO once", EIO}, {"EACCES once", EACCES}}) {
      std::vector<Fault> faults;
      for (long n = 1; n <= steps; n += stride) faults.push_back({name, code, n, 1, false, post_lost});
      classes.emplace_back(name + suffix, faults);
    }
    for (long k : quick ? std::vector<long>{8} : std::vector<long>{3, 8, 25, 1000}) {
      const std::string name = "folder unwritable " + std::to_string(k) + " steps" + suffix;
      std::vector<Fault> faults;
      for (long n = 1; n <= steps; n += stride * (k >= 25 ? 3 : 1)) faults.push_back({name, EACCES, n, k, true, post_lost});
      classes.emplace_back(name, faults);
    }
  }
  // An unload by the host at each step, after that step failed: what only memory held must be
  // kept, and nothing run again after the load.
  {
    std::vector<Fault> faults;
    for (long n = 1; n <= steps; n += stride) faults.push_back({"ENOSPC, then unload and load", ENOSPC, n, 1, false, false, true});
    classes.emplace_back("ENOSPC, then unload and load", faults);
  }
  // The lock file of the two servers' turns, at each step: a folder in its way for 8 steps,
  // replaced, deleted; another process tries to take it each time.
  for (auto [name, trouble] : {std::pair{"lock file unopenable 8 steps", LockTrouble::unopenable},
                               {"lock file replaced", LockTrouble::replaced},
                               {"lock file deleted", LockTrouble::deleted}}) {
    std::vector<Fault> faults;
    for (long n = 1; n <= steps; n += stride) {
      Fault fault{name, 0, n, trouble == LockTrouble::unopenable ? 8 : 1};
      fault.lock = trouble;
      faults.push_back(fault);
    }
    classes.emplace_back(name, faults);
  }
  // The set-aside results file: each of its reads failing once, damaged at each step, and
  // another server setting a payment aside in it at each step.
  {
    std::vector<Fault> faults;
    for (long n = 1; n <= clean.aside_reads + 1; ++n) {
      Fault fault{"set-aside file unreadable once", 0, n};
      fault.aside = AsideTrouble::unreadable;
      faults.push_back(fault);
    }
    classes.emplace_back("set-aside file unreadable once", faults);
  }
  for (auto [name, trouble] : {std::pair{"set-aside file damaged", AsideTrouble::damaged},
                               {"set-aside file changed by another server", AsideTrouble::changed}}) {
    std::vector<Fault> faults;
    for (long n = 1; n <= steps; n += stride) {
      Fault fault{name, 0, n};
      fault.aside = trouble;
      faults.push_back(fault);
    }
    classes.emplace_back(name, faults);
  }

  std::cout << "file-fault campaign: " << steps << " file steps and " << commands
            << " commands in one delivery cycle; each run goes on without faults until all is acknowledged\n";
  std::cout << "fault class                               runs  crashes  lost  twice  rights left  "
               "polling stopped  two lock holders\n";
  bool ok = true;
  for (auto& [name, faults] : classes) {
    Tally t;
    for (const Fault& fault : faults) {
      const Outcome o = Run(root, &fault);
      ++t.runs;
      t.crashes += o.crashed;
      t.lost += o.lost;
      t.repeats += o.repeats;
      t.rights += o.rights_left;
      t.stopped += o.polling_stopped;
      t.two_holders += o.two_holders;
      if ((o.crashed || o.lost || o.repeats || o.rights_left || o.polling_stopped || o.two_holders) &&
          t.examples.size() < 3) {
        std::string example = "step " + std::to_string(fault.first) + ":";
        for (auto& f : o.failed) example += " [" + f + "]";
        for (auto& n : o.notes) example += " " + n + ";";
        if (o.polling_stopped) example += " polling stopped;";
        t.examples.push_back(example);
      }
    }
    std::printf("%-40s %5d  %7d  %4d  %5d  %11d  %15d  %16d\n", name.c_str(), t.runs, t.crashes, t.lost, t.repeats,
                t.rights, t.stopped, t.two_holders);
    for (auto& e : t.examples) std::cout << "    " << e << "\n";
    ok = ok && !t.crashes && !t.lost && !t.repeats && !t.rights && !t.stopped && !t.two_holders;
  }
  fs::remove_all(root);
  std::cout << (ok ? "fault campaign: nothing lost, nothing run twice, no rights left, polling never "
                     "stopped\n"
                   : "fault campaign: FAILED\n");
  return ok ? 0 : 1;
}
