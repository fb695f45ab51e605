#include "snmp_agent.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "debug_trace.h"
#include "dynamic_library_module.h"
#include "process_info.h"

CSnmpAgent* g_pSnmpAgent = nullptr;
std::wstring g_AgentName;
std::atomic<bool> g_bShutdown{false};

namespace {

constexpr const wchar_t kHashLine[] =
    L"\n##############################################################################";

HANDLE CreateUnnamedEvent(bool manualReset) { return CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr); }

}  // namespace

bool ModuleFullPath(HMODULE module, std::wstring& path) {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    // Windows XP and later truncate and report ERROR_INSUFFICIENT_BUFFER.
    if (length < buffer.size() && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      path.assign(buffer.data(), length);
      return true;
    }
    if (buffer.size() > 32 * 1024) return false;
    buffer.resize(buffer.size() + MAX_PATH);
  }
}

std::wstring AgentNameFromModule(HMODULE module) {
  std::wstring path;
  if (!ModuleFullPath(module, path)) return {};
  const size_t slash = path.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos && dot > 0) name.erase(dot);
  return name;
}

const wchar_t* AgentStateWord(DWORD code) {
  static const wchar_t* const kWords[] = {
      L"unknown",
      L"loaded",
      L"initializing",
      L"starting",
      L"started",
      L"stopping",
      L"stopped",
      L"unloading",
      L"unloaded",
      L"unknown",
      L"exception (SnmpExtensionInit)",
      L"exception (InitializeMib)",
      L"exception (SnmpExtensionClose)",
      L"exception (SnmpExtensionQuery)",
      L"exception (SnmpExtensionTrap)",
      L"exception",
  };
  return code < std::size(kWords) ? kWords[code] : L"unknown";
}

// ---------------------------------------------------------------------------------------
// TrapRecord

TrapRecord::~TrapRecord() {
  SnmpUtilVarBindListFree(&VarBinds);
  SnmpUtilOidFree(&Enterprise);
}

TrapRecord::TrapRecord(TrapRecord&& other) noexcept
    : VarBinds(other.VarBinds), Enterprise(other.Enterprise), SpecificTrap(other.SpecificTrap) {
  other.VarBinds = {};
  other.Enterprise = {};
}

// ---------------------------------------------------------------------------------------
// Construction

CSnmpAgent::CSnmpAgent() : m_MibTree(this), m_pTarnClient(std::make_unique<CTarnClient>(m_TarnEvents)) {
  m_MibTree.SetTarnRequests(&m_TarnRequests);
  g_ManagementSettings.Reset();
  g_bShutdown = false;
  m_hTrapEvent.Reset(CreateUnnamedEvent(false));
  m_hShutdownEvent.Reset(CreateUnnamedEvent(true));
  m_hStopWaitEvent.Reset(CreateUnnamedEvent(true));
}

CSnmpAgent::~CSnmpAgent() {
  m_hShutdownEvent.Reset();
  m_hStopWaitEvent.Reset();
  SetAgentState(AGENT_STATE_UNLOADED);
  FreeVarBindList(&m_MibRegions);
  m_hTrapEvent.Reset();
}

// ---------------------------------------------------------------------------------------
// Virtual interface: the base behaviour

bool CSnmpAgent::OnTarnEvent(void* /*event*/) { return true; }

const wchar_t* CAgentTarnEvents::GetAgentName() { return m_agent.GetAgentName(); }
void CAgentTarnEvents::RestartAgent(DWORD delayMs) { m_agent.RestartAgent(delayMs); }
void CAgentTarnEvents::OnTarnEvent(Tarn& event) { m_agent.OnTarnEvent(&event); }
void CSnmpAgent::CloseMib() {}
const wchar_t* CSnmpAgent::GetAgentName() { return g_AgentName.c_str(); }
DWORD CSnmpAgent::GetAgentCode() { return 1; }
bool CSnmpAgent::OnPreSnmpQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) { return true; }
void CSnmpAgent::OnPostSnmpQuery(BYTE, SnmpVarBindList*, AsnInteger32*, AsnInteger32*) {}
bool CSnmpAgent::InitSupportedRegions() { return false; }

// ---------------------------------------------------------------------------------------
// Regions and initialisation

