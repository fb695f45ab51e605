// Files and directories: dispositions, the file pointer contract, moves and copies.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conformance.h"

namespace {

using conformance::kSentinel;

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = conformance::FreshTempDir(L"k2-file"); }

  std::wstring PathOf(const wchar_t* name) const { return dir_ + L"\\" + name; }

  static HANDLE Open(const std::wstring& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  static void WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ASSERT_EQ(written, text.size());
    CloseHandle(file);
  }

  static std::string ReadText(const std::wstring& path) {
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    char buffer[256] = {};
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    return std::string(buffer, read);
  }

  std::wstring dir_;
};

TEST_F(FileTest, DispositionsCreateTruncateAndReportExistingFiles) {
  struct Case {
    const char* name;
    bool exists;
    DWORD disposition;
    bool succeeds;
    DWORD error;  // after failure, or after success for CREATE_ALWAYS/OPEN_ALWAYS
    DWORD sizeAfter;
  };
  const Case cases[] = {
      {"create new, missing", false, CREATE_NEW, true, 0, 0},
      {"create new, existing", true, CREATE_NEW, false, ERROR_FILE_EXISTS, 5},
      {"create always, missing", false, CREATE_ALWAYS, true, ERROR_SUCCESS, 0},
      {"create always, existing", true, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, 0},
      {"open existing, missing", false, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, 0},
      {"open existing, existing", true, OPEN_EXISTING, true, 0, 5},
      {"open always, missing", false, OPEN_ALWAYS, true, ERROR_SUCCESS, 0},
      {"open always, existing", true, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, 5},
      {"truncate existing, missing", false, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, 0},
      {"truncate existing, existing", true, TRUNCATE_EXISTING, true, 0, 0},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::wstring path = PathOf((L"disp" + std::to_wstring(index++)).c_str());
    DeleteFileW(path.c_str());  // left over from an earlier run
    if (c.exists) WriteText(path, "hello");
    SetLastError(kSentinel);
    HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, c.disposition);
    const DWORD error = GetLastError();
    ASSERT_EQ(file != INVALID_HANDLE_VALUE, c.succeeds) << c.name << ": error " << error;
    if (!c.succeeds) {
      EXPECT_EQ(error, c.error) << c.name;
    } else {
      if (c.disposition == CREATE_ALWAYS || c.disposition == OPEN_ALWAYS) {
        EXPECT_EQ(error, c.error) << c.name;
      }
      EXPECT_EQ(GetFileSize(file, nullptr), c.sizeAfter) << c.name;
      CloseHandle(file);
    }
    if (c.exists || c.succeeds) {
      EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << c.name;
    }
  }
}

TEST_F(FileTest, OpenInMissingDirectoryIsPathNotFound) {
  SetLastError(kSentinel);
  HANDLE file = Open(PathOf(L"no-such-dir\\file.txt"), GENERIC_READ, OPEN_EXISTING);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, SetFilePointerFollowsTheHighPartContract) {
  const std::wstring path = PathOf(L"pointer.bin");
  WriteText(path, "0123456789");
  HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);

  struct Case {
    const char* name;
    LONG low;
    bool withHigh;
    LONG high;
    DWORD method;
    DWORD result;
    DWORD error;
    LONG highAfter;
    LONGLONG positionAfter;
  };
  const Case cases[] = {
      {"begin", 4, false, 0, FILE_BEGIN, 4, NO_ERROR, 0, 4},
      {"current", 3, false, 0, FILE_CURRENT, 7, NO_ERROR, 0, 7},
      {"end, backwards", -2, false, 0, FILE_END, 8, NO_ERROR, 0, 8},
      {"before start", -20, false, 0, FILE_CURRENT, INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK, 0, 8},
      {"low part all ones", -1, true, 0, FILE_BEGIN, 0xFFFFFFFF, NO_ERROR, 0, 0xFFFFFFFFll},
      {"four gigabytes", 0, true, 1, FILE_BEGIN, 0, NO_ERROR, 1, 0x100000000ll},
      {"bad method", 0, false, 0, 7, INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER, 0, 0x100000000ll},
  };
  for (const auto& c : cases) {
    LONG high = c.high;
    SetLastError(kSentinel);
    const DWORD result = SetFilePointer(file, c.low, c.withHigh ? &high : nullptr, c.method);
    const DWORD error = GetLastError();
    EXPECT_EQ(result, c.result) << c.name;
    if (c.result == INVALID_SET_FILE_POINTER || c.error != NO_ERROR) {
      EXPECT_EQ(error, c.error) << c.name;
    }
    if (c.withHigh) {
      EXPECT_EQ(high, c.highAfter) << c.name;
    }
    LARGE_INTEGER zero{}, position{};
    ASSERT_TRUE(SetFilePointerEx(file, zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, c.positionAfter) << c.name;
  }
  EXPECT_EQ(GetFileSize(file, nullptr), 10u) << "seeking must not grow the file";
  CloseHandle(file);
}

