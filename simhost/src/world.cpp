// The simulated world: players joining, leaving, dying and spawning, their rights bits, the
// game's new-player handler behind the hook chain, chat, and the host's player utilities.
#include <algorithm>
#include <stdexcept>

#include "sim/simulation.h"
#include "state.h"

namespace sim {

const char* const kNewPlayerHook =
    "AShooterGameMode.HandleNewPlayer_Implementation(AShooterPlayerController*,UPrimalPlayerData*,"
    "AShooterCharacter*,bool)";

// The game's own new-player handler: at a login, admins named in the server's list get the
// admin bit.
bool GameHandleNewPlayer(AShooterGameMode*, AShooterPlayerController* player, UPrimalPlayerData*, AShooterCharacter*,
                         bool from_login) {
  auto* p = Simulation::Get().state().AsPlayer(player);
  if (p->admin_on_join && from_login) p->set_admin(true);
  return true;
}

namespace {

class SimMessaging : public MessagingManager {
 protected:
  void SendChatMessage_Impl(AShooterPlayerController* player, const FString& sender_name,
                            const FString& message) override {
    auto& s = Simulation::Get().state();
    SimPlayer* p = s.AsPlayer(player);
    Simulation::State::RecordingScope recording;
    s.Record({{"type", "chat"}, {"to", p->eos_id}, {"sender", Narrow(sender_name)}, {"text", Narrow(message)}});
  }
};

}  // namespace

class SimHooks : public AsaApi::IHooks {
 public:
  // The host's DisableHook (Hooks.cpp): the whole chain detached, the removed hook's original
  // nulled, then each hook that stays attached again in its order, each over the chain as it
  // stands. A survivor that cannot be attached leaves the chain with its original nulled.
  bool DisableHook(const std::string& name, LPVOID detour) override {
    auto& s = Simulation::Get().state();
    auto it = s.hooks.find(name);
    if (it == s.hooks.end()) return false;
    auto& chain = it->second;
    auto removed = std::find_if(chain.links.begin(), chain.links.end(), [&](auto& l) { return l.detour == detour; });
    if (removed == chain.links.end()) return false;
    *removed->original_slot = nullptr;
    std::vector<HookLink> survivors;
    for (auto& link : chain.links)
      if (link.detour != detour) survivors.push_back(link);
    chain.links.clear();
    const bool fails = s.hook_rebuild_fails;
    s.hook_rebuild_fails = false;
    for (auto& link : survivors) {
      if (fails) {
        *link.original_slot = nullptr;
        s.Record({{"type", "log"}, {"logger", "API"}, {"level", "error"},
                  {"text", "Failed to reinstall hook for " + name + " during chain rebuild"}});
        continue;
      }
      *link.original_slot = chain.Top();
      chain.links.push_back(link);
    }
    return true;
  }

 protected:
  __attribute__((noinline)) bool SetHookInternal(const std::string& name, LPVOID detour, LPVOID* original) override {
    auto& s = Simulation::Get().state();
    auto it = s.hooks.find(name);
    if (it == s.hooks.end() || !detour || !original) return false;
    if (s.hook_install_fails) {
      *original = nullptr;  // the host's transaction failed after it set the original up
      return false;
    }
    *original = it->second.Top();
    it->second.links.push_back({detour, original, ModuleOfAddress(__builtin_return_address(0))});
    return true;
  }
};

class SimApiUtils : public AsaApi::IApiUtils {
 public:
  UWorld* GetWorld() const override {
    auto& s = Simulation::Get().state();
    return s.world_exists ? &s.world : nullptr;
  }
  AShooterPlayerController* FindPlayerFromEOSID(const FString& eos_id) override {
    auto& s = Simulation::Get().state();
    // The host falls back to the world's controller list without checking for a world.
    if (!s.world_exists) detail::HostCrash("FindPlayerFromEOSID dereferenced a null world");
    return s.FindPlayer(Narrow(eos_id));
  }

