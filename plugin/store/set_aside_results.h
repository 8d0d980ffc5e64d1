// Results the store refuses even alone are set aside in response.refused.json and never sent
// again; the commands they record as Executed must never run again when the store offers their
// payment once more, whichever server sharing the folder set them aside. The file is large by
// nature (a payment bigger than the store takes), so it is read, parsed and written on the
// plugin's own thread, and the game thread only swaps in what was read. Before each delivery it
// is read again if it changed. While it cannot be read every payment waits (any may be in it); a
// damaged one is kept as "response.refused.json.broken" and what can still be read is honoured.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/results_batches.h"

namespace gildmark {

class StoreClient;

// What the file was when read: a later read compares, and reads again only when it changed.
struct FileStamp {
  bool exists = false;
  uintmax_t size = 0;
  int64_t written = 0;  // write time, in the file clock's ticks
  int64_t read_at = 0;  // when it was looked at, same clock
  bool operator==(const FileStamp& other) const {
    return exists == other.exists && size == other.size && written == other.written;
  }
  // A write within the file system's time resolution of the read may leave size and time alike.
  bool Settled() const;
};
FileStamp StampOf(const std::string& path);

// The commands recorded as Executed, by payment: all their ids in one buffer, sorted, a dozen
// bytes each beside their text. A set-aside file is megabytes, and a node per command would cost
// many times its size.
class ExecutedCommands {
 public:
  void Add(const std::string& payment_id, const std::string& command_id);
  // Sorts once all are added; repeats go.
  void Seal();
  bool Contains(const std::string& payment_id, const std::string& command_id) const;

 private:
  struct Entry {
    uint32_t at, payment_length, command_length;
  };
  std::string_view Payment(const Entry& entry) const { return {ids_.data() + entry.at, entry.payment_length}; }
  std::string_view Command(const Entry& entry) const {
    return {ids_.data() + entry.at + entry.payment_length, entry.command_length};
  }
  std::string ids_;
  std::vector<Entry> entries_;
};

// One reading of the file; never changed once made, so that both threads may hold it.
struct SetAsideView {
  enum class State { unknown, readable, unreadable };
  State state = State::unknown;
  ExecutedCommands executed;
  size_t payments = 0;  // set aside in the file
  FileStamp stamp;
  std::string error;        // why it could not be read
  bool damaged = false;     // not one valid results document; what could be read is here
  bool kept_broken = true;  // when damaged: the bytes are in the .broken copy
  bool Executed(const std::string& payment_id, const std::string& command_id) const {
    return executed.Contains(payment_id, command_id);
  }
};

// Off the game thread: the file as it is now, or `previous` when it has not changed.
std::shared_ptr<const SetAsideView> ReadSetAsideFile(std::shared_ptr<const SetAsideView> previous);

// Off the game thread: one payment's results added to the file, read anew so that entries others
// wrote stay. Writers take turns with the other servers (a results POST holds the turn).
struct SetAsideWrite {
  bool written = false;
  std::string error;
  std::shared_ptr<const SetAsideView> view;  // the file as written (or as read, on failure)
};
SetAsideWrite WriteSetAsideFile(const ResultsMember& member);

// The plugin's view of the file, and what it has told about it.
class SetAsideResults {
 public:
  const SetAsideView& View() const { return *view_; }
  bool Executed(const std::string& payment_id, const std::string& command_id) const {
    return view_->Executed(payment_id, command_id);
  }
  // Game thread: takes a new reading and tells what is wrong with it, once while it lasts.
  void Install(StoreClient& client, std::shared_ptr<const SetAsideView> view);
  // Reads the file again on the plugin's own thread if it changed, installs the reading, then
  // runs `next` on the game thread (unless the plugin went meanwhile).
  void Refresh(std::function<void(StoreClient&)> next = nullptr);
  std::shared_ptr<const SetAsideView> Current() const { return view_; }

 private:
  std::shared_ptr<const SetAsideView> view_ = std::make_shared<SetAsideView>();
  bool told_unreadable_ = false;
  FileStamp told_damaged_;
};

}  // namespace gildmark
