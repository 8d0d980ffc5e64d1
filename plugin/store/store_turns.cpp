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

bool StoreTurns::TakeQuietly() {
  std::string error;
  switch (lock_.TryAcquire(JsonFileStore::PathOf(kTurnsLockFileName), error)) {
    case host::ProcessLock::Outcome::held:
      return true;
    case host::ProcessLock::Outcome::taken:
      return false;
    case host::ProcessLock::Outcome::failed:
      break;
  }
  if (!told_failure_ && IsDirectory(JsonFileStore::PluginDirectory())) {
    told_failure_ = true;
    Tell("Can't lock " + JsonFileStore::PathOf(kTurnsLockFileName) + " (" + error +
             "): servers started from this installation cannot take turns with the store; a single server is not "
             "affected",
         Severity::error);
  }
  return true;
}

bool StoreTurns::Take(double now) {
  if (Held() || TakeQuietly()) {
    retry_at_ = -1;
    // Another server may have started from this folder since the last turn.
    RefreshLineTags();
    return true;
  }
  std::uniform_real_distribution<double> wait(kShortestWait, kLongestWait);
  retry_at_ = now + wait(random_);
  if (told_taken_at_ < 0 || now - told_taken_at_ >= kTellTakenSeconds) {
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
  if (!Held() && !TakeQuietly()) {
    deferred_at_ = now + kJournalRetrySeconds;
    return {};
  }
  deferred_at_ = -1;
  std::vector<std::string> ids;
  ids.swap(deferred_ids_);
  return ids;
}

}  // namespace gildmark
