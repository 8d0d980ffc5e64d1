// The GET reply and its buyers: decoding, one record per payment, and resolution against the
// connected players.
#include "plugin_fixture.h"
#include "store/payment_players.h"
#include "store/payment_records.h"

namespace gildmark::testing {
namespace {

class PaymentPlayersTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    WriteConfig();
    StartClient();
  }
  // Each payment's buyer read and looked up, as a delivery does when the payment starts.
  std::vector<std::unique_ptr<PaymentPlayer>> Load(const nlohmann::json& document) {
    std::vector<std::unique_ptr<PaymentPlayer>> list;
    ForEachElement(document, [&](const nlohmann::json& payment) {
      list.push_back(std::make_unique<PaymentPlayer>(MakePaymentPlayer(payment)));
      ResolvePaymentPlayer(*list.back());
    });
    return list;
  }
};

TEST_F(PaymentPlayersTest, DecodingStripsOneQuotePairAndHandlesText) {
  auto payments_of = [](std::string body) {
    DecodedPayments decoded = DecodePaymentsReply(std::move(body));
    nlohmann::json heads = nlohmann::json::array();
    for (const PaymentRecord& payment : decoded.payments) heads.push_back(payment.Head());
    return decoded.is_json && !decoded.nothing ? heads : nlohmann::json(0);
  };
  EXPECT_EQ(payments_of("[]"), nlohmann::json::array());
  EXPECT_EQ(payments_of("\"[{\"id\":\"1\"}]\""), nlohmann::json::parse("[{\"id\":\"1\"}]"));
  EXPECT_EQ(payments_of("0"), 0);
  EXPECT_EQ(payments_of(" -0.0 "), 0);
  EXPECT_EQ(payments_of("1"), nlohmann::json::array({1}));

  Write("response.json", "{\"1\":{}}");
  EXPECT_EQ(payments_of("\"No pending payments found\""), 0);
  EXPECT_EQ(Read("response.json"), "{}");

  client().target->SetPlayer(sim().Join("admin", 1, "Boss"));
  EXPECT_EQ(payments_of("\"Gildmark: invalid signature\""), 0);
  EXPECT_EQ(sim().ChatTo("admin"), std::vector<std::string>{"Gildmark: invalid signature"});
  EXPECT_EQ(client().target->player, nullptr) << "the store's message is final";
  EXPECT_EQ(payments_of("something else"), 0);
  EXPECT_EQ(LogMessages("info.log").back(), "Gildmark: invalid signature");

  std::string text = "\"";
  StripOuterQuotes(text);
  EXPECT_EQ(text, "\"");
  text = "\"[]";
  StripOuterQuotes(text);
  EXPECT_EQ(text, "\"[]");
  text = "\"\"";
  StripOuterQuotes(text);
  EXPECT_EQ(text, "");
  text = "\"\"x\"\"";
  StripOuterQuotes(text);
  EXPECT_EQ(text, "\"x\"");
}

TEST_F(PaymentPlayersTest, IterationVisitsArraysInOrderAndObjectsByKey) {
  std::vector<int> seen;
  auto visit = [&](const nlohmann::json& v) { seen.push_back(v.get<int>()); };
  ForEachElement(nlohmann::json::parse("[3,1,2]"), visit);
  ForEachElement(nlohmann::json::parse("{\"b\":5,\"a\":4,\"10\":7,\"9\":6}"), visit);
  ForEachElement(nullptr, visit);
  ForEachElement(8, visit);
  EXPECT_EQ(seen, (std::vector<int>{3, 1, 2, 7, 6, 4, 5, 8}));
}

