// security_admin.dat's bytes through a player's join.
#include "fuzz_world.h"

namespace {
AShooterPlayerController* Joiner() {
  auto& world = gildmark::fuzzing::FuzzWorld::Get();  // first: it starts the server anew
  gildmark::host::InstallNewPlayerHook(&gildmark::OnHandleNewPlayer, &gildmark::g_replaced_handle_new_player);
  return world.sim().Join("joiner", 42, "Joiner");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static AShooterPlayerController* joiner = Joiner();
  auto& world = gildmark::fuzzing::FuzzWorld::Get();
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  world.Write("security_admin.dat", bytes);
  world.sim().SetAdminBit("joiner", true);
  world.sim().SetCheatBit("joiner", true);
  const bool listed = ("\n" + bytes).find("\n42\n") != std::string::npos ||
                      (bytes.size() >= 2 && ("\n" + bytes).substr(bytes.size() - 2) == "\n42");
  gildmark::OnHandleNewPlayer(nullptr, joiner, nullptr, nullptr, true);
  // Listed players lose both rights; the line "42" is gone either way.
  const std::string after = world.Read("security_admin.dat");
  if (("\n" + after).find("\n42\n") != std::string::npos) abort();
  if (listed && (world.sim().AdminBit("joiner") || world.sim().CheatBit("joiner"))) abort();
  if (!world.sim().EscapedExceptions().empty()) abort();
  std::filesystem::remove(world.dir() / "security_admin.dat");
  world.sim().ClearEvents();
  return 0;
}
