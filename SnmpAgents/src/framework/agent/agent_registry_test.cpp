// The agent's registry tree: where the paths lie, the state words and volatile status it
// writes, the parameter and file-path lookups and the lock list, against a seeded registry.
#include "agent_registry.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <cwctype>
#include <string>

#include "test_agent.h"

namespace {

using fw::testing::CTestAgent;

constexpr wchar_t kAgent[] = L"RegTestAgent";
constexpr wchar_t kProduct[] = L"Vornekt SNMP Agents";
constexpr wchar_t kCustomRoot[] = L"SOFTWARE\\RegTestVendor";

LONG PutString(const std::wstring& key, const std::wstring& name, const std::wstring& value, DWORD type = REG_SZ) {
  CRegKey handle;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                handle.Out(), nullptr);
  if (result != ERROR_SUCCESS) return result;
  return RegSetValueExW(handle.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

LONG PutDword(const std::wstring& key, const wchar_t* name, DWORD value) {
  CRegKey handle;
  LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                handle.Out(), nullptr);
  if (result != ERROR_SUCCESS) return result;
  return RegSetValueExW(handle.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

bool KeyExists(const std::wstring& key) {
  CRegKey handle;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.Out()) == ERROR_SUCCESS;
}

std::wstring GetString(const std::wstring& key, const wchar_t* name) {
  std::wstring value;
  return fw::agent::ReadStringValue(key, name, value) ? value : L"<missing>";
}

DWORD GetDword(const std::wstring& key, const wchar_t* name) {
  CRegKey handle;
  DWORD value = 0xdeadbeef;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, handle.Out()) == ERROR_SUCCESS) {
    fw::agent::ReadDwordValue(handle.Get(), name, value);
  }
  return value;
}

class AgentRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    g_AgentName = kAgent;
  }
  void TearDown() override { Clean(); }
  static void Clean() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fw::agent::kDefaultCommonRoot);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCustomRoot);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, fw::agent::kUuidKey);
  }
  static void UseCustomRoot() { ASSERT_EQ(PutString(fw::agent::kUuidKey, kProduct, kCustomRoot), ERROR_SUCCESS); }
  static std::wstring Under(const wchar_t* root, const wchar_t* rest) { return std::wstring(root) + L"\\" + rest; }
};

TEST_F(AgentRegistry, CommonRootComesFromTheUuidValueOrFallsBack) {
  CTestAgent agent;
  EXPECT_EQ(agent.GetCommonRoot(), L"SOFTWARE\\Morvasten");
  UseCustomRoot();
  EXPECT_EQ(agent.GetCommonRoot(), kCustomRoot) << "paths are read afresh, not cached";
  EXPECT_EQ(agent.GetAgentKey(), Under(kCustomRoot, kAgent));
}

TEST_F(AgentRegistry, RootsLoseATrailingBackslashExceptOnADriveRoot) {
  struct Case {
    const wchar_t* fileRoot;
    const wchar_t* agentRoot;
    const wchar_t* dataRoot;
    const wchar_t* wantFile;
    const wchar_t* wantData;
  };
  const Case cases[] = {
      {L"C:\\Agents\\", nullptr, L"D:\\Data", L"C:\\Agents", L"D:\\Data"},
      {L"C:\\", nullptr, L"D:\\", L"C:\\", L"D:\\"},
      {nullptr, L"E:\\Old\\", nullptr, L"E:\\Old", L""},
      {L"C:\\New", L"E:\\Old", nullptr, L"C:\\New", L""},
      {nullptr, nullptr, nullptr, L"", L""},
  };
  CTestAgent agent;
  const std::wstring setup = Under(fw::agent::kDefaultCommonRoot, L"#Setup");
  for (const Case& c : cases) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, setup.c_str());
    if (c.fileRoot) PutString(setup, L"FileRoot", c.fileRoot);
    if (c.agentRoot) PutString(setup, L"AgentRoot", c.agentRoot);
    if (c.dataRoot) PutString(setup, L"DataRoot", c.dataRoot);
    EXPECT_EQ(agent.GetFileRoot(), c.wantFile);
    EXPECT_EQ(agent.GetDataRoot(), c.wantData);
  }
}

