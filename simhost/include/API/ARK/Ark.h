// Umbrella header of the stand-in host framework, mirroring the real SDK's API/ARK/Ark.h: the
// game classes as plugins meet them, the hook, command and utility interfaces, and Tools.
// Game classes carry no data here; every call and field goes through the by-name lookup.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "API/Base.h"
#include "API/Helpers/Helpers.h"
#include "API/UE/Containers.h"

struct UObject {};
struct AActor : UObject {};
struct APawn : AActor {};
struct ACharacter : APawn {};

struct APrimalCharacter : ACharacter {
  bool IsDeadOrDying() { return NativeCall<bool>(this, "APrimalCharacter.IsDeadOrDying()"); }
};
struct AShooterCharacter : APrimalCharacter {};

struct AController : AActor {};
struct APlayerController : AController {};
// The bit accessors are BitFieldValue<bool, unsigned __int32> on Windows.
struct APrimalPlayerController : APlayerController {
  BitFieldValue<bool, unsigned int> bIsAdmin() { return {this, "APrimalPlayerController.bIsAdmin"}; }
};
struct ABasePlayerController : APrimalPlayerController {
  BitFieldValue<bool, unsigned int> bCheatEnabled() { return {this, "ABasePlayerController.bCheatEnabled"}; }
};

struct AShooterPlayerController : ABasePlayerController {
  // The 32-bit form of the linked id.
  int GetLinkedPlayerID() { return NativeCall<int>(this, "AShooterPlayerController.GetLinkedPlayerID()"); }
  // The 64-bit linked id, as a field (signed: __int64& on Windows).
  long long& LinkedPlayerIDField() {
    return *reinterpret_cast<long long*>(GetAddress(this, "AShooterPlayerController.LinkedPlayerID"));
  }
  FString* GetPlayerCharacterName(FString* result) {
    return NativeCall<FString*, FString*>(this, "AShooterPlayerController.GetPlayerCharacterName()", result);
  }
  // The player's EOS id as text.
  FString* GetUniqueNetIdAsString(FString* result) {
    return NativeCall<FString*, FString*>(this, "AShooterPlayerController.GetUniqueNetIdAsString()", result);
  }
  AShooterCharacter* BaseGetPlayerCharacter() {
    return NativeCall<AShooterCharacter*>(this, "AShooterPlayerController.BaseGetPlayerCharacter()");
  }
  FString* ConsoleCommand(FString* result, const FString* command, bool write_to_log) {
    return NativeCall<FString*, FString*, const FString*, bool>(
        this, "AShooterPlayerController.ConsoleCommand(FString&,bool)", result, command, write_to_log);
  }
};

struct UPrimalPlayerData : UObject {};
struct AShooterGameMode : UObject {};

struct UWorld : UObject {
  APlayerController* GetFirstPlayerController() {
    return NativeCall<APlayerController*>(this, "UWorld.GetFirstPlayerController()");
  }
};

struct RCONPacket {
  int Length;
  int Id;
  int Type;
  FString Body;
};

// Declared as SendMessageW because windows.h renames SendMessage on the real platform.
struct RCONClientConnection {
  void SendMessageW(int id, int type, FString* message) {
    NativeCall<void, int, int, FString*>(this, "RCONClientConnection.SendMessage(int,int,FString&)", id, type,
                                         message);
  }
};

class MessagingManager {
 public:
  virtual ~MessagingManager() = default;
  // A format call: `msg` is a format string (char or wchar_t) formatted with the arguments, so
  // a text is sent as it stands only through the format L"{}". A null controller gets nothing.
  template <typename T, typename... Args>
  void SendChatMessage(AShooterPlayerController* player_controller, const FString& sender_name, const T* msg,
                       Args&&... args) {
    if (!player_controller) return;
    const FString text = FString::Format(msg, std::forward<Args>(args)...);
    SendChatMessage_Impl(player_controller, sender_name, text);
  }

