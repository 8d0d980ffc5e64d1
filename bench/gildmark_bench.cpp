// What the plugin costs the game thread: a delivery per command against the least its file work
// can cost, the longest single call into the plugin and the time until a reply is done at 30
// frames a second, idle and GET cycles, and our signing against OpenSSL's, measured in the same
// run; then inputs of an unusual shape (one payment of 100,000 commands, a backlog of 200,000
// results, replies up to the size cap) start to end, with the longest call and the peak heap.
// Prints the tables; with --results FILE also writes them there with the machine and the date.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <new>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "host/store_https.h"
#include "sim/simulation.h"
#include "store/delivery_history.h"
#include "store/delivery_lookup.h"
#include "store/payment_delivery.h"
#include "store/request_cycle.h"
#include "store/signing.h"
#include "store/store_client.h"
#include "support/request_target.h"

// --- heap accounting, for the peak memory of one reply ---------------------------------------
namespace {
// Counted only while the peak is measured: atomics on every allocation would weigh on the
// timings.
std::atomic<bool> g_tracking{false};
// A block counts only in the measurement it was made in: one freed later must not lower another's.
std::atomic<size_t> g_epoch{1};
std::atomic<long long> g_heap_now{0}, g_heap_peak{0};
void Track(long long delta) {
  const long long now = g_heap_now += delta;
  long long peak = g_heap_peak.load();
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
  }
}
}  // namespace

