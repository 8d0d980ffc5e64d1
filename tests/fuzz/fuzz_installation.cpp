// What other processes and people write beside the plugin: instances.txt (the servers of this
// installation) and response.refused.json (results set aside), then a poll and a delivery.
// The input is the first file's bytes, a NUL, then the second's.
#include "fuzz_world.h"
#include "store/results_batches.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& world = gildmark::fuzzing::FuzzWorld::Get();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t nul = bytes.find('\0');
  world.Write("instances.txt", bytes.substr(0, nul));
  world.Write(gildmark::kSetAsideFileName, nul == std::string::npos ? "" : bytes.substr(nul + 1));
  world.client().RunRequestCycle(true, false);
  auto pending = world.sim().Scripted().Pending();
  if (pending.size() != 1 || pending[0].method != "GET") abort();
  world.sim().Scripted().CompleteNext(200, R"([
    {"id":"s1","action":"a","eos_id":"on1","username":"","cmds":[{"id":1,"str":"give 1","state":""},
                                                                  {"id":2,"str":"give 2","state":""}]},
    {"id":"s2","action":"a","eos_id":"","username":"Alice","cmds":[{"id":3,"str":"give 3","state":""}]}])");
  world.Drain();
  world.CheckInvariants();
  world.Tidy();
  std::filesystem::remove(world.dir() / "instances.txt");
  std::filesystem::remove(world.dir() / gildmark::kSetAsideFileName);
  return 0;
}
