// The trap queue under load and with its suppression file: many producers against a
// consumer that drains like the SNMP service, edits of the file between traps, records
// left in the queue at destruction, the time stamp.
#include "snmp_agent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "request_builder.h"
#include "test_agent.h"
#include "trace_test_support.h"

namespace {

using fw::testing::CTestAgent;
using fw::testing::RequestList;

constexpr wchar_t kEnterprise[] = L".1.3.6.1.4.1.884";

// Fetches as the SNMP service does: every output starts empty and is freed afterwards.
struct Fetched {
  bool result = false;
  AsnObjectIdentifier enterprise{};
  AsnInteger32 generic = -1, specific = -1;
  AsnTimeticks stamp = 0;
  SnmpVarBindList varbinds{};

  explicit Fetched(CSnmpAgent& agent) {
    result = agent.SnmpTrap(&enterprise, &generic, &specific, &stamp, &varbinds);
  }
  ~Fetched() {
    SnmpUtilOidFree(&enterprise);
    SnmpUtilVarBindListFree(&varbinds);
  }
  Fetched(const Fetched&) = delete;
  Fetched& operator=(const Fetched&) = delete;
};

// Three varbinds naming the producer and its sequence number.
struct ProducerVarbinds : RequestList {
  ProducerVarbinds(int producer, int sequence)
      : RequestList({L"1.3.6.1.4.1.884.1", L"1.3.6.1.4.1.884.2", L"1.3.6.1.4.1.884.3"}) {
    SetValueNumber(&(*this)[0], producer, ASN_INTEGER);
    SetValueNumber(&(*this)[1], sequence, ASN_INTEGER);
    SetValueText(&(*this)[2], L"node", ASN_OCTETSTRING);
  }
};

TEST(TrapQueueLoad, ManyProducersSlowConsumerEveryTrapOnceInProducerOrder) {
  constexpr int kProducers = 8;
  constexpr int kPerProducer = 1500;
  CTestAgent agent;
  HANDLE trapEvent = agent.GetTrapEvent();
  ASSERT_NE(trapEvent, nullptr);

  std::atomic<int> producing{kProducers};
  std::vector<int> next(kProducers, 0);
  int delivered = 0, outOfOrder = 0, wakeups = 0;
  bool lostWakeup = false;
  // The service waits for the event, then calls until FALSE. A wake-up lost while traps
  // are queued shows as a wait that times out after the producers are done.
  std::thread consumer([&] {
    while (delivered < kProducers * kPerProducer) {
      if (WaitForSingleObject(trapEvent, 5000) != WAIT_OBJECT_0) {
        if (producing.load() == 0) {
          lostWakeup = true;
          return;
        }
        continue;
      }
      ++wakeups;
      for (;;) {
        Fetched trap(agent);
        if (!trap.result) break;
        if (trap.varbinds.len != 3) {
          ++outOfOrder;
          continue;
        }
        const int producer = trap.varbinds.list[0].value.asnValue.number;
        const int sequence = trap.varbinds.list[1].value.asnValue.number;
        if (producer < 0 || producer >= kProducers || sequence != next[producer]) {
          ++outOfOrder;
        } else {
          ++next[producer];
        }
        if (trap.specific != 900 + producer) ++outOfOrder;
        ++delivered;
        if (delivered % 64 == 0) Sleep(1);  // slower than the producers
      }
    }
  });
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        ProducerVarbinds varbinds(p, i);
        if (!agent.CreateTrap(kEnterprise, 900 + p, &varbinds.list)) ++refused;
      }
      --producing;
    });
  }
  for (auto& producer : producers) producer.join();
  consumer.join();

  EXPECT_FALSE(lostWakeup);
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(delivered, kProducers * kPerProducer);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kPerProducer) << "producer " << p;
  EXPECT_LT(wakeups, delivered) << "one wake-up drains several traps";
  Fetched none(agent);
  EXPECT_FALSE(none.result);
}

TEST(TrapQueueLoad, UndeliveredTrapsAreFreedWithTheAgentAndSurviveAShutdown) {
  {
    CTestAgent agent;
    HANDLE trapEvent = nullptr;
    ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, nullptr));
    ASSERT_TRUE(agent.WaitUntilServing(10000));
    ProducerVarbinds varbinds(0, 0);
    ASSERT_TRUE(agent.CreateTrap(kEnterprise, 925, &varbinds.list));
    ASSERT_TRUE(agent.StopAgent());
    Fetched afterStop(agent);
    EXPECT_TRUE(afterStop.result) << "the queue outlives the main thread";
    EXPECT_EQ(afterStop.specific, 925);
    // Left in the queue: freed by the destructor (the sanitizer presets report a leak).
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(agent.CreateTrap(kEnterprise, 926, &varbinds.list));
  }
  SUCCEED();
}

