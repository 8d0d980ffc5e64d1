#include "host/host.h"

#include "Logger/Logger.h"
#include "Requests.h"
#include "Timer.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace gildmark::host {

std::wstring Utf8Decode(const std::string& text) { return AsaApi::Tools::Utf8Decode(text); }

FString FromUtf8(const std::string& text) {
  FString out;
  const std::wstring wide = AsaApi::Tools::Utf8Decode(text);
  out.AssignRange(wide.data(), static_cast<int>(wide.size()));
  return out;
}

std::string ToUtf8(const FString& text) {
  if (text.IsEmpty()) return {};
  const int32 length = UE::Core::Private::GetConvertedLength<char, wchar_t>(*text, text.Len());
  std::string out(static_cast<size_t>(length), '\0');
  UE::Core::Private::Convert<char, wchar_t>(out.data(), length, *text, text.Len());
  return out;
}

std::string To7Bit(const FString& text) { return text.ToString(); }

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

AShooterPlayerController* FindPlayerByEosId(const FString& eos_id) {
  return AsaApi::GetApiUtils().FindPlayerFromEOSID(eos_id);
}

AShooterPlayerController* FindPlayerByCharacterName(const FString& name) {
  TArray<AShooterPlayerController*> found =
      AsaApi::GetApiUtils().FindPlayerFromCharacterName(name, ESearchCase::CaseSensitive, true);
  return found.Num() > 0 ? found[0] : nullptr;
}

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

bool ReadBit(APlayerController* player, const char* name) { return GetBitField(player, name).Get(); }

void WriteBit(APlayerController* player, const char* name, bool value) { GetBitField(player, name).Set(value); }

void ReplyRcon(RCONClientConnection* connection, int packet_id, const FString& text) {
  FString message = text;
  connection->SendMessageW(packet_id, 0, &message);
}

void SendChat(AShooterPlayerController* player, const FString& sender, const FString& text) {
  std::shared_ptr<MessagingManager> messaging = AsaApi::GetApiUtils().GetMessagingManager(ModulePath());
  if (messaging) messaging->SendChatMessage(player, sender, text);
}

bool StartGet(const std::string& url, const HttpCallback& callback, const std::vector<std::string>& headers) {
  return API::Requests::Get().CreateGetRequest(url, callback, headers);
}

bool StartPost(const std::string& url, const HttpCallback& callback, const std::string& body,
               const std::string& content_type, const std::vector<std::string>& headers) {
  return API::Requests::Get().CreatePostRequest(url, callback, body, content_type, headers);
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

void StartRecurringTimer(const std::function<void()>& callback, int period_seconds) {
  const FString module = ModulePath();
  const FString identifier = FromUtf8(ToUtf8(module) + "_0");
  API::Timer::Get().RecurringExecuteInternal(callback, period_seconds, -1, false, identifier, module);
}

std::vector<spdlog::sink_ptr>& LogSinks() { return GetLogSinks(); }

}  // namespace gildmark::host
