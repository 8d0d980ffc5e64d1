#include "store/set_aside_results.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host/store_https.h"
#include "store/results_record.h"
#include "store/store_client.h"
#include "support/file_access.h"
#include "support/plugin_files.h"

namespace gildmark {

namespace fs = std::filesystem;

namespace {

// Two seconds covers the coarsest write-time resolution of the file systems a server runs on.
constexpr auto kTimeResolution = std::chrono::seconds(2);

int64_t Ticks(fs::file_time_type time) { return time.time_since_epoch().count(); }

// Reads the file's command states as it goes, without a document: a damaged file yields what
// came before the damage, and a large one costs its Executed commands only. With `salvage`, what
// is read is also rebuilt there as a results document.
class StatesReader : public nlohmann::json_sax<nlohmann::json> {
 public:
  StatesReader(ExecutedCommands& executed, const std::string* watched, nlohmann::json* salvage = nullptr)
      : executed_(executed), watched_(watched), salvage_(salvage) {}
  bool top_level_object = false;
  bool holds_watched = false;  // a member of the watched id is there already
  size_t top_level_members = 0;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool string(string_t& value) override {
    if (arrays_ > 0) return true;
    if (levels_.size() == 3 && member_ == "cmds") {
      if (value == kExecuted) executed_.Add(payment_, command_);
      if (salvage_) (*salvage_)[payment_]["cmds"][command_] = value;
    } else if (levels_.size() == 2 && member_ == "action" && salvage_) {
      (*salvage_)[payment_]["action"] = value;
    }
    return true;
  }
  bool key(string_t& key) override {
    if (levels_.size() == 1) {
      payment_ = key;
      ++top_level_members;
      if (watched_ && key == *watched_) holds_watched = true;
    } else if (levels_.size() == 2) {
      member_ = key;
    } else if (levels_.size() == 3) {
      command_ = key;
    }
    return true;
  }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  bool Open(bool object) {
    if (levels_.empty()) top_level_object = object;
    levels_.push_back(object);
    if (!object) ++arrays_;
    return true;
  }
  bool Close() {
    if (!levels_.back()) --arrays_;
    levels_.pop_back();
    return true;
  }

  ExecutedCommands& executed_;
  const std::string* watched_;
  nlohmann::json* salvage_;
  std::vector<bool> levels_;  // true: an object; deep nesting costs a bit a level
  size_t arrays_ = 0;
  std::string payment_, member_, command_;
};

// True when the text is one valid results document (an object); the reader has what could be
// read either way.
bool ReadStates(const std::string& text, StatesReader& reader) {
  bool valid = false;
  try {
    valid = nlohmann::json::sax_parse(text, &reader);
  } catch (const std::exception&) {
    valid = false;
  }
  return valid && reader.top_level_object;
}

// The damaged bytes beside the file, before anything replaces them.
bool KeepBroken(const std::string& path, const std::string& bytes) {
  std::string kept;
  if (ReadFileBytes(path + ".broken", kept) && kept == bytes) return true;
  return WriteFileBytes(path + ".broken", bytes);
}

}  // namespace

bool FileStamp::Settled() const {
  return !exists || read_at - written > fs::file_time_type::duration(kTimeResolution).count();
}

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  stamp.read_at = Ticks(fs::file_time_type::clock::now());
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (status.type() == fs::file_type::not_found) return stamp;
  stamp.exists = true;  // also when it cannot be looked at: the read then says why
  stamp.size = fs::file_size(path, ec);
  if (ec) stamp.size = 0;
  const fs::file_time_type written = fs::last_write_time(path, ec);
  stamp.written = ec ? stamp.read_at : Ticks(written);
  return stamp;
}

void ExecutedCommands::Add(const std::string& payment_id, const std::string& command_id) {
  entries_.push_back({static_cast<uint32_t>(ids_.size()), static_cast<uint32_t>(payment_id.size()),
                      static_cast<uint32_t>(command_id.size())});
  ids_ += payment_id;
  ids_ += command_id;
}

