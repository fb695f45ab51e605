// An extension agent whose path holds non-ASCII characters loads: the path reaches
// LoadLibraryW with its characters, not its bytes widened one by one.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "loaded_agent.h"

TEST(HostAgentPath, AnAgentUnderANonAsciiDirectoryLoads) {
  namespace fs = std::filesystem;
  const fs::path directory = fs::temp_directory_path() / "snmpext-host-\xC3\xA4gents-\xE2\x82\xAC";  // "ägents-€"
  fs::create_directories(directory);
  const fs::path copy = directory / "test_extension_agent.so";
  fs::copy_file(TEST_AGENT_PATH, copy, fs::copy_options::overwrite_existing);
  std::string error;
  auto agent = host::LoadedAgent::Load(copy.string(), error);
  EXPECT_NE(agent, nullptr) << error;
  agent.reset();
  fs::remove_all(directory);
}