// Each block's header: its size, and whether it was counted. The stand-in's record of events
// (every command, every request's body) is its own memory, not the plugin's.
void* operator new(size_t size) {
  void* p = std::malloc(size + 16);
  if (!p) throw std::bad_alloc();
  const bool counted = g_tracking.load(std::memory_order_relaxed) && !sim::Simulation::Recording();
  static_cast<size_t*>(p)[0] = size;
  static_cast<size_t*>(p)[1] = counted ? g_epoch.load(std::memory_order_relaxed) : 0;
  if (counted) Track(static_cast<long long>(size));
  return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  char* base = static_cast<char*>(p) - 16;
  if (reinterpret_cast<size_t*>(base)[1] == g_epoch.load(std::memory_order_relaxed)) Track(-static_cast<long long>(reinterpret_cast<size_t*>(base)[0]));
  std::free(base);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace gildmark {
namespace {

using nlohmann::json;

// A server directory, a store client with a valid key, and ten buyers online.
class World {
 public:
  World() {
    root_ = std::filesystem::temp_directory_path() / ("gildmark-bench-" + std::to_string(getpid()));
    dir_ = root_ / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
    std::filesystem::create_directories(dir_);
    std::ofstream(dir_ / "config.json")
        << R"({"key":"srv.secret.third","request_interval_in_minutes":1,"order_received_text":"Thanks!"})";
    sim().Reset(root_.string());
    InitPluginLogger();
    client_ = new StoreClient();
    Drain();
    for (int i = 0; i < kPlayers; ++i) sim().Join("eos" + std::to_string(i), 1000 + i, "Player" + std::to_string(i));
  }
  ~World() {
    delete client_;
    ReleasePluginLogger();
    sim().Reset("/tmp");
    std::filesystem::remove_all(root_);
  }
  static sim::Simulation& sim() { return sim::Simulation::Get(); }
  StoreClient& client() { return *client_; }
  std::filesystem::path dir() const { return dir_; }
  void Drain() {
    do {
      while (sim().Scripted().PendingCount() > 0) sim().Scripted().CompleteNext(200, "");
      sim().RunUntilIdle();
      host::WaitForPreparedHttps();
      sim().RunUntilIdle();
      while (client_->delivery) sim().RunFrame(kFrameSeconds);
    } while (sim().Scripted().PendingCount() > 0 || host::PendingOffGameThreadWork() > 0);
  }
  // As the store's JSON has it (keys ascending), written out directly: replies up to 64 MiB.
  static std::string Reply(int payments) {
    std::string reply = "[";
    for (int p = 0; p < payments; ++p) {
      if (p > 0) reply += ',';
      reply += R"({"action":"purchase","cmds":[)";
      for (int c = 0; c < 3; ++c) {
        if (c > 0) reply += ',';
        reply += R"({"id":)" + std::to_string(p * 3 + c) + R"(,"state":"Must be online","str":"giveitem {eosid} )" +
                 R"(Blueprint'/Game/Item)" + std::to_string(c) + R"(' 1 0 0"})";
      }
      reply += R"(],"eos_id":"eos)" + std::to_string(p % kPlayers) + R"(","id":"order-)" + std::to_string(p) +
               R"(","username":""})";
    }
    return reply + "]";
  }
  // Back to the state before a reply: logs and files trimmed, nothing pending.
  void Reset() {
    Drain();
    // A server's info.log is there already; it is started again only when it grows large.
    std::error_code ec;
    if (std::filesystem::file_size(dir_ / "info.log", ec) > (size_t{16} << 20)) std::filesystem::remove(dir_ / "info.log");
    std::ofstream(dir_ / "response.json", std::ios::trunc) << "{}";
    sim().ClearEvents();
  }

  static constexpr float kFrameSeconds = 1.0f / 30;

  // What one reply costs the game thread, from the poll that asks for it to the frame that posts
  // its results.
  struct ReplyRun {
    double game_thread_us = 0;  // every call into the plugin, added up
    double worst_call_us = 0;
    int frames = 0;             // frames from the answer's arrival until its results are posted
    double off_thread_ms = 0;   // waited for work off the game thread (decoding, the results' text)
  };
  // Polls, answers with `body`, and runs frames until the reply is delivered. `timed` brackets
  // each game-thread call (google benchmark's pause and resume around the rest).
  template <class Bracket>
  ReplyRun RunReply(const std::string& body, Bracket&& timed) {
    using Clock = std::chrono::steady_clock;
    ReplyRun run;
    // The stand-in's own recording of events during a call is not the plugin's time.
    auto call = [&](auto&& work) {
      const auto start = Clock::now();
      const double recording = sim::Simulation::RecordingMicros();
      timed(work);
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() -
                        (sim::Simulation::RecordingMicros() - recording);
      run.game_thread_us += us;
      run.worst_call_us = std::max(run.worst_call_us, us);
    };
    // The poll is the cost of asking, paid whether payments wait or not (the GET cycle below);
    // the reply's own costs start with its arrival.
    client_->target->Clear();
    client_->RunRequestCycle(true, false);
    sim().Scripted().CompleteNext(200, body);
    const auto arrived = Clock::now();
    call([&] { sim().RunQueue(); });  // the answer handed to the decoding thread
    host::WaitForPreparedHttps();
    run.off_thread_ms = std::chrono::duration<double, std::milli>(Clock::now() - arrived).count();
    do {
      if (!client_->delivery && host::PendingOffGameThreadWork() > 0) {
        const auto waited = Clock::now();  // the results' text built off the game thread
        host::WaitForPreparedHttps();
        run.off_thread_ms += std::chrono::duration<double, std::milli>(Clock::now() - waited).count();
      }
      call([&] { sim().RunFrame(kFrameSeconds); });
      ++run.frames;
    } while (client_->delivery || host::PendingOffGameThreadWork() > 0);
    return run;
  }

  // An unusual input from start to end: `start` on the game thread, then frames until nothing is
  // left, every POST answered with success. The worst call into the plugin and the peak heap.
  struct InputRun {
    double game_thread_us = 0, worst_call_us = 0;
    int frames = 0;
    long long peak_heap = 0;
  };
  template <class Start>
  InputRun RunInput(Start&& start) {
    using Clock = std::chrono::steady_clock;
    InputRun run;
    auto call = [&](auto&& work) {
      const auto begin = Clock::now();
      const double recording = sim::Simulation::RecordingMicros();
      work();
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count() -
                        (sim::Simulation::RecordingMicros() - recording);
      run.game_thread_us += us;
      run.worst_call_us = std::max(run.worst_call_us, us);
    };
    ++g_epoch;
    g_heap_now = 0;
    g_heap_peak = 0;
    g_tracking = true;
    client_->target->Clear();
    start(call);
    for (;;) {
      // The stand-in's record of every command, rights change and request is its own memory.
      sim().ClearEvents();
      while (sim().Scripted().PendingCount() > 0)
        sim().Scripted().CompleteNext(post_status ? post_status(sim().Scripted().Pending().front().body) : 200, "");
      call([&] { sim().RunQueue(); });
      call([&] { sim().RunFrame(kFrameSeconds); });
      ++run.frames;
      if (client_->delivery) continue;
      if (host::PendingOffGameThreadWork() > 0) {
        host::WaitForPreparedHttps();  // the plugin's own thread, not frame time
        continue;
      }
      if (sim().Scripted().PendingCount() == 0 && !client_->request_in_flight) break;
    }
    g_tracking = false;
    run.peak_heap = g_heap_peak.load();
    return run;
  }
  // The status a POST of these results is answered with (200 without it).
  std::function<int(const std::string&)> post_status;
  // A reply of about `bytes`, of payments of three commands.
  static std::string ReplyOfSize(size_t bytes) {
    const size_t per_payment = Reply(1000).size() / 1000;
    size_t payments = bytes / per_payment;
    std::string body = Reply(static_cast<int>(payments));
    while (body.size() > bytes) body = Reply(static_cast<int>(payments = payments * 99 / 100));
    return body;
  }

 private:
  static constexpr int kPlayers = 10;
  std::filesystem::path root_, dir_;
  StoreClient* client_ = nullptr;
};

