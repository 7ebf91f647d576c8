// The PC/SC slot against the real pcscd, the vpcd virtual reader and the card simulator.

#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <set>

#include "core/Exceptions.h"
#include "tests/integration/ExchangeFile.h"
#include "tests/integration/IntegrationSupport.h"
#include "tests/support/TestSupport.h"
#include "transport/pcsc/SmartCardSlotPCSC.h"

namespace qorx::integration {
namespace {

using test::CodeOf;
using test::Hex;
using test::HexOf;

using Slot = TSDSVCSmartCardSlot;

class SlotIntegration : public testing::Test {
 protected:
  void SetUp() override { sim_.Reinsert(); }

  // Polls the slot's status until pcscd reports the card in the reader.
  static bool CardSeen(Slot& slot) {
    return WaitFor([&] { return (slot.GetStatus(nullptr) & Slot::CardPresent) != 0; });
  }

  // An open slot on the simulator's reader, connected to its card.
  std::unique_ptr<TSDSVCSmartCardSlotPCSC> Connected() {
    auto slot = std::make_unique<TSDSVCSmartCardSlotPCSC>(kReader);
    slot->Open("");
    EXPECT_TRUE(CardSeen(*slot));
    EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);
    EXPECT_TRUE(slot->GetStatus(nullptr) & Slot::CardConnected);
    return slot;
  }

  std::string Transmit(Slot& slot, const std::string& command) {
    TSDAPDU apdu;
    apdu.ParseCommand(Hex(command), true);
    slot.Transmit(apdu);
    return HexOf(apdu.Bytes());
  }

  uint32_t Attribute(Slot& slot, uint16_t id) {
    uint32_t value = 0;
    EXPECT_EQ(slot.GetAttribute(id, &value, sizeof value), 4);
    return value;
  }

  Simulator sim_;
};

TEST_F(SlotIntegration, FactoryListsTheVirtualReaders) {
  TSDSmartCardSlotPCSCFactory* factory = TSDSmartCardSlotPCSCFactory::Instance();
  int count = factory->StartEnumeration();
  std::set<std::string> names;
  for (TSDByteArray name = factory->NextName(); name.TextLength() > 0; name = factory->NextName()) {
    names.insert(name.CStr());
  }
  EXPECT_EQ(static_cast<int>(names.size()), count);
  EXPECT_TRUE(names.count(kReader)) << "readers: " << count;
  EXPECT_TRUE(names.count(kSecondReader));

  // The multi-string: every name with its NUL, then the final NUL.
  int size = 0;
  EXPECT_EQ(factory->EnumerateNames(nullptr, &size), count);
  int expected = 1;
  for (const std::string& name : names) expected += static_cast<int>(name.size()) + 1;
  EXPECT_EQ(size, expected);
  std::vector<char> buffer(static_cast<size_t>(size));
  int small = size - 1;
  EXPECT_EQ(CodeOf([&] { factory->EnumerateNames(buffer.data(), &small); }), sd::kLength);
  EXPECT_EQ(small, size - 1);  // left as it was
}

TEST_F(SlotIntegration, OpenConnectCloseAndTheAtr) {
  auto slot = std::make_unique<TSDSVCSmartCardSlotPCSC>(kReader);
  EXPECT_EQ(slot->GetStatus(nullptr), 0);  // closed: nothing asked
  slot->Open("");
  ASSERT_TRUE(CardSeen(*slot));
  EXPECT_EQ(slot->GetStatus(nullptr),
            Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader);  // not connected yet
  EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);
  CardInfo info;
  std::memset(&info, 0xEE, sizeof info);
  EXPECT_EQ(slot->GetStatus(&info),
            Slot::SlotOpen | Slot::CardPresent | Slot::CardInReader | Slot::CardConnected);
  EXPECT_EQ(HexOf(TSDByteArray(info.atr, info.length)), kAtrT1);
  EXPECT_EQ(Attribute(*slot, Slot::AttributeProtocol), 2u);
  slot->Close();
  EXPECT_EQ(slot->Flags(), 0);
  EXPECT_EQ(CodeOf([&] { slot->CardAction(Slot::ActionConnect); }), sd::kWrongState);
  // A closed slot opens again with a fresh context.
  slot->Open("");
  EXPECT_TRUE(CardSeen(*slot));
  EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);
  EXPECT_EQ(Transmit(*slot, "00A4040007A000000951100100").substr(0, 4), "6F10");
}

