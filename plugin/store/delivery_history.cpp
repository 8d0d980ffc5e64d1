#include "store/delivery_history.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unordered_set>

#include "json.hpp"
#include "support/file_access.h"
#include "support/request_target.h"

namespace gildmark {

const char* const kHistoryFileName = "deliveries.log";
const char* const kOlderHistoryFileName = "deliveries.old.log";

void AppendField(std::string& buffer, const std::string& text) {
  const auto length = static_cast<uint32_t>(text.size());
  buffer.append(reinterpret_cast<const char*>(&length), sizeof length);
  buffer += text;
}

bool ReadField(const std::string& buffer, size_t& at, std::string& text) {
  uint32_t length = 0;
  if (at > buffer.size() || buffer.size() - at < sizeof length) return false;
  std::memcpy(&length, buffer.data() + at, sizeof length);
  at += sizeof length;
  if (buffer.size() - at < length) return false;
  text.assign(buffer, at, length);
  at += length;
  return true;
}

namespace {

// A cut never splits a UTF-8 character: the line stays valid JSON text.
std::string Cut(const std::string& text, size_t most) {
  if (text.size() <= most) return text;
  size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "...";
}

std::string KeyOf(const HistoryEntry& entry) {
  return entry.payment + '\x1f' + entry.command + '\x1f' + entry.state;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

void AppendDeliveryDetail(std::string& buffer, const std::string& payment, const std::string& eos_id,
                          const std::string& username, const std::string& character, const std::string& command,
                          DetailState state, const std::string& text, std::time_t at) {
  AppendField(buffer, payment);
  AppendField(buffer, eos_id);
  AppendField(buffer, username);
  AppendField(buffer, character);
  AppendField(buffer, command);
  buffer += static_cast<char>(state);
  AppendField(buffer, text.size() > kMostHistoryTextBytes ? Cut(text, kMostHistoryTextBytes) : text);
  const auto when = static_cast<int64_t>(at);
  buffer.append(reinterpret_cast<const char*>(&when), sizeof when);
}

std::string HistoryLine(const HistoryEntry& entry) {
  nlohmann::json line = {{"at", static_cast<int64_t>(entry.at)},
                         {"time", FormatLocalTime(entry.at)},
                         {"server", entry.server},
                         {"payment", entry.payment},
                         {"command", entry.command},
                         {"state", entry.state}};
  if (entry.details_known) {
    line["eos_id"] = entry.eos_id;
    line["username"] = entry.username;
    line["character"] = entry.character;
    line["text"] = entry.text;
  }
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

bool ReadHistoryLine(const std::string& line, HistoryEntry& entry) {
  const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
  if (!value.is_object()) return false;
  const auto text = [&value](const char* key, std::string& out) {
    auto it = value.find(key);
    if (it == value.end()) return true;  // optional
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
  };
  auto at = value.find("at");
  if (at == value.end() || !at->is_number_integer()) return false;
  entry = HistoryEntry{};
  entry.at = static_cast<std::time_t>(at->get<int64_t>());
  entry.details_known = value.contains("text");
  return text("server", entry.server) && text("payment", entry.payment) && text("command", entry.command) &&
         text("state", entry.state) && text("eos_id", entry.eos_id) && text("username", entry.username) &&
         text("character", entry.character) && text("text", entry.text) && !entry.payment.empty();
}

void DeliveryHistory::Absorb(const std::string& details, const std::string& server) {
  std::lock_guard lock(mutex_);
  std::string payment, eos_id, username, character, command, text;
  for (size_t at = 0; at < details.size();) {
    if (!ReadField(details, at, payment) || !ReadField(details, at, eos_id) || !ReadField(details, at, username) ||
        !ReadField(details, at, character) || !ReadField(details, at, command) || at >= details.size())
      break;
    const char state = details[at++];
    int64_t when = 0;
    if (!ReadField(details, at, text) || details.size() - at < sizeof when) break;
    std::memcpy(&when, details.data() + at, sizeof when);
    at += sizeof when;
    // Results the store never acknowledges (set aside) must not grow this without end.
    if (waiting_bytes_ > kMostDetailBytes) continue;
    Payment& kept = waiting_[payment];
    kept.at = static_cast<std::time_t>(when);
    kept.server = server;
    kept.eos_id = eos_id;
    kept.username = username;
    kept.character = character;
    if (state == 'H') text.clear();  // marked only, so that its acknowledgement adds no line
    waiting_bytes_ += command.size() + text.size() + 32;
    kept.commands[command] = {state == 'E' ? "Executed" : state == 'H' ? "" : "Not Executed", text};
  }
}

size_t DeliveryHistory::KeptBytes() const {
  std::lock_guard lock(mutex_);
  return waiting_bytes_;
}

HistoryWrite DeliveryHistory::Acknowledged(const std::string& sent, const std::string& server,
                                           const std::string& folder, size_t rollover_bytes) {
  HistoryWrite write;
  const nlohmann::json document = nlohmann::json::parse(sent, nullptr, false);
  if (!document.is_object()) return write;
  const std::time_t now = std::time(nullptr);
  std::vector<HistoryEntry> entries;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [payment_id, result] : document.items()) {
      auto cmds = result.is_object() ? result.find("cmds") : result.end();
      if (!result.is_object() || cmds == result.end() || !cmds->is_object()) continue;
      auto kept = waiting_.find(payment_id);
      for (const auto& [command_id, state] : cmds->items()) {
        HistoryEntry entry;
        entry.payment = payment_id;
        entry.command = command_id;
        entry.state = state.is_string() ? state.get<std::string>() : state.dump();
        entry.at = now;
        entry.server = server;
        entry.details_known = false;
        if (kept != waiting_.end()) {
          auto command = kept->second.commands.find(command_id);
          if (command != kept->second.commands.end() && command->second.first.empty()) {  // held back
            waiting_bytes_ -= std::min(waiting_bytes_, command_id.size() + command->second.second.size() + 32);
            kept->second.commands.erase(command);
            continue;
          }
          if (command != kept->second.commands.end()) {
            entry.at = kept->second.at;
            entry.server = kept->second.server;
            entry.eos_id = kept->second.eos_id;
            entry.username = kept->second.username;
            entry.character = kept->second.character;
            entry.text = std::move(command->second.second);
            entry.details_known = true;
            waiting_bytes_ -= std::min(waiting_bytes_, command_id.size() + entry.text.size() + 32);
            kept->second.commands.erase(command);
          }
        }
        entries.push_back(std::move(entry));
      }
      if (kept != waiting_.end() && kept->second.commands.empty()) waiting_.erase(kept);
    }
  }
  const std::string path = folder + kHistoryFileName;
  const std::string older = folder + kOlderHistoryFileName;
  // Results whose details went with a restart may have been acknowledged before it, and be sent
  // once more: what the history has already stays once.
  std::unordered_set<std::string> written;
  for (const HistoryEntry& entry : entries)
    if (!entry.details_known) {
      for (const std::string& file : {older, path}) {
        std::string bytes;
        if (!ReadFileBytes(file, bytes)) continue;
        HistoryEntry seen;
        for (const std::string& line : SplitLines(bytes))
          if (ReadHistoryLine(line, seen)) written.insert(KeyOf(seen));
      }
      break;
    }
  std::string lines;
  for (const HistoryEntry& entry : entries) {
    if (!entry.details_known && written.count(KeyOf(entry))) continue;
    lines += HistoryLine(entry);
    ++write.lines;
  }
  if (lines.empty()) return write;
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > 0 && size + lines.size() > rollover_bytes && !RenameFile(path, older)) {
    // Held open by a reader elsewhere (Windows): the next append tries again.
    write.rollover_failed = true;
    write.rollover_error = LastFileError();
  }
  if (!AppendFileBytes(path, lines)) {
    write.written = false;
    write.error = LastFileError();
  }
  return write;
}

std::vector<HistoryEntry> DeliveryHistory::Unacknowledged(const std::string& query) const {
  std::vector<HistoryEntry> found;
  std::lock_guard lock(mutex_);
  for (const auto& [payment_id, kept] : waiting_) {
    HistoryEntry entry;
    entry.at = kept.at;
    entry.server = kept.server;
    entry.payment = payment_id;
    entry.eos_id = kept.eos_id;
    entry.username = kept.username;
    entry.character = kept.character;
    if (!EntryMatches(entry, query)) continue;
    for (const auto& [command_id, command] : kept.commands) {
      if (command.first.empty()) continue;  // held back
      entry.command = command_id;
      entry.state = command.first;
      entry.text = command.second;
      found.push_back(entry);
    }
  }
  return found;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

bool EntryMatches(const HistoryEntry& entry, const std::string& query) {
  if (query.empty()) return false;
  return entry.payment == query || SameIgnoringCase(entry.eos_id, query) || SameIgnoringCase(entry.username, query) ||
         SameIgnoringCase(entry.character, query);
}

}  // namespace gildmark
