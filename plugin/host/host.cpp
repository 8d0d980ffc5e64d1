#include "host/host.h"

#include <unordered_map>
#include <utility>


#include "host/windows_headers.h"
#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace gildmark::host {

std::wstring Utf8Decode(const std::string& text) { return AsaApi::Tools::Utf8Decode(text); }

FString FromUtf8(const std::string& text) {
  const std::wstring wide = AsaApi::Tools::Utf8Decode(text);
  return FString(static_cast<int32>(wide.size()), wide.data());
}

std::string ToUtf8(const FString& text) {
  if (text.IsEmpty()) return {};
  const int32 length =
      UE::Core::Private::GetConvertedLength(static_cast<const UTF8CHAR*>(nullptr), *text, text.Len());
  if (length <= 0) return {};
  std::string out(static_cast<size_t>(length), '\0');
  UE::Core::Private::Convert(reinterpret_cast<UTF8CHAR*>(out.data()), length, *text, text.Len());
  return out;
}

std::string To7Bit(const FString& text) {
  // Our own pass over the characters: the host's ToString() stops at a NUL and follows the
  // server's code page. A surrogate pair (16-bit TCHAR) is one character, so one "?".
  std::string out;
  const TCHAR* chars = *text;
  const int length = text.Len();
  out.reserve(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned long>(chars[i]);
    if constexpr (sizeof(TCHAR) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
        const auto low = static_cast<unsigned long>(chars[i + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) ++i;
      }
    }
    out.push_back(c > 0x7F ? '?' : static_cast<char>(c));
  }
  return out;
}

FString ChatText(const std::string& utf8) {
  // What the host's formatting does with a format string and no arguments, without its throw.
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const char c = utf8[i];
    if (c == '{' || c == '}') {
      if (i + 1 < utf8.size() && utf8[i + 1] == c) {
        out += c;
        ++i;
        continue;
      }
      return FromUtf8(utf8);  // a replacement field or a lone brace: not a valid format string
    }
    out += c;
  }
  return FromUtf8(out);
}

std::string CurrentDir() { return AsaApi::Tools::GetCurrentDir(); }

FString ModulePath() {
#ifdef _WIN32
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ModulePath), &module);
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(module, buffer, MAX_PATH);
  return FString(buffer);
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname) return FString();
  return FromUtf8(info.dli_fname);
#endif
}

bool WorldExists() { return AsaApi::GetApiUtils().GetWorld() != nullptr; }

AShooterPlayerController* FindPlayerByEosId(const FString& eos_id) {
  // The host's lookup falls back to the world's controllers without checking for a world;
  // without one nobody is online.
  if (!WorldExists()) return nullptr;
  return AsaApi::GetApiUtils().FindPlayerFromEOSID(eos_id);
}

AShooterPlayerController* FindPlayerByNameAndLinkedId(const FString& character_name, int64_t linked_id) {
  if (!WorldExists()) return nullptr;
  TArray<AShooterPlayerController*> found =
      AsaApi::GetApiUtils().FindPlayerFromCharacterName(character_name, ESearchCase::CaseSensitive, true);
  for (int32 i = 0; i < found.Num(); ++i)
    if (found[i] && LinkedId(found[i]) == linked_id) return found[i];
  return nullptr;
}

AShooterPlayerController* FindPlayerByCharacterName(const FString& name) {
  // The host's lookup dereferences the world unchecked; plugins load before there is one.
  if (!WorldExists()) return nullptr;
  TArray<AShooterPlayerController*> found =
      AsaApi::GetApiUtils().FindPlayerFromCharacterName(name, ESearchCase::CaseSensitive, true);
  return found.Num() > 0 ? found[0] : nullptr;
}

std::vector<AShooterPlayerController*> FindPlayersByCharacterName(const FString& name) {
  std::vector<AShooterPlayerController*> players;
  if (!WorldExists()) return players;
  TArray<AShooterPlayerController*> found =
      AsaApi::GetApiUtils().FindPlayerFromCharacterName(name, ESearchCase::CaseSensitive, true);
  for (int32 i = 0; i < found.Num(); ++i)
    if (found[i]) players.push_back(found[i]);
  return players;
}

FString EosIdOf(AShooterPlayerController* player) { return AsaApi::IApiUtils::GetEOSIDFromController(player); }