World& TheWorld() {
  static World* world = new World();
  return *world;
}

// The game thread's whole cost of a reply: the poll, the answer's hand-over, and every frame of
// its delivery including the POST of its results. Manual time: only those calls are counted.
void BM_Delivery(benchmark::State& state) {
  World& world = TheWorld();
  const int payments = static_cast<int>(state.range(0));
  const std::string body = World::Reply(payments);
  for (auto _ : state) {
    world.Reset();
    const World::ReplyRun run = world.RunReply(body, [](auto&& work) { work(); });
    state.SetIterationTime(run.game_thread_us / 1e6);
  }
  state.counters["commands"] = payments * 3;
}
BENCHMARK(BM_Delivery)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime();

// The file work of a delivered command done plainly, file by file: its journal line added and
// removed again (a truncation, as the journal holds nothing else), one info.log line, and its
// state recorded.
void BM_FloorPerCommand(benchmark::State& state) {
  World& world = TheWorld();
  const auto dir = world.dir();
  const std::string journal = (dir / "floor_journal").string(), log = (dir / "floor_info.log").string(),
                    states = (dir / "floor_states").string();
  std::filesystem::remove(journal);
  for (auto _ : state) {
    { std::ofstream(journal, std::ios::app) << "1001\n"; }
    {
      std::ifstream in(journal);
      std::string kept, line;
      while (std::getline(in, line))
        if (line != "1001") kept += line + "\n";
      in.close();
      if (kept.empty()) {
        std::ofstream(journal, std::ios::trunc);
      } else {
        std::ofstream(journal + ".tmp", std::ios::trunc) << kept;
        std::filesystem::rename(journal + ".tmp", journal);
      }
    }
    { std::ofstream(log, std::ios::app) << "[" << FormatLocalTime() << "] Executing command [FOR eos1 : P]  : give\n"; }
    { std::ofstream(states, std::ios::app) << R"({"action":"purchase","cmd":"1","id":"order-1","state":"Executed"})" "\n"; }
  }
  std::filesystem::remove(log);
  std::filesystem::remove(states);
}
BENCHMARK(BM_FloorPerCommand)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_IdleCycleNoKey(benchmark::State& state) {
  World& world = TheWorld();
  auto parts = world.client().key_parts;
  world.client().key_parts.clear();
  for (auto _ : state) {
    world.client().target->Clear();
    world.client().RunRequestCycle(true, false);
  }
  world.client().key_parts = parts;
}
BENCHMARK(BM_IdleCycleNoKey)->Unit(benchmark::kMicrosecond);

void BM_IdleCycleInFlight(benchmark::State& state) {
  World& world = TheWorld();
  world.client().request_in_flight = true;
  for (auto _ : state) {
    world.client().target->Clear();
    world.client().RunRequestCycle(true, false);
  }
  world.client().request_in_flight = false;
  world.Reset();
}
BENCHMARK(BM_IdleCycleInFlight)->Unit(benchmark::kMicrosecond);

