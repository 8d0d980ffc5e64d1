// Taking turns with the other servers started from this installation. They may share one key,
// and the unlisted ones share the results files and the journal, so a store conversation (from
// reading the results to the answer of its last request) runs only while this process holds the
// installation's turns lock: a payment one server fetched is delivered and acknowledged before
// another can fetch it. The game thread never waits for the lock: a cycle that finds it taken is
// tried again after a random 2 to 10 s (so that servers started together do not always meet it
// in the same order), and a journal line a join check could not remove a second later. Times are
// game seconds.
#pragma once

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "host/server_process.h"

namespace gildmark {

class StoreTurns {
 public:
  StoreTurns();
  // True when this process has the turn: held already, or taken now. A lock the system cannot
  // give (cannot be opened, keeps being replaced) counts as the turn only for a server that
  // shares no key and files with others (alone, or listed); otherwise it fails closed until the
  // lock works again. Both told once in err.log. When another process has the turn, or the lock
  // fails closed, a retry is set; info.log says that another has it at most once an hour.
  bool Take(double now);
  // The lock now if it is free, without a retry (a join check's journal line).
  bool TakeNow() { return Held() || TryTake() == Turn::ours; }
  bool Held() const { return lock_.Held(); }
  // At unload only, where a short wait is allowed: the lock within `limit`, or false.
  bool WaitAtUnload(std::chrono::milliseconds limit);
  void Release() { lock_.Release(); }
  // A cycle that found the turn taken is due to try again.
  bool RetryDue(double now) const { return retry_at_ >= 0 && now >= retry_at_; }
  void ClearRetry() { retry_at_ = -1; }

  // Why the lock fails closed, for an admin's connection test; empty while it works.
  const std::string& UnusableMessage() const { return unusable_message_; }

  // Journal lines to remove under the lock (a join check found them while another server had it).
  void DeferJournalRemoval(const std::string& id, double now);
  // The ids whose removal is due, once this process has the lock (taken here when free).
  std::vector<std::string> DueJournalRemovals(double now);

 private:
  enum class Turn { ours, others, unusable };
  Turn TryTake();

  host::ProcessLock lock_;
  double retry_at_ = -1;
  double told_taken_at_ = -1;
  bool told_failure_ = false;
  std::string unusable_message_;
  std::vector<std::string> deferred_ids_;
  double deferred_at_ = -1;
  std::minstd_rand random_;
};

}  // namespace gildmark