TEST_F(PaymentPlayersTest, DecodingOffTheGameThreadKeepsOrderAndLeavesTextToTheGameThread) {
  auto reply = host::AnswerOf(200, R"("{"b":{"id":"2"},"a":{"id":"1"}}")");
  auto decoded = std::static_pointer_cast<DecodedPayments>(PreparePaymentsReply(reply));
  ASSERT_TRUE(decoded->is_json);
  EXPECT_FALSE(decoded->nothing);
  ASSERT_EQ(decoded->payments.size(), 2u);
  EXPECT_EQ(decoded->payments[0].Head()["id"], "1") << "objects are delivered by ascending key";
  EXPECT_TRUE(reply.body.empty()) << "the decoded body is freed off the game thread";

  auto zero = host::AnswerOf(200, "0");
  EXPECT_TRUE(std::static_pointer_cast<DecodedPayments>(PreparePaymentsReply(zero))->nothing);

  auto text = host::AnswerOf(200, "\"No pending payments found\"");
  auto as_text = std::static_pointer_cast<DecodedPayments>(PreparePaymentsReply(text));
  EXPECT_FALSE(as_text->is_json);
  EXPECT_EQ(text.body, "No pending payments found") << "one pair of quotes stripped, once";
  EXPECT_TRUE(as_text->payments.empty());
}

TEST_F(PaymentPlayersTest, PaymentsSplitFromTheTextAreThoseTheDocumentHas) {
  const char* replies[] = {
      R"([{"id":"1","cmds":[{"id":1,"str":"a ]}\" [{"},{"id":2}],"eos_id":"e"}])",
      "\xEF\xBB\xBF \n[ {\"cmds\" : { \"b\":2 , \"a\":1, \"b\":3 } , \"id\" : \"x\" } ]\t",
      R"({"p2":{"cmds":null,"id":"2"},"p1":{"id":"1"},"p2":{"cmds":7,"id":"3"}})",
      R"([{"c\u006dds":[1,2],"cmds":[3],"nested":{"cmds":[9]}},[1,[2]],"text",12.5,null,true,{}])",
      R"({"\u00e9":{"cmds":"one"},"e":{"cmds":[[1],{"x":[]}]}})",
      R"("just text")",
      R"([{"cmds":[1],"cmds":[2,3]}])",
      "[]",
      "{}",
  };
  for (const char* reply : replies) {
    ASSERT_TRUE(nlohmann::json::accept(reply)) << reply;
    EXPECT_EQ(PaymentsAsRecordsHaveThem(reply), PaymentsAsDocumentHasThem(reply)) << reply;
  }
  // A payment's head leaves its commands out, whatever their number.
  const PaymentRecord record(nlohmann::json::parse(R"({"id":"1","cmds":[{"id":5},{"id":6}]})"));
  EXPECT_EQ(record.Head(), nlohmann::json::parse(R"({"id":"1","cmds":null})"));
  ASSERT_EQ(record.CommandCount(), 2u);
  EXPECT_EQ(record.Command(1), nlohmann::json::parse(R"({"id":6})"));
}

TEST_F(PaymentPlayersTest, BuyersResolveOnlineOnlyWhenConnectedAndAlive) {
  auto* first = sim().Join("first", 100, "First");
  auto* alive = sim().Join("alive", -5, "Alive One");
  sim().Join("dead", 2, "Dead");
  sim().Die("dead");
  sim().Join("ghost", 3, "Ghost");
  sim().RemoveCharacter("ghost");
  sim().Join("lower", 4, "casey");

  auto list = Load(nlohmann::json::array({
      Payment("1", "alive", "ignored", nlohmann::json::array()),
      Payment("2", "dead", "", nlohmann::json::array()),
      Payment("3", "ghost", "", nlohmann::json::array()),
      Payment("4", "", "Alive One", nlohmann::json::array()),
      Payment("5", "", "Casey", nlohmann::json::array()),
      Payment("6", "absent", "", nlohmann::json::array()),
      Payment("7", "alive", "", nlohmann::json::array()),
  }));
  ASSERT_EQ(list.size(), 7u);
  EXPECT_EQ(list[0]->identifier_type, "eosid");
  EXPECT_TRUE(list[0]->online);
  EXPECT_EQ(list[0]->player_controller, alive);
  EXPECT_EQ(list[0]->linked_id, "-5");
  EXPECT_EQ(host::ToUtf8(list[0]->character_name), "Alive One");
  for (int i : {1, 2, 4, 5}) {
    EXPECT_FALSE(list[i]->online) << i;
    EXPECT_EQ(list[i]->player_controller, first) << "offline buyers fall back to the first player";
    EXPECT_TRUE(list[i]->character_name.IsEmpty());
    EXPECT_TRUE(list[i]->linked_id.empty());
  }
  EXPECT_EQ(list[3]->identifier_type, "username");
  EXPECT_TRUE(list[3]->online);
  EXPECT_EQ(list[4]->identifier_type, "username") << "name search is case-sensitive";
  EXPECT_EQ(list[6]->player_controller, alive) << "two payments for one player, two records";
  (void)first;
}