void BM_GetCycle(benchmark::State& state) {
  World& world = TheWorld();
  world.Reset();
  for (auto _ : state) {
    world.client().target->Clear();
    world.client().RunRequestCycle(true, false);
    state.PauseTiming();
    // An answer without payments: a failure would make the next polls wait, and measure nothing.
    World::sim().Scripted().CompleteNext(200, "0");
    World::sim().RunUntilIdle();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_GetCycle)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Sha256Ours(benchmark::State& state) {
  std::string data(static_cast<size_t>(state.range(0)), 'x');
  uint8_t digest[32];
  for (auto _ : state) {
    Sha256(data.data(), static_cast<uint32_t>(data.size()), digest, 32);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256Ours)->Arg(64)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_Sha256OpenSsl(benchmark::State& state) {
  std::string data(static_cast<size_t>(state.range(0)), 'x');
  unsigned char digest[32];
  for (auto _ : state) {
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256OpenSsl)->Arg(64)->Arg(1024)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void BM_SignRequestOurs(benchmark::State& state) {
  const SigningInput input{"srv42", "s3cr3t-signing-key-of-the-server", "k3y-third-part", 1796723077};
  for (auto _ : state) benchmark::DoNotOptimize(StoreClient::SignRequest(input));
}
BENCHMARK(BM_SignRequestOurs)->Unit(benchmark::kMicrosecond);

void BM_SignRequestOpenSsl(benchmark::State& state) {
  const std::string key = "s3cr3t-signing-key-of-the-server";
  for (auto _ : state) {
    const std::string message = std::string("srv42") + "k3y-third-part" + std::to_string(1796723077);
    unsigned char mac[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), mac, &n);
    static const char* digits = "0123456789abcdef";
    char hex[64];
    for (int i = 0; i < 32; ++i) hex[2 * i] = digits[mac[i] >> 4], hex[2 * i + 1] = digits[mac[i] & 15];
    unsigned char b64[90];
    EVP_EncodeBlock(b64, reinterpret_cast<const unsigned char*>(hex), 64);
    benchmark::DoNotOptimize(b64);
  }
}
BENCHMARK(BM_SignRequestOpenSsl)->Unit(benchmark::kMicrosecond);

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const double to_us = run.time_unit == benchmark::kNanosecond    ? 1e-3
                           : run.time_unit == benchmark::kMillisecond ? 1e3
                           : run.time_unit == benchmark::kSecond      ? 1e6
                                                                      : 1.0;
      times[run.benchmark_name()] = run.GetAdjustedRealTime() * to_us;
      for (const auto& [name, counter] : run.counters) counters[run.benchmark_name() + ":" + name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;  // microseconds per iteration
  std::map<std::string, double> counters;
};

const int kReplySizes[] = {1, 10, 100, 1000, 10000};

// Replies of each size, start to end, as a running server meets them: the frames one takes and
// the longest call of three; the peak heap of a 1,000-payment one.
struct ReplyFigures {
  std::map<int, World::ReplyRun> runs;
  long long peak_heap_1000 = 0;
};
ReplyFigures MeasureReplies() {
  World& world = TheWorld();
  ReplyFigures figures;
  for (int payments : kReplySizes) {
    const std::string body = World::Reply(payments);
    for (int round = 0; round < 3; ++round) {
      world.Reset();
      ++g_epoch;
      g_heap_now = 0;
      g_heap_peak = 0;
      g_tracking = payments == 1000 && round == 0;
      const World::ReplyRun run = world.RunReply(body, [](auto&& work) { work(); });
      g_tracking = false;
      if (payments == 1000 && round == 0) figures.peak_heap_1000 = g_heap_peak.load();
      if (round == 0)
        figures.runs[payments] = run;
      else
        figures.runs[payments].worst_call_us = std::max(figures.runs[payments].worst_call_us, run.worst_call_us);
    }
  }
  world.Reset();
  return figures;
}

// Inputs of an unusual shape: one payment of many commands, a results backlog after a long
// outage, and replies up to the size the plugin takes.
struct UnusualRow {
  std::string what;
  double size_mib = 0;  // the input's size
  World::InputRun run;
  double per_command_us = -1;
};
std::vector<UnusualRow> MeasureUnusualInputs() {
  World& world = TheWorld();
  std::vector<UnusualRow> rows;
  {
    json cmds = json::array();
    for (int c = 0; c < 100000; ++c)
      cmds.push_back({{"id", c}, {"str", "giveitem {eosid} Blueprint'/Game/Item' 1 0 0"}, {"state", "Must be online"}});
    const std::string body = json::array({{{"id", "order-big"}, {"action", "purchase"}, {"eos_id", "eos1"},
                                            {"username", ""}, {"cmds", cmds}}})
                                 .dump();
    world.Reset();
    UnusualRow row{"one payment of 100,000 commands", body.size() / 1048576.0, {}, -1};
    row.run = world.RunInput([&](auto&& call) {
      call([&] { world.client().RunRequestCycle(true, false); });
      World::sim().Scripted().CompleteNext(200, body);
    });
    row.per_command_us = row.run.game_thread_us / 100000;
    rows.push_back(row);
  }
  {
    // What a failed POST leaves after a long outage: 200,000 results of payments of three.
    world.Reset();
    std::string log;
    for (int r = 0; r < 200000; ++r)
      log += R"({"action":"purchase","cmd":")" + std::to_string(r) + R"(","id":"order-)" + std::to_string(r / 3) +
             R"(","state":"Executed"})" "\n";
    std::ofstream(world.dir() / "response.pending", std::ios::trunc) << log;
    UnusualRow row{"a cycle after a failed POST, 200,000 results in the log", log.size() / 1048576.0, {}, -1};
    log.clear();
    log.shrink_to_fit();
    row.run = world.RunInput([&](auto&& call) { call([&] { world.client().RunRequestCycle(true, false); }); });
    rows.push_back(row);
  }
  const size_t cap = host::kMaxReplyBytes - 4096;
  {
    const std::string body = World::ReplyOfSize(cap);
    world.Reset();
    UnusualRow row{"a connection test over a reply at the cap", body.size() / 1048576.0, {}, -1};
    row.run = world.RunInput([&](auto&& call) {
      call([&] { world.client().RunRequestCycle(false, true); });
      World::sim().Scripted().CompleteNext(200, body);
    });
    rows.push_back(row);
  }
  for (auto [bytes, label] : {std::pair{size_t{1} << 20, "a reply of 1 MiB"}, std::pair{size_t{10} << 20, "a reply of 10 MiB"},
                              std::pair{cap, "a reply at the cap (64 MiB)"}}) {
    const std::string body = World::ReplyOfSize(bytes);
    world.Reset();
    UnusualRow row{label, body.size() / 1048576.0, {}, -1};
    row.run = world.RunInput([&](auto&& call) {
      call([&] { world.client().RunRequestCycle(true, false); });
      World::sim().Scripted().CompleteNext(200, body);
    });
    const double commands = 3.0 * static_cast<double>(json::parse(body).size());
    row.per_command_us = row.run.game_thread_us / commands;
    rows.push_back(row);
  }
  {
    // gildmark.lookup over a delivery history at its full size (both files), over RCON and in the
    // console: the search runs on the plugin's own thread.
    world.Reset();
    double bytes = 0;
    for (const char* name : {kOlderHistoryFileName, kHistoryFileName}) {
      std::string history;
      HistoryEntry entry;
      entry.server = "TheIsland_WP-7777";
      entry.state = "Executed";
      for (int line = 0; history.size() < kHistoryRolloverBytes - 4096; ++line) {
        entry.at = 1765000000 + line;
        entry.payment = "order-" + std::to_string(line / 3);
        entry.command = std::to_string(line);
        entry.eos_id = "eos" + std::to_string(line % 5000);
        entry.character = "Player" + std::to_string(line % 5000);
        entry.text = "giveitem " + entry.eos_id + " Blueprint'/Game/Item' 1 0 0";
        history += HistoryLine(entry);
      }
      bytes += static_cast<double>(history.size());
      std::ofstream(world.dir() / name, std::ios::trunc) << history;
    }
    UnusualRow row{"gildmark.lookup over a full delivery history (RCON, then the console)", bytes / 1048576.0, {}, -1};
    row.run = world.RunInput([&](auto&& call) {
      call([&] { LookUpForRcon(world.client(), "eos3"); });
      RequestTarget asker;
      call([&] { LookUpForPlayer(world.client(), asker, "Player7"); });
    });
    rows.push_back(row);
    std::filesystem::remove(world.dir() / kOlderHistoryFileName);
    std::filesystem::remove(world.dir() / kHistoryFileName);
  }
  // Shapes no honest store sends, up to the cap: what they cost must stay within the same bound.
  auto repeated = [&](const std::string& open, const std::string& element, const std::string& close) {
    std::string body = open;
    while (body.size() + element.size() + close.size() + 1 < cap) body += (body.size() > open.size() ? "," : "") + element;
    return body + close;
  };
  for (auto [label, body] :
       {std::pair{"tiny payments at the cap ([0,0,...])", repeated("[", "0", "]")},
        std::pair{"payments without commands at the cap", repeated("[", R"({"id":"p","action":"a","eos_id":"e","username":"","cmds":[]})", "]")},
        std::pair{"one payment of tiny commands at the cap", repeated(R"([{"id":"p","action":"a","eos_id":"eos1","username":"","cmds":[)", "0", "]}]")}}) {
    world.Reset();
    UnusualRow row{label, body.size() / 1048576.0, {}, -1};
    row.run = world.RunInput([&](auto&& call) {
      call([&] { world.client().RunRequestCycle(true, false); });
      World::sim().Scripted().CompleteNext(200, body);
    });
    rows.push_back(row);
  }
  {
    // A set-aside file of 5 MB, read before a delivery, then a payment set aside into it.
    world.Reset();
    std::string kept = "{";
    for (int p = 0; kept.size() < (size_t{5} << 20); ++p) {
      kept += (p ? ",\"" : "\"") + std::string("aside-") + std::to_string(p) + R"(":{"action":"purchase","cmds":{)";
      for (int c = 0; c < 20; ++c) kept += (c ? ",\"" : "\"") + std::to_string(c) + R"(":"Executed")";
      kept += "}}";
    }
    kept += "}";
    std::ofstream(world.dir() / "response.refused.json", std::ios::trunc) << kept;
    const std::string body = World::Reply(1);
    UnusualRow row{"a set-aside file of 5 MB read, and a payment set aside into it", kept.size() / 1048576.0, {}, -1};
    kept.clear();
    kept.shrink_to_fit();
    world.post_status = [](const std::string&) { return 413; };
    row.run = world.RunInput([&](auto&& call) {
      call([&] { world.client().RunRequestCycle(true, false); });
      World::sim().Scripted().CompleteNext(200, body);
    });
    world.post_status = nullptr;
    rows.push_back(row);
  }
  world.Reset();
  return rows;
}

