#include "store/payment_records.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string_view>

namespace gildmark {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t SkipSpace(const std::string& s, size_t i) {
  while (i < s.size() && IsSpace(s[i])) ++i;
  return i;
}

// `i` at an opening quote: the index after the closing one.
size_t StringEnd(const std::string& s, size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\')
      ++i;
    else if (s[i] == '"')
      return i + 1;
  }
  return s.size();
}

// `i` at a value's first byte: the index after its last.
size_t ValueEnd(const std::string& s, size_t i) {
  const char c = s[i];
  if (c == '"') return StringEnd(s, i);
  if (c == '[' || c == '{') {
    size_t depth = 0;
    for (; i < s.size(); ++i) {
      const char d = s[i];
      if (d == '"') {
        i = StringEnd(s, i) - 1;
      } else if (d == '[' || d == '{') {
        ++depth;
      } else if ((d == ']' || d == '}') && --depth == 0) {
        return i + 1;
      }
    }
    return s.size();
  }
  while (i < s.size() && !IsSpace(s[i]) && s[i] != ',' && s[i] != ']' && s[i] != '}') ++i;
  return i;
}

TextRange RangeOf(size_t begin, size_t end) {
  return {static_cast<uint32_t>(begin), static_cast<uint32_t>(end - begin)};
}

// The members (key with its quotes, value) or elements (an empty key) of the container at `i`.
template <class Visit>
void ForEachPart(const std::string& s, size_t i, Visit&& visit) {
  const bool object = s[i] == '{';
  i = SkipSpace(s, i + 1);
  if (i >= s.size() || s[i] == ']' || s[i] == '}') return;
  for (;;) {
    TextRange key;
    if (object) {
      const size_t end = StringEnd(s, i);
      key = RangeOf(i, end);
      i = SkipSpace(s, SkipSpace(s, end) + 1);  // past the colon
    }
    const size_t end = ValueEnd(s, i);
    visit(key, RangeOf(i, end));
    i = SkipSpace(s, end);
    if (i >= s.size() || s[i] != ',') return;
    i = SkipSpace(s, i + 1);
  }
}

std::string KeyOf(const std::string& s, TextRange key) {
  const std::string_view token(s.data() + key.offset, key.length);
  if (token.find('\\') == std::string_view::npos) return std::string(token.substr(1, token.size() - 2));
  return nlohmann::json::parse(token).get<std::string>();
}

bool IsKey(const std::string& s, TextRange key, std::string_view name) {
  const std::string_view token(s.data() + key.offset, key.length);
  if (token.find('\\') == std::string_view::npos) return token.substr(1, token.size() - 2) == name;
  return KeyOf(s, key) == name;
}

// Keys compared as the library's document orders them (by their decoded bytes), without a copy
// of a key that holds no escape.
bool KeyLess(const std::string& s, TextRange a, TextRange b) {
  const std::string_view x(s.data() + a.offset, a.length), y(s.data() + b.offset, b.length);
  if (x.find('\\') == std::string_view::npos && y.find('\\') == std::string_view::npos)
    return x.substr(1, x.size() - 2) < y.substr(1, y.size() - 2);
  return KeyOf(s, a) < KeyOf(s, b);
}

size_t CountParts(const std::string& s, size_t at) {
  size_t count = 0;
  ForEachPart(s, at, [&](TextRange, TextRange) { ++count; });
  return count;
}

// Where each element of the value at `at` begins, in delivery order: arrays in order, objects by
// ascending key with the last of a repeated key (as the library's document keeps them), null
// none, any other value itself. Four bytes an element, and no node per key: the smallest
// element takes two bytes of text, and the cost must stay within a few times the text's size.
std::vector<uint32_t> ElementsInOrder(const std::string& s, size_t at) {
  std::vector<uint32_t> starts;
  if (s[at] == '[') {
    starts.reserve(CountParts(s, at));
    ForEachPart(s, at, [&](TextRange, TextRange value) { starts.push_back(value.offset); });
  } else if (s[at] == '{') {
    struct Member {
      TextRange key;
      uint32_t value;
    };
    std::vector<Member> members;
    members.reserve(CountParts(s, at));
    ForEachPart(s, at, [&](TextRange key, TextRange value) { members.push_back({key, value.offset}); });
    // Ties in text order, so that the last of a repeated key ends each run.
    std::sort(members.begin(), members.end(), [&](const Member& a, const Member& b) {
      if (KeyLess(s, a.key, b.key)) return true;
      if (KeyLess(s, b.key, a.key)) return false;
      return a.value < b.value;
    });
    size_t unique = 0;
    for (size_t i = 0; i < members.size(); ++i)
      unique += i + 1 == members.size() || KeyLess(s, members[i].key, members[i + 1].key);
    starts.reserve(unique);
    for (size_t i = 0; i < members.size(); ++i)
      if (i + 1 == members.size() || KeyLess(s, members[i].key, members[i + 1].key)) starts.push_back(members[i].value);
  } else if (s.compare(at, 4, "null") != 0) {
    starts.push_back(static_cast<uint32_t>(at));
  }
  return starts;
}

