// mgtcore's configuration file: what loads, what is refused with a reason, and that a
// save reads back into the same state and never leaves a torn or stray file.
#include "config_file.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace mgtcore;

std::string Dir() {
  const char* state = std::getenv("WINAPI_STATE_DIR");
  const std::string dir = std::string(state ? state : "/tmp") + "/config_file_test";
  std::filesystem::create_directories(dir);
  return dir;
}

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = Dir() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string Read(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t FilesIn(const std::string& dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) count += entry->d_name[0] != '.';
    closedir(d);
  }
  return count;
}

TEST(MgtcoreConfig, RefusesBadEntriesWithAReason) {
  struct Case {
    const char* text;
    const char* reason;
  } const cases[] = {
      {"[]", "must be a JSON object"},
      {"{\"Values\":{}}", "\"Values\" must be an array"},
      {"{\"Values\":[{\"OE\":1,\"OI\":1,\"DA\":1}]}", "\"OE\", \"OI\" and \"CA\""},
      {"{\"Values\":[{\"OE\":-1,\"OI\":1,\"CA\":1,\"DA\":1}]}", "\"OE\", \"OI\" and \"CA\""},
      {"{\"Values\":[{\"OE\":1,\"OI\":1,\"CA\":1}]}", "without \"DA\""},
      {"{\"Values\":[{\"OE\":1,\"OI\":1,\"CA\":1,\"DA\":1,\"ST\":\"0\"}]}", "must be integers"},
      {"{\"Settings\":{\"Nope\":1}}", "unknown setting \"Nope\""},
      {"{\"Other\":1}", "unknown entry \"Other\""},
      {"{\"Values\":[", "not valid JSON"},
  };
  for (const Case& c : cases) {
    ServiceState state;
    std::string error;
    EXPECT_FALSE(LoadConfig(Write("bad.json", c.text), state, error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(MgtcoreConfig, SaveReadsBackIntoTheSameState) {
  ServiceState state;
  std::string error;
  ASSERT_TRUE(LoadConfig(Write("in.json", "{\"ServerCabinetNumber\":3,\"Settings\":{\"SetAllowed\":true},"
                                          "\"Values\":[{\"OE\":16640,\"OI\":1,\"CA\":1,\"DA\":-5,\"WriteST\":8},"
                                          "{\"OE\":16640,\"OI\":4,\"CA\":1,\"DA\":\"gr\\u00fc\\u00df\",\"ST\":12},"
                                          "{\"OE\":1,\"OI\":2,\"CA\":4294967295,\"DA\":{\"RAW\":[1,2]}}]}"),
                         state, error))
      << error;
  const std::string path = Dir() + "/saved.json";
  ASSERT_TRUE(SaveConfig(path, state, error)) << error;
  ServiceState back;
  ASSERT_TRUE(LoadConfig(path, back, error)) << error;
  EXPECT_EQ(back.cabinetNumber, 3);
  EXPECT_EQ(back.settings, state.settings);
  ASSERT_EQ(back.values.size(), 3u);
  for (const auto& [key, value] : state.values) {
    const ConfigValue& other = back.values.at(key);
    EXPECT_EQ(other.data, value.data);
    EXPECT_EQ(other.status, value.status);
    EXPECT_EQ(other.writeStatus, value.writeStatus);
  }
  EXPECT_EQ(back.values.at({16640, 4, 1}).data, L"\"gr\u00FC\u00DF\"");
}

TEST(MgtcoreConfig, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  ServiceState state;
  std::string error;
  ASSERT_TRUE(LoadConfig("", state, error));
  const std::string dir = Dir() + "/failing";
  mkdir(dir.c_str(), 0755);
  // The rename cannot replace a non-empty directory: the write fails after the
  // temporary file is complete.
  const std::string target = dir + "/config.json";
  mkdir(target.c_str(), 0755);
  Write("failing/config.json/keep", "old");
  EXPECT_FALSE(SaveConfig(target, state, error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  EXPECT_EQ(FilesIn(dir), 1u) << "no temporary file is left behind";
  EXPECT_EQ(Read(target + "/keep"), "old");
  EXPECT_FALSE(SaveConfig(Dir() + "/missing/config.json", state, error));
  EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

}  // namespace