std::string Machine() {
  std::ifstream cpu("/proc/cpuinfo");
  std::string line, model = "unknown CPU";
  while (std::getline(cpu, line))
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  return fmt::format("{}, {} cores", model, sysconf(_SC_NPROCESSORS_ONLN));
}

std::string Table(const Collector& c, const ReplyFigures& replies, const std::vector<UnusualRow>& unusual) {
  const std::map<std::string, double>& t = c.times;
  auto get = [&](const std::string& name) {
    auto it = t.find(name);
    return it == t.end() ? 0.0 : it->second;
  };
  std::ostringstream out;
  const double floor = get("BM_FloorPerCommand/real_time");
  out << "Deliveries: the game thread's cost per command against the floor of its file work, the longest\n"
         "single call into the plugin, and the time from the answer's arrival until the results are\n"
         "posted, at 30 frames a second (decoding off the game thread included).\n\n"
         "| payments x 3 commands | per command | floor | ratio (within 2x) | longest call (at most 5 ms) | "
         "until done at 30 Hz |\n|---|---|---|---|---|---|\n";
  for (int n : kReplySizes) {
    const std::string name = "BM_Delivery/" + std::to_string(n) + "/manual_time";
    const double per_command = get(name) / (3.0 * n);
    const World::ReplyRun& run = replies.runs.at(n);
    const double worst_us = run.worst_call_us;
    out << fmt::format("| {} | {:.1f} us | {:.1f} us | {:.2f}x | {:.2f} ms | {} frames, {:.2f} s |\n", n, per_command,
                       floor, floor > 0 ? per_command / floor : 0, worst_us / 1000, run.frames,
                       run.off_thread_ms / 1000 + run.frames / 30.0);
  }
  out << "\nPer command: every game-thread call from the answer's arrival until its results are posted, added\n"
         "up (the stand-in's own event recording left out; the poll that asked is the GET cycle below), over\n"
         "the reply's commands, against the floor: the same file work done plainly, file by file, in a tight\n"
         "loop. A single payment carries the reply's fixed costs (the hand-over, the files opened for the\n"
         "slice, the journal, the POST) over three commands. The longest call is the worst of three replies\n"
         "of each size.\n";
  out << "\n| measure | ours | reference | ratio | target |\n|---|---|---|---|---|\n";
  out << fmt::format("| idle tick, no key | {:.3f} us | | | under 1 us |\n", get("BM_IdleCycleNoKey"));
  out << fmt::format("| idle tick, request in flight (writes \"Please wait\" to info.log) | {:.2f} us | | | under 1 us |\n",
                     get("BM_IdleCycleInFlight"));
  out << fmt::format("| GET cycle, signing included | {:.2f} us | | | under 50 us |\n", get("BM_GetCycle/real_time"));
  for (auto [arg, label] : {std::pair{"64", "64 B"}, std::pair{"1024", "1 KiB"}, std::pair{"1048576", "1 MiB"}}) {
    const double ours = get(std::string("BM_Sha256Ours/") + arg), ssl = get(std::string("BM_Sha256OpenSsl/") + arg);
    out << fmt::format("| SHA-256 of {} | {:.3f} us | OpenSSL {:.3f} us | {:.2f}x | within 4x |\n", label, ours, ssl,
                       ssl > 0 ? ours / ssl : 0);
  }
  const double sign = get("BM_SignRequestOurs"), sign_ssl = get("BM_SignRequestOpenSsl");
  out << fmt::format("| request signature | {:.3f} us | OpenSSL {:.3f} us | {:.2f}x | under 5 us |\n", sign, sign_ssl,
                     sign_ssl > 0 ? sign / sign_ssl : 0);
  out << fmt::format("| peak heap while handling a 1,000-payment reply | {:.2f} MiB | | | |\n",
                     static_cast<double>(replies.peak_heap_1000) / (1024.0 * 1024.0));
  out << fmt::format(
      "\nUnusual inputs, start to end (every POST answered with success): the longest single call into the\n"
         "plugin on the game thread, the cost per command against the floor, and the peak heap of the whole\n"
         "process (both threads; the stand-in's own record of events left out) against three times the\n"
         "input's size plus 32 MiB. The input's size counts once: the reply as it arrives, or the log.\n\n"
         "| input | size | longest call (at most 5 ms) | per command (floor {:.1f} us, within 2x) | frames at 30 Hz | "
         "peak heap | at most |\n|---|---|---|---|---|---|---|\n",
      floor);
  for (const UnusualRow& row : unusual) {
    const std::string per_command =
        row.per_command_us < 0 ? std::string("") : fmt::format("{:.1f} us ({:.2f}x)", row.per_command_us,
                                                               floor > 0 ? row.per_command_us / floor : 0);
    out << fmt::format("| {} | {:.1f} MiB | {:.2f} ms | {} | {} | {:.0f} MiB | {:.0f} MiB |\n", row.what, row.size_mib,
                       row.run.worst_call_us / 1000, per_command, row.run.frames,
                       static_cast<double>(row.run.peak_heap) / 1048576.0, 3 * row.size_mib + 32);
  }
  return out.str();
}

}  // namespace
}  // namespace gildmark

