// A small concrete agent for the tests: constant scalars and table cells of every type
// the framework stores, plus writable and failing objects that exercise the callbacks.
#pragma once

#include "snmp_agent.h"

#include <atomic>
#include <memory>

namespace fw::testing {

// The test agent's region, the same root the cluster agent registers.
inline constexpr wchar_t kTestRegion[] = L".1.3.6.1.4.1.884.2.10.2.9.1";
inline constexpr UINT kCheckedTextLimit = 16;

// The objects whose values live in the management service (region .25.N.0, N = OI):
// configuration-space values OE kTarnTestCode, OI N, CA kTarnTestCabinet.
inline constexpr DWORD kTarnTestCode = 0x4100;
inline constexpr DWORD kTarnTestCabinet = 1;
enum TarnTestObject : DWORD {
  kTarnOffset = 1,      // INTEGER, offset 5
  kTarnMapped = 2,      // INTEGER through the mapping list {0->1, 1->2, 5->3}
  kTarnGauge = 3,       // Gauge32
  kTarnText = 4,        // OCTET STRING, default "unknown"
  kTarnSetEnabled = 5,  // read-only INTEGER that takes a SET (set-enabled flag)
  kTarnKept = 6,        // INTEGER with the keep-value flag
  kTarnCallback = 7,    // OC -1: the value comes from a callback (4711)
};
inline constexpr LONG kTarnDefaultNumber = -1;
inline constexpr wchar_t kTarnDefaultText[] = L"unknown";
inline constexpr LONG kTarnCallbackValue = 4711;

class CTestAgent : public CSnmpAgent {
 public:
  enum class Service { Detached, MgtCore };
  // withRegion false: no region is registered and InitSupportedRegions is not overridden.
  // Service::MgtCore attaches to the management service as a real agent does.
  // Service::MgtCore also registers the objects with management-service attributes.
  explicit CTestAgent(bool withRegion = true, Service service = Service::Detached);

  // Another management client, before SnmpInit.
  void UseTarnClient(std::unique_ptr<CTarnClient> client) { ReplaceTarnClient(std::move(client)); }
  ITarnEventTarget& TarnEvents() { return m_TarnEvents; }
  // Shorter waits for the lifecycle tests.
  void SetAttachRetryMs(DWORD ms) { m_dwAttachRetryMs = ms; }
  void SetStopWaitMs(DWORD ms) { m_dwStopWaitMs = ms; }

  bool InitializeMib() override;
  void CloseMib() override;
  DWORD GetAgentCode() override { return 99; }
  bool OnPreSnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                      AsnInteger32* errorIndex) override;
  void OnPostSnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                       AsnInteger32* errorIndex) override;

  // Registers the test objects (also used by benchmarks and tests on a bare tree).
  static void RegisterObjects(CSnmpMibTree& tree);
  // The objects with management-service attributes and their mapping list.
  static void RegisterTarnObjects(CSnmpMibTree& tree, EnumMappingTable& mapping);
  const EnumMappingTable& MappingTable() const { return m_EnumMappingTable; }

  // Waits until the main thread has enabled requests.
  bool WaitUntilServing(DWORD timeoutMs);

  std::atomic<int> preCalls{0};
  std::atomic<int> postCalls{0};
  std::atomic<int> initializeCalls{0};
  std::atomic<int> closeCalls{0};
  // When set, CloseMib waits for this event: a main thread stuck in its teardown.
  std::atomic<HANDLE> closeMibGate{nullptr};
  // When true, OnPreSnmpQuery answers the request itself with status 5 at index 1.
  std::atomic<bool> answerInPreHook{false};

  SNMPSTATUS CheckTextValue(SnmpVarBind* varbind, BYTE mode);
  SNMPSTATUS ThrowingRead(SnmpVarBind* varbind, BYTE mode);
  SNMPSTATUS MakeCallbackValue(SnmpVarBind* varbind, BYTE mode);
  // testTrapTrigger: a SET of n > 0 raises trap n with the computer name, the time and a text.
  SNMPSTATUS RaiseTrap(SnmpVarBind* varbind, BYTE mode);

 private:
  bool m_tarnObjects = false;
};

}  // namespace fw::testing