TEST(TrapQueueTimeStamp, TicksSinceTheTimeZeroReferenceWrapModulo32Bits) {
  for (const DWORD offset : {0u, 100u}) {
    CTestAgent agent;
    // A reference ahead of the clock: the difference wraps instead of going negative.
    const DWORD now = static_cast<DWORD>(GetTickCount64() / 10);
    const DWORD reference = offset ? now + offset : now;
    HANDLE trapEvent = nullptr;
    ASSERT_TRUE(agent.SnmpInit(reference, &trapEvent, nullptr));
    ASSERT_TRUE(agent.CreateTrap(kEnterprise, 811, nullptr));
    Fetched trap(agent);
    ASSERT_TRUE(trap.result);
    EXPECT_EQ(trap.varbinds.len, 0u);
    const DWORD elapsed = static_cast<DWORD>(trap.stamp + offset);  // undo the wrap
    EXPECT_LT(elapsed, 500u) << "offset " << offset << ", stamp " << trap.stamp;
    if (offset) {
      EXPECT_GT(trap.stamp, 0xFFFFFF00u);
    }
    agent.StopAgent();
  }
}

TEST(TrapQueueTrigger, ASetOfTheTriggerObjectQueuesThatTrap) {
  CTestAgent agent;
  HANDLE trapEvent = nullptr;
  ASSERT_TRUE(agent.SnmpInit(0, &trapEvent, nullptr));
  ASSERT_TRUE(agent.WaitUntilServing(10000));
  const std::wstring trigger = std::wstring(fw::testing::kTestRegion).substr(1) + L".22.0";
  for (const AsnInteger32 value : {925, 0, -3}) {
    RequestList set({trigger});
    SetValueNumber(&set[0], value, ASN_INTEGER);
    AsnInteger32 status = -1, index = -1;
    agent.SnmpQuery(SNMP_PDU_SET, &set.list, &status, &index);
    EXPECT_EQ(status, value > 0 ? SNMP_ERRORSTATUS_NOERROR : SNMP_ERRORSTATUS_BADVALUE) << value;
  }
  Fetched trap(agent);
  ASSERT_TRUE(trap.result);
  EXPECT_EQ(trap.specific, 925);
  ASSERT_EQ(trap.varbinds.len, 3u);
  EXPECT_EQ(trap.varbinds.list[0].value.asnType, ASN_OCTETSTRING);
  EXPECT_FALSE(Fetched(agent).result) << "refused values raise nothing";
  agent.StopAgent();
}

// The suppression file named by the registry, edited between traps.
class TrapSuppression : public ::testing::Test {
 protected:
  void SetUp() override {
    m_file = fw::diag::testing::TempDirFor(L"trap-suppression") + L"\\TrapTable.ini";
    DeleteFileW(m_file.c_str());
    m_fileKey = std::wstring(fw::agent::kDefaultCommonRoot) + L"\\Tolvarn_MIB\\FILE";
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_fileKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, L"TrapIni", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_file.c_str()),
                   static_cast<DWORD>((m_file.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(fw::agent::kDefaultCommonRoot) + L"\\Tolvarn_MIB").c_str());
    DeleteFileW(m_file.c_str());
  }
  void Write(const wchar_t* key, const wchar_t* value) {
    ASSERT_TRUE(WritePrivateProfileStringW(L"TrapTable", key, value, m_file.c_str()));
  }
  // Queued traps, fetched and counted; the queue is empty afterwards.
  static int Drain(CSnmpAgent& agent) {
    int count = 0;
    for (;;) {
      Fetched trap(agent);
      if (!trap.result) return count;
      ++count;
    }
  }

  std::wstring m_file, m_fileKey;
};

TEST_F(TrapSuppression, OnlyTheValueTwoSuppressesAndEditsCountForTheNextTrap) {
  Write(L"812", L"2");
  Write(L"813", L"0");
  Write(L"814", L"1");
  Write(L"815", L"3");
  Write(L"816", L"two");
  CTestAgent agent;
  agent.LoadTrapConfiguration();

  struct Case {
    DWORD trap;
    bool queued;
  };
  const Case cases[] = {{812, false}, {811, true}, {813, true}, {814, true}, {815, true}, {816, true}, {817, true}};
  for (const Case& c : cases) {
    WaitForSingleObject(agent.GetTrapEvent(), 0);  // clear the automatic-reset event
    EXPECT_EQ(agent.CreateTrap(kEnterprise, c.trap, nullptr), c.queued) << c.trap;
    EXPECT_EQ(WaitForSingleObject(agent.GetTrapEvent(), 0) == WAIT_OBJECT_0, c.queued) << c.trap;
    EXPECT_EQ(Drain(agent), c.queued ? 1 : 0) << c.trap;
  }

  Write(L"812", L"1");
  EXPECT_TRUE(agent.CreateTrap(kEnterprise, 812, nullptr)) << "the edit counts at once";
  Write(L"811", L"2");
  EXPECT_FALSE(agent.CreateTrap(kEnterprise, 811, nullptr));
  EXPECT_EQ(Drain(agent), 1);
}

TEST_F(TrapSuppression, MissingFileOrDirectoryEnablesEveryTrap) {
  CTestAgent missing;
  missing.LoadTrapConfiguration();  // the file does not exist yet
  Write(L"812", L"2");
  EXPECT_TRUE(missing.CreateTrap(kEnterprise, 812, nullptr)) << "a file missing at attach stays unused";

  ASSERT_TRUE(DeleteFileW(m_file.c_str()));
  ASSERT_TRUE(CreateDirectoryW(m_file.c_str(), nullptr));
  CTestAgent directory;
  directory.LoadTrapConfiguration();
  EXPECT_TRUE(directory.CreateTrap(kEnterprise, 812, nullptr));
  RemoveDirectoryW(m_file.c_str());
}

}  // namespace