 protected:
  virtual void SendChatMessage_Impl(AShooterPlayerController* player_controller, const FString& sender_name,
                                    const FString& message) = 0;
};

namespace sim::detail {
// The stand-in's record of what would crash the real server; it then throws.
[[noreturn]] ARK_API void HostCrash(const std::string& what);
}  // namespace sim::detail

namespace AsaApi {

class IHooks {
 public:
  virtual ~IHooks() = default;
  template <typename T>
  bool SetHook(const std::string& name, LPVOID detour, T** original) {
    return SetHookInternal(name, detour, reinterpret_cast<LPVOID*>(original));
  }
  virtual bool DisableHook(const std::string& name, LPVOID detour) = 0;

 protected:
  virtual bool SetHookInternal(const std::string& name, LPVOID detour, LPVOID* original) = 0;
};

class ICommands {
 public:
  virtual ~ICommands() = default;
  virtual void AddConsoleCommand(const FString& name,
                                 const std::function<void(APlayerController*, FString*, bool)>& callback) = 0;
  virtual void AddRconCommand(const FString& name,
                              const std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>& callback) = 0;
  virtual bool RemoveConsoleCommand(const FString& name) = 0;
  virtual bool RemoveRconCommand(const FString& name) = 0;
  // Once per game frame with its delta seconds, on the game thread, before the game's own tick.
  virtual void AddOnTickCallback(const FString& id, const std::function<void(float)>& callback) = 0;
  virtual bool RemoveOnTickCallback(const FString& id) = 0;
  // About once a second, on the game thread.
  virtual void AddOnTimerCallback(const FString& id, const std::function<void()>& callback) = 0;
  virtual bool RemoveOnTimerCallback(const FString& id) = 0;
};

class IApiUtils {
 public:
  virtual ~IApiUtils() = default;
  // Null until the game mode's InitGame: plugins load before the world exists.
  virtual UWorld* GetWorld() const = 0;
  virtual AShooterPlayerController* FindPlayerFromEOSID(const FString& eos_id) = 0;
  // Inline in the real SDK, and it dereferences GetWorld() unchecked: without a world the real
  // server crashes. The stand-in records that crash and throws.
  TArray<AShooterPlayerController*> FindPlayerFromCharacterName(const FString& character_name,
                                                                ESearchCase::Type search, bool full_match) const {
    UWorld* world = GetWorld();
    if (!world) sim::detail::HostCrash("FindPlayerFromCharacterName dereferenced a null world");
    return PlayersByCharacterName(*world, character_name, search, full_match);
  }
  // Static and inline in the real SDK: the controller's EOS id, "" for a null controller.
  static FString GetEOSIDFromController(AController* controller) {
    FString eos_id;
    auto* player = static_cast<AShooterPlayerController*>(controller);
    if (player != nullptr) player->GetUniqueNetIdAsString(&eos_id);
    return eos_id;
  }
  // The calling plugin's messaging manager, found by GetDllName(); the host's "Default" one when
  // the plugin registered none.
  std::shared_ptr<MessagingManager> GetMessagingManager() const { return MessagingManagerOf(GetDllName()); }

 protected:
  virtual TArray<AShooterPlayerController*> PlayersByCharacterName(UWorld& world, const FString& character_name,
                                                                    ESearchCase::Type search,
                                                                    bool full_match) const = 0;
  virtual std::shared_ptr<MessagingManager> MessagingManagerOf(const FString& module_name) const = 0;
};

ARK_API IHooks& GetHooks();
ARK_API ICommands& GetCommands();
ARK_API IApiUtils& GetApiUtils();

namespace Tools {
// The server executable's folder, without a trailing separator.
ARK_API std::string GetCurrentDir();
ARK_API std::wstring Utf8Decode(const std::string& text);
ARK_API std::string Utf8Encode(const std::wstring& text);
}  // namespace Tools

}  // namespace AsaApi