TEST_F(AgentRegistry, ExpandableRootsAreExpanded) {
  SetEnvironmentVariableW(L"FW_REG_TEST_DIR", L"Q:\\Expanded");
  PutString(Under(fw::agent::kDefaultCommonRoot, L"#Setup"), L"DataRoot", L"%FW_REG_TEST_DIR%\\data\\", REG_EXPAND_SZ);
  CTestAgent agent;
  EXPECT_EQ(agent.GetDataRoot(), L"Q:\\Expanded\\data");
}

TEST_F(AgentRegistry, StateWordGoesUnderAVolatileStatusKeyBelowTheFallbackRoot) {
  {
    CTestAgent agent;
    ASSERT_TRUE(agent.SetAgentState(AGENT_STATE_STARTED));
    const std::wstring status = Under(fw::agent::kDefaultCommonRoot, L"#Status");
    EXPECT_EQ(GetString(status, kAgent), L"started");
    // A volatile key refuses non-volatile children.
    HKEY child = nullptr;
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (status + L"\\child").c_str(), 0, nullptr,
                                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &child, nullptr);
    if (result == ERROR_SUCCESS) RegCloseKey(child);
    EXPECT_EQ(result, ERROR_CHILD_MUST_BE_VOLATILE);
    ASSERT_TRUE(agent.SetAgentState(9));
    EXPECT_EQ(GetString(status, kAgent), L"unknown");
  }
  EXPECT_EQ(GetString(Under(fw::agent::kDefaultCommonRoot, L"#Status"), kAgent), L"unloaded")
      << "the destructor leaves the last word";
}

TEST_F(AgentRegistry, StatusAndLastErrorGoUnderVolatileParametersAndVanishAtDetach) {
  UseCustomRoot();
  CTestAgent agent;
  const std::wstring parameters = Under(kCustomRoot, L"RegTestAgent\\Parameters");
  const std::wstring volatileKey = parameters + L"\\VolatileParameters";
  PutDword(parameters, L"Kept", 7);
  ASSERT_TRUE(agent.SetAgentStatus(3));
  ASSERT_TRUE(agent.SetAgentLastError(L"cluster service not running"));
  EXPECT_FALSE(agent.SetAgentLastError(nullptr));
  EXPECT_EQ(GetDword(volatileKey, L"AgentStatus"), 3u);
  EXPECT_EQ(GetString(volatileKey, L"AgentLastError"), L"cluster service not running");
  ASSERT_TRUE(agent.SetAgentLastError(L""));
  EXPECT_EQ(GetString(volatileKey, L"AgentLastError"), L"");

  agent.OnModuleDetach();
  EXPECT_FALSE(KeyExists(volatileKey));
  EXPECT_EQ(GetDword(parameters, L"Kept"), 7u) << "only the volatile part goes";
  EXPECT_EQ(GetString(Under(kCustomRoot, L"#Status"), kAgent), L"unloading");
}

TEST_F(AgentRegistry, AgentParamsAreReadAsDwordsAndLeaveTheDefaultOnFailure) {
  CTestAgent agent;
  const std::wstring parameters = Under(fw::agent::kDefaultCommonRoot, L"RegTestAgent\\Parameters");
  DWORD value = 42;
  EXPECT_FALSE(agent.GetAgentRegParam(L"Notification Filter", value, true));
  EXPECT_EQ(value, 42u);
  PutDword(parameters, L"Notification Filter", 0xffffff0f);
  EXPECT_TRUE(agent.GetAgentRegParam(L"Notification Filter", value, false));
  EXPECT_EQ(value, 0xffffff0fu);
  EXPECT_FALSE(agent.GetAgentRegParam(nullptr, value, true));
}

