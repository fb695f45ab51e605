// Drives the built winreg tool on the test's registry and checks what it did through
// the registry API.
#include <windows.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kTree = "HKCU\\Software\\FerrowindWinreg";
constexpr const wchar_t* kTreeKey = L"Software\\FerrowindWinreg";

struct Result {
  int exit = -1;
  std::string out, err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class WinregTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/winreg-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    dir_ = dir;
    RegDeleteTreeW(HKEY_CURRENT_USER, kTreeKey);
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, kTreeKey);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  Result Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> argvText = {WINREG_TOOL};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envText = extraEnv;
    for (char** e = environ; *e; ++e) envText.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string outFile = dir_ + "/stdout", errFile = dir_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    Result result;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadFile(outFile);
    result.err = ReadFile(errFile);
    return result;
  }

  static std::string Key(const std::string& sub) { return std::string(kTree) + "\\" + sub; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};


// Every key and value below HKCU\<path>, one line each, sorted.
void Dump(const std::wstring& path, std::vector<std::wstring>& lines) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    BYTE data[1024];
    DWORD chars = 256, type = 0, size = sizeof data;
    if (RegEnumValueW(key, i, name, &chars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    std::wstring line = path + L" : [" + name + L"] " + std::to_wstring(type) + L" =";
    for (DWORD b = 0; b < size; ++b) line += L" " + std::to_wstring(data[b]);
    lines.push_back(line);
  }
  std::vector<std::wstring> children;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(name);
  }
  RegCloseKey(key);
  for (const auto& child : children) {
    lines.push_back(path + L"\\" + child);
    Dump(path + L"\\" + child, lines);
  }
}

std::vector<std::wstring> Snapshot() {
  std::vector<std::wstring> lines;
  Dump(kTreeKey, lines);
  std::sort(lines.begin(), lines.end());
  return lines;
}

bool ValueExists(const std::wstring& sub, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kTreeKey) + L"\\" + sub).c_str(), 0, KEY_READ, &key)) {
    return false;
  }
  const bool exists = RegQueryValueExW(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return exists;
}

TEST_F(WinregTest, AddsEachTypeAndQueriesItLikeReg) {
  struct TypeCase {
    const char* type;
    const char* data;
    const char* shown;
  };
  const TypeCase cases[] = {
      {"REG_SZ", "hello world", "hello world"},
      {"REG_EXPAND_SZ", "%TEMP%\\traps.ini", "%TEMP%\\traps.ini"},
      {"REG_MULTI_SZ", "one\\0two\\0three", "one\\0two\\0three"},
      {"REG_DWORD", "26", "0x1a"},
      {"REG_DWORD", "0xFFFFFFFF", "0xffffffff"},
      {"REG_QWORD", "0x100000000", "0x100000000"},
      {"REG_BINARY", "0102fF", "0102FF"},
      {"REG_NONE", "", ""},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::string name = "v" + std::to_string(index++);
    const Result add = Run({"add", Key("Types"), "/v", name, "/t", c.type, "/d", c.data});
    ASSERT_EQ(0, add.exit) << c.type << ": " << add.err;
    EXPECT_EQ("The operation completed successfully.\n", add.out);
    const Result query = Run({"query", Key("Types"), "/v", name});
    ASSERT_EQ(0, query.exit) << c.type << ": " << query.err;
    const std::string expected = "\nHKEY_CURRENT_USER\\Software\\FerrowindWinreg\\Types\n    " + name + "    " +
                                 c.type + "    " + c.shown + "\n";
    EXPECT_EQ(expected, query.out.substr(0, expected.size())) << c.type;
  }
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\FerrowindWinreg\\Types", 0, KEY_READ, &key));
  DWORD number = 0, size = sizeof number, type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"v3", nullptr, &type, reinterpret_cast<BYTE*>(&number), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_EQ(26u, number);
  WCHAR list[32] = {};
  size = sizeof list;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"v2", nullptr, &type, reinterpret_cast<BYTE*>(list), &size));
  EXPECT_EQ(std::wstring(L"one\0two\0three\0\0", 15), std::wstring(list, size / sizeof(WCHAR)));
  RegCloseKey(key);

  const Result all = Run({"query", Key(""), "/s"});
  EXPECT_EQ(0, all.exit);
  EXPECT_NE(std::string::npos, all.out.find("End of search: 9 match(es) found.")) << all.out;
}

