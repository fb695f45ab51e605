#include "service.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <ctime>
#include <fstream>
#include <functional>

#include "scenario.h"
#include "service_requests.h"
#include "wide_text.h"

namespace clustersim {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
using winapi::cluster::kMaxLineBytes;

constexpr std::size_t kMaxQueuedBytes = 64u << 20;  // a notify port that stops reading is dropped

std::wstring Wide(const rapidjson::Value& value) {
  return value.IsString() ? winapi::WideFromUtf8(std::string_view(value.GetString(), value.GetStringLength()))
                          : std::wstring();
}

void Put(Writer& w, const char* key, long long number) {
  w.Key(key);
  w.Int64(number);
}

int ListenUnix(const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = "socket path too long (at most " + std::to_string(sizeof address.sun_path - 1) + " bytes): " + path;
    return -1;
  }
  const auto slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    // mkdir -p of the socket's directory
    for (std::size_t at = 1; at <= dir.size(); ++at) {
      if (at == dir.size() || dir[at] == '/') mkdir(dir.substr(0, at).c_str(), 0755);
    }
  }
  // A socket left behind by a crashed instance is replaced; a live one is not.
  const int probe = winapi::cluster::ConnectUnix(path);
  if (probe >= 0) {
    close(probe);
    error = "another instance serves " + path + " already; stop it first";
    return -1;
  }
  unlink(path.c_str());
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

std::string Narrow(const std::wstring& text) { return winapi::Utf8FromWide(text); }

std::string FaultsText(const Faults& faults) {
  std::string text;
  for (std::size_t i = 0; i < kFaultKinds; ++i) {
    const auto kind = static_cast<FaultKind>(i);
    if (!faults.Of(kind)) continue;
    if (!text.empty()) text += ", ";
    text += Narrow(FaultWord(kind)) + " " + std::to_string(faults.Of(kind));
  }
  return text;
}

}  // namespace

struct Server::Client {
  int fd;
  bool control;
  ServiceSession session;
  bool closing = false;  // flush what is queued, then close
  winapi::cluster::LineBuffer in{kMaxLineBytes};
  std::string out;
};

Server::Server(ServerOptions options, std::unique_ptr<ModelSource> source)
    : options_(std::move(options)), source_(std::move(source)) {}

Server::~Server() {
  for (auto& c : clients_) close(c->fd);
  if (serviceListener_ >= 0) StopService();
  if (controlListener_ >= 0) {
    close(controlListener_);
    unlink(options_.controlSocket.c_str());
  }
  if (signals_ >= 0) close(signals_);
}

void Server::Log(const std::string& text) const {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(stderr, "%s %s: %s\n", stamp, options_.name.c_str(), text.c_str());
  std::fflush(stderr);
}

bool Server::OpenService(std::string& error) {
  serviceListener_ = ListenUnix(options_.serviceSocket, error);
  if (serviceListener_ < 0) return false;
  if (!options_.pidFile.empty()) {
    std::ofstream pid(options_.pidFile, std::ios::trunc);
    pid << getpid() << "\n";
  }
  return true;
}

void Server::StopService() {
  // Every connection of the Cluster API breaks, as when the cluster service ends.
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                [](const std::unique_ptr<Client>& c) {
                                  if (c->control) return false;
                                  close(c->fd);
                                  return true;
                                }),
                 clients_.end());
  if (serviceListener_ >= 0) {
    close(serviceListener_);
    unlink(options_.serviceSocket.c_str());
  }
  serviceListener_ = -1;
  if (!options_.pidFile.empty()) unlink(options_.pidFile.c_str());
}

bool Server::Start(std::string& error) {
  model_ = std::make_unique<ClusterModel>();
  if (!source_->Load(*model_, error, [this](const std::string& text) { Log(text); })) return false;
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signals_ = signalfd(-1, &mask, SFD_CLOEXEC);
  signal(SIGPIPE, SIG_IGN);
  controlListener_ = ListenUnix(options_.controlSocket, error);
  if (controlListener_ < 0) return false;
  // A cluster that cannot be read yet: the service opens once it can.
  if (source_->ClusterReachable() && !OpenService(error)) return false;
  Log("cluster \"" + Narrow(model_->facts.name) + "\" from " + source_->Describe() + ": " +
      std::to_string(model_->List(Kind::Node).size()) + " nodes, " + std::to_string(model_->List(Kind::Group).size()) +
      " groups, " + std::to_string(model_->List(Kind::Resource).size()) + " resources");
  Log("service socket " + options_.serviceSocket + ", control socket " + options_.controlSocket);
  return true;
}