 protected:
  TArray<AShooterPlayerController*> PlayersByCharacterName(UWorld&, const FString& name, ESearchCase::Type search,
                                                            bool full_match) const override {
    TArray<AShooterPlayerController*> found;
    const FString wanted = name;
    for (auto& p : Simulation::Get().state().players) {
      if (!p->connected) continue;
      const FString have = Wide(p->name);
      bool match = false;
      if (full_match) {
        match = have.Equals(wanted, search);
      } else {
        std::wstring h(*have), w(*wanted);
        if (search == ESearchCase::IgnoreCase) {
          for (auto& c : h) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
          for (auto& c : w) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        }
        match = h.find(w) != std::wstring::npos;
      }
      if (match) found.Add(p.get());
    }
    return found;
  }
  // A plugin registers no manager of its own here, so each gets its own on first use; the
  // module name keys it, as the host's does, and unloading the module drops it.
  std::shared_ptr<MessagingManager> MessagingManagerOf(const FString& module_name) const override {
    auto& s = Simulation::Get().state();
    // "Default" exists only after InitGame, and a missing messaging mod erases it; the host's
    // lookup then dereferences an end iterator.
    if (!s.world_exists || s.messaging_missing)
      detail::HostCrash("the chat messaging manager lookup found no manager (no \"Default\")");
    auto& slot = s.messaging[Narrow(module_name)];
    if (!slot) slot = std::make_shared<SimMessaging>();
    return slot;
  }
};

void Simulation::SetWorldExists(bool exists) { state_->world_exists = exists; }
void Simulation::SetHookInstallFails(bool fails) { state_->hook_install_fails = fails; }
void Simulation::SetHookRebuildFails(bool fails) { state_->hook_rebuild_fails = fails; }
void Simulation::SetMessagingMissing(bool missing) { state_->messaging_missing = missing; }

AShooterPlayerController* Simulation::Join(const std::string& eos_id, int64_t linked_id,
                                           const std::string& character_name, bool admin_on_join,
                                           bool with_character) {
  State& s = *state_;
  if (s.FindPlayer(eos_id)) throw std::invalid_argument("player already connected: " + eos_id);
  auto player = std::make_unique<SimPlayer>();
  player->eos_id = eos_id;
  player->name = character_name;
  player->linked_id = linked_id;
  player->admin_on_join = admin_on_join;
  if (with_character) player->character = std::make_unique<SimCharacter>();
  SimPlayer* p = player.get();
  s.freed_players.erase(p);
  s.player_pointers.insert(p);
  if (p->character) s.character_pointers.insert(static_cast<AShooterCharacter*>(p->character.get()));
  s.players.push_back(std::move(player));
  s.Record({{"type", "join"}, {"player", eos_id}, {"linked_id", linked_id}, {"name", character_name}});
  using Handler = bool (*)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*, bool);
  auto handler = reinterpret_cast<Handler>(s.hooks[kNewPlayerHook].Top());
  s.Guard("new-player hook", [&] { handler(&s.game_mode, p, nullptr, p->character.get(), true); });
  return p;
}

void Simulation::Leave(const std::string& eos_id) {
  State& s = *state_;
  SimPlayer* p = s.FindPlayer(eos_id);
  if (!p) return;
  p->connected = false;
  s.Record({{"type", "leave"}, {"player", eos_id}});
  // The host's logout hook, then the game, destroy the controller and its character.
  if (p->character) s.character_pointers.erase(static_cast<AShooterCharacter*>(p->character.get()));
  s.player_pointers.erase(p);
  s.freed_players.insert(p);
  s.players.erase(std::find_if(s.players.begin(), s.players.end(), [p](auto& owned) { return owned.get() == p; }));
}

void Simulation::Die(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id); p && p->character) {
    p->character->dead = true;
    state_->Record({{"type", "death"}, {"player", eos_id}});
  }
}

void Simulation::Respawn(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id)) {
    if (!p->character) {
      p->character = std::make_unique<SimCharacter>();
      state_->character_pointers.insert(static_cast<AShooterCharacter*>(p->character.get()));
    }
    p->character->dead = false;
    state_->Record({{"type", "respawn"}, {"player", eos_id}});
    // The game runs its new-player handler for a respawn too, with bIsFromLogin false.
    State& s = *state_;
    using Handler = bool (*)(AShooterGameMode*, AShooterPlayerController*, UPrimalPlayerData*, AShooterCharacter*, bool);
    auto handler = reinterpret_cast<Handler>(s.hooks[kNewPlayerHook].Top());
    s.Guard("new-player hook", [&] { handler(&s.game_mode, p, nullptr, p->character.get(), false); });
  }
}

void Simulation::RemoveCharacter(const std::string& eos_id) {
  if (SimPlayer* p = state_->FindPlayer(eos_id); p && p->character) {
    state_->character_pointers.erase(static_cast<AShooterCharacter*>(p->character.get()));
    p->character.reset();
  }
}

AShooterPlayerController* Simulation::Player(const std::string& eos_id) const { return state_->FindPlayer(eos_id); }

std::vector<std::string> Simulation::PlayerIds() const {
  std::vector<std::string> ids;
  for (auto& p : state_->players)
    if (p->connected) ids.push_back(p->eos_id);
  return ids;
}

std::string Simulation::Describe(const std::string& eos_id) const {
  SimPlayer* p = state_->FindPlayer(eos_id);
  if (!p) return eos_id + " (offline)";
  std::string state = !p->character ? "no character" : p->character->dead ? "dead" : "alive";
  return eos_id + " linked " + std::to_string(p->linked_id) + " \"" + p->name + "\" " +
         state + (p->admin() ? " admin" : "") + (p->cheat() ? " cheat" : "");
}

SimPlayer& Require(const Simulation::State& s, const std::string& eos_id) {
  SimPlayer* p = s.FindPlayer(eos_id);
  if (!p) throw std::invalid_argument("no connected player " + eos_id);
  return *p;
}

bool Simulation::AdminBit(const std::string& eos_id) const { return Require(*state_, eos_id).admin(); }
bool Simulation::CheatBit(const std::string& eos_id) const { return Require(*state_, eos_id).cheat(); }
void Simulation::SetAdminBit(const std::string& eos_id, bool value) { Require(*state_, eos_id).set_admin(value); }
void Simulation::SetCheatBit(const std::string& eos_id, bool value) { Require(*state_, eos_id).set_cheat(value); }

size_t Simulation::HookCount(const std::string& name) const {
  auto it = state_->hooks.find(name);
  return it == state_->hooks.end() ? 0 : it->second.links.size();
}

}  // namespace sim

namespace AsaApi {
IHooks& GetHooks() {
  static sim::SimHooks hooks;
  return hooks;
}
IApiUtils& GetApiUtils() {
  static sim::SimApiUtils utils;
  return utils;
}
}  // namespace AsaApi
