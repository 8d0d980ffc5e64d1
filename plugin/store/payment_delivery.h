// Delivery of one GET reply: greet each online buyer, fill the buyer's identifiers into each
// command, hold back what needs an online buyer, run the rest with temporary rights, and record
// "Executed" or "Not Executed" per command in the results record (store/results_record.h): each
// state in the results log the moment it is known, which costs the same for the first command
// of a reply as for the thousandth, so a crash loses at most the state of the command that was
// running. At the end the results go to response.json and are posted at once.
#pragma once

#include <string>

#include "json.hpp"
#include "store/results_record.h"

namespace gildmark {

void ReplaceFirst(std::string& text, const std::string& placeholder, const std::string& value);
// A value put into a console command: "|" and control characters would let it add console
// input of its own, and a '"' could end a quoted section so that a '|' of the template splits
// the line, so all of them become "?".
std::string SanitizeValue(std::string value);
// The id of a command as the decimal text it came with (a boolean reads as 0 or 1, a fraction
// is cut toward zero). Throws when the command has no readable id.
std::string CommandIdText(const nlohmann::json& command);

void ProcessPayments(const nlohmann::json& document);

}  // namespace gildmark