int Server::Run() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({signals_, POLLIN, 0});
    fds.push_back({controlListener_, POLLIN, 0});
    fds.push_back({serviceListener_, static_cast<short>(serviceListener_ >= 0 ? POLLIN : 0), 0});
    fds.push_back({source_->Descriptor(), POLLIN, 0});
    constexpr std::size_t kFirstClient = 4;
    for (const auto& c : clients_) {
      fds.push_back({c->fd, static_cast<short>((c->closing ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
    const int ready = poll(fds.data(), fds.size(), source_->TimeoutMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      Log(std::string("poll failed: ") + std::strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] const ssize_t n = read(signals_, &info, sizeof info);
      Log("signal " + std::to_string(info.ssi_signo) + ": stopping");
      return 0;
    }
    if (fds[1].revents & POLLIN) Accept(controlListener_, true);
    if (serviceListener_ >= 0 && (fds[2].revents & POLLIN)) Accept(serviceListener_, false);
    // A source that is due also gets its turn while clients keep the poll busy.
    if (ready == 0 || (fds[3].revents & POLLIN) || source_->TimeoutMs() == 0) UpdateFromSource();
    // Clients by fd: the list may change while one of them is handled.
    for (std::size_t i = kFirstClient; i < fds.size(); ++i) {
      const auto it = std::find_if(clients_.begin(), clients_.end(), [&](const auto& c) { return c->fd == fds[i].fd; });
      if (it == clients_.end()) continue;
      Client& client = **it;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ReadFrom(client);
      if (fds[i].revents & POLLOUT) FlushTo(client);
    }
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [](const std::unique_ptr<Client>& c) {
                                    const bool done = c->fd < 0 || (c->closing && c->out.empty());
                                    if (done && c->fd >= 0) close(c->fd);
                                    return done;
                                  }),
                   clients_.end());
  }
}

void Server::Accept(int listener, bool control) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto client = std::make_unique<Client>();
    client->fd = fd;
    client->control = control;
    clients_.push_back(std::move(client));
  }
}

void Server::ReadFrom(Client& client) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(client.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      close(client.fd);
      client.fd = -1;
      return;
    }
    client.in.Append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < sizeof chunk) break;
  }
  std::string line;
  for (;;) {
    const auto result = client.in.Next(line);
    if (result == winapi::cluster::LineBuffer::Result::NeedMore) break;
    if (result == winapi::cluster::LineBuffer::Result::TooLong) {
      // The stream cannot be resynchronised: answer once and hang up.
      client.out += winapi::cluster::EncodeFailure(ERROR_INVALID_DATA);
      client.closing = true;
      Log("dropped a client that sent a line longer than " + std::to_string(kMaxLineBytes) + " bytes");
      break;
    }
    if (client.session.notify) continue;  // a notify connection only listens
    client.out += Handle(client, line);
  }
  FlushTo(client);
}

void Server::FlushTo(Client& client) {
  while (client.fd >= 0 && !client.out.empty()) {
    const ssize_t n = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      close(client.fd);
      client.fd = -1;
      return;
    }
    client.out.erase(0, static_cast<std::size_t>(n));
  }
}

void Server::Broadcast(const Notifications& notifications) {
  for (auto& c : clients_) {
    if (!c->session.notify || c->fd < 0) continue;
    for (const auto& n : notifications) {
      if (n.code & c->session.filter) c->out += winapi::cluster::EncodeEvent({n.code, n.name});
    }
    if (c->out.size() > kMaxQueuedBytes) {
      Log("dropped a notification port that stopped reading");
      close(c->fd);
      c->fd = -1;
      continue;
    }
    FlushTo(*c);
  }
}

void Server::UpdateFromSource() {
  Notifications out;
  source_->Update(*model_, out, [this](const std::string& text) { Log(text); });
  Broadcast(out);
  FollowReachability();
}

