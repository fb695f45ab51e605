// File mappings and local memory: growth of the file, views that outlive their handles,
// named sections, and the parameter checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conformance.h"

namespace {

using conformance::kSentinel;

class MappingTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = conformance::FreshTempDir(L"k2-mapping"); }

  HANDLE OpenFile(const wchar_t* name, DWORD access, DWORD disposition) const {
    const std::wstring path = dir_ + L"\\" + name;
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::wstring dir_;
};

TEST_F(MappingTest, MappingBeyondTheEndGrowsTheFileAndWritesReachIt) {
  HANDLE file = OpenFile(L"grow.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "head", 4, &written, nullptr));

  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 8192, nullptr);
  ASSERT_NE(mapping, nullptr) << GetLastError();
  EXPECT_EQ(GetFileSize(file, nullptr), 8192u);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr) << GetLastError();
  EXPECT_EQ(std::string(view, 4), "head");
  EXPECT_EQ(view[8191], 0);
  std::memcpy(view + 5000, "tail", 4);
  ASSERT_TRUE(FlushViewOfFile(view, 0));
  ASSERT_TRUE(UnmapViewOfFile(view));
  ASSERT_TRUE(CloseHandle(mapping));

  char buffer[4] = {};
  DWORD read = 0;
  SetFilePointer(file, 5000, nullptr, FILE_BEGIN);
  ASSERT_TRUE(ReadFile(file, buffer, 4, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "tail");
  CloseHandle(file);
}

TEST_F(MappingTest, ViewStaysValidAfterMappingAndFileHandlesClose) {
  HANDLE file = OpenFile(L"orphan.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
  ASSERT_NE(mapping, nullptr) << GetLastError();
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4096));
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(CloseHandle(mapping));
  ASSERT_TRUE(CloseHandle(file));

  std::memcpy(view + 100, "still here", 10);
  ASSERT_TRUE(FlushViewOfFile(view + 100, 10));
  ASSERT_TRUE(UnmapViewOfFile(view));

  file = OpenFile(L"orphan.bin", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  char buffer[10] = {};
  DWORD read = 0;
  SetFilePointer(file, 100, nullptr, FILE_BEGIN);
  ASSERT_TRUE(ReadFile(file, buffer, 10, &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "still here");
  CloseHandle(file);
}

TEST_F(MappingTest, NamedPagefileSectionIsSharedAndReportsExisting) {
  const std::wstring name = L"k2-section-" + std::to_wstring(GetCurrentProcessId());
  SetLastError(kSentinel);
  HANDLE first = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(first, nullptr) << GetLastError();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  SetLastError(kSentinel);
  HANDLE second = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  auto* a = static_cast<char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  auto* b = static_cast<char*>(MapViewOfFile(second, FILE_MAP_READ, 0, 0, 0));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a[0], 0) << "a fresh section is zeroed";
  std::strcpy(a, "shared");
  EXPECT_STREQ(b, "shared");
  UnmapViewOfFile(a);
  UnmapViewOfFile(b);
  CloseHandle(first);
  CloseHandle(second);
}

TEST_F(MappingTest, BadParametersFailWithTheirErrors) {
  HANDLE empty = OpenFile(L"empty.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(empty, INVALID_HANDLE_VALUE);
  SetLastError(kSentinel);
  EXPECT_EQ(CreateFileMappingW(empty, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_INVALID)) << "an empty file cannot be mapped whole";

  SetLastError(kSentinel);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  HANDLE readOnly = CreateFileMappingW(empty, nullptr, PAGE_READONLY, 0, 0, nullptr);
  EXPECT_EQ(readOnly, nullptr);
  HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 1 << 20, nullptr);
  ASSERT_NE(section, nullptr) << GetLastError();
  SetLastError(kSentinel);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(kSentinel);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_READ, 0, 4096, 4096), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT));
  void* view = MapViewOfFile(section, FILE_MAP_READ, 0, 65536, 4096);
  EXPECT_NE(view, nullptr) << "offsets on the 64 KiB granularity map";
  EXPECT_TRUE(UnmapViewOfFile(view));
  SetLastError(kSentinel);
  EXPECT_FALSE(UnmapViewOfFile(view)) << "a view unmaps once";
  CloseHandle(section);
  CloseHandle(empty);
}

TEST(LocalMemory, ZeroInitResizeAndFree) {
  auto* block = static_cast<unsigned char*>(LocalAlloc(LMEM_ZEROINIT, 100));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(LocalSize(block), 100u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0) << i;
  std::memset(block, 0xAB, 100);
  auto* grown = static_cast<unsigned char*>(LocalReAlloc(block, 300, LMEM_MOVEABLE | LMEM_ZEROINIT));
  ASSERT_NE(grown, nullptr) << GetLastError();
  EXPECT_GE(LocalSize(grown), 300u);
  EXPECT_EQ(grown[99], 0xAB) << "contents survive a move";
  EXPECT_EQ(grown[100], 0) << "growth is zeroed";
  EXPECT_EQ(grown[299], 0);
  EXPECT_EQ(LocalFree(grown), nullptr);

  HGLOBAL global = GlobalAlloc(GPTR, 16);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(GlobalSize(global), 16u);
  EXPECT_EQ(GlobalFree(global), nullptr);
  EXPECT_EQ(LocalFree(nullptr), nullptr);

  HANDLE heap = GetProcessHeap();
  auto* fromHeap = static_cast<char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 64));
  ASSERT_NE(fromHeap, nullptr);
  EXPECT_EQ(fromHeap[63], 0);
  EXPECT_EQ(HeapSize(heap, 0, fromHeap), 64u);
  fromHeap = static_cast<char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, fromHeap, 128));
  ASSERT_NE(fromHeap, nullptr);
  EXPECT_EQ(fromHeap[127], 0);
  EXPECT_TRUE(HeapFree(heap, 0, fromHeap));
}

}  // namespace