TEST_F(SlotIntegration, RemovalAndInsertion) {
  auto slot = Connected();
  EXPECT_EQ(Transmit(*slot, "00A4040007A000000951100100").substr(0, 4), "6F10");

  sim_.Remove();
  uint16_t flags = 0;
  ASSERT_TRUE(
      WaitFor([&] { return ((flags = slot->GetStatus(nullptr)) & Slot::CardPresent) == 0; }));
  EXPECT_TRUE(flags & Slot::CardLost);
  EXPECT_FALSE(flags & Slot::CardConnected);
  EXPECT_EQ(CodeOf([&] { Transmit(*slot, "00A4040007A000000951100100"); }), sd::kWrongState);
  // With the slot empty a connect attempt connects nothing.
  EXPECT_EQ(slot->CardAction(Slot::ActionDropConnection), 1);
  slot->CardAction(Slot::ActionConnect);
  EXPECT_FALSE(slot->GetStatus(nullptr) & Slot::CardConnected);

  sim_.Insert();
  ASSERT_TRUE(CardSeen(*slot));
  EXPECT_EQ(slot->CardAction(Slot::ActionDropConnection), 1);
  EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);
  flags = slot->GetStatus(nullptr);
  EXPECT_TRUE(flags & Slot::CardConnected) << std::hex << flags;
  EXPECT_FALSE(flags & (Slot::CardMute | Slot::CardLost)) << std::hex << flags;
  EXPECT_EQ(Transmit(*slot, "00A4040007A000000951100100").substr(0, 4), "6F10");
}

TEST_F(SlotIntegration, MuteCard) {
  sim_.Reinsert({"mute"});
  auto slot = std::make_unique<TSDSVCSmartCardSlotPCSC>(kReader);
  slot->Open("");
  ASSERT_TRUE(CardSeen(*slot));
  EXPECT_TRUE(slot->GetStatus(nullptr) & Slot::CardMute);
  EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);  // the failure shows in the flags
  uint16_t flags = slot->GetStatus(nullptr);
  EXPECT_TRUE(flags & Slot::CardMute) << std::hex << flags;
  EXPECT_FALSE(flags & Slot::CardConnected) << std::hex << flags;
}

// The exchanges that scriptor sees under T=1 come out of the slot unchanged whatever the
// protocol: under T=0 the slot drops Le from case 4 and follows 61xx with GET RESPONSE.
TEST_F(SlotIntegration, SameAnswersAsScriptorUnderT1AndT0) {
  ExchangeFile file = ExchangeFile::Load(std::string(QORX_INTEGRATION_DATA) + "/bank-card.apdu");
  ASSERT_TRUE(file.setup.empty());
  struct Variant {
    std::vector<std::string> options;
    uint32_t protocol;
  } variants[] = {{{}, 2}, {{"t0"}, 1}, {{"t0", "chunk 7"}, 1}};
  for (const Variant& variant : variants) {
    SCOPED_TRACE(variant.options.empty() ? "t1" : variant.options.back());
    sim_.Reinsert(variant.options);
    auto slot = Connected();
    EXPECT_EQ(Attribute(*slot, Slot::AttributeProtocol), variant.protocol);
    for (const Exchange& e : file.exchanges) {
      EXPECT_EQ(Transmit(*slot, e.command), e.response) << e.command;
    }
  }
}