bool CSnmpAgent::AddMibRegion(const wchar_t* rootOid, const wchar_t* label) {
  DBG_TRACE(1, L"\n%-20s:  add MIB region: %s - %s", g_AgentName, rootOid ? rootOid : L"", label ? label : L"");
  SnmpVarBind region = EmptyVarBind();
  if (!TextToOid(rootOid, &region.name)) {
    DBG_TRACE(1, L"\n%-20s: ## ERROR! MIB region \"%s\" is no OID - region not added", g_AgentName,
              rootOid ? rootOid : L"");
    return false;
  }
  SetValueText(&region, label, ASN_OCTETSTRING);
  const UINT index = m_MibRegions.len;
  const bool added = ResizeVarBindList(&m_MibRegions, index + 1) &&
                     SnmpUtilVarBindCpy(&m_MibRegions.list[index], &region);
  if (!added && m_MibRegions.list) m_MibRegions.len = index;  // a failed copy leaves no half entry
  SnmpUtilVarBindFree(&region);
  return added;
}

void CSnmpAgent::ReportEntryPointException(const wchar_t* messageLine, DWORD state) {
  DBG_TRACE(1, L"\n%s", kHashLine);
  DBG_TRACE(1, messageLine, g_AgentName);
  DBG_TRACE(1, L"%s\n", kHashLine);
  SetAgentState(state);
  SetAgentStatus(4);
  SetAgentLastError(L"exception occured");
}

bool CSnmpAgent::SnmpInit(DWORD timeZeroReference, HANDLE* trapEvent, AsnObjectIdentifier* supportedView) {
  try {
    DBG_TRACE(2, L"\n%-20s: SnmpInit(): Initializing agent...", g_AgentName);
    SetAgentState(AGENT_STATE_INITIALIZING);
    m_dwTimeZeroReference = timeZeroReference;
    DBG_TRACE(4, L"\n%-20s:  Agent start time = %u...", g_AgentName, timeZeroReference);
    if (trapEvent) *trapEvent = m_hTrapEvent.Get();
    if (!m_hTrapEvent) DBG_TRACE(1, L"\n##%-20s: ERROR: Could not create trap event!", g_AgentName);
    SetRequestsEnabled(false);
    if (m_MibRegions.len == 0) {
      if (!InitSupportedRegions()) {
        DBG_TRACE(1, L"\n\n## FATAL ERROR: InitSupportedRegions() function not implemented or failed!!\n");
        DBG_TRACE(1, L"\nThe agent needs the MIB root OIDs to be defined in InitSupportedRegions()!");
        DBG_TRACE(1, L"\nCall AddMibRegion() for every MIB root OID there.\nException raised to abort initialization!\n");
        throw std::runtime_error("no MIB region");
      }
    } else {
      DBG_TRACE(4, L"\n%-20s: InitSupportedRegions() not needed to be called because MIB root already defined",
                g_AgentName);
    }
    if (!ResizeVarBindList(&m_MibRegions, 1)) throw std::bad_alloc();
    if (supportedView) {
      SnmpUtilOidFree(supportedView);
      if (!SnmpUtilOidCpy(supportedView, &m_MibRegions.list[0].name)) throw std::bad_alloc();
    }
    m_dwNextRegionIndex = 1;
    SetAgentStatus(0);
    SetAgentLastError(L"initializing");
    StartAgent();
    DBG_TRACE(5, L"\n%-20s: -> SnmpInit()", g_AgentName);
    return true;
  } catch (...) {
    ReportEntryPointException(L"\n####                   Exception in SnmpExtensionInit !!                  ####",
                              AGENT_STATE_EXCEPTION_INIT);
    return false;
  }
}

bool CSnmpAgent::SnmpInitEx(AsnObjectIdentifier* supportedView) {
  try {
    DBG_TRACE(2, L"\n%-20s: SnmpInitEx(): Get next MIB region [%d]", g_AgentName, m_dwNextRegionIndex);
    if (m_dwNextRegionIndex >= m_MibRegions.len) {
      DBG_TRACE(3, L"\n%-20s: no additional MIB regions available", g_AgentName);
      return false;
    }
    SnmpVarBind& region = m_MibRegions.list[m_dwNextRegionIndex];
    if (DBG_TRACE_ACTIVE()) {
      std::wstring label, oid;
      if (region.value.asnType == ASN_OCTETSTRING && region.value.asnValue.string.stream) {
        ValueToText(label, &region.value);
      }
      DBG_TRACE(3, L"\n%-20s:  supplying additional MIB region: %s %s", g_AgentName, label,
                OidToText(oid, &region.name));
    }
    if (supportedView) {
      SnmpUtilOidFree(supportedView);
      if (!SnmpUtilOidCpy(supportedView, &region.name)) throw std::bad_alloc();
    }
    ++m_dwNextRegionIndex;
    return true;
  } catch (...) {
    ReportEntryPointException(L"\n####                   Exception in SnmpExtensionInitEx !!                ####",
                              AGENT_STATE_EXCEPTION_INIT);
    return false;
  }
}

