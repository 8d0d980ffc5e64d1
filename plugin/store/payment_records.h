// A reply's payments as the plugin keeps them while it delivers: the reply's own text, shared,
// with where each payment and each of its commands lies in it, rather than a decoded document.
// The JSON library's document of a reply costs over ten times its text in memory, and freeing a
// large one holds a thread for many milliseconds; here a reply costs little more than its text,
// a payment is decoded without its commands when its delivery starts, and a command when it
// runs. The reply is checked as a whole before it is split (nothing runs from a reply that is
// not JSON), so the scan of its structure only has to follow strings and brackets.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "json.hpp"

namespace gildmark {

struct TextRange {
  uint32_t offset = 0, length = 0;
};

class PaymentRecord {
 public:
  // A payment known only as a value (a test's, or one that is not an object).
  explicit PaymentRecord(nlohmann::json value);
  PaymentRecord(std::shared_ptr<const std::string> reply, TextRange payment);

  // The payment without its commands: a "cmds" member, when there is one, is null.
  nlohmann::json Head() const;
  // The "cmds" member's elements in delivery order (see ForEachElement).
  size_t CommandCount() const { return commands_.size(); }
  nlohmann::json Command(size_t index) const;

 private:
  std::shared_ptr<const std::string> reply_;
  TextRange payment_;
  nlohmann::json value_;             // without a text
  std::vector<uint32_t> commands_;   // where each begins in the reply
  std::vector<TextRange> cmds_;      // each "cmds" member's value, left out of the head
};

// How many payments a reply lists and how many commands they hold in all (repeated keys
// counted each time): counted before anything is built for them, so that an answer of absurd
// counts is refused whole. `text` must hold valid JSON.
struct ReplyCounts {
  size_t payments = 0, commands = 0;
};
ReplyCounts CountPaymentsAndCommands(const std::string& text);

// Valid JSON text that is an array, an object or another value: its elements (arrays in order,
// objects by ascending key, the last of a repeated key, a single value as itself) as payments.
// `reply` must hold valid JSON, as json::accept says.
std::vector<PaymentRecord> PaymentRecordsOf(const std::shared_ptr<const std::string>& reply);
// The payments of valid JSON `text` as the library's document has them, as records would give
// them: each payment's head and its commands. For checking the records against the document.
nlohmann::json PaymentsAsDocumentHasThem(const std::string& text);
nlohmann::json PaymentsAsRecordsHaveThem(const std::string& text);
// The first byte of the value in valid JSON text (after a byte order mark and whitespace).
size_t ValueStart(const std::string& text);

}  // namespace gildmark
