// config.json's bytes through a configuration load.
#include "fuzz_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& world = gildmark::fuzzing::FuzzWorld::Get();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  world.Write("config.json", bytes);
  world.client().LoadConfig();
  const size_t parts = world.client().key_parts.size();
  if (parts != 0 && parts != 3) abort();
  // The file is the admin's when it holds JSON; otherwise it was kept aside and replaced.
  if (nlohmann::json::accept(bytes + "\n") && world.Read("config.json") != bytes) abort();
  world.client().RunRequestCycle(false, true);
  world.Drain();
  world.CheckInvariants();
  world.Tidy();
  return 0;
}