void ExecutedCommands::Seal() {
  auto less = [this](const Entry& a, const Entry& b) {
    const int by_payment = Payment(a).compare(Payment(b));
    return by_payment != 0 ? by_payment < 0 : Command(a) < Command(b);
  };
  std::sort(entries_.begin(), entries_.end(), less);
  entries_.erase(std::unique(entries_.begin(), entries_.end(),
                             [&](const Entry& a, const Entry& b) { return !less(a, b) && !less(b, a); }),
                 entries_.end());
  entries_.shrink_to_fit();
}

bool ExecutedCommands::Contains(const std::string& payment_id, const std::string& command_id) const {
  const std::string_view payment(payment_id), command(command_id);
  const auto at = std::lower_bound(entries_.begin(), entries_.end(), 0, [&](const Entry& entry, int) {
    const int by_payment = Payment(entry).compare(payment);
    return by_payment != 0 ? by_payment < 0 : Command(entry) < command;
  });
  return at != entries_.end() && Payment(*at) == payment && Command(*at) == command;
}

std::shared_ptr<const SetAsideView> ReadSetAsideFile(std::shared_ptr<const SetAsideView> previous) {
  const std::string path = JsonFileStore::PathOf(kSetAsideFileName);
  const FileStamp stamp = StampOf(path);
  if (previous && previous->state == SetAsideView::State::readable && previous->stamp == stamp &&
      previous->stamp.Settled())
    return previous;
  auto view = std::make_shared<SetAsideView>();
  view->stamp = stamp;
  view->state = SetAsideView::State::readable;
  if (!stamp.exists) return view;
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) {
    // Missing only when the system says so: a folder it may not look into hides the file.
    const std::string error = LastFileError();
    const FileStamp now = StampOf(path);
    if (now.exists) {
      view->state = SetAsideView::State::unreadable;
      view->error = error;
    } else {
      view->stamp = now;
    }
    return view;
  }
  StatesReader reader(view->executed, nullptr);
  if (!ReadStates(bytes, reader)) {
    view->damaged = true;
    view->kept_broken = KeepBroken(path, bytes);
  }
  view->payments = reader.top_level_members;
  view->executed.Seal();
  return view;
}