nlohmann::json Parse(const std::string& s, size_t begin, size_t end) {
  return nlohmann::json::parse(s.begin() + static_cast<std::ptrdiff_t>(begin),
                               s.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
}

}  // namespace

size_t ValueStart(const std::string& text) {
  const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return SkipSpace(text, start);
}

PaymentRecord::PaymentRecord(nlohmann::json value) : value_(std::move(value)) {
  if (!value_.is_object() || !value_.contains("cmds")) return;
  // Kept as text, so that both kinds of record deliver alike.
  auto text = std::make_shared<std::string>(value_.dump());
  const TextRange whole = RangeOf(0, text->size());
  value_ = nullptr;
  *this = PaymentRecord(std::move(text), whole);
}

PaymentRecord::PaymentRecord(std::shared_ptr<const std::string> reply, TextRange payment) {
  const std::string& s = *reply;
  const size_t at = payment.offset;
  if (s[at] != '{') {
    // A payment that is not an object cannot be read; only its type is ever looked at, and an
    // array's elements could be the whole reply.
    value_ = s[at] == '[' ? nlohmann::json::array() : Parse(s, at, at + payment.length);
    return;
  }
  ForEachPart(s, at, [&](TextRange key, TextRange value) {
    if (IsKey(s, key, "cmds")) cmds_.push_back(value);
  });
  if (!cmds_.empty()) commands_ = ElementsInOrder(s, cmds_.back().offset);
  reply_ = std::move(reply);
  payment_ = payment;
}

nlohmann::json PaymentRecord::Head() const {
  if (!reply_) return value_;
  const std::string& s = *reply_;
  if (cmds_.empty()) return Parse(s, payment_.offset, payment_.offset + payment_.length);
  std::string head;
  size_t from = payment_.offset;
  for (const TextRange& cmds : cmds_) {
    head.append(s, from, cmds.offset - from);
    head += "null";
    from = cmds.offset + cmds.length;
  }
  head.append(s, from, payment_.offset + payment_.length - from);
  return nlohmann::json::parse(head, nullptr, false);
}

nlohmann::json PaymentRecord::Command(size_t index) const {
  const size_t start = commands_.at(index);
  return Parse(*reply_, start, ValueEnd(*reply_, start));
}

ReplyCounts CountPaymentsAndCommands(const std::string& text) {
  ReplyCounts counts;
  const size_t at = ValueStart(text);
  if (at >= text.size()) return counts;
  if (text[at] != '[' && text[at] != '{') {
    counts.payments = text.compare(at, 4, "null") != 0;
    return counts;
  }
  ForEachPart(text, at, [&](TextRange, TextRange payment) {
    ++counts.payments;
    if (text[payment.offset] != '{') return;
    TextRange cmds;
    ForEachPart(text, payment.offset, [&](TextRange key, TextRange value) {
      if (IsKey(text, key, "cmds")) cmds = value;
    });
    const char c = cmds.length > 0 ? text[cmds.offset] : 'n';
    if (c == '[' || c == '{')
      counts.commands += CountParts(text, cmds.offset);
    else if (c != 'n')
      ++counts.commands;
  });
  return counts;
}

std::vector<PaymentRecord> PaymentRecordsOf(const std::shared_ptr<const std::string>& reply) {
  std::vector<PaymentRecord> records;
  const std::vector<uint32_t> payments = ElementsInOrder(*reply, ValueStart(*reply));
  records.reserve(payments.size());
  for (const uint32_t start : payments) records.emplace_back(reply, RangeOf(start, ValueEnd(*reply, start)));
  return records;
}

namespace {

void VisitElements(const nlohmann::json& container, const std::function<void(const nlohmann::json&)>& visit) {
  if (container.is_null()) return;
  if (container.is_array() || container.is_object()) {
    for (const auto& element : container) visit(element);
    return;
  }
  visit(container);
}

}  // namespace

nlohmann::json PaymentsAsDocumentHasThem(const std::string& text) {
  nlohmann::json out = nlohmann::json::array();
  VisitElements(nlohmann::json::parse(text), [&](const nlohmann::json& payment) {
    nlohmann::json head = payment, commands = nlohmann::json::array();
    if (payment.is_array()) head = nlohmann::json::array();
    if (payment.is_object() && payment.contains("cmds")) {
      VisitElements(payment["cmds"], [&](const nlohmann::json& command) { commands.push_back(command); });
      head["cmds"] = nullptr;
    }
    out.push_back({head, commands});
  });
  return out;
}

nlohmann::json PaymentsAsRecordsHaveThem(const std::string& text) {
  nlohmann::json out = nlohmann::json::array();
  for (const PaymentRecord& record : PaymentRecordsOf(std::make_shared<const std::string>(text))) {
    nlohmann::json commands = nlohmann::json::array();
    for (size_t i = 0; i < record.CommandCount(); ++i) commands.push_back(record.Command(i));
    out.push_back({record.Head(), commands});
  }
  return out;
}

}  // namespace gildmark
