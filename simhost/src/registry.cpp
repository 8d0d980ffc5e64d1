// The by-name registry of game functions, fields and bit fields, with the game's behaviour
// behind each name. Every lookup counts, so a test can break the n-th call of any entry.
#include <cstdlib>
#include <stdexcept>

#include <strings.h>

#include "state.h"

namespace sim {

Simulation::State& S() { return Simulation::Get().state(); }

namespace {

void* Malloc(unsigned long long count, unsigned int) { return std::malloc(count ? count : 1); }
void* Realloc(void* original, unsigned long long count, unsigned int) {
  return std::realloc(original, count ? count : 1);
}
void Free(void* original) { std::free(original); }

int GetLinkedPlayerID(const void* self) {
  return static_cast<int>(static_cast<uint32_t>(S().AsPlayer(self)->linked_id));
}
FString* GetPlayerCharacterName(const void* self, FString* result) {
  *result = Wide(S().AsPlayer(self)->name);
  return result;
}
FString* GetUniqueNetIdAsString(const void* self, FString* result) {
  *result = Wide(S().AsPlayer(self)->eos_id);
  return result;
}
AShooterCharacter* BaseGetPlayerCharacter(const void* self) { return S().AsPlayer(self)->character.get(); }
bool IsDeadOrDying(const void* self) {
  if (!S().character_pointers.count(self)) throw std::runtime_error("IsDeadOrDying on an object that is no character");
  return static_cast<const SimCharacter*>(static_cast<const AShooterCharacter*>(self))->dead;
}
APlayerController* GetFirstPlayerController(const void* world) {
  if (world != &S().world || !S().world_exists) throw std::runtime_error("GetFirstPlayerController on no world");
  for (auto& p : S().players)
    if (p->connected) return p.get();
  return nullptr;
}

void RconSendMessage(const void* self, int id, int type, FString* message) {
  const auto* connection = static_cast<const SimRconConnection*>(static_cast<const RCONClientConnection*>(self));
  // A freed connection is read here, as the game would: the sanitizers see it, and so does this.
  if (connection->closed_and_freed_marker != SimRconConnection::kAlive)
    detail::HostCrash("RCON reply through a connection that was closed and freed");
  Simulation::State::RecordingScope recording;
  const std::string text = message ? Narrow(*message) : std::string();
  S().Record({{"type", "rcon_reply"}, {"client", connection->client}, {"packet_id", id}, {"reply_type", type},
              {"text", text}});
  WriteRconPacket(*connection, id, type, text);
}

FString* ConsoleCommand(const void* self, FString* result, const FString* command, bool) {
  auto& s = S();
  SimPlayer* player = s.AsPlayer(self);
  s.NoteRights(*player);
  const std::string text = Narrow(*command);
  {
    Simulation::State::RecordingScope recording;
    s.Record({{"type", "console_command"}, {"player", player->eos_id}, {"text", text}, {"admin", player->admin()},
              {"cheat", player->cheat()}});
  }
  if (s.console_observer) s.console_observer(player, text);
  // The framework hooks the console, so a command of the host's or of a plugin reaches it
  // from here too, plugins.unload included.
  DispatchConsole(s, player, *command);
  *result = FString();
  return result;
}

void* LinkedPlayerIDField(void* self) { return &S().AsPlayer(self)->linked_id; }
void* AdminBitField(void* self) { return &S().AsPlayer(self)->primal_flags; }
void* CheatBitField(void* self) { return &S().AsPlayer(self)->base_flags; }

RegistryEntry& Lookup(const std::string& name, RegistryEntry::Kind kind) {
  auto& registry = S().registry;
  auto it = registry.find(name);
  if (it == registry.end() || it->second.removed || it->second.kind != kind) {
    if (kind == RegistryEntry::kBitField) throw std::runtime_error("Invalid bitfield metadata: " + name);
    if (kind == RegistryEntry::kField) throw std::runtime_error("Invalid field: " + name);
    throw std::runtime_error("Invalid function: " + name);
  }
  RegistryEntry& entry = it->second;
  const int call = entry.lookups++;
  if (entry.fail_after >= 0 && call >= entry.fail_after &&
      (entry.fail_times < 0 || call < entry.fail_after + entry.fail_times)) {
    if (!entry.message.empty()) throw std::runtime_error(entry.message);
    if (kind == RegistryEntry::kBitField) throw std::runtime_error("Invalid bitfield metadata: " + name);
    throw std::runtime_error("Simulated fault in " + name);
  }
  return entry;
}

}  // namespace

void Simulation::State::InstallDefaultRegistry() {
  auto add = [this](const std::string& name, RegistryEntry::Kind kind, void* target, unsigned bit = 0) {
    RegistryEntry entry;
    entry.kind = kind;
    entry.target = target;
    entry.bit_position = bit;
    registry[name] = entry;
  };
  using K = RegistryEntry;
  add("FMemory.Malloc(unsigned__int64,unsignedint)", K::kFunction, reinterpret_cast<void*>(&Malloc));
  add("FMemory.Realloc(void*,unsigned__int64,unsignedint)", K::kFunction, reinterpret_cast<void*>(&Realloc));
  add("FMemory.Free(void*)", K::kFunction, reinterpret_cast<void*>(&Free));
  add("AShooterPlayerController.GetLinkedPlayerID()", K::kFunction, reinterpret_cast<void*>(&GetLinkedPlayerID));
  add("AShooterPlayerController.GetPlayerCharacterName()", K::kFunction,
      reinterpret_cast<void*>(&GetPlayerCharacterName));
  add("AShooterPlayerController.GetUniqueNetIdAsString()", K::kFunction,
      reinterpret_cast<void*>(&GetUniqueNetIdAsString));
  add("AShooterPlayerController.BaseGetPlayerCharacter()", K::kFunction,
      reinterpret_cast<void*>(&BaseGetPlayerCharacter));
  add("APrimalCharacter.IsDeadOrDying()", K::kFunction, reinterpret_cast<void*>(&IsDeadOrDying));
  add("UWorld.GetFirstPlayerController()", K::kFunction, reinterpret_cast<void*>(&GetFirstPlayerController));
  add("RCONClientConnection.SendMessage(int,int,FString&)", K::kFunction, reinterpret_cast<void*>(&RconSendMessage));
  add("AShooterPlayerController.ConsoleCommand(FString&,bool)", K::kFunction, reinterpret_cast<void*>(&ConsoleCommand));
  add("AShooterPlayerController.LinkedPlayerID", K::kField, reinterpret_cast<void*>(&LinkedPlayerIDField));
  add("APrimalPlayerController.bIsAdmin", K::kBitField, reinterpret_cast<void*>(&AdminBitField),
      SimPlayer::kAdminPosition);
  add("ABasePlayerController.bCheatEnabled", K::kBitField, reinterpret_cast<void*>(&CheatBitField),
      SimPlayer::kCheatPosition);
}

void Simulation::BreakEntry(const std::string& name, int after_calls, int times, const std::string& message) {
  auto it = state_->registry.find(name);
  if (it == state_->registry.end()) throw std::invalid_argument("no registry entry " + name);
  it->second.fail_after = it->second.lookups + after_calls;
  it->second.fail_times = times;
  it->second.message = message;
}

void Simulation::RemoveEntry(const std::string& name) {
  auto it = state_->registry.find(name);
  if (it != state_->registry.end()) it->second.removed = true;
}

void Simulation::RestoreRegistry() {
  for (auto& [name, entry] : state_->registry) {
    entry.removed = false;
    entry.fail_after = -1;
  }
}

int Simulation::LookupCount(const std::string& name) const {
  auto it = state_->registry.find(name);
  return it == state_->registry.end() ? 0 : it->second.lookups;
}

std::vector<std::string> Simulation::EntryNames() const {
  std::vector<std::string> names;
  for (auto& [name, entry] : state_->registry) names.push_back(name);
  return names;
}

}  // namespace sim

LPVOID GetAddress(const std::string& name) { return sim::Lookup(name, sim::RegistryEntry::kFunction).target; }

DWORD64 GetAddress(const void* object, const std::string& name) {
  auto accessor = reinterpret_cast<void* (*)(void*)>(sim::Lookup(name, sim::RegistryEntry::kField).target);
  return reinterpret_cast<DWORD64>(accessor(const_cast<void*>(object)));
}

BitField GetBitField(const void* base, const std::string& name) {
  const sim::RegistryEntry& entry = sim::Lookup(name, sim::RegistryEntry::kBitField);
  sim::S().NoteRights(*sim::S().AsPlayer(base));
  auto accessor = reinterpret_cast<void* (*)(void*)>(entry.target);
  return {reinterpret_cast<DWORD64>(accessor(const_cast<void*>(base))), entry.bit_position, 1, sizeof(uint32_t)};
}

BitField GetBitField(LPVOID base, const std::string& name) { return GetBitField(static_cast<const void*>(base), name); }
