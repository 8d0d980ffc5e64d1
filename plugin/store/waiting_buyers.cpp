#include "store/waiting_buyers.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace gildmark {

namespace {
// Joins watched at once; a flood of joins must not grow the list without end.
constexpr size_t kMaxWatches = 1000;
}  // namespace

std::string WaitingBuyers::KeyOf(bool by_eos_id, const std::string& value) {
  return (by_eos_id ? "e:" : "n:") + value;
}

void WaitingBuyers::Remove(const std::string& key) {
  auto it = buyers_.find(key);
  if (it == buyers_.end()) return;
  order_.erase(it->second);
  buyers_.erase(it);
}

namespace {

void AddPayment(std::vector<std::string>& payments, const std::string& id) {
  if (id.empty() || payments.size() >= WaitingBuyers::kPaymentsKeptPerBuyer ||
      std::find(payments.begin(), payments.end(), id) != payments.end())
    return;
  payments.push_back(id);
}

std::string Waited(double seconds) {
  const long long s = seconds < 0 ? 0 : static_cast<long long>(seconds);
  if (s < 120) return std::to_string(s) + " s";
  if (s < 7200) return std::to_string(s / 60) + " min";
  return std::to_string(s / 3600) + " h";
}

}  // namespace

bool WaitingBuyers::Note(const std::string& eos_id, const std::string& username, size_t players_sharing_name,
                         const std::string& payment_id, bool connected_without_character, double now) {
  const bool by_eos_id = !eos_id.empty();
  const std::string& value = by_eos_id ? eos_id : username;
  if (value.empty()) return false;
  const std::string key = KeyOf(by_eos_id, value);
  auto known = buyers_.find(key);
  if (known != buyers_.end()) {
    Buyer& buyer = *known->second;
    const bool changed = buyer.players_sharing_name != players_sharing_name;
    buyer.players_sharing_name = players_sharing_name;
    buyer.connected_without_character = connected_without_character;
    AddPayment(buyer.payments, payment_id);
    return changed;
  }
  if (buyers_.size() >= kMaxBuyers) Remove(KeyOf(order_.front().by_eos_id, order_.front().value));
  order_.push_back({by_eos_id, value, players_sharing_name, connected_without_character, now, {}});
  AddPayment(order_.back().payments, payment_id);
  buyers_.emplace(key, std::prev(order_.end()));
  return true;
}

std::vector<std::string> WaitingBuyers::HeldBackFor(const std::string& query, double now) const {
  std::vector<std::string> lines;
  if (query.empty()) return lines;
  const auto same = [&query](const std::string& value) {
    if (value.size() != query.size()) return false;
    for (size_t i = 0; i < value.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(value[i])) != std::tolower(static_cast<unsigned char>(query[i])))
        return false;
    return true;
  };
  for (const Buyer& buyer : order_) {
    if (!same(buyer.value) && std::find(buyer.payments.begin(), buyer.payments.end(), query) == buyer.payments.end())
      continue;
    std::string line = "Held back now for " + (buyer.by_eos_id ? "EOS id " + buyer.value : "\"" + buyer.value + "\"");
    if (!buyer.payments.empty()) {
      line += buyer.payments.size() == 1 ? ": payment " : ": payments ";
      for (size_t i = 0; i < buyer.payments.size(); ++i) line += (i ? ", " : "") + buyer.payments[i];
    }
    line += ", for " + Waited(now - buyer.since) + "; ";
    if (buyer.players_sharing_name > 1)
      line += std::to_string(buyer.players_sharing_name) +
              " players online carry that name and nobody can tell which of them paid (it waits until one of them "
              "is online alone)";
    else if (buyer.connected_without_character)
      line += "online, but without a living character (it runs once they have spawned)";
    else
      line += "not online (it runs at their next join)";
    lines.push_back(std::move(line));
    if (lines.size() >= 5) break;
  }
  return lines;
}

std::vector<std::string> WaitingBuyers::First(size_t n) const {
  std::vector<std::string> out;
  for (auto it = order_.begin(); it != order_.end() && out.size() < n; ++it) {
    std::string who = it->by_eos_id ? "EOS id " + it->value : it->value;
    if (it->players_sharing_name > 1)
      who += " (a name " + std::to_string(it->players_sharing_name) + " players online share)";
    out.push_back(std::move(who));
  }
  return out;
}

void WaitingBuyers::Forget(const std::string& eos_id, const std::string& username) {
  if (buyers_.empty()) return;
  if (!eos_id.empty())
    Remove(KeyOf(true, eos_id));
  else if (!username.empty())
    Remove(KeyOf(false, username));
}

void WaitingBuyers::OnJoin(AShooterPlayerController* player, double now) {
  if (!player || buyers_.empty()) return;
  for (Watch& watch : watches_)
    if (watch.player == player) {
      watch.until = now + kWatchSeconds;
      return;
    }
  if (watches_.size() >= kMaxWatches) watches_.erase(watches_.begin());
  watches_.push_back({player, now + kWatchSeconds});
  // The first check a second after the join at the latest.
  next_check_ = std::min(next_check_, now + kCheckEverySeconds);
}

std::string WaitingBuyers::FindJoinedBuyer(double now, bool may_poll, std::chrono::steady_clock::time_point deadline) {
  if (watches_.empty() || now < next_check_) return "";
  next_check_ = now + kCheckEverySeconds;
  watches_.erase(std::remove_if(watches_.begin(), watches_.end(), [&](const Watch& w) { return w.until < now; }),
                 watches_.end());
  if (buyers_.empty()) watches_.clear();
  if (watches_.empty() || !may_poll || now - last_early_poll_ < kEarlyPollEverySeconds) return "";

  if (cursor_ >= order_.size()) cursor_ = 0;
  auto it = std::next(order_.begin(), static_cast<std::ptrdiff_t>(cursor_));
  for (size_t looked = 0; looked < order_.size();) {
    if (it == order_.end()) {
      it = order_.begin();
      cursor_ = 0;
    }
    AShooterPlayerController* found = nullptr;
    try {
      found = it->by_eos_id ? host::FindPlayerByEosId(host::FromUtf8(it->value))
                            : host::FindPlayerByCharacterName(host::FromUtf8(it->value));
      const bool joined = found && std::any_of(watches_.begin(), watches_.end(),
                                               [&](const Watch& w) { return w.player == found; });
      if (joined && host::HasLivingCharacter(found)) {
        const std::string who = (it->by_eos_id ? "the buyer with EOS id " : "the buyer ") + it->value;
        Remove(KeyOf(it->by_eos_id, it->value));
        return who;
      }
    } catch (...) {
      // A lookup the game refused: this buyer waits for the regular polls.
    }
    ++it;
    ++cursor_;
    ++looked;
    if (looked % 16 == 0 && std::chrono::steady_clock::now() >= deadline) break;
  }
  return "";
}

}  // namespace gildmark