TEST_F(WinregTest, BadInputIsRefusedAndChangesNothing) {
  ASSERT_EQ(0, Run({"add", Key("Bad"), "/v", "kept", "/d", "original"}).exit);
  const auto before = Snapshot();
  struct BadCase {
    std::vector<std::string> args;
    const char* message;
  };
  const BadCase cases[] = {
      {{"add", Key("Bad"), "/v", "x", "/t", "REG_FOO", "/d", "1"}, "Invalid type"},
      {{"add", Key("Bad"), "/v", "x", "/t", "REG_DWORD", "/d", "12z"}, "invalid number"},
      {{"add", Key("Bad"), "/v", "x", "/t", "REG_DWORD", "/d", "4294967296"}, "invalid number"},
      {{"add", Key("Bad"), "/v", "x", "/t", "REG_BINARY", "/d", "123"}, "even number"},
      {{"add", Key("Bad"), "/v", "kept", "/d", "replaced"}, "/f"},
      {{"delete", Key("Bad"), "/v", "kept"}, "/f"},
      {{"delete", Key("Bad")}, "/f"},
      {{"query", Key("Missing")}, "unable to find"},
      {{"query", Key("Bad"), "/v", "missing"}, "unable to find"},
      {{"delete", Key("Missing"), "/f"}, "unable to find"},
      {{"query", "HKEY_NOWHERE\\Software"}, "Invalid key name"},
      {{"add", Key("Bad"), "/v"}, "needs a value"},
      {{"frobnicate"}, "unknown command"},
      {{"import", "/nonexistent/file.reg"}, "Cannot open"},
  };
  for (const auto& c : cases) {
    const Result result = Run(c.args);
    EXPECT_EQ(1, result.exit) << c.args[0] << " " << c.message;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << "stderr: " << result.err;
    EXPECT_EQ("", result.out) << c.message;
  }
  EXPECT_EQ(before, Snapshot());
}

TEST_F(WinregTest, DeleteValuesAndKeys) {
  for (const char* name : {"a", "b", "c"}) ASSERT_EQ(0, Run({"add", Key("Del"), "/v", name, "/d", "x"}).exit);
  ASSERT_EQ(0, Run({"add", Key("Del"), "/ve", "/d", "default"}).exit);
  ASSERT_EQ(0, Run({"add", Key("Del\\Sub\\Deeper")}).exit);

  EXPECT_EQ(0, Run({"delete", Key("Del"), "/v", "a", "/f"}).exit);
  EXPECT_FALSE(ValueExists(L"Del", L"a"));
  EXPECT_TRUE(ValueExists(L"Del", L"b"));
  EXPECT_EQ(0, Run({"delete", Key("Del"), "/ve", "/f"}).exit);
  EXPECT_FALSE(ValueExists(L"Del", L""));
  EXPECT_EQ(0, Run({"delete", Key("Del"), "/va", "/f"}).exit);
  EXPECT_FALSE(ValueExists(L"Del", L"b"));
  EXPECT_FALSE(ValueExists(L"Del", L"c"));
  EXPECT_EQ(0, Run({"delete", Key("Del"), "/f"}).exit) << "deletes the key with its subkeys";
  EXPECT_TRUE(Snapshot().empty());
}

TEST_F(WinregTest, ExportThenImportRestoresTheTree) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\FerrowindWinreg\\Round\\Inner", 0, nullptr,
                                           0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
  const std::wstring text = L"quote \" and back\\slash, \u00e4\u00f6\u00fc";
  const std::wstring list(L"first\0second\0\0", 14);
  const DWORD number = 0xdeadbeef;
  const ULONGLONG big = 0x0102030405060708ULL;
  std::vector<BYTE> blob(100);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i * 7);
  auto set = [&](const wchar_t* name, DWORD type, const void* data, size_t size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)));
  };
  set(L"text", REG_SZ, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  set(L"", REG_SZ, L"default", 8 * sizeof(WCHAR));
  set(L"expand", REG_EXPAND_SZ, L"%SystemRoot%", 13 * sizeof(WCHAR));
  set(L"list", REG_MULTI_SZ, list.data(), list.size() * sizeof(WCHAR));
  set(L"number", REG_DWORD, &number, sizeof number);
  set(L"big", REG_QWORD, &big, sizeof big);
  set(L"blob", REG_BINARY, blob.data(), blob.size());
  set(L"none", REG_NONE, nullptr, 0);
  set(L"odd \"name\"", 0x4321, blob.data(), 5);
  RegCloseKey(key);
  ASSERT_EQ(0, Run({"add", Key("Round\\Empty")}).exit);
  const auto before = Snapshot();

  const std::string file = File("round.reg");
  const Result exported = Run({"export", Key("Round"), file});
  ASSERT_EQ(0, exported.exit) << exported.err;
  const std::string bytes = ReadFile(file);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ("\xFF\xFE", bytes.substr(0, 2)) << "UTF-16 LE with BOM";
  EXPECT_EQ(std::string("W\0i\0n\0", 6), bytes.substr(2, 6));

  ASSERT_EQ(0, Run({"delete", Key("Round"), "/f"}).exit);
  ASSERT_TRUE(Snapshot().empty());
  const Result imported = Run({"import", file});
  ASSERT_EQ(0, imported.exit) << imported.err;
  EXPECT_EQ("The operation completed successfully.\n", imported.out);
  EXPECT_EQ(before, Snapshot());

  EXPECT_EQ(1, Run({"export", Key("Round"), file}).exit) << "an existing file needs /y";
  EXPECT_EQ(0, Run({"export", Key("Round"), file, "/y"}).exit);
}