void Server::FollowReachability() {
  const bool reachable = source_->ClusterReachable();
  if (!reachable && serviceListener_ >= 0) {
    StopService();
    Log("the cluster cannot be read: service stopped until it can");
    return;
  }
  if (reachable && serviceListener_ < 0 && !stoppedByControl_) {
    std::string error;
    if (OpenService(error)) Log("the cluster can be read again: service started");
    else Log(error);
  }
}

std::string Server::Handle(Client& client, const std::string& line) {
  return client.control ? HandleControl(line) + "\n" : AnswerServiceRequest(*model_, client.session, line);
}

std::string Server::HandleControl(const std::string& line) {
  rapidjson::Document request;
  request.Parse(line.data(), line.size());
  std::vector<std::wstring> argv;
  bool ok = false;
  std::string message;
  Warnings warnings;
  const auto args = request.IsObject() ? request.FindMember("argv") : request.MemberEnd();
  if (request.HasParseError() || !request.IsObject() || args == request.MemberEnd() || !args->value.IsArray()) {
    message = "malformed control request";
  } else {
    for (const auto& arg : args->value.GetArray()) argv.push_back(Wide(arg));
    message = RunCommand(argv, ok, warnings);
  }
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Put(w, "v", winapi::cluster::kProtocolVersion);
  Put(w, "status", ok ? 0 : 1);
  w.Key("message");
  w.String(message.data(), static_cast<rapidjson::SizeType>(message.size()));
  if (!warnings.empty()) {
    w.Key("warnings");
    w.StartArray();
    for (const auto& warning : warnings) w.String(warning.data(), static_cast<rapidjson::SizeType>(warning.size()));
    w.EndArray();
  }
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string Server::RunCommand(const std::vector<std::wstring>& argv, bool& ok, Warnings& warnings) {
  ok = false;
  const auto arg = [&argv](std::size_t i) { return i < argv.size() ? argv[i] : std::wstring(); };
  const auto is = [&](std::size_t i, const wchar_t* word) { return winapi::EqualsNoCase(arg(i), word); };
  ClusterModel& model = *model_;
  Notifications out;
  std::wstring error;
  bool applied = false;

  if (argv.empty()) return "no command (try: status)";
  std::string sourceMessage;
  if (source_->Command(argv, model, out, sourceMessage, ok, [this](const std::string& text) { Log(text); })) {
    Broadcast(out);
    FollowReachability();
    return sourceMessage;
  }
  if (is(0, L"status")) {
    ok = true;
    std::string text = "cluster \"" + Narrow(model.facts.name) + "\", service " +
                       (serviceListener_ >= 0 ? "running" : "stopped") + "\n";
    for (const Kind kind : {Kind::Node, Kind::Network, Kind::NetInterface, Kind::ResourceType, Kind::Group, Kind::Resource}) {
      text += Narrow(KindWord(kind)) + "s: " + std::to_string(model.List(kind).size()) + "\n";
      for (const Object* o : model.Objects(kind)) {
        text += "  " + Narrow(o->name);
        if (kind != Kind::ResourceType) text += "  " + Narrow(StateWord(kind, o->state));
        if (kind == Kind::Group) {
          if (const Object* owner = model.Get(o->node)) text += "  on " + Narrow(owner->name);
        }
        if (kind == Kind::Resource) {
          if (const Object* g = model.Get(o->group)) text += "  in " + Narrow(g->name);
        }
        if (o->faults.Any()) text += "  faults: " + FaultsText(o->faults);
        text += "\n";
      }
    }
    text += "quorum: " + Narrow(model.facts.quorumResource);
    return text;
  }
  if (is(0, L"service")) {
    if (is(1, L"stop")) {
      if (serviceListener_ < 0) return "the service is stopped already";
      StopService();
      stoppedByControl_ = true;
      Log("service stopped by clussim");
      ok = true;
      return "service stopped";
    }
    if (is(1, L"start")) {
      if (serviceListener_ >= 0) return "the service is running already";
      std::string failure;
      if (!source_->ClusterReachable()) return "the cluster cannot be read: the service stays stopped";
      if (!OpenService(failure)) return failure;
      stoppedByControl_ = false;
      Log("service started by clussim");
      ok = true;
      return "service started";
    }
    return "usage: service stop|start";
  }
  if (is(0, L"load")) {
    if (argv.size() != 2) return "usage: load SCENARIO";
    auto next = std::make_unique<ClusterModel>();
    std::string failure;
    if (!LoadScenarioFile(Narrow(arg(1)), *next, failure, &warnings)) return failure;
    for (const auto& warning : warnings) Log(Narrow(arg(1)) + ": warning: " + warning);
    // A new cluster: every handle of the old one breaks, as across a service restart.
    const bool running = serviceListener_ >= 0;
    if (running) StopService();
    model_ = std::move(next);
    if (running && !OpenService(failure)) return failure;
    Log("loaded " + Narrow(arg(1)));
    ok = true;
    return "loaded cluster \"" + Narrow(model_->facts.name) + "\"";
  }
  if (is(0, L"node")) {
    struct Verb {
      const wchar_t* word;
      int state;
    };
    static constexpr Verb kVerbs[] = {{L"down", ClusterNodeDown},
                                      {L"up", ClusterNodeUp},
                                      {L"pause", ClusterNodePaused},
                                      {L"resume", ClusterNodeUp},
                                      {L"join", ClusterNodeJoining}};
    for (const auto& verb : kVerbs) {
      if (!is(1, verb.word)) continue;
      if (argv.size() != 3) return "usage: node " + Narrow(verb.word) + " NAME";
      applied = is(1, L"resume") ? model.ResumeNode(arg(2), out, error)
                                 : model.SetNodeState(arg(2), verb.state, out, error);
      break;
    }
    if (!applied && error.empty()) return "usage: node down|up|pause|resume|join NAME";
  } else if (is(0, L"group") || is(0, L"resource")) {
    const bool group = is(0, L"group");
    const Kind kind = group ? Kind::Group : Kind::Resource;
    if (group && is(1, L"move")) {
      if (argv.size() < 3 || argv.size() > 4) return "usage: group move NAME [NODE]";
      applied = model.MoveGroup(arg(2), arg(3), out, error);
    } else {
      struct Verb {
        const wchar_t* word;
        int groupState, resourceState;
      };
      static constexpr Verb kVerbs[] = {{L"online", ClusterGroupOnline, ClusterResourceOnline},
                                        {L"offline", ClusterGroupOffline, ClusterResourceOffline},
                                        {L"fail", ClusterGroupFailed, ClusterResourceFailed},
                                        {L"pending", ClusterGroupPending, -1}};
      const Verb* verb = nullptr;
      for (const auto& v : kVerbs) {
        if (is(1, v.word) && (group || v.resourceState >= 0)) verb = &v;
      }
      if (!verb || argv.size() != 3) {
        return group ? "usage: group move NAME [NODE] | group online|offline|fail|pending NAME"
                     : "usage: resource online|offline|fail NAME";
      }
      applied = group ? model.SetGroupState(arg(2), verb->groupState, out, error)
                      : model.SetResourceState(arg(2), verb->resourceState, out, error);
    }
    (void)kind;
  } else if (is(0, L"network") || is(0, L"netinterface")) {
    const bool network = is(0, L"network");
    struct Verb {
      bool network;
      const wchar_t* word;
      int state;
    };
    static constexpr Verb kVerbs[] = {{true, L"up", ClusterNetworkUp},
                                      {true, L"down", ClusterNetworkDown},
                                      {true, L"partition", ClusterNetworkPartitioned},
                                      {true, L"unavailable", ClusterNetworkUnavailable},
                                      {false, L"up", ClusterNetInterfaceUp},
                                      {false, L"fail", ClusterNetInterfaceFailed},
                                      {false, L"unreachable", ClusterNetInterfaceUnreachable}};
    const Verb* verb = nullptr;
    for (const auto& v : kVerbs) {
      if (v.network == network && is(1, v.word)) verb = &v;
    }
    if (!verb || argv.size() != 3) {
      return network ? "usage: network up|down|partition|unavailable NAME" : "usage: netinterface up|fail|unreachable NAME";
    }
    applied = network ? model.SetNetworkState(arg(2), verb->state, out, error)
                      : model.SetInterfaceState(arg(2), verb->state, out, error);
  } else if (is(0, L"registry")) {
    const char* usage =
        "usage: registry add KEY | registry delete KEY [VALUE] | registry set KEY VALUE DATA | registry attributes KEY";
    if (is(1, L"add") && argv.size() == 3) applied = model.AddRegistryKey(arg(2), out, error);
    else if (is(1, L"delete") && argv.size() == 3) applied = model.DeleteRegistryKey(arg(2), out, error);
    else if (is(1, L"delete") && argv.size() == 4) applied = model.DeleteRegistryValue(arg(2), arg(3), out, error);
    else if (is(1, L"set") && argv.size() == 5) applied = model.SetRegistryValue(arg(2), arg(3), arg(4), out, error);
    else if (is(1, L"attributes") && argv.size() == 3) applied = model.ChangeRegistryAttributes(arg(2), out, error);
    else return usage;
  } else if (is(0, L"fault")) {
    return RunFault(argv, ok);
  } else if (is(0, L"add") || is(0, L"delete") || is(0, L"rename") || is(0, L"set")) {
    Kind kind = Kind::Node;
    if (!KindFromWord(arg(1), kind)) {
      return "unknown kind \"" + Narrow(arg(1)) + "\" (node, group, resource, restype, network, netinterface)";
    }
    if (is(0, L"add")) {
      if (argv.size() < 3) return "usage: add KIND NAME ...";
      applied = model.AddObject(kind, std::vector<std::wstring>(argv.begin() + 2, argv.end()), out, error);
      if (applied && kind == Kind::NetInterface) {
        // Kept as given; say when a name matches nothing.
        if (!model.Find(Kind::Node, arg(3))) warnings.push_back("node \"" + Narrow(arg(3)) + "\" matches no node");
        if (!model.Find(Kind::Network, arg(4))) {
          warnings.push_back("network \"" + Narrow(arg(4)) + "\" matches no network");
        }
      }
    } else if (is(0, L"delete")) {
      if (argv.size() != 3) return "usage: delete KIND NAME";
      applied = model.DeleteObject(kind, arg(2), out, error);
    } else if (is(0, L"rename")) {
      if (argv.size() != 4) return "usage: rename KIND OLD NEW";
      applied = model.Rename(kind, arg(2), arg(3), out, error);
    } else {
      if (argv.size() != 5) return "usage: set KIND NAME PROPERTY VALUE";
      applied = model.SetProperty(kind, arg(2), arg(3), arg(4), out, error);
    }
  } else {
    return "unknown command \"" + Narrow(arg(0)) + "\"";
  }
  if (!applied) return Narrow(error);
  Broadcast(out);
  ok = true;
  return std::to_string(out.size()) + " notification(s)";
}

std::string Server::RunFault(const std::vector<std::wstring>& argv, bool& ok) {
  ok = false;
  const char* usage = "usage: fault KIND NAME state|open|common|readonly|private ERROR | fault KIND NAME clear";
  Kind kind = Kind::Node;
  if (argv.size() < 4 || argv.size() > 5) return usage;
  if (!KindFromWord(argv[1], kind)) {
    return "unknown kind \"" + Narrow(argv[1]) + "\" (node, group, resource, restype, network, netinterface)";
  }
  std::wstring error;
  const std::string object = Narrow(KindWord(kind)) + " \"" + Narrow(argv[2]) + "\"";
  if (argv.size() == 4) {
    if (!winapi::EqualsNoCase(argv[3], L"clear")) return usage;
    if (!model_->ClearFaults(kind, argv[2], error)) return Narrow(error);
    ok = true;
    return "faults of " + object + " cleared";
  }
  FaultKind fault = FaultKind::State;
  if (!FaultFromWord(argv[3], fault)) return "unknown fault \"" + Narrow(argv[3]) + "\" (state, open, common, readonly, private)";
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long code = std::wcstoull(argv[4].c_str(), &end, 0);
  if (argv[4].empty() || *end != L'\0' || errno || code > 0xFFFFFFFFull || argv[4][0] == L'-') {
    return "\"" + Narrow(argv[4]) + "\" is not a Win32 error code (0 to 4294967295, 0 clears)";
  }
  if (!model_->SetFault(kind, argv[2], fault, static_cast<DWORD>(code), error)) return Narrow(error);
  ok = true;
  const std::string read = Narrow(FaultWord(fault));
  return code ? read + " of " + object + " fails with " + std::to_string(code) : read + " of " + object + " answers again";
}

}  // namespace clustersim