void CSnmpAgent::SnmpClose() {
  DBG_TRACE(2, L"\n%-20s: SnmpClose()", g_AgentName);
  StopAgent();
}

// ---------------------------------------------------------------------------------------
// Module attach and detach

void CSnmpAgent::OnModuleAttach(HMODULE module) {
  if (!ModuleFullPath(module, m_ModulePath)) {
    DBG_TRACE(1, L"\nERROR! SNMP agent module path not found");
    return;
  }
  m_ModuleVersionInfo.Load(m_ModulePath.c_str());
  g_AgentName = AgentNameFromModule(module);
  SetAgentState(AGENT_STATE_LOADED);

  wchar_t computer[16] = {};
  DWORD size = static_cast<DWORD>(std::size(computer));
  if (GetComputerNameW(computer, &size)) m_ComputerName.assign(computer, size);

  // The messages library lies in the agents' file root, which the registry settings give.
  const std::wstring messagesPath = GetFileRoot() + L"\\Messages.dll";
  m_TrapAlert.LoadMessageDLL(messagesPath.c_str());

  LoadTrapConfiguration();

  if (DBG_TRACE_ACTIVE()) {
    DBG_TRACE(1, L"\n\n*** SNMP agent module \"%s\" loaded ***\n", g_AgentName);
    DBG_TRACE(1, L"\n      Computer name : %s", m_ComputerName);
    DBG_TRACE(1, L"\n   Operating system : %s", L"Windows");
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    switch (info.wProcessorArchitecture) {
      case 6: DBG_TRACE(1, L"\n        OS platform : iA64"); break;
      case 9: DBG_TRACE(1, L"\n        OS platform : x64"); break;
      case 0: DBG_TRACE(1, L"\n        OS platform : x86"); break;
      default: DBG_TRACE(1, L"\n        OS platform : << Unknown!! >>");
    }
    std::wstring text;
    if (m_ModuleVersionInfo.QueryString(text, L"FileDescription")) DBG_TRACE(1, L"\n  Agent description : %s", text);
    if (m_ModuleVersionInfo.QueryString(text, L"CompanyName")) DBG_TRACE(2, L"\n       Company name : %s", text);
    if (m_ModuleVersionInfo.QueryString(text, L"ProductVersion")) DBG_TRACE(1, L"\n      Agent version : %s", text);
    if (const VS_FIXEDFILEINFO* fixed = m_ModuleVersionInfo.GetFixedInfo()) {
      DBG_TRACE(1, L"\n       File version : %u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    }
    DBG_TRACE(1, L"\n           Encoding : UNICODE");
    DBG_TRACE(1, L"\n    Build date/time : %hs %hs", __DATE__, __TIME__);
    DBG_TRACE(2, L"\n        Module path : %s", m_ModulePath);
    DBG_TRACE(2, L"\n        Common root : %s", GetCommonRoot());
    DBG_TRACE(2, L"\n         Agent root : %s", GetAgentKey());
  }
  LockListedModules();
}

// The suppression file is tested once; its content is read again for every trap.
void CSnmpAgent::LoadTrapConfiguration() {
  std::wstring trapIni;
  if (!GetAgentRegFilePath(L"TrapIni", trapIni, L"Tolvarn_MIB")) return;
  m_TrapConfig.Path = trapIni;
  const DWORD attributes = GetFileAttributesW(trapIni.c_str());
  m_TrapConfig.Usable = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (!m_TrapConfig.Usable) {
    DBG_TRACE(2, L"\nERROR! Could not open trap config \"%s\" - trap suppression not possible", trapIni);
  }
}

void CSnmpAgent::OnModuleDetach() {
  SetAgentState(AGENT_STATE_UNLOADING);
  DeleteVolatileParameters();
}

// ---------------------------------------------------------------------------------------
// Registry status and settings. No lock: every call opens and closes its own keys.

using fw::agent::CreateKeyForWrite;
using fw::agent::OpenKeyForRead;
using fw::agent::OpenKeyForWrite;

AgentRegPaths CSnmpAgent::RegPaths() const { return AgentRegPaths(m_ProductKeyName, g_AgentName); }
std::wstring CSnmpAgent::GetCommonRoot() const { return RegPaths().CommonRoot(); }
std::wstring CSnmpAgent::GetAgentKey() const { return RegPaths().AgentKey(); }
std::wstring CSnmpAgent::GetFileRoot() const { return RegPaths().FileRoot(); }
std::wstring CSnmpAgent::GetDataRoot() const { return RegPaths().DataRoot(); }

bool CSnmpAgent::SetAgentState(DWORD code) {
  DBG_TRACE(3, L"\n%-20s: Status changed to: %s (%d)", g_AgentName, AgentStateWord(code), code);
  m_lastAgentState = code;
  const std::wstring commonRoot = GetCommonRoot();
  CRegKey status;
  if (OpenKeyForWrite(commonRoot + L"\\#Status", status) != ERROR_SUCCESS) {
    CRegKey root;
    if (CreateKeyForWrite(HKEY_LOCAL_MACHINE, commonRoot, REG_OPTION_NON_VOLATILE, root) == ERROR_SUCCESS) {
      CreateKeyForWrite(root.Get(), L"#Status", REG_OPTION_VOLATILE, status);
    }
  }
  const bool written = status && fw::agent::WriteStringValue(status.Get(), g_AgentName.c_str(), AgentStateWord(code));
  if (written) {
    DBG_TRACE(4, L"\n%-20s: Status successfully written to registry", g_AgentName);
  } else {
    DBG_TRACE(1, L"\n%-20s: Status NOT written to registry", g_AgentName);
  }
  return written;
}

bool CSnmpAgent::OpenVolatileParameters(CRegKey& key) {
  CRegKey parameters;
  if (CreateKeyForWrite(HKEY_LOCAL_MACHINE, RegPaths().ParametersKey(), REG_OPTION_NON_VOLATILE, parameters) !=
      ERROR_SUCCESS) {
    return false;
  }
  return CreateKeyForWrite(parameters.Get(), L"VolatileParameters", REG_OPTION_VOLATILE, key) == ERROR_SUCCESS;
}

bool CSnmpAgent::SetAgentStatus(DWORD value) {
  DBG_TRACE(3, L"\n%-20s: Set agent status: %d", g_AgentName, value);
  m_lastAgentStatus = value;
  CRegKey key;
  return OpenVolatileParameters(key) && fw::agent::WriteDwordValue(key.Get(), L"AgentStatus", value);
}

bool CSnmpAgent::SetAgentLastError(const wchar_t* text) {
  if (!text) return false;
  DBG_TRACE(3, L"\n%-20s: Set agent last error message: \"%s\"", g_AgentName, text);
  CRegKey key;
  return OpenVolatileParameters(key) && fw::agent::WriteStringValue(key.Get(), L"AgentLastError", text);
}

void CSnmpAgent::DeleteVolatileParameters() {
  CRegKey parameters;
  if (OpenKeyForWrite(RegPaths().ParametersKey(), parameters) != ERROR_SUCCESS) return;
  RegDeleteTreeW(parameters.Get(), L"VolatileParameters");
}

bool CSnmpAgent::GetAgentRegParam(const wchar_t* name, DWORD& value, bool reportFailure) {
  if (!name) return false;
  const std::wstring keyPath = RegPaths().ParametersKey();
  CRegKey key;
  DWORD read = 0;
  if (OpenKeyForRead(keyPath, key) == ERROR_SUCCESS && fw::agent::ReadDwordValue(key.Get(), name, read)) {
    value = read;
    DBG_TRACE(4, L"\n%-20s: GetAgentRegParam(): return parameter value for %s = %d", g_AgentName, name, value);
    return true;
  }
  if (reportFailure) {
    DBG_TRACE(1, L"\n%-20s: GetAgentRegParam(): ## ERROR! Could not read agent param \"%s\" from \"%s\"!",
              g_AgentName, name, keyPath);
  }
  return false;
}

bool CSnmpAgent::GetAgentRegFilePath(const wchar_t* valueName, std::wstring& path, const wchar_t* section) {
  if (!valueName) return false;
  const std::wstring sectionName = section ? section : g_AgentName;
  if (sectionName.empty()) return false;
  const AgentRegPaths paths = RegPaths();
  std::wstring value;
  if (!fw::agent::ReadStringValue(paths.CommonRoot() + L"\\" + sectionName + L"\\FILE", valueName, value)) {
    return false;
  }
  DBG_TRACE(5, L"\n%-20s: GetAgentRegFilePath(): registry value %s = %s", sectionName, valueName, value);
  std::wstring result;
  if (fw::agent::IsAbsoluteFilePath(value)) {
    DBG_TRACE(5, L"\n    absolute INI file path...");
    result = value;
  } else {
    const std::wstring dataRoot = paths.DataRoot();
    DBG_TRACE(5, L"\n    relative INI file path, add data root path %s...", dataRoot);
    result = dataRoot + L"\\" + value;
  }
  DBG_TRACE(4, L"\n%-20s: GetAgentRegFilePath(): return file path for %s = %s", sectionName, valueName, result);
  path = std::move(result);
  return true;
}

bool CSnmpAgent::RunConfigChecks(CTarnClient& client) { return ::RunConfigChecks(client, g_AgentName.c_str()); }


namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD);
using GetModuleBaseNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);

