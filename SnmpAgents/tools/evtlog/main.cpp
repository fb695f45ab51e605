// evtlog: prints the layer's event journal (event-log entries and administrator alerts)
// in a readable form, or follows it as records arrive.
#include <windows.h>
#include <winapi_ext.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>

#include "record_text.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

int Usage() {
  std::fputs(
      "usage: evtlog [-f] [-n N] [--kind event|alert] [--source NAME] [FILE]\n"
      "  FILE defaults to the layer's journal ($WINAPI_EVENTLOG or <state>/eventlog.jsonl)\n"
      "  -f      follow: keep printing records as they are appended (Ctrl-C ends)\n"
      "  -n N    start with the last N records only\n",
      stderr);
  return 2;
}

std::string DefaultJournal() {
  const DWORD needed = WinapiEventJournalFile(nullptr, 0);
  std::wstring path(needed, L'\0');
  WinapiEventJournalFile(path.data(), needed);
  path.resize(needed ? needed - 1 : 0);
  return std::string(path.begin(), path.end());
}

struct Options {
  bool follow = false;
  long last = -1;
  evtlog::Filter filter;
  std::string file;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-f") {
      options.follow = true;
    } else if (arg == "-n" && hasValue) {
      char* end = nullptr;
      options.last = std::strtol(argv[++i], &end, 10);
      if (*end || options.last < 0) {
        std::fprintf(stderr, "evtlog: -n needs a number of records, not '%s'\n", argv[i]);
        return false;
      }
    } else if (arg == "--kind" && hasValue) {
      options.filter.kind = argv[++i];
      if (options.filter.kind != "event" && options.filter.kind != "alert") {
        std::fprintf(stderr, "evtlog: --kind is 'event' or 'alert', not '%s'\n", argv[i]);
        return false;
      }
    } else if (arg == "--source" && hasValue) {
      options.filter.source = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && options.file.empty()) {
      options.file = arg;
    } else {
      std::fprintf(stderr, "evtlog: unknown or incomplete option '%s'\n", arg.c_str());
      return false;
    }
  }
  if (options.file.empty()) options.file = DefaultJournal();
  return true;
}

void Print(const std::string& line, const evtlog::Filter& filter) {
  std::string text;
  if (evtlog::FormatRecord(line, filter, text)) std::printf("%s\n", text.c_str());
}

// Reads whole lines from `offset` on; a partly written last line waits for its end.
std::streamoff ReadFrom(const std::string& file, std::streamoff offset, const Options& options, bool limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return offset;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < offset) offset = 0;  // the journal was cut or replaced
  in.seekg(offset);
  std::deque<std::string> tail;
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // no newline yet
    offset = in.tellg();
    if (limit && options.last >= 0) {
      tail.push_back(line);
      if (static_cast<long>(tail.size()) > options.last) tail.pop_front();
      continue;
    }
    Print(line, options.filter);
  }
  for (const std::string& kept : tail) Print(kept, options.filter);
  std::fflush(stdout);
  return offset;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return Usage();
  if (!options.follow && access(options.file.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "evtlog: cannot read the journal %s: %s\n", options.file.c_str(), std::strerror(errno));
    return 1;
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  std::streamoff offset = ReadFrom(options.file, 0, options, true);
  while (options.follow && !g_stop) {
    Sleep(200);
    offset = ReadFrom(options.file, offset, options, false);
  }
  return 0;
}