SetAsideWrite WriteSetAsideFile(const ResultsMember& member) {
  SetAsideWrite out;
  const std::string path = JsonFileStore::PathOf(kSetAsideFileName);
  auto view = std::make_shared<SetAsideView>();
  view->state = SetAsideView::State::readable;
  out.view = view;
  std::string bytes, text;
  if (!ReadFileBytes(path, bytes)) {
    const std::string error = LastFileError();
    if (StampOf(path).exists) {
      view->state = SetAsideView::State::unreadable;
      view->error = error;
      out.error = "it cannot be read: " + error;
      return out;
    }
    bytes.clear();
  }
  StatesReader reader(view->executed, &member.id);
  const bool valid = !bytes.empty() && ReadStates(bytes, reader);
  view->payments = reader.top_level_members + !reader.holds_watched;
  const size_t last_brace = bytes.rfind('}');
  if (bytes.empty()) {
    text = "{" + member.text + "}";
  } else if (valid && !reader.holds_watched && last_brace != std::string::npos) {
    // Appended in place: the file is large by nature, and its members stay as they were.
    text.reserve(last_brace + member.text.size() + 2);
    text.append(bytes, 0, last_brace);
    if (reader.top_level_members > 0) text += ',';
    text += member.text;
    text += '}';
  } else {
    nlohmann::json document = nlohmann::json::object();
    if (valid) {
      document = nlohmann::json::parse(bytes, nullptr, false);
    } else {
      // What the damage left readable is written back, and the bytes are kept beside it first.
      view->damaged = true;
      view->kept_broken = KeepBroken(path, bytes);
      if (!view->kept_broken) {
        out.error = "it is damaged, and could not be kept as " + path + ".broken (" + LastFileError() + ")";
        return out;
      }
      ExecutedCommands ignored;
      StatesReader salvage(ignored, nullptr, &document);
      ReadStates(bytes, salvage);
    }
    const nlohmann::json added = nlohmann::json::parse("{" + member.text + "}", nullptr, false);
    if (!document.is_object() || !added.is_object()) {
      out.error = "the results to set aside could not be read";
      return out;
    }
    // A payment set aside before keeps its earlier states: they say what ran then.
    nlohmann::json& entry = document[member.id];
    const nlohmann::json& result = added[member.id];
    if (entry.is_object() && entry.contains("cmds") && entry["cmds"].is_object() && result.is_object() &&
        result.contains("cmds") && result["cmds"].is_object()) {
      for (const auto& [command, state] : result["cmds"].items()) entry["cmds"][command] = state;
      for (const auto& [key, value] : result.items())
        if (key != "cmds") entry[key] = value;
    } else {
      entry = result;
    }
    view->payments = document.size();
    text = CompactText(document);
  }
  std::string().swap(bytes);
  StatesReader added(view->executed, nullptr);
  ReadStates("{" + member.text + "}", added);
  view->executed.Seal();
  const std::string temporary = WriteTemporaryFile(path, text, true);
  out.written = !temporary.empty() && CommitTemporaryFile(temporary, path, true);
  if (!out.written) {
    out.error = "it cannot be written: " + LastFileError();
    return out;
  }
  view->stamp = StampOf(path);
  return out;
}

void SetAsideResults::Install(StoreClient& client, std::shared_ptr<const SetAsideView> view) {
  if (!view) return;
  if (view != view_) {
    // A large file's states are many small pieces: freed off the game thread.
    host::ReleaseOffGameThread(std::const_pointer_cast<SetAsideView>(std::move(view_)));
    view_ = std::move(view);
  }
  const std::string path = JsonFileStore::PathOf(kSetAsideFileName);
  if (view_->state == SetAsideView::State::unreadable) {
    if (!told_unreadable_)
      client.target->Report("Can't read " + path + " (" + view_->error +
                                "): the payments the store offers wait, and none of their commands runs, until it "
                                "can be read, since the results set aside there may say that they ran already",
                            Severity::error, false);
    told_unreadable_ = true;
    return;
  }
  if (told_unreadable_) {
    told_unreadable_ = false;
    client.target->Report(path + " can be read again; delivery goes on", Severity::information, false);
  }
  if (view_->damaged && !(told_damaged_ == view_->stamp)) {
    told_damaged_ = view_->stamp;
    client.target->Report(
        path + " is damaged (not one valid results document): " +
            (view_->kept_broken ? "it is kept as " + path + ".broken" : "it could not be kept as " + path + ".broken") +
            ". What could be read of it is honoured: " + std::to_string(view_->payments) +
            " payment(s), whose commands recorded as Executed are not run again. Send the .broken file to the "
            "store's support",
        Severity::error, false);
  }
}

void SetAsideResults::Refresh(std::function<void(StoreClient&)> next) {
  auto fresh = std::make_shared<std::shared_ptr<const SetAsideView>>();
  host::RunOffGameThread(
      [fresh, previous = view_] {
        try {
          *fresh = ReadSetAsideFile(previous);
        } catch (const std::exception& e) {
          auto view = std::make_shared<SetAsideView>();
          view->state = SetAsideView::State::unreadable;
          view->error = e.what();
          *fresh = std::move(view);
        }
      },
      [fresh, next = std::move(next)] {
        StoreClient* client = g_store_client;
        if (!client) return;
        client->set_aside.Install(*client, std::move(*fresh));
        if (next) next(*client);
      });
}

}  // namespace gildmark