bool RunsUnderWow64() {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  if (!kernel32) return false;
  auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process")));
  BOOL wow64 = FALSE;
  return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

// Base name -> handle of the first 256 modules of this process; names compare exactly.
std::map<std::wstring, HMODULE> LoadedModulesByName(EnumProcessModulesFn enumModules, GetModuleBaseNameFn baseName) {
  std::map<std::wstring, HMODULE> modules;
  HMODULE handles[256] = {};
  DWORD needed = 0;
  if (!enumModules(GetCurrentProcess(), handles, sizeof(handles), &needed)) return modules;
  const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), static_cast<DWORD>(std::size(handles)));
  for (DWORD i = 0; i < count; ++i) {
    wchar_t name[520] = {};
    const DWORD length = baseName(GetCurrentProcess(), handles[i], name, static_cast<DWORD>(std::size(name)));
    if (length == 0) continue;
    modules.emplace(std::wstring(name, length), handles[i]);
  }
  return modules;
}

}  // namespace

// Pins the modules listed under "#LockList" that are already loaded, so that unloading
// this agent cannot take them with it. The extra references are never released.
void CSnmpAgent::LockListedModules() {
  if (RunsUnderWow64()) return;
  CRegKey lockList;
  if (OpenKeyForWrite(GetCommonRoot() + L"\\#LockList", lockList) != ERROR_SUCCESS) return;
  DynamicLibraryModule psapi(L"psapi");
  auto enumModules = psapi.getProc<EnumProcessModulesFn>("EnumProcessModules");
  auto baseName = psapi.getProc<GetModuleBaseNameFn>("GetModuleBaseNameW");
  if (!enumModules || !baseName) return;
  const std::map<std::wstring, HMODULE> modules = LoadedModulesByName(enumModules, baseName);
  for (DWORD index = 0;; ++index) {
    wchar_t name[260] = {};
    BYTE data[260] = {};
    DWORD nameLength = static_cast<DWORD>(std::size(name));
    DWORD dataSize = sizeof(data);
    if (RegEnumValueW(lockList.Get(), index, name, &nameLength, nullptr, nullptr, data, &dataSize) != ERROR_SUCCESS) {
      break;
    }
    DBG_TRACE(3, L"\n%-20s: Dirty module \"%s\" found in list", g_AgentName, name);
    const auto found = modules.find(std::wstring(name, nameLength));
    if (found == modules.end()) {
      DBG_TRACE(3, L"\n%-20s: Dirty module %s was not already loaded before this agent!", g_AgentName, name);
      continue;
    }
    // By the module's own full path: a bare name could resolve to another file of that name.
    std::wstring fullPath;
    if (ModuleFullPath(found->second, fullPath) && LoadLibraryW(fullPath.c_str())) {
      DBG_TRACE(3, L"\n%-20s: Dirty module %s (0x%X) successfully locked!", g_AgentName, name,
                reinterpret_cast<ULONG_PTR>(found->second));
    }
  }
}
