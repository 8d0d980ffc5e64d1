// Buyers whose commands were held back because they were offline, and the early poll when one
// of them joins. The store keeps a held-back command "paid" and sends it again, so a buyer who
// joins would otherwise wait for the next regular poll (minutes). A join is watched for a minute:
// once a second the waiting buyers are looked up, and when one of them is the joining player
// with a living character (a new or dead survivor spawns some time after joining), the store is
// asked at once. At most one early poll per 10 s whatever the joins, never during a backoff the
// store asked for; the regular schedule stays as it is.
#pragma once

#include <chrono>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/host.h"

namespace gildmark {

class WaitingBuyers {
 public:
  static constexpr size_t kMaxBuyers = 10000;
  static constexpr double kWatchSeconds = 60;
  static constexpr double kCheckEverySeconds = 1;
  static constexpr double kEarlyPollEverySeconds = 10;

  static constexpr size_t kPaymentsKeptPerBuyer = 5;

  // A command of payment `payment_id` of this buyer was held back: they were offline (or
  // `connected_without_character`), or `players_sharing_name` (two or more) connected players
  // carry the name the payment gives. The oldest buyer goes when there are too many. True when
  // the buyer was not waiting yet, or for another reason. `now`: game seconds.
  bool Note(const std::string& eos_id, const std::string& username, size_t players_sharing_name = 0,
            const std::string& payment_id = "", bool connected_without_character = false, double now = 0);
  // The buyer was found online by a delivery: their commands are no longer waiting for a join.
  void Forget(const std::string& eos_id, const std::string& username);
  size_t Count() const { return buyers_.size(); }
  // The `n` buyers waiting longest, each as "EOS id <id>" or their name (and how many players
  // share it, when that is why).
  std::vector<std::string> First(size_t n) const;
  // For a look-up: a line per waiting buyer with that EOS id or name, or with a payment of that
  // id held back: who, which payments, since when and why.
  std::vector<std::string> HeldBackFor(const std::string& query, double now) const;

  // A player joined (their character may not exist yet).
  void OnJoin(AShooterPlayerController* player, double now);
  bool Watching() const { return !watches_.empty(); }

  // Once a second while joins are watched: the waiting buyer who is a watched joiner with a
  // living character, described for the log ("" when none, or when an early poll may not be
  // made now). The lookups stop at `deadline` and go on at the next check.
  std::string FindJoinedBuyer(double now, bool may_poll, std::chrono::steady_clock::time_point deadline);
  // An early poll went out now.
  void NoteEarlyPoll(double now) { last_early_poll_ = now; }

 private:
  struct Buyer {
    bool by_eos_id;
    std::string value;
    size_t players_sharing_name;
    bool connected_without_character = false;
    double since = 0;
    std::vector<std::string> payments;  // the first few held back
  };
  struct Watch {
    AShooterPlayerController* player;
    double until;
  };
  static std::string KeyOf(bool by_eos_id, const std::string& value);
  void Remove(const std::string& key);

  std::list<Buyer> order_;  // oldest first
  std::unordered_map<std::string, std::list<Buyer>::iterator> buyers_;
  std::vector<Watch> watches_;
  // Where the last check stopped, so that a long list is covered over several checks.
  size_t cursor_ = 0;
  double next_check_ = 0;
  double last_early_poll_ = -1e18;
};

}  // namespace gildmark
