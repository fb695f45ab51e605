// clussim: changes the running simulated cluster as an operator or a failure would.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cluster_protocol.h"
#include "control_commands.h"
#include "control_protocol.h"

namespace {

void Usage() {
  std::fprintf(stderr, "usage: clussim [--control PATH] COMMAND ...\n%s", clustersim::ControlCommands::Help().c_str());
}

// One line of reply from clussimd; false after saying why not.
bool ReadReply(int fd, std::string& line) {
  using Result = winapi::cluster::LineBuffer::Result;
  winapi::cluster::LineBuffer in;
  for (Result result; (result = in.Next(line)) != Result::Line;) {
    if (result == Result::TooLong) {
      std::fprintf(stderr, "clussim: malformed answer from clussimd\n");
      return false;
    }
    pollfd entry{fd, POLLIN, 0};
    char chunk[65536];
    if (poll(&entry, 1, 30000) <= 0) {
      std::fprintf(stderr, "clussim: no answer from clussimd within 30 s\n");
      return false;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      std::fprintf(stderr, "clussim: clussimd closed the connection without an answer\n");
      return false;
    }
    in.Append(chunk, static_cast<std::size_t>(n));
  }
  return true;
}

// Sends the request and waits for its reply; false after saying why not.
bool Ask(const std::string& socketPath, const clustersim::ControlRequest& request, std::string& line) {
  const int fd = winapi::cluster::ConnectUnix(socketPath);
  if (fd < 0) {
    std::fprintf(stderr, "clussim: cannot reach clussimd at %s: %s (is it running? --control PATH)\n",
                 socketPath.c_str(), std::strerror(errno));
    return false;
  }
  bool answered = false;
  if (!winapi::cluster::WriteLine(fd, clustersim::EncodeControlRequest(request))) {
    std::fprintf(stderr, "clussim: lost clussimd while sending\n");
  } else {
    answered = ReadReply(fd, line);
  }
  close(fd);
  return answered;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath = clustersim::DefaultControlSocket();
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--control") == 0) {
    socketPath = argv[2];
    first = 3;
  }
  if (first >= argc || std::strcmp(argv[first], "--help") == 0) {
    Usage();
    return first >= argc ? 2 : 0;
  }
  clustersim::ControlRequest request{std::vector<std::string>(argv + first, argv + argc)};
  auto& args = request.argv;
  // The daemon reads the scenario itself, from wherever it runs.
  if (args.size() == 2 && args[0] == "load") {
    char* absolute = realpath(args[1].c_str(), nullptr);
    if (!absolute) {
      std::fprintf(stderr, "clussim: %s: %s\n", args[1].c_str(), std::strerror(errno));
      return 1;
    }
    args[1] = absolute;
    free(absolute);
  }
  std::string line;
  if (!Ask(socketPath, request, line)) return 2;
  clustersim::ControlReply reply;
  if (!clustersim::DecodeControlReply(line, reply)) {
    std::fprintf(stderr, "clussim: malformed answer from clussimd\n");
    return 2;
  }
  for (const auto& warning : reply.warnings) std::fprintf(stderr, "clussim: warning: %s\n", warning.c_str());
  std::fprintf(reply.ok ? stdout : stderr, "%s%s\n", reply.ok ? "" : "clussim: ", reply.message.c_str());
  return reply.ok ? 0 : 1;
}
