// security_admin.dat's bytes through a player's join.
#include "fuzz_world.h"

namespace {
bool Installed() {
  return gildmark::host::InstallNewPlayerHook(&gildmark::OnHandleNewPlayer, &gildmark::g_replaced_handle_new_player);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto& world = gildmark::fuzzing::FuzzWorld::Get();  // first: it starts the server anew
  static bool installed = Installed();
  if (!installed) abort();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  world.Write("security_admin.dat", bytes);
  world.sim().Join("joiner", 42, "Joiner");
  world.sim().SetCheatBit("joiner", true);
  // Listed players lose rights; the line "42" is gone either way.
  const std::string after = world.Read("security_admin.dat");
  if (("\n" + after).find("\n42\n") != std::string::npos) abort();
  world.sim().Leave("joiner");
  if (!world.sim().EscapedExceptions().empty()) abort();
  std::filesystem::remove(world.dir() / "security_admin.dat");
  world.sim().ClearEvents();
  return 0;
}