TEST_F(FileTest, AppendOnlyWritesLandAtTheEnd) {
  const std::wstring path = PathOf(L"append.txt");
  WriteText(path, "abc");
  HANDLE file = Open(path, FILE_APPEND_DATA, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "XY", 2, &written, nullptr)) << GetLastError();
  CloseHandle(file);
  EXPECT_EQ(ReadText(path), "abcXY");
}

TEST_F(FileTest, ReadOnlyHandleRefusesWritesAndReadStopsAtEnd) {
  const std::wstring path = PathOf(L"ro.txt");
  WriteText(path, "data");
  HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 7;
  SetLastError(kSentinel);
  EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, 0u);
  char buffer[16] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(std::string(buffer, read), "data");
  ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
  EXPECT_EQ(read, 0u) << "a read at the end succeeds with zero bytes";
  CloseHandle(file);
}

TEST_F(FileTest, SetEndOfFileCutsAndExtends) {
  const std::wstring path = PathOf(L"eof.bin");
  WriteText(path, "0123456789");
  HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  SetFilePointer(file, 4, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 4u);
  LONG high = 1;
  SetFilePointer(file, 16, &high, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file)) << GetLastError();
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(file, &sizeHigh), 16u);
  EXPECT_EQ(sizeHigh, 1u);
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size.QuadPart, 0x100000010ll);
  CloseHandle(file);
  ASSERT_TRUE(DeleteFileW(path.c_str()));
}

