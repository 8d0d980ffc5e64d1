#include "store/store_turns.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/plugin_files.h"
#include "support/request_target.h"
#include "support/server_instance.h"

namespace gildmark {

namespace {

constexpr double kTellTakenSeconds = 3600;
constexpr double kJournalRetrySeconds = 1;
constexpr double kShortestWait = 2, kLongestWait = 10;

void Tell(const std::string& message, Severity severity) {
  RequestTarget nobody;
  nobody.Report(message, severity, false);
}

}  // namespace

StoreTurns::StoreTurns()
    : random_(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())) {}

StoreTurns::Turn StoreTurns::TryTake() {
  std::string error;
  switch (lock_.TryAcquire(JsonFileStore::PathOf(kTurnsLockFileName), error)) {
    case host::ProcessLock::Outcome::held:
      if (!unusable_message_.empty()) {
        unusable_message_.clear();
        told_failure_ = false;
        Tell(JsonFileStore::PathOf(kTurnsLockFileName) + " can be locked again; this server takes turns with the "
                 "others and asks the store",
             Severity::information);
      }
      return Turn::ours;
    case host::ProcessLock::Outcome::taken:
      return Turn::others;
    case host::ProcessLock::Outcome::failed:
      break;
  }
  // A lock that cannot be had tells nothing about the other servers. Those sharing this server's
  // key and files would fetch the same purchases: it waits for the lock. With a key and files of
  // its own (listed), or alone, it goes on.
  RefreshLineTags();
  const bool shared = ThisInstance().tag_lines && !ThisInstance().listed;
  const std::string path = JsonFileStore::PathOf(kTurnsLockFileName);
  if (shared) {
    unusable_message_ = "Can't lock " + path + " (" + error +
                        "): other servers use this installation (its instances.txt names them), so this one does "
                        "not ask the store until the lock works again, lest a purchase be delivered twice. Make "
                        "sure " + path + " is a plain file the server may write (delete whatever else has that "
                        "name); if the other servers are gone for good, delete instances.txt";
  }
  if (!told_failure_ && IsDirectory(JsonFileStore::PluginDirectory())) {
    told_failure_ = true;
    Tell(shared ? unusable_message_
                : "Can't lock " + path + " (" + error +
                      "): servers started from this installation cannot take turns with the store; a single "
                      "server is not affected",
         Severity::error);
  }
  return shared ? Turn::unusable : Turn::ours;
}

bool StoreTurns::Take(double now) {
  const Turn turn = Held() ? Turn::ours : TryTake();
  if (turn == Turn::ours) {
    retry_at_ = -1;
    // Another server may have started from this folder since the last turn.
    RefreshLineTags();
    return true;
  }
  std::uniform_real_distribution<double> wait(kShortestWait, kLongestWait);
  retry_at_ = now + wait(random_);
  if (turn == Turn::others && (told_taken_at_ < 0 || now - told_taken_at_ >= kTellTakenSeconds)) {
    told_taken_at_ = now;
    Tell("Another server of this installation is talking to the store; this one asks when its turn comes (told "
         "at most once an hour)",
         Severity::information);
  }
  return false;
}

bool StoreTurns::WaitAtUnload(std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!TakeNow()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void StoreTurns::DeferJournalRemoval(const std::string& id, double now) {
  if (std::find(deferred_ids_.begin(), deferred_ids_.end(), id) == deferred_ids_.end()) deferred_ids_.push_back(id);
  if (deferred_at_ < 0) deferred_at_ = now + kJournalRetrySeconds;
}

std::vector<std::string> StoreTurns::DueJournalRemovals(double now) {
  if (deferred_ids_.empty() || now < deferred_at_) return {};
  if (!Held() && TryTake() != Turn::ours) {
    deferred_at_ = now + kJournalRetrySeconds;
    return {};
  }
  deferred_at_ = -1;
  std::vector<std::string> ids;
  ids.swap(deferred_ids_);
  return ids;
}

}  // namespace gildmark
