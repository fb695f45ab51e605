#include "registry_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <string>

namespace {

class ScratchTree {
 public:
  explicit ScratchTree(const wchar_t* name)
      : m_root(std::wstring(L"SOFTWARE\\FerrowindTests\\") + name + L"-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_root.c_str());
  }
  ~ScratchTree() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_root.c_str()); }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  std::wstring Path(const std::wstring& below = {}) const { return below.empty() ? m_root : m_root + L"\\" + below; }

  bool Create(const std::wstring& below) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    const DWORD value = 1;
    RegSetValueExW(key, L"Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
    return true;
  }
  bool Exists(const std::wstring& below) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

 private:
  std::wstring m_root;
};

class OpenKey {
 public:
  OpenKey(HKEY parent, const std::wstring& path, REGSAM access = KEY_ALL_ACCESS) {
    if (RegOpenKeyExW(parent, path.c_str(), 0, access, &m_key) != ERROR_SUCCESS) m_key = nullptr;
  }
  ~OpenKey() {
    if (m_key) RegCloseKey(m_key);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return towupper(static_cast<wint_t>(x)) == towupper(static_cast<wint_t>(y));
         });
}

TEST(RegistryTree, KeyPathBelowLocalMachine) {
  const ScratchTree tree(L"KeyPath");
  ASSERT_TRUE(tree.Create(L"Child\\Grandchild"));
  const OpenKey key(HKEY_LOCAL_MACHINE, tree.Path(L"Child\\Grandchild"), KEY_READ);
  ASSERT_NE(key.Get(), nullptr);
  std::wstring path;
  ASSERT_TRUE(GetRegistryKeyPath(path, key.Get()));
  EXPECT_TRUE(EqualNoCase(path, tree.Path(L"Child\\Grandchild")));

  const OpenKey user(HKEY_CURRENT_USER, L"Software", KEY_READ);
  if (user.Get()) {
    std::wstring userPath = L"unchanged";
    EXPECT_FALSE(GetRegistryKeyPath(userPath, user.Get())) << "a user key has no path below HKEY_LOCAL_MACHINE";
    EXPECT_EQ(userPath, L"unchanged");
  }
}

TEST(RegistryTree, NestedSubkeysAreDeleted) {
  using Deleter = std::function<LONG(HKEY, const wchar_t*, REGSAM)>;
  const struct {
    const char* what;
    Deleter deleter;
    bool keyItselfGoes;  // without a subkey
  } ways[] = {
      {"RegDeleteTreeW", DeleteRegistryTree, false},
      {"by hand", fw::platform::DeleteRegistryTreeByHand, true},
  };
  for (const auto& way : ways) {
    const ScratchTree tree(L"DeleteTree");
    for (const wchar_t* key : {L"Target\\A\\A1\\A11", L"Target\\A\\A2", L"Target\\B", L"Sibling"}) {
      ASSERT_TRUE(tree.Create(key));
    }
    {
      const OpenKey root(HKEY_LOCAL_MACHINE, tree.Path());
      EXPECT_EQ(way.deleter(root.Get(), L"Target", KEY_ALL_ACCESS | KEY_WOW64_64KEY), ERROR_SUCCESS) << way.what;
    }
    EXPECT_FALSE(tree.Exists(L"Target")) << way.what;
    EXPECT_TRUE(tree.Exists(L"Sibling")) << way.what;

    ASSERT_TRUE(tree.Create(L"Self\\X\\Y"));
    {
      const OpenKey self(HKEY_LOCAL_MACHINE, tree.Path(L"Self"));
      EXPECT_EQ(way.deleter(self.Get(), nullptr, KEY_ALL_ACCESS), ERROR_SUCCESS) << way.what;
    }
    EXPECT_FALSE(tree.Exists(L"Self\\X")) << way.what;
    EXPECT_EQ(tree.Exists(L"Self"), !way.keyItselfGoes) << way.what;
    EXPECT_TRUE(tree.Exists(L"Sibling")) << way.what;

    EXPECT_EQ(way.deleter(nullptr, L"Target", KEY_ALL_ACCESS), ERROR_INVALID_HANDLE) << way.what;
    const OpenKey root(HKEY_LOCAL_MACHINE, tree.Path());
    EXPECT_EQ(way.deleter(root.Get(), L"NoSuchKey", KEY_ALL_ACCESS), ERROR_FILE_NOT_FOUND) << way.what;
  }
}

}  // namespace