bool HasLivingCharacter(AShooterPlayerController* player) {
  AShooterCharacter* character = player->BaseGetPlayerCharacter();
  return character && !character->IsDeadOrDying();
}

FString CharacterName(AShooterPlayerController* player) {
  FString name;
  player->GetPlayerCharacterName(&name);
  return name;
}

int64_t LinkedId(AShooterPlayerController* player) {
  return static_cast<int64_t>(player->LinkedPlayerIDField());
}

int32_t LinkedId32(AShooterPlayerController* player) { return player->GetLinkedPlayerID(); }

AShooterPlayerController* FirstPlayerController() {
  UWorld* world = AsaApi::GetApiUtils().GetWorld();
  if (!world) return nullptr;
  return static_cast<AShooterPlayerController*>(world->GetFirstPlayerController());
}

void RunConsoleCommand(AShooterPlayerController* player, const FString& command) {
  FString result;
  player->ConsoleCommand(&result, &command, false);
}

// The rights bits are bool bits in 32-bit words (unsigned __int32 in the SDK's declarations).
bool ReadBit(APlayerController* player, const char* name) { return GetNativeBitField<bool, uint32_t>(player, name); }

void WriteBit(APlayerController* player, const char* name, bool value) {
  SetNativeBitField<bool, uint32_t>(player, name, value);
}

void ReplyRcon(RCONClientConnection* connection, int packet_id, const FString& text) {
  FString message = text;
  connection->SendMessageW(packet_id, 0, &message);
}

void SendChat(AShooterPlayerController* player, const FString& sender, const FString& text) {
  // The host finds this plugin's manager by its module path; the text is the argument of a
  // plain "{}" so that the host's formatting leaves it as it stands. Before the world exists the
  // host has no messaging manager, and its lookup would crash; nobody is online then anyway.
  if (!player || !WorldExists()) return;
  std::shared_ptr<MessagingManager> messaging = AsaApi::GetApiUtils().GetMessagingManager();
  if (messaging) messaging->SendChatMessage(player, sender, L"{}", *text);
}

bool InstallNewPlayerHook(NewPlayerHandler detour, NewPlayerHandler* original) {
  return AsaApi::GetHooks().SetHook(kNewPlayerFunction, reinterpret_cast<LPVOID>(detour), original);
}

bool RemoveNewPlayerHook(NewPlayerHandler detour) {
  return AsaApi::GetHooks().DisableHook(kNewPlayerFunction, reinterpret_cast<LPVOID>(detour));
}

void AddConsoleCommand(const char* name, const ConsoleHandler& handler) {
  AsaApi::GetCommands().AddConsoleCommand(FString(name), handler);
}

void AddRconCommand(const char* name, const RconHandler& handler) {
  AsaApi::GetCommands().AddRconCommand(FString(name), handler);
}

bool RemoveConsoleCommand(const char* name) { return AsaApi::GetCommands().RemoveConsoleCommand(FString(name)); }

bool RemoveRconCommand(const char* name) { return AsaApi::GetCommands().RemoveRconCommand(FString(name)); }

namespace {
FString FrameCallbackId() { return FromUtf8(ToUtf8(ModulePath()) + "_frame"); }
}  // namespace

void AddFrameCallback(const std::function<void(float)>& callback) {
  AsaApi::GetCommands().AddOnTickCallback(FrameCallbackId(), callback);
}

bool RemoveFrameCallback() { return AsaApi::GetCommands().RemoveOnTickCallback(FrameCallbackId()); }

// An on-timer callback (the host's once-a-second list), not the host's Timer: unloading erases a
// module's timers without emptying them, so a Timer walk that is running the unload (another
// plugin's task) would still call or destroy ours after the library is freed. On-timer callbacks
// are emptied first, and removed by module whichever of its records goes.
void StartRecurringTimer(const std::function<void()>& callback, int period_seconds) {
  int due_in = 1;  // the first run at the next check, as the host's Timer
  AsaApi::GetCommands().AddOnTimerCallback(FromUtf8(ToUtf8(ModulePath()) + "_timer"),
                                           [callback, period_seconds, due_in]() mutable {
                                             if (--due_in > 0) return;
                                             due_in = period_seconds > 0 ? period_seconds : 1;
                                             callback();
                                           });
}

std::vector<spdlog::sink_ptr>& LogSinks() { return GetLogSinks(); }

}  // namespace gildmark::host