TEST_F(SlotIntegration, T0GetResponseChainAndWrongLength) {
  const std::string data =
      "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
      "2021222324252627";  // 40 bytes: 32 + 8
  sim_.Reinsert({"t0", "chunk 32", "respond 80E2000002AABB:" + data + "9000",
                 "respond 80CA9F17:9F1701039000"});
  auto slot = Connected();
  sim_.ResetCounts();
  uint32_t exchanges = Attribute(*slot, Slot::AttributeExchangeCount);
  uint32_t sent = Attribute(*slot, Slot::AttributeBytesSent);
  // 61 20, 32 bytes and 61 08, 8 bytes and 90 00: all the data, then the last status word.
  EXPECT_EQ(Transmit(*slot, "80E2000002AABB"), data + "9000");
  EXPECT_EQ(Attribute(*slot, Slot::AttributeExchangeCount), exchanges + 3);
  EXPECT_EQ(Attribute(*slot, Slot::AttributeBytesSent), sent + 7 + 5 + 5);
  EXPECT_EQ(sim_.Count("C0"), 2);
  // Le 00 is wrong for 4 bytes: 6C 04, and the command again with P3 04.
  EXPECT_EQ(Transmit(*slot, "80CA9F1700"), "9F1701039000");
  EXPECT_EQ(Attribute(*slot, Slot::AttributeExchangeCount), exchanges + 5);
  EXPECT_EQ(sim_.Count("CA"), 2);
}

// While our transaction is open, a second PC/SC client (not going through our slot) cannot
// begin its own; it gets the card once we end ours.
TEST_F(SlotIntegration, TransactionKeepsOtherClientsOut) {
  auto slot = Connected();
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE other = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnect(context, kReader, SCARD_SHARE_SHARED,
                         SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &other, &protocol),
            SCARD_S_SUCCESS);

  ASSERT_EQ(slot->CardAction(Slot::ActionBeginTransaction), 1);
  std::atomic<bool> done{false};
  LONG result = -1;
  std::thread second([&] {
    result = SCardBeginTransaction(other);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_FALSE(done) << "the second client began a transaction inside ours";
  // Our own commands still go through meanwhile.
  EXPECT_EQ(Transmit(*slot, "00A4040007A000000951100100").substr(0, 4), "6F10");
  EXPECT_EQ(slot->CardAction(Slot::ActionEndTransaction), 1);
  bool released = WaitFor([&] { return done.load(); });
  EXPECT_TRUE(released) << "the second client stays blocked after our transaction ended";
  if (!released) slot->Close();  // frees the card so that the thread can finish
  second.join();
  EXPECT_EQ(result, SCARD_S_SUCCESS);
  SCardEndTransaction(other, SCARD_LEAVE_CARD);
  SCardDisconnect(other, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
}

// pcscd stopped under an open slot: the next call fails with a PC/SC status at once, and a
// fresh Open after Close works with the pcscd that replaced it.
TEST_F(SlotIntegration, PcscdKilledAndRestarted) {
  if (Harness("pcscd-ours") != 0) {
    GTEST_SKIP() << "pcscd was already running when the harness started: it is not ours to "
                    "kill, so this case does not run";
  }
  auto slot = Connected();
  ASSERT_EQ(Harness("pcscd-kill"), 0);
  auto start = std::chrono::steady_clock::now();
  test::Raised raised = test::CatchSD([&] { slot->GetStatus(nullptr); });
  EXPECT_EQ(raised.code, sd::kExternal);
  EXPECT_EQ(raised.message.compare(0, 6, "PCSC: "), 0) << raised.message;
  EXPECT_NE(CodeOf([&] { Transmit(*slot, "00A4040007A000000951100100"); }), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  ASSERT_EQ(Harness("pcscd-start"), 0);
  slot->Close();
  slot->Open("");
  ASSERT_TRUE(CardSeen(*slot));
  EXPECT_EQ(slot->CardAction(Slot::ActionConnect), 1);
  EXPECT_EQ(Transmit(*slot, "00A4040007A000000951100100").substr(0, 4), "6F10");
}

}  // namespace
}  // namespace qorx::integration