TEST_F(FileTest, MoveCopyAndDeleteKeepOrReplaceTargetsAsAsked) {
  const std::wstring a = PathOf(L"a.txt"), b = PathOf(L"b.txt"), c = PathOf(L"c.txt");
  WriteText(a, "alpha");
  WriteText(b, "beta");

  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileExW(a.c_str(), b.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadText(a), "alpha");
  EXPECT_EQ(ReadText(b), "beta");

  ASSERT_TRUE(MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
  EXPECT_EQ(ReadText(b), "alpha");
  EXPECT_EQ(GetFileAttributesW(a.c_str()), INVALID_FILE_ATTRIBUTES);

  ASSERT_TRUE(CopyFileW(b.c_str(), c.c_str(), TRUE)) << GetLastError();
  EXPECT_EQ(ReadText(c), "alpha");
  SetLastError(kSentinel);
  EXPECT_FALSE(CopyFileW(b.c_str(), c.c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  ASSERT_TRUE(MoveFileW(c.c_str(), a.c_str()));
  EXPECT_EQ(ReadText(a), "alpha");

  ASSERT_TRUE(DeleteFileW(a.c_str()));
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(a.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(kSentinel);
  EXPECT_FALSE(MoveFileW(a.c_str(), c.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileTest, DirectoriesReportExistingAndNonEmpty) {
  const std::wstring sub = PathOf(L"sub");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(GetFileAttributesW(sub.c_str()) & FILE_ATTRIBUTE_DIRECTORY);

  WriteText(sub + L"\\inner.txt", "x");
  SetLastError(kSentinel);
  EXPECT_FALSE(RemoveDirectoryW(sub.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileW(sub.c_str())) << "a directory is not a file";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(DeleteFileW((sub + L"\\inner.txt").c_str()));
  ASSERT_TRUE(RemoveDirectoryW(sub.c_str()));
  SetLastError(kSentinel);
  EXPECT_EQ(GetFileAttributesW(sub.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(kSentinel);
  EXPECT_FALSE(CreateDirectoryW(PathOf(L"x\\y\\z").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileTest, TempPathEndsInBackslashAndReportsNeededSize) {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetTempPathW(MAX_PATH, path);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(length, std::wstring(path).size());
  EXPECT_EQ(path[length - 1], L'\\') << std::wstring(path).c_str();
  EXPECT_TRUE(GetFileAttributesW(path) & FILE_ATTRIBUTE_DIRECTORY);
  wchar_t small[2] = {L'?', L'?'};
  EXPECT_EQ(GetTempPathW(2, small), length + 1) << "too small: the size with the terminator";
}

TEST_F(FileTest, FindFilesMatchesWildcardsOnce) {
  const std::wstring sub = PathOf(L"find");
  CreateDirectoryW(sub.c_str(), nullptr);
  for (const wchar_t* name : {L"one.txt", L"two.txt", L"three.log"}) WriteText(sub + L"\\" + name, "x");
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileW((sub + L"\\*.txt").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << GetLastError();
  std::set<std::wstring> names{data.cFileName};
  while (FindNextFileW(find, &data)) names.insert(data.cFileName);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(names, (std::set<std::wstring>{L"one.txt", L"two.txt"}));

  SetLastError(kSentinel);
  EXPECT_EQ(FindFirstFileW((sub + L"\\*.none").c_str(), &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(FileTest, DebugOutputLinesOfManyThreadsStayWhole) {
  // Windows hands debugger output to a debugger; the layer appends it to a file.
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "debugger output file is a layer feature";
  const std::wstring path = PathOf(L"debug-output.txt");
  DeleteFileW(path.c_str());
  std::vector<std::thread> threads;
  constexpr int kThreads = 4, kLines = 200;
  SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", path.c_str());
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::wstring text = L"thread " + std::to_wstring(t) + L" " + std::wstring(200, L'x') + L"\n";
      for (int i = 0; i < kLines; ++i) OutputDebugStringW(text.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  SetEnvironmentVariableW(L"WINAPI_DEBUG_OUTPUT", nullptr);
  std::string contents;
  {
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    contents.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, contents.data(), static_cast<DWORD>(contents.size()), &read, nullptr);
    CloseHandle(file);
  }
  std::istringstream lines(contents);
  int count = 0;
  for (std::string text; std::getline(lines, text); ++count) {
    ASSERT_EQ(text.size(), 209u) << "line " << count << " was torn: " << text.substr(0, 40);
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(FileTest, ConsoleWritesUtf8ToTheStandardHandle) {
  // Wine's WriteConsoleW refuses handles that are not consoles.
  if (!conformance::OnOurLayer()) GTEST_SKIP() << "console output to a file is a layer feature";
  const std::wstring path = PathOf(L"console.txt");
  HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, file));
  DWORD written = 0;
  const std::wstring text = L"Gr\u00FC\u00DFe \u20AC\n";
  EXPECT_TRUE(WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr));
  EXPECT_EQ(written, text.size()) << "characters, not bytes";
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(ReadText(path), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\n");

  EXPECT_TRUE(AllocConsole() || GetLastError() == ERROR_ACCESS_DENIED);
  SetLastError(kSentinel);
  EXPECT_FALSE(AllocConsole()) << "one console a process";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(FreeConsole());
}

}  // namespace
