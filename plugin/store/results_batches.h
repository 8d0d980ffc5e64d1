// Results go to the store in batches of bounded size, each a results document of whole payments,
// one after another within a cycle. Web servers in front of an API refuse bodies over a size we
// cannot know (413): a refused batch is halved, down to one payment, and the smaller size is kept
// for the rest of the run. A payment the store refuses even alone is set aside in a file of its
// own (never deleted) and told, so that it does not hold back the others; new purchases are
// fetched again once the rest are acknowledged.
//
// response.json keeps every result of the batches until the last answer: acknowledged and set
// aside ones are taken out of it once, when the batches end. A stop in between only makes the
// next cycle post some acknowledged results once more, which the store takes again.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "json.hpp"

namespace gildmark {

class StoreClient;

inline constexpr size_t kBatchBytes = size_t{64} << 10;
inline constexpr size_t kBatchPayments = 500;
extern const char* const kSetAsideFileName;

// One payment's member of a results document: its id, and its compact text ("id":{...}).
struct ResultsMember {
  std::string id;
  std::string text;
};

using BatchList = std::deque<std::vector<ResultsMember>>;

// The results of one cycle, batch by batch.
struct ResultsBatches {
  BatchList to_send;  // the first is the one out
  size_t acknowledged = 0, set_aside = 0;           // payments
  bool clears_log = false;  // the results log holds these results and goes once all are done
};

// True when a document of `payments` members and `bytes` fits one POST under the current size.
bool FitsOneBatch(const StoreClient& client, size_t payments, size_t bytes);
// The members of a results document, in its key order.
std::vector<ResultsMember> MembersOf(const nlohmann::json& document);
// The compact text of the results document the members make.
std::string DocumentText(const std::vector<ResultsMember>& members);
// Members in batches of at most `most_payments` payments and kBatchBytes, in their order; work
// that grows with the results, so done off the game thread where they are many.
BatchList SplitIntoBatches(std::vector<ResultsMember> members, size_t most_payments);
// Sends the members in batches; the request flag stays set until the last answer. False when
// the first batch could not be sent (the flag is then cleared).
bool PostInBatches(StoreClient& client, std::vector<ResultsMember> members, bool clears_log);
bool PostBatches(StoreClient& client, BatchList batches, bool clears_log);
// A single POST of `sent` (payments many) the store refused with 413: the same results go again
// in batches of half as many payments.
bool PostAgainInBatches(StoreClient& client, const std::string& sent, bool clears_log);
// At unload: what the batches so far achieved leaves response.json, the rest waits there.
void EndBatchesAtUnload(StoreClient& client);

}  // namespace gildmark