TEST_F(PaymentPlayersTest, NobodyOnlineGivesANullController) {
  auto list = Load(nlohmann::json::array({Payment("1", "x", "", nlohmann::json::array())}));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_FALSE(list[0]->online);
  EXPECT_EQ(list[0]->player_controller, nullptr);
  sim().SetWorldExists(false);
  auto no_world = Load(nlohmann::json::array({Payment("1", "x", "", nlohmann::json::array())}));
  EXPECT_EQ(no_world[0]->player_controller, nullptr);
}

TEST_F(PaymentPlayersTest, EveryPaymentGetsARecordSoPairingHolds) {
  sim().Join("p", 1, "P");
  auto list = Load(nlohmann::json::parse(R"([
      {"id":"1","eos_id":"","username":"","cmds":[]},
      5,
      {"id":"3","eos_id":7,"username":"x","cmds":[]},
      {"id":"4","username":"x","cmds":[]},
      {"id":"5","eos_id":"","cmds":[]},
      {"id":"6","eos_id":"p","cmds":[]}])"));
  ASSERT_EQ(list.size(), 6u);
  EXPECT_TRUE(list[0]->usable);
  EXPECT_TRUE(list[0]->identifier_type.empty());
  EXPECT_FALSE(list[0]->online);
  for (int i : {1, 2, 3, 4}) EXPECT_FALSE(list[i]->usable) << i;
  EXPECT_TRUE(list[5]->online) << "the payment after the bad ones still pairs with its own buyer";
  // The JSON library's own texts, which the store's developers know; the delivery tells them.
  EXPECT_NE(list[1]->unreadable.find("[json.exception.type_error.305] cannot use operator[] with a string argument with number"),
            std::string::npos)
      << list[1]->unreadable;
  EXPECT_NE(list[2]->unreadable.find("[json.exception.type_error.302] type must be string, but is number"),
            std::string::npos)
      << list[2]->unreadable;
  EXPECT_NE(list[3]->unreadable.find("[json.exception.out_of_range.403] key 'eos_id' not found"), std::string::npos)
      << list[3]->unreadable;
  EXPECT_NE(list[4]->unreadable.find("key 'username' not found"), std::string::npos) << list[4]->unreadable;
}

TEST_F(PaymentPlayersTest, AFaultInAGameCallSkipsOnlyThatBuyer) {
  sim().Join("a", 1, "A");
  sim().Join("b", 2, "B");
  sim().BreakEntry("AShooterPlayerController.BaseGetPlayerCharacter()", 0, 1);
  auto list = Load(nlohmann::json::array({Payment("1", "a", "", nlohmann::json::array()),
                                          Payment("2", "b", "", nlohmann::json::array())}));
  EXPECT_FALSE(list[0]->usable);
  EXPECT_EQ(list[0]->player_controller, nullptr);
  EXPECT_TRUE(list[1]->online);
  EXPECT_EQ(LogMessages("err.log").size(), 1u);
}

}  // namespace
}  // namespace gildmark::testing
