// A GET reply's bytes through the whole delivery path.
#include "fuzz_world.h"
#include "store/payment_records.h"
#include "store/request_cycle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The payments split from the text are those the library's document has.
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (nlohmann::json::accept(text) &&
      gildmark::PaymentsAsRecordsHaveThem(text) != gildmark::PaymentsAsDocumentHasThem(text))
    abort();
  auto& world = gildmark::fuzzing::FuzzWorld::Get();
  world.client().request_in_flight = true;
  gildmark::OnGetReply(gildmark::host::AnswerOf(200, std::string(reinterpret_cast<const char*>(data), size)), true, false);
  world.Drain();
  world.CheckInvariants();
  if (!nlohmann::json::accept(world.Read("response.json"))) abort();
  world.Tidy();
  return 0;
}