TEST_F(AgentRegistry, FilePathsAreAbsoluteOrBelowTheDataRoot) {
  struct Case {
    const wchar_t* stored;
    const wchar_t* want;
  };
  const Case cases[] = {
      {L"traps.ini", L"D:\\Data\\traps.ini"},
      {L"\\\\srv\\share\\t.ini", L"\\\\srv\\share\\t.ini"},
      {L"E:\\t.ini", L"E:\\t.ini"},
      {L"C:\\", L"D:\\Data\\C:\\"},  // three characters count as relative
      {L"1:\\t.ini", L"D:\\Data\\1:\\t.ini"},
  };
  CTestAgent agent;
  PutString(Under(fw::agent::kDefaultCommonRoot, L"#Setup"), L"DataRoot", L"D:\\Data\\");
  const std::wstring fileKey = Under(fw::agent::kDefaultCommonRoot, L"Tolvarn_MIB\\FILE");
  for (const Case& c : cases) {
    PutString(fileKey, L"TrapIni", c.stored);
    std::wstring path;
    EXPECT_TRUE(agent.GetAgentRegFilePath(L"TrapIni", path, L"Tolvarn_MIB")) << c.stored;
    EXPECT_EQ(path, c.want) << c.stored;
  }
}

TEST_F(AgentRegistry, FilePathSectionDefaultsToTheAgentAndFailuresLeaveTheOutput) {
  CTestAgent agent;
  PutString(Under(fw::agent::kDefaultCommonRoot, L"RegTestAgent\\FILE"), L"Config", L"\\\\srv\\c.ini");
  std::wstring path = L"preset";
  EXPECT_FALSE(agent.GetAgentRegFilePath(L"Missing", path));
  EXPECT_FALSE(agent.GetAgentRegFilePath(L"Config", path, L""));
  EXPECT_EQ(path, L"preset");
  EXPECT_TRUE(agent.GetAgentRegFilePath(L"Config", path));
  EXPECT_EQ(path, L"\\\\srv\\c.ini");
}

TEST_F(AgentRegistry, LockListPinsOnlyLoadedModulesWithTheExactName) {
  // The test agent plugin, listed while it is loaded, stays loaded after FreeLibrary.
  wchar_t own[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH * 4);
  std::wstring pluginPath(own);
  pluginPath.erase(pluginPath.find_last_of(L"\\/") + 1);
  pluginPath += std::wstring(L"../lib/") + FW_TEST_AGENT_DLL;
  const std::wstring lockList = Under(fw::agent::kDefaultCommonRoot, L"#LockList");

  // Registry value names ignore case, so the two spellings are tried one after the other.
  HMODULE plugin = LoadLibraryW(pluginPath.c_str());
  ASSERT_NE(plugin, nullptr);
  wchar_t baseName[520] = {};
  ASSERT_GT(GetModuleBaseNameW(GetCurrentProcess(), plugin, baseName, 520), 0u);
  std::wstring upper = baseName;
  for (wchar_t& ch : upper) ch = static_cast<wchar_t>(towupper(ch));
  PutString(lockList, upper, L"");
  PutString(lockList, L"NotLoadedAtAll.dll", L"");
  CTestAgent agent;
  agent.LockListedModules();
  FreeLibrary(plugin);
  EXPECT_EQ(GetModuleHandleW(FW_TEST_AGENT_DLL), nullptr) << "a name in other letter case pins nothing";
  EXPECT_EQ(GetModuleHandleW(L"NotLoadedAtAll.dll"), nullptr) << "a listed module is not loaded";

  RegDeleteTreeW(HKEY_LOCAL_MACHINE, lockList.c_str());
  PutString(lockList, baseName, L"");
  plugin = LoadLibraryW(pluginPath.c_str());
  ASSERT_NE(plugin, nullptr);
  agent.LockListedModules();
  FreeLibrary(plugin);
  EXPECT_EQ(GetModuleHandleW(FW_TEST_AGENT_DLL), plugin) << "the listed module stays pinned";
}

TEST(AgentRegistryPaths, AbsolutePathRule) {
  EXPECT_TRUE(fw::agent::IsAbsoluteFilePath(L"\\x"));
  EXPECT_TRUE(fw::agent::IsAbsoluteFilePath(L"c:\\a"));
  EXPECT_FALSE(fw::agent::IsAbsoluteFilePath(L"c:\\"));
  EXPECT_FALSE(fw::agent::IsAbsoluteFilePath(L"c:a\\b"));
  EXPECT_FALSE(fw::agent::IsAbsoluteFilePath(L""));
  EXPECT_EQ(fw::agent::TrimRootBackslash(L"C:\\A\\"), L"C:\\A");
  EXPECT_EQ(fw::agent::TrimRootBackslash(L"\\\\"), L"\\\\");
}

}  // namespace
