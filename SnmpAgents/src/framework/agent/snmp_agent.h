// The framework's extension agent: the object behind the five exported entry points,
// with its MIB tree, main thread, trap queue and the virtual interface that a concrete
// agent implements. One instance per process, created by the concrete agent's factory.
#pragma once

#include <windows.h>
#include <snmp.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "agent_registry.h"
#include "critical_section.h"
#include "win32_handle.h"
#include "file_version_info.h"
#include "mib_tree.h"
#include "snmp_value.h"
#include "tarn_attribute.h"
#include "tarn_client.h"
#include "thread.h"
#include "trap_alert.h"

// One queued trap; owns its copies, allocated with the snmpapi allocator.
struct TrapRecord {
  SnmpVarBindList VarBinds{};
  AsnObjectIdentifier Enterprise{};
  DWORD SpecificTrap = 0;

  TrapRecord() = default;
  ~TrapRecord();
  TrapRecord(TrapRecord&& other) noexcept;
  TrapRecord& operator=(TrapRecord&&) = delete;
  TrapRecord(const TrapRecord&) = delete;
  TrapRecord& operator=(const TrapRecord&) = delete;
};

struct TrapConfiguration {
  std::wstring Path;
  bool Usable = false;
};

// Agent state codes written under "#Status".
enum AgentStateCode : DWORD {
  AGENT_STATE_UNKNOWN = 0,
  AGENT_STATE_LOADED = 1,
  AGENT_STATE_INITIALIZING = 2,
  AGENT_STATE_STARTING = 3,
  AGENT_STATE_STARTED = 4,
  AGENT_STATE_STOPPING = 5,
  AGENT_STATE_STOPPED = 6,
  AGENT_STATE_UNLOADING = 7,
  AGENT_STATE_UNLOADED = 8,
  AGENT_STATE_EXCEPTION_INIT = 10,
  AGENT_STATE_EXCEPTION_INITMIB = 11,
  AGENT_STATE_EXCEPTION_CLOSE = 12,
  AGENT_STATE_EXCEPTION_QUERY = 13,
  AGENT_STATE_EXCEPTION_TRAP = 14,
  AGENT_STATE_EXCEPTION = 15,
};
const wchar_t* AgentStateWord(DWORD code);

class CSnmpAgent;

// Hands the management client's events to the agent; a member rather than a base class,
// so the agent's virtual interface keeps its slot order.
class CAgentTarnEvents final : public ITarnEventTarget {
 public:
  explicit CAgentTarnEvents(CSnmpAgent& agent) : m_agent(agent) {}
  const wchar_t* GetAgentName() override;
  void RestartAgent(DWORD delayMs) override;
  void OnTarnEvent(Tarn& event) override;

 private:
  CSnmpAgent& m_agent;
};

// Lets the tree reach the agent's management-service values; a member like the one
// above, for the same reason.
class CAgentTarnRequests final : public ITarnRequests {
 public:
  explicit CAgentTarnRequests(CSnmpAgent& agent) : m_agent(agent) {}
  SNMPSTATUS RequestTarnGet(MibObject& object) override;
  SNMPSTATUS RequestTarnCheckSet(MibObject& object) override;
  SNMPSTATUS RequestTarnSet(MibObject& object, SnmpVarBind* varbind) override;

 private:
  CSnmpAgent& m_agent;
};

class CSnmpAgent {
 public:
  CSnmpAgent();
  virtual ~CSnmpAgent();
  CSnmpAgent(const CSnmpAgent&) = delete;
  CSnmpAgent& operator=(const CSnmpAgent&) = delete;

