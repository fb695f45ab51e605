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

std::wstring TextOf(const rapidjson::Value& request, const char* key) {
  const auto it = request.FindMember(key);
  return it == request.MemberEnd() ? std::wstring() : Wide(it->value);
}

bool NumberOf(const rapidjson::Value& request, const char* key, unsigned long long& number) {
  const auto it = request.FindMember(key);
  if (it == request.MemberEnd() || !it->value.IsUint64()) return false;
  number = it->value.GetUint64();
  return true;
}

void Put(Writer& w, const char* key, const std::wstring& text) {
  const std::string utf8 = winapi::Utf8FromWide(text);
  w.Key(key);
  w.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
}

void Put(Writer& w, const char* key, long long number) {
  w.Key(key);
  w.Int64(number);
}

DWORD NotFound(Kind kind) {
  switch (kind) {
    case Kind::Node: return ERROR_CLUSTER_NODE_NOT_FOUND;
    case Kind::Group: return ERROR_GROUP_NOT_FOUND;
    case Kind::Resource: return ERROR_RESOURCE_NOT_FOUND;
    case Kind::ResourceType: return ERROR_CLUSTER_RESOURCE_TYPE_NOT_FOUND;
    case Kind::Network: return ERROR_CLUSTER_NETWORK_NOT_FOUND;
    case Kind::NetInterface: return ERROR_CLUSTER_NETINTERFACE_NOT_FOUND;
  }
  return ERROR_NOT_FOUND;
}

bool KindOf(const rapidjson::Value& request, Kind& kind) {
  const auto it = request.FindMember("kind");
  return it != request.MemberEnd() && it->value.IsString() && winapi::cluster::KindFromName(it->value.GetString(), kind);
}

std::wstring TrimSlashes(std::wstring path) {
  while (!path.empty() && path.front() == L'\\') path.erase(0, 1);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& sub) {
  const std::wstring a = TrimSlashes(base), b = TrimSlashes(sub);
  if (a.empty()) return b;
  if (b.empty()) return a;
  return a + L"\\" + b;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return text.size() >= prefix.size() && winapi::EqualsNoCase(std::wstring_view(text).substr(0, prefix.size()), prefix);
}

void WriteRegistryValue(Writer& w, const PropertyValue& value) {
  using Type = PropertyValue::Type;
  switch (value.type) {
    case Type::Sz: Put(w, "type", REG_SZ); Put(w, "text", value.text); break;
    case Type::ExpandSz: Put(w, "type", REG_EXPAND_SZ); Put(w, "text", value.text); break;
    case Type::Dword:
    case Type::Long: Put(w, "type", REG_DWORD); Put(w, "number", static_cast<long long>(value.number & 0xFFFFFFFF)); break;
    case Type::Qword:
      Put(w, "type", REG_QWORD);
      w.Key("number");
      w.Uint64(value.number);
      break;
    case Type::MultiSz:
      Put(w, "type", REG_MULTI_SZ);
      w.Key("list");
      w.StartArray();
      for (const auto& item : value.list) {
        const std::string utf8 = winapi::Utf8FromWide(item);
        w.String(utf8.data(), static_cast<rapidjson::SizeType>(utf8.size()));
      }
      w.EndArray();
      break;
    case Type::Binary: {
      Put(w, "type", REG_BINARY);
      const std::string hex = winapi::cluster::HexEncode(value.bytes.data(), value.bytes.size());
      w.Key("data");
      w.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
      break;
    }
  }
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

}  // namespace

struct Server::Client {
  int fd;
  bool control;
  bool notify = false;
  DWORD filter = 0;
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
      client.out += "{\"v\":1,\"status\":" + std::to_string(ERROR_INVALID_DATA) + ",\"message\":\"line too long\"}\n";
      client.closing = true;
      Log("dropped a client that sent a line longer than " + std::to_string(kMaxLineBytes) + " bytes");
      break;
    }
    if (client.notify) continue;  // a notify connection only listens
    client.out += Handle(client, line);
    client.out.push_back('\n');
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
    if (!c->notify || c->fd < 0) continue;
    for (const auto& n : notifications) {
      if (!(n.code & c->filter)) continue;
      rapidjson::StringBuffer buffer;
      Writer w(buffer);
      w.StartObject();
      Put(w, "v", winapi::cluster::kProtocolVersion);
      w.Key("event");
      w.Uint(n.code);
      Put(w, "name", n.name);
      w.EndObject();
      c->out.append(buffer.GetString(), buffer.GetSize());
      c->out.push_back('\n');
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
  return client.control ? HandleControl(line) : HandleService(client, line);
}