int main(int argc, char** argv) {
  std::string results;
  bool unusual_only = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--results" && i + 1 < argc) {
      results = argv[++i];
      continue;
    }
    if (std::string(argv[i]) == "--unusual-only") {
      unusual_only = true;
      continue;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  gildmark::Collector collector;
  if (unusual_only) {
    // A quick look at the unusual inputs alone, without touching the results file.
    for (const gildmark::UnusualRow& row : gildmark::MeasureUnusualInputs())
      std::cout << row.what << ": " << row.size_mib << " MiB, longest call " << row.run.worst_call_us / 1000
                << " ms, peak heap " << row.run.peak_heap / 1048576 << " MiB\n";
    delete &gildmark::TheWorld();
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks(&collector);
  const gildmark::ReplyFigures replies = gildmark::MeasureReplies();
  const std::vector<gildmark::UnusualRow> unusual = gildmark::MeasureUnusualInputs();
  const std::string table = gildmark::Table(collector, replies, unusual);
  std::cout << "\n" << table;
  if (!results.empty()) {
    std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof(date), "%Y-%m-%d", std::gmtime(&now));
    std::ofstream out(results, std::ios::trunc);
    out << "# Benchmark results\n\nMachine: " << gildmark::Machine() << ". Date: " << date
        << ". Build: RelWithDebInfo (-O2), g++ " << __VERSION__ << ".\n"
        << "Made by `make bench` on the simulated server (ten buyers online).\n\n"
        << table;
  }
  delete &gildmark::TheWorld();
  return 0;
}
