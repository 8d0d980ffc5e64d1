// response.json's bytes through a request cycle.
#include "fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& world = gildmark::fuzzing::FuzzWorld::Get();
  world.Write("response.json", std::string(reinterpret_cast<const char*>(data), size));
  world.client().RunRequestCycle(true, false);
  auto pending = world.sim().Scripted().Pending();
  if (pending.size() != 1) abort();
  if (pending[0].method == "POST" && !nlohmann::json::accept(pending[0].body)) abort();
  world.Drain();
  world.CheckInvariants();
  world.Tidy();
  return 0;
}
