// A simulated server for the fuzz targets: a plugin folder, a store client with a valid key, and
// buyers online, dead and without a character. Each input runs against it, then it is tidied.
#pragma once

#include "../support/portable.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim/simulation.h"
#include "host/store_https.h"
#include "store/admin_rights.h"
#include "store/store_client.h"
#include "support/request_target.h"

namespace gildmark::fuzzing {

class FuzzWorld {
 public:
  static FuzzWorld& Get() {
    static FuzzWorld* world = new FuzzWorld();
    return *world;
  }
  static sim::Simulation& sim() { return sim::Simulation::Get(); }
  StoreClient& client() { return *client_; }
  std::filesystem::path dir() const { return dir_; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Answers whatever is pending and runs frames until the delivery under way is done and its
  // results are posted.
  void Drain() {
    do {
      while (sim().Scripted().PendingCount() > 0) sim().Scripted().CompleteNext(200, "");
      sim().RunUntilIdle();
      gildmark::host::WaitForPreparedHttps();
      sim().RunUntilIdle();
    } while (client().delivery || sim().Scripted().PendingCount() > 0 ||
             gildmark::host::PendingOffGameThreadWork() > 0);
  }
  // Anything that would crash a server or leave rights behind ends the run as a finding.
  void CheckInvariants() {
    if (!sim().EscapedExceptions().empty()) Die("exception escaped: " + sim().EscapedExceptions()[0]);
    for (const char* id : {"on1", "on2", "dead1", "ghost1"}) {
      if (!sim().Player(id)) continue;
      if (sim().AdminBit(id) || sim().CheatBit(id)) Die(std::string("rights left with ") + id);
    }
    if (!client().target || client().request_in_flight) Die("the request flag stayed set");
    if (client().delivery) Die("a delivery left unfinished");
    const std::string journal = Read("security_admin.dat");
    if (!journal.empty()) Die("journal left with lines: " + journal);
  }
  // Back to a clean state for the next input.
  void Tidy() {
    Drain();
    client().request_in_flight = false;
    client().turns.Release();  // as the next frame would
    client().target->Clear();
    std::filesystem::remove(dir_ / "info.log");
    std::filesystem::remove(dir_ / "err.log");
    Write("response.json", "{}");
    std::filesystem::remove(dir_ / "response.pending");
    sim().ClearEvents();
  }

 private:
  FuzzWorld() {
    root_ = std::filesystem::temp_directory_path() / ("gildmark-fuzz-" + std::to_string(gildmark::testing::ProcessId()));
    dir_ = root_ / "ArkApi" / "Plugins" / "Gildmark_DadUZ";
    std::filesystem::create_directories(dir_);
    Write("config.json", R"({"key":"srv.secret.third","request_interval_in_minutes":1,"order_received_text":"Hi {{x}}"})");
    sim().Reset(root_.string());
    InitPluginLogger();
    client_ = new StoreClient();
    Drain();
    sim().Join("first", 1, "First");
    sim().SetAdminBit("first", true);  // an admin keeps rights: not checked
    sim().Join("on1", 2, "Alice");
    sim().Join("on2", -3, "J\xc3\xb6rg|x");
    sim().Join("dead1", 4, "Dead");
    sim().Die("dead1");
    sim().Join("ghost1", 5, "Ghost");
    sim().RemoveCharacter("ghost1");
    std::atexit([] { std::filesystem::remove_all(Get().root_); });
  }
  [[noreturn]] static void Die(const std::string& why) {
    fprintf(stderr, "FINDING: %s\n", why.c_str());
    std::abort();
  }

  std::filesystem::path root_, dir_;
  StoreClient* client_ = nullptr;
};

}  // namespace gildmark::fuzzing