TEST_F(WinregTest, ImportsUtf8WithDeletionsAndContinuations) {
  ASSERT_EQ(0, Run({"add", Key("Old\\Gone")}).exit);
  ASSERT_EQ(0, Run({"add", Key("Kept"), "/v", "obsolete", "/d", "x"}).exit);
  const std::string file = File("utf8.reg");
  WriteFile(file,
            "Windows Registry Editor Version 5.00\r\n"
            "\r\n"
            "; a comment\r\n"
            "[-HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\Old]\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\Kept]\r\n"
            "\"obsolete\"=-\r\n"
            "@=\"d\xC3\xA9" "faut\"\r\n"
            "\"n\"=dword:0000002a\r\n"
            "\"bytes\"=hex:01,02,\\\r\n"
            "  03,04\r\n"
            "\"list\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n");
  const Result result = Run({"import", file});
  ASSERT_EQ(0, result.exit) << result.err;
  EXPECT_FALSE(ValueExists(L"Kept", L"obsolete"));
  HKEY probe = nullptr;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\FerrowindWinreg\\Old", 0, KEY_READ, &probe));
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\FerrowindWinreg\\Kept", 0, KEY_READ, &key));
  WCHAR text[16] = {};
  DWORD size = sizeof text;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size));
  EXPECT_EQ(std::wstring(L"d\u00e9faut"), text);
  BYTE bytes[8] = {};
  size = sizeof bytes;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"bytes", nullptr, nullptr, bytes, &size));
  EXPECT_EQ(4u, size);
  EXPECT_EQ(4, bytes[3]) << "the continuation line belongs to the value";
  WCHAR list[8] = {};
  size = sizeof list;
  DWORD type = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"list", nullptr, &type, reinterpret_cast<BYTE*>(list), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  EXPECT_EQ(std::wstring(L"a\0b\0\0", 5), std::wstring(list, size / sizeof(WCHAR)));
  RegCloseKey(key);
}

TEST_F(WinregTest, MalformedImportChangesNothing) {
  ASSERT_EQ(0, Run({"add", Key("Existing"), "/v", "v", "/d", "before"}).exit);
  const auto before = Snapshot();
  const std::string good =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n"
      "\"a\"=\"b\"\r\n"
      "[-HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\Existing]\r\n";
  struct BadFile {
    std::string text;
    int line;
    const char* message;
  };
  const BadFile cases[] = {
      {"REGEDIT5\r\n[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n", 1, "not a registry file"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n\"n\"=dword:xyz\r\n", 7, "dword"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n\"n\"=foo:12\r\n", 7, "unknown value type"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n\"n\"=\"open\r\n", 7, "closing quote"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New\r\n", 6, "must end with ']'"},
      {good + "\"orphan\"=\"value\"\r\n", 6, "must follow a [key]"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n\"b\"=hex:01,zz\r\n", 7, "invalid hex byte"},
      {good + "[HKEY_NOWHERE\\Software]\r\n", 6, "invalid key name"},
      {good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\New]\r\n\"s\"=\"x\" trailing\r\n", 7, "unexpected text"},
  };
  for (const auto& c : cases) {
    const std::string file = File("bad.reg");
    WriteFile(file, c.text);
    const Result result = Run({"import", file});
    EXPECT_EQ(1, result.exit) << c.message;
    EXPECT_NE(std::string::npos, result.err.find("line " + std::to_string(c.line) + ":")) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
    EXPECT_EQ(before, Snapshot()) << "a failed import changes nothing: " << c.message;
  }

  // A store failure in the middle of applying a good file rolls all of it back.
  const std::string file = File("good.reg");
  WriteFile(file, good + "[HKEY_CURRENT_USER\\Software\\FerrowindWinreg\\More]\r\n\"c\"=dword:1\r\n");
  for (int failAt = 4; failAt <= 12; failAt += 4) {
    const Result result = Run({"import", file}, {"WINAPI_REGISTRY_FAIL_AT=" + std::to_string(failAt)});
    EXPECT_EQ(1, result.exit) << "fault at statement " << failAt;
    EXPECT_EQ(before, Snapshot()) << "fault at statement " << failAt;
  }
  EXPECT_EQ(0, Run({"import", file}).exit);
  EXPECT_TRUE(ValueExists(L"More", L"c"));
  EXPECT_FALSE(ValueExists(L"Existing", L"v"));
}

}  // namespace
