// clussim: changes the running simulated cluster as an operator or a failure would.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cluster_protocol.h"
#include "paths.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: clussim [--control PATH] COMMAND ...\n"
               "  status\n"
               "  node down|up|pause|resume|join NAME\n"
               "  group move NAME [NODE]\n"
               "  group online|offline|fail|pending NAME\n"
               "  resource online|offline|fail NAME\n"
               "  network up|down|partition|unavailable NAME\n"
               "  netinterface up|fail|unreachable NAME\n"
               "  add node NAME | add group NAME [NODE] | add resource NAME GROUP [TYPE]\n"
               "  add restype NAME [DLL] | add network NAME [ROLE] | add netinterface NAME NODE NETWORK [ADDRESS]\n"
               "  delete KIND NAME\n"
               "  rename KIND OLD NEW\n"
               "  set KIND NAME [common.|readonly.|private.]PROPERTY VALUE\n"
               "  registry add KEY | registry delete KEY [VALUE] | registry set KEY VALUE DATA | registry attributes KEY\n"
               "  fault KIND NAME state|open|common|readonly|private ERROR   (ERROR 0 clears one)\n"
               "  fault KIND NAME clear\n"
               "  service stop|start\n"
               "  load SCENARIO\n");
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("CLUSSIM_CONTROL_SOCKET");
  std::string socketPath = env && *env ? env : winapi::StateDir() + "/run/clussim.sock";
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--control") == 0) {
    socketPath = argv[2];
    first = 3;
  }
  if (first >= argc || std::strcmp(argv[first], "--help") == 0) {
    Usage();
    return first >= argc ? 2 : 0;
  }
  std::vector<std::string> args(argv + first, argv + argc);
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
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("v");
  writer.Int(winapi::cluster::kProtocolVersion);
  writer.Key("argv");
  writer.StartArray();
  for (const auto& arg : args) writer.String(arg.c_str(), static_cast<rapidjson::SizeType>(arg.size()));
  writer.EndArray();
  writer.EndObject();

  const int fd = winapi::cluster::ConnectUnix(socketPath);
  if (fd < 0) {
    std::fprintf(stderr, "clussim: cannot reach clussimd at %s: %s (is it running? --control PATH)\n",
                 socketPath.c_str(), std::strerror(errno));
    return 2;
  }
  if (!winapi::cluster::WriteLine(fd, std::string_view(buffer.GetString(), buffer.GetSize()))) {
    std::fprintf(stderr, "clussim: lost clussimd while sending\n");
    return 2;
  }
  winapi::cluster::LineBuffer in;
  std::string line;
  for (;;) {
    if (in.Next(line) == winapi::cluster::LineBuffer::Result::Line) break;
    pollfd entry{fd, POLLIN, 0};
    char chunk[65536];
    if (poll(&entry, 1, 30000) <= 0) {
      std::fprintf(stderr, "clussim: no answer from clussimd within 30 s\n");
      return 2;
    }
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      std::fprintf(stderr, "clussim: clussimd closed the connection without an answer\n");
      return 2;
    }
    in.Append(chunk, static_cast<std::size_t>(n));
  }
  close(fd);
  rapidjson::Document reply;
  reply.Parse(line.c_str());
  if (reply.HasParseError() || !reply.IsObject() || !reply.HasMember("status") || !reply["status"].IsInt()) {
    std::fprintf(stderr, "clussim: malformed answer from clussimd\n");
    return 2;
  }
  if (reply.HasMember("warnings") && reply["warnings"].IsArray()) {
    for (const auto& warning : reply["warnings"].GetArray()) {
      if (warning.IsString()) std::fprintf(stderr, "clussim: warning: %s\n", warning.GetString());
    }
  }
  const bool ok = reply["status"].GetInt() == 0;
  const char* message = reply.HasMember("message") && reply["message"].IsString() ? reply["message"].GetString() : "";
  std::fprintf(ok ? stdout : stderr, "%s%s\n", ok ? "" : "clussim: ", message);
  return ok ? 0 : 1;
}
