// The committed fixtures of the Pacemaker tests: files by name, their text, and the CIB
// states in the order of the story.
#pragma once
#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pcmkclus::testing {

inline std::string Fixture(const std::string& name) { return std::string(PCMKCLUS_FIXTURES) + "/" + name; }

inline std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The names of fixtures/states/*.xml without the extension, sorted.
inline std::vector<std::string> States() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(Fixture("states").c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".xml") names.push_back(name.substr(0, name.size() - 4));
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace pcmkclus::testing