  // Virtual interface, in slot order after the destructor.
  virtual bool OnTarnEvent(void* event);
  virtual bool InitializeMib() = 0;
  virtual void CloseMib();
  virtual const wchar_t* GetAgentName();
  virtual DWORD GetAgentCode();
  virtual bool OnPreSnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                              AsnInteger32* errorIndex);
  virtual void OnPostSnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus,
                               AsnInteger32* errorIndex);
  virtual bool InitSupportedRegions();

  // Behind the exported entry points.
  bool SnmpInit(DWORD timeZeroReference, HANDLE* trapEvent, AsnObjectIdentifier* supportedView);
  bool SnmpInitEx(AsnObjectIdentifier* supportedView);
  bool SnmpQuery(BYTE requestType, SnmpVarBindList* varbinds, AsnInteger32* errorStatus, AsnInteger32* errorIndex);
  bool SnmpTrap(AsnObjectIdentifier* enterprise, AsnInteger32* genericTrap, AsnInteger32* specificTrap,
                AsnTimeticks* timeStamp, SnmpVarBindList* varbinds);
  void SnmpClose();
  void OnModuleAttach(HMODULE module);
  void OnModuleDetach();

  bool AddMibRegion(const wchar_t* rootOid, const wchar_t* label);
  const SnmpVarBindList& GetMibRegions() const { return m_MibRegions; }

  // Main thread: start, stop, restart.
  bool StartAgent();
  bool StopAgent();
  void SignalShutdown();
  bool RestartAgent(DWORD delayMs);
  static unsigned __stdcall Thread_AgentMain(void* agent);

  // Registry status and settings.
  bool SetAgentState(DWORD code);
  bool SetAgentStatus(DWORD value);
  bool SetAgentLastError(const wchar_t* text);
  bool GetAgentRegParam(const wchar_t* name, DWORD& value, bool reportFailure);
  bool GetAgentRegFilePath(const wchar_t* valueName, std::wstring& path, const wchar_t* section = nullptr);
  bool RunConfigChecks(CTarnClient& client);
  void LockListedModules();
  void DeleteVolatileParameters();
  // The registry paths, read afresh on every call.
  std::wstring GetCommonRoot() const;
  std::wstring GetAgentKey() const;
  std::wstring GetFileRoot() const;
  std::wstring GetDataRoot() const;
  // What was written last, for monitoring inside the process.
  DWORD GetLastAgentState() const { return m_lastAgentState.load(); }
  DWORD GetLastAgentStatus() const { return m_lastAgentStatus.load(); }

  // Trap queue.
  bool CreateTrap(const wchar_t* enterpriseOid, DWORD specificTrap, const SnmpVarBindList* varbinds);
  bool IsTrapEnabled(DWORD specificTrap);
  // Finds the trap suppression file ("TrapIni" of section "Tolvarn_MIB"); at module attach.
  void LoadTrapConfiguration();
  bool ResolveTrap(AsnObjectIdentifier* enterprise, AsnInteger32* specificTrap, SnmpVarBindList* varbinds);

  // Values of objects with a management-service attribute (tarn_values.h); called by the
  // tree with the MIB lock and the tree lock held.
  SNMPSTATUS RequestTarnGet(MibObject& object);
  SNMPSTATUS RequestTarnCheckSet(MibObject& object);
  SNMPSTATUS RequestTarnSet(MibObject& object, SnmpVarBind* varbind);
  SNMPSTATUS ConvertTarnStatus(LONG commandStatus);

  bool AreRequestsEnabled() const { return m_bRequestsEnabled.load(std::memory_order_relaxed); }
  HANDLE GetTrapEvent() const { return m_hTrapEvent.Get(); }
  CSnmpMibTree& GetMibTree() { return m_MibTree; }
  CTarnClient& GetTarnClient() { return *m_pTarnClient; }
  CTrapAlert& GetTrapAlert() { return m_TrapAlert; }

  std::wstring m_ProductKeyName;

 protected:
  void SetRequestsEnabled(bool enabled) { m_bRequestsEnabled.store(enabled, std::memory_order_relaxed); }
  void ReportEntryPointException(const wchar_t* messageLine, DWORD state);
  // Before StartAgent only: another client, for agents that run without the service.
  void ReplaceTarnClient(std::unique_ptr<CTarnClient> client) { m_pTarnClient = std::move(client); }

  CSnmpMibTree m_MibTree;
  CKernelHandle m_hShutdownEvent;
  CAgentTarnEvents m_TarnEvents{*this};
  std::unique_ptr<CTarnClient> m_pTarnClient;
  CAgentTarnRequests m_TarnRequests{*this};
  // Filled by the concrete agent's InitializeMib, emptied after each attached pass.
  EnumMappingTable m_EnumMappingTable;
  std::deque<TrapRecord> m_TrapQueue FW_GUARDED_BY(m_TrapQueueLock);
  CCriticalSection m_TrapQueueLock;
  std::atomic<bool> m_bTrapQueueUsed{false};
  CFileVersionInfo m_ModuleVersionInfo;
  std::wstring m_ModulePath;
  CThread m_MainThread;
  SnmpVarBindList m_MibRegions{};
  CKernelHandle m_hTrapEvent;
  CTrapAlert m_TrapAlert;
  TrapConfiguration m_TrapConfig;
  std::atomic<bool> m_bRequestsEnabled{false};
  DWORD m_dwTimeZeroReference = 0;
  DWORD m_dwNextRegionIndex = 0;
  CKernelHandle m_hStopWaitEvent;
  std::atomic<DWORD> m_dwRestartDelay{0};
  std::wstring m_ComputerName;
  // Wait before an attach retry and for the main thread's end at stop; tests shorten them.
  DWORD m_dwAttachRetryMs = 15000;
  DWORD m_dwStopWaitMs = 30000;

  // The MIB lock of request processing: whole requests, taken before the tree lock.
  CCriticalSection m_MibLock;

 private:
  void RunMainThread();
  bool RunAttachedPass();
  bool ContinueAfterPass(bool attached);
  void ProcessGet(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position, std::wstring* names);
  void ProcessGetNext(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position, std::wstring* names);
  bool ProcessSet(SnmpVarBindList* varbinds, AsnInteger32* errorStatus, UINT& position, std::wstring* names);
  void ReplyOutsideRegion(SnmpVarBind& varbind);
  AgentRegPaths RegPaths() const;
  bool OpenVolatileParameters(CRegKey& key);
  void TraceRequest(BYTE requestType, const SnmpVarBindList* varbinds);
  void TraceAnswer(BYTE requestType, const SnmpVarBindList* varbinds, const std::wstring* names,
                   AsnInteger32 errorStatus, AsnInteger32 errorIndex);

  std::atomic<DWORD> m_lastAgentState{AGENT_STATE_UNKNOWN};
  std::atomic<DWORD> m_lastAgentStatus{0};
};

// Process-wide values of the extension agent.
extern CSnmpAgent* g_pSnmpAgent;
extern std::wstring g_AgentName;
extern std::atomic<bool> g_bShutdown;
// The five management settings are g_ManagementSettings (management_settings.h).

// The agent name from a module: its file name without directory and extension.
std::wstring AgentNameFromModule(HMODULE module);
// The full path of a module, read into a buffer that grows while it is too small.
bool ModuleFullPath(HMODULE module, std::wstring& path);

// Defined by the concrete agent: creates the one agent object and registers its regions.
CSnmpAgent* CreateAgentInstance();