std::string Server::HandleService(Client& client, const std::string& line) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Put(w, "v", winapi::cluster::kProtocolVersion);
  const auto finish = [&](DWORD status) {
    w.Key(winapi::cluster::kStatus);
    w.Uint(status);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
  };
  rapidjson::Document request;
  request.Parse(line.data(), line.size());
  if (request.HasParseError() || !request.IsObject()) return finish(ERROR_INVALID_DATA);
  const auto version = request.FindMember(winapi::cluster::kVersion);
  if (version == request.MemberEnd() || !version->value.IsInt() ||
      version->value.GetInt() != winapi::cluster::kProtocolVersion) {
    return finish(ERROR_REVISION_MISMATCH);
  }
  const std::wstring op = TextOf(request, winapi::cluster::kOp);
  ClusterModel& model = *model_;
  Kind kind = Kind::Node;
  unsigned long long number = 0;

  const auto objectOf = [&](Kind wanted, DWORD& status) -> const Object* {
    status = ERROR_INVALID_PARAMETER;
    if (!NumberOf(request, "id", number)) return nullptr;
    const Object* object = model.Get(number);
    status = object && object->kind == wanted ? ERROR_SUCCESS : NotFound(wanted);
    return status == ERROR_SUCCESS ? object : nullptr;
  };
  const auto items = [&](const std::vector<std::pair<DWORD, const std::wstring*>>& list) {
    w.Key("items");
    w.StartArray();
    for (const auto& [type, text] : list) {
      w.StartArray();
      w.Uint(type);
      const std::string name = Narrow(*text);
      w.String(name.data(), static_cast<rapidjson::SizeType>(name.size()));
      w.EndArray();
    }
    w.EndArray();
  };

  if (op == L"hello") {
    Put(w, "cluster", model.facts.name);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"info") {
    const ClusterFacts& f = model.facts;
    Put(w, "name", f.name);
    Put(w, "major", f.major);
    Put(w, "minor", f.minor);
    Put(w, "build", f.build);
    Put(w, "vendor", f.vendor);
    Put(w, "csd", f.csd);
    Put(w, "highest", f.highest);
    Put(w, "lowest", f.lowest);
    Put(w, "flags", f.flags);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"quorum") {
    if (model.facts.quorumResource.empty()) return finish(ERROR_RESOURCE_NOT_FOUND);
    Put(w, "resource", model.facts.quorumResource);
    Put(w, "device", model.facts.quorumDevice);
    Put(w, "maxLog", model.facts.quorumMaxLog);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"enum") {
    if (!NumberOf(request, "types", number)) return finish(ERROR_INVALID_PARAMETER);
    std::vector<std::pair<DWORD, const std::wstring*>> list;
    for (const Kind k : {Kind::Node, Kind::ResourceType, Kind::Resource, Kind::Group, Kind::Network, Kind::NetInterface}) {
      const DWORD bit = winapi::cluster::EnumTypeOf(k);
      if (!(number & bit)) continue;
      for (const Object* object : model.Objects(k)) list.emplace_back(bit, &object->name);
    }
    items(list);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"open") {
    if (!KindOf(request, kind)) return finish(ERROR_INVALID_PARAMETER);
    const Object* object = model.Find(kind, TextOf(request, "name"));
    if (!object) return finish(NotFound(kind));
    if (const DWORD fault = object->faults.Of(FaultKind::Open)) return finish(fault);
    Put(w, "id", static_cast<long long>(object->id));
    return finish(ERROR_SUCCESS);
  }
  if (op == L"state") {
    if (!KindOf(request, kind)) return finish(ERROR_INVALID_PARAMETER);
    DWORD status = ERROR_SUCCESS;
    const Object* object = objectOf(kind, status);
    if (!object) return finish(status);
    if (const DWORD fault = object->faults.Of(FaultKind::State)) return finish(fault);
    Put(w, "state", object->state);
    if (kind == Kind::Group) {
      if (const Object* owner = model.Get(object->node)) Put(w, "node", owner->name);
    }
    if (kind == Kind::Resource) {
      if (const Object* group = model.Get(object->group)) {
        Put(w, "group", group->name);
        if (const Object* owner = model.Get(group->node)) Put(w, "node", owner->name);
      }
    }
    return finish(ERROR_SUCCESS);
  }
  if (op == L"objenum") {
    unsigned long long types = 0;
    if (!KindOf(request, kind) || !NumberOf(request, "types", types)) return finish(ERROR_INVALID_PARAMETER);
    DWORD status = ERROR_SUCCESS;
    const Object* object = objectOf(kind, status);
    if (!object) return finish(status);
    std::vector<std::pair<DWORD, const std::wstring*>> list;
    if (kind == Kind::Group) {
      if (types & CLUSTER_GROUP_ENUM_CONTAINS) {
        for (const Object* r : model.GroupResources(object->id)) list.emplace_back(CLUSTER_GROUP_ENUM_CONTAINS, &r->name);
      }
      if (types & CLUSTER_GROUP_ENUM_NODES) {
        // Preferred owners as written, also those that name no node.
        for (const std::wstring& name : object->preferred) list.emplace_back(CLUSTER_GROUP_ENUM_NODES, &name);
      }
    } else if (kind == Kind::Resource) {
      if (types & CLUSTER_RESOURCE_ENUM_DEPENDS) {
        for (const ObjectId id : object->dependencies) {
          list.emplace_back(CLUSTER_RESOURCE_ENUM_DEPENDS, &model.Get(id)->name);
        }
      }
      if (types & CLUSTER_RESOURCE_ENUM_PROVIDES) {
        for (const Object* r : model.Objects(Kind::Resource)) {
          if (std::count(r->dependencies.begin(), r->dependencies.end(), object->id)) {
            list.emplace_back(CLUSTER_RESOURCE_ENUM_PROVIDES, &r->name);
          }
        }
      }
      if (types & CLUSTER_RESOURCE_ENUM_NODES) {
        for (const Object* n : model.Objects(Kind::Node)) list.emplace_back(CLUSTER_RESOURCE_ENUM_NODES, &n->name);
      }
    } else {
      return finish(ERROR_INVALID_PARAMETER);
    }
    items(list);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"control") {
    if (!KindOf(request, kind) || !NumberOf(request, "code", number)) return finish(ERROR_INVALID_PARAMETER);
    const DWORD code = static_cast<DWORD>(number);
    const Object* object = nullptr;
    if (kind == Kind::ResourceType) {
      object = model.Find(kind, TextOf(request, "name"));
      if (!object) return finish(NotFound(kind));
    } else {
      DWORD status = ERROR_SUCCESS;
      object = objectOf(kind, status);
      if (!object) return finish(status);
    }
    const DWORD function = code & 0xFF;
    if (function != 0x55 && function != 0x59 && function != 0x7D && function != 0x81) {
      return finish(ERROR_INVALID_FUNCTION);
    }
    FaultKind fault = FaultKind::Common;
    if (FaultOfControl(code, fault) && object->faults.Of(fault)) return finish(object->faults.Of(fault));
    const std::vector<BYTE> data = model.PropertyList(*object, code);
    const std::string hex = winapi::cluster::HexEncode(data.data(), data.size());
    w.Key("data");
    w.String(hex.data(), static_cast<rapidjson::SizeType>(hex.size()));
    return finish(ERROR_SUCCESS);
  }
  if (op == L"netif") {
    // Matched against the interfaces' node and network as written.
    const std::wstring nodeName = TextOf(request, "node"), networkName = TextOf(request, "network");
    if (const Object* itf = model.FindInterface(nodeName, networkName)) {
      Put(w, "name", itf->name);
      return finish(ERROR_SUCCESS);
    }
    if (!model.Find(Kind::Node, nodeName)) return finish(ERROR_CLUSTER_NODE_NOT_FOUND);
    if (!model.Find(Kind::Network, networkName)) return finish(ERROR_CLUSTER_NETWORK_NOT_FOUND);
    return finish(ERROR_CLUSTER_NETINTERFACE_NOT_FOUND);
  }
  if (op == L"regkey") {
    const std::wstring which = TextOf(request, "kind");
    if (which == L"cluster") {
      Put(w, "path", std::wstring());
      return finish(ERROR_SUCCESS);
    }
    if (which != L"resource") return finish(ERROR_INVALID_PARAMETER);
    DWORD status = ERROR_SUCCESS;
    const Object* resource = objectOf(Kind::Resource, status);
    if (!resource) return finish(status);
    Put(w, "path", L"Resources\\" + model.ResourceKeyName(resource->id));
    return finish(ERROR_SUCCESS);
  }
  // The cluster registry: resource keys are views of the resources, the rest comes
  // from the scenario.
  const auto resourceOfKey = [&](const std::wstring& path, std::wstring& rest) -> const Object* {
    if (!StartsWithNoCase(path, L"Resources\\")) return nullptr;
    const std::wstring tail = path.substr(10);
    const auto slash = tail.find(L'\\');
    const std::wstring keyName = tail.substr(0, slash);
    rest = slash == std::wstring::npos ? std::wstring() : tail.substr(slash + 1);
    // The key name carries the resource's id in its first field.
    const unsigned long long id = keyName.size() > 9 ? std::wcstoull(keyName.c_str() + 1, nullptr, 16) : 0;
    const Object* r = model.Get(id);
    return r && r->kind == Kind::Resource && winapi::EqualsNoCase(model.ResourceKeyName(r->id), keyName) ? r : nullptr;
  };
  if (op == L"regopen") {
    const std::wstring path = JoinPath(TextOf(request, "path"), TextOf(request, "subkey"));
    std::wstring rest;
    bool exists = path.empty() || winapi::EqualsNoCase(path, L"Resources");
    if (resourceOfKey(path, rest)) exists = rest.empty() || winapi::EqualsNoCase(rest, L"Parameters");
    for (const auto& entry : model.registry) {
      if (winapi::EqualsNoCase(entry.first, path) || StartsWithNoCase(entry.first, path + L"\\")) exists = true;
    }
    if (!exists) return finish(ERROR_FILE_NOT_FOUND);
    Put(w, "path", path);
    return finish(ERROR_SUCCESS);
  }
  if (op == L"regquery") {
    const std::wstring path = TrimSlashes(TextOf(request, "path"));
    const std::wstring value = TextOf(request, "value");
    std::wstring rest;
    if (const Object* r = resourceOfKey(path, rest)) {
      if (rest.empty()) {
        if (winapi::EqualsNoCase(value, L"Name")) WriteRegistryValue(w, PropertyValue::Text(r->name));
        else if (winapi::EqualsNoCase(value, L"Type") && !r->typeName.empty()) WriteRegistryValue(w, PropertyValue::Text(r->typeName));
        else return finish(ERROR_FILE_NOT_FOUND);
        return finish(ERROR_SUCCESS);
      }
      const PropertyValue* found = winapi::EqualsNoCase(rest, L"Parameters") ? r->priv.Find(value) : nullptr;
      if (!found) return finish(ERROR_FILE_NOT_FOUND);
      WriteRegistryValue(w, *found);
      return finish(ERROR_SUCCESS);
    }
    for (const auto& entry : model.registry) {
      if (!winapi::EqualsNoCase(entry.first, path)) continue;
      for (const auto& item : entry.second) {
        if (!winapi::EqualsNoCase(item.first, value)) continue;
        WriteRegistryValue(w, item.second);
        return finish(ERROR_SUCCESS);
      }
    }
    return finish(ERROR_FILE_NOT_FOUND);
  }
  if (op == L"notify") {
    if (!NumberOf(request, "filter", number)) return finish(ERROR_INVALID_PARAMETER);
    client.notify = true;
    client.filter = static_cast<DWORD>(number);
    return finish(ERROR_SUCCESS);
  }
  return finish(ERROR_INVALID_FUNCTION);
}

}  // namespace clustersim
