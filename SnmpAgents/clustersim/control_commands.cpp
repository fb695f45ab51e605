#include "control_commands.h"

#include <cerrno>
#include <cwchar>
#include <functional>
#include <memory>

#include "scenario.h"
#include "service.h"
#include "wide_text.h"

namespace clustersim {
namespace {

std::string Narrow(const std::wstring& text) { return winapi::Utf8FromWide(text); }

ControlReply Done(std::string message) { return {true, std::move(message), {}}; }
ControlReply Refused(std::string message) { return {false, std::move(message), {}}; }

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

std::string ObjectLine(const ClusterModel& model, Kind kind, const Object& o) {
  std::string line = "  " + Narrow(o.name);
  if (kind != Kind::ResourceType) line += "  " + Narrow(StateWord(kind, o.state));
  if (kind == Kind::Group) {
    if (const Object* owner = model.Get(o.node)) line += "  on " + Narrow(owner->name);
  }
  if (kind == Kind::Resource) {
    if (const Object* g = model.Get(o.group)) line += "  in " + Narrow(g->name);
  }
  if (o.faults.Any()) line += "  faults: " + FaultsText(o.faults);
  return line + "\n";
}

// The kind that add, delete, rename, set and fault name second; false with the answer.
bool KindOf(const Arguments& args, Kind& kind, ControlReply& reply) {
  if (KindFromWord(args[1], kind)) return true;
  reply = Refused("unknown kind \"" + args.Text(1) + "\" (node, group, resource, restype, network, netinterface)");
  return false;
}

// A verb and the state it sets.
struct Verb {
  const wchar_t* word;
  int state;
};

constexpr Verb kNodeVerbs[] = {{L"down", ClusterNodeDown},
                               {L"up", ClusterNodeUp},
                               {L"pause", ClusterNodePaused},
                               {L"resume", ClusterNodeUp},
                               {L"join", ClusterNodeJoining}};
constexpr Verb kGroupVerbs[] = {{L"online", ClusterGroupOnline},
                                {L"offline", ClusterGroupOffline},
                                {L"fail", ClusterGroupFailed},
                                {L"pending", ClusterGroupPending}};
constexpr Verb kResourceVerbs[] = {{L"online", ClusterResourceOnline},
                                   {L"offline", ClusterResourceOffline},
                                   {L"fail", ClusterResourceFailed}};
constexpr Verb kNetworkVerbs[] = {{L"up", ClusterNetworkUp},
                                  {L"down", ClusterNetworkDown},
                                  {L"partition", ClusterNetworkPartitioned},
                                  {L"unavailable", ClusterNetworkUnavailable}};
constexpr Verb kInterfaceVerbs[] = {{L"up", ClusterNetInterfaceUp},
                                    {L"fail", ClusterNetInterfaceFailed},
                                    {L"unreachable", ClusterNetInterfaceUnreachable}};

const Verb* FindVerb(std::span<const Verb> verbs, const Arguments& args) {
  for (const auto& verb : verbs) {
    if (args.Is(1, verb.word)) return &verb;
  }
  return nullptr;
}

// The commands that set an object's state: WORD VERB NAME.
using StateSetter = bool (ClusterModel::*)(const std::wstring&, int, Notifications&, std::wstring&);
struct StateCommand {
  const wchar_t* word;
  std::span<const Verb> verbs;
  StateSetter setter;
};
const StateCommand kStateCommands[] = {
    {L"group", kGroupVerbs, &ClusterModel::SetGroupState},
    {L"resource", kResourceVerbs, &ClusterModel::SetResourceState},
    {L"network", kNetworkVerbs, &ClusterModel::SetNetworkState},
    {L"netinterface", kInterfaceVerbs, &ClusterModel::SetInterfaceState},
};

}  // namespace

const std::wstring& Arguments::operator[](std::size_t i) const {
  static const std::wstring kNone;
  return i < argv_.size() ? argv_[i] : kNone;
}

bool Arguments::Is(std::size_t i, const wchar_t* word) const { return winapi::EqualsNoCase((*this)[i], word); }

std::string Arguments::Text(std::size_t i) const { return Narrow((*this)[i]); }

std::vector<std::wstring> Arguments::From(std::size_t i) const {
  return i < argv_.size() ? std::vector<std::wstring>(argv_.begin() + static_cast<std::ptrdiff_t>(i), argv_.end())
                          : std::vector<std::wstring>();
}

std::span<const ControlCommands::Command> ControlCommands::Table() {
  static const Command kCommands[] = {
      {L"status", &ControlCommands::Status, "status", nullptr},
      {L"node", &ControlCommands::Node, "node down|up|pause|resume|join NAME", nullptr},
      {L"group", &ControlCommands::Group, "group move NAME [NODE] | group online|offline|fail|pending NAME",
       "group move NAME [NODE]\ngroup online|offline|fail|pending NAME"},
      {L"resource", &ControlCommands::Resource, "resource online|offline|fail NAME", nullptr},
      {L"network", &ControlCommands::Network, "network up|down|partition|unavailable NAME", nullptr},
      {L"netinterface", &ControlCommands::NetInterface, "netinterface up|fail|unreachable NAME", nullptr},
      {L"add", &ControlCommands::Add, "add KIND NAME ...",
       "add node NAME | add group NAME [NODE] | add resource NAME GROUP [TYPE]\n"
       "add restype NAME [DLL] | add network NAME [ROLE] | add netinterface NAME NODE NETWORK [ADDRESS]"},
      {L"delete", &ControlCommands::Delete, "delete KIND NAME", nullptr},
      {L"rename", &ControlCommands::Rename, "rename KIND OLD NEW", nullptr},
      {L"set", &ControlCommands::Set, "set KIND NAME PROPERTY VALUE",
       "set KIND NAME [common.|readonly.|private.]PROPERTY VALUE"},
      {L"registry", &ControlCommands::Registry,
       "registry add KEY | registry delete KEY [VALUE] | registry set KEY VALUE DATA | registry attributes KEY", nullptr},
      {L"fault", &ControlCommands::Fault,
       "fault KIND NAME state|open|common|readonly|private ERROR | fault KIND NAME clear",
       "fault KIND NAME state|open|common|readonly|private ERROR   (ERROR 0 clears one)\nfault KIND NAME clear"},
      {L"service", &ControlCommands::Service, "service stop|start", nullptr},
      {L"load", &ControlCommands::Load, "load SCENARIO", nullptr},
  };
  return kCommands;
}

std::string ControlCommands::Help() {
  std::string text;
  for (const auto& command : Table()) {
    const std::string_view lines = command.help ? command.help : command.usage;
    std::size_t start = 0;
    while (start < lines.size()) {
      const std::size_t end = std::min(lines.find('\n', start), lines.size());
      text += "  ";
      text += lines.substr(start, end - start);
      text += "\n";
      start = end + 1;
    }
  }
  return text;
}

ControlReply ControlCommands::Usage(const wchar_t* word) {
  for (const auto& command : Table()) {
    if (std::wcscmp(command.word, word) == 0) return Refused(std::string("usage: ") + command.usage);
  }
  return Refused("usage: " + Narrow(word));
}

ClusterModel& ControlCommands::Model() { return *server_.model_; }

ControlReply ControlCommands::Run(const std::vector<std::wstring>& argv) {
  if (argv.empty()) return Refused("no command (try: status)");
  ControlReply reply;
  Notifications out;
  if (server_.source_->Command(argv, Model(), out, reply.message, reply.ok,
                               [this](const std::string& text) { server_.Log(text); })) {
    server_.Broadcast(out);
    server_.FollowReachability();
    return reply;
  }
  const Arguments args(argv);
  for (const auto& command : Table()) {
    if (args.Is(0, command.word)) return (this->*command.handler)(args);
  }
  return Refused("unknown command \"" + args.Text(0) + "\"");
}

ControlReply ControlCommands::Apply(const Change& change) {
  Notifications out;
  std::wstring error;
  if (!change(Model(), out, error)) return Refused(Narrow(error));
  server_.Broadcast(out);
  return Done(std::to_string(out.size()) + " notification(s)");
}

ControlReply ControlCommands::SetState(const Arguments& args, const wchar_t* word) {
  for (const auto& command : kStateCommands) {
    if (std::wcscmp(command.word, word) != 0) continue;
    const Verb* verb = FindVerb(command.verbs, args);
    if (!verb || args.Count() != 3) return Usage(word);
    return Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
      return (model.*command.setter)(args[2], verb->state, out, error);
    });
  }
  return Usage(word);
}

ControlReply ControlCommands::Status(const Arguments&) {
  const ClusterModel& model = Model();
  std::string text = "cluster \"" + Narrow(model.facts.name) + "\", service " +
                     (server_.serviceListener_ >= 0 ? "running" : "stopped") + "\n";
  for (const Kind kind : {Kind::Node, Kind::Network, Kind::NetInterface, Kind::ResourceType, Kind::Group, Kind::Resource}) {
    text += Narrow(KindWord(kind)) + "s: " + std::to_string(model.List(kind).size()) + "\n";
    for (const Object* o : model.Objects(kind)) text += ObjectLine(model, kind, *o);
  }
  return Done(text + "quorum: " + Narrow(model.facts.quorumResource));
}

ControlReply ControlCommands::Service(const Arguments& args) {
  const bool running = server_.serviceListener_ >= 0;
  if (args.Is(1, L"stop")) {
    if (!running) return Refused("the service is stopped already");
    server_.StopService();
    server_.stoppedByControl_ = true;
    server_.Log("service stopped by clussim");
    return Done("service stopped");
  }
  if (args.Is(1, L"start")) {
    if (running) return Refused("the service is running already");
    if (!server_.source_->ClusterReachable()) return Refused("the cluster cannot be read: the service stays stopped");
    std::string failure;
    if (!server_.OpenService(failure)) return Refused(failure);
    server_.stoppedByControl_ = false;
    server_.Log("service started by clussim");
    return Done("service started");
  }
  return Usage(L"service");
}

ControlReply ControlCommands::Load(const Arguments& args) {
  if (args.Count() != 2) return Usage(L"load");
  auto next = std::make_unique<ClusterModel>();
  ControlReply reply;
  if (!LoadScenarioFile(args.Text(1), *next, reply.message, &reply.warnings)) return reply;
  for (const auto& warning : reply.warnings) server_.Log(args.Text(1) + ": warning: " + warning);
  // A new cluster: every handle of the old one breaks, as across a service restart.
  const bool running = server_.serviceListener_ >= 0;
  if (running) server_.StopService();
  server_.model_ = std::move(next);
  if (running && !server_.OpenService(reply.message)) return reply;
  server_.Log("loaded " + args.Text(1));
  reply.ok = true;
  reply.message = "loaded cluster \"" + Narrow(Model().facts.name) + "\"";
  return reply;
}

ControlReply ControlCommands::Node(const Arguments& args) {
  const Verb* verb = FindVerb(kNodeVerbs, args);
  if (!verb) return Usage(L"node");
  if (args.Count() != 3) return Refused("usage: node " + Narrow(verb->word) + " NAME");
  const ControlReply reply = Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
    return args.Is(1, L"resume") ? model.ResumeNode(args[2], out, error)
                                 : model.SetNodeState(args[2], verb->state, out, error);
  });
  // A refusal without a reason is none the model gives: answer with the usage as before.
  return !reply.ok && reply.message.empty() ? Usage(L"node") : reply;
}

ControlReply ControlCommands::Group(const Arguments& args) {
  if (!args.Is(1, L"move")) return SetState(args, L"group");
  if (args.Count() < 3 || args.Count() > 4) return Refused("usage: group move NAME [NODE]");
  return Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
    return model.MoveGroup(args[2], args[3], out, error);
  });
}

ControlReply ControlCommands::Resource(const Arguments& args) { return SetState(args, L"resource"); }
ControlReply ControlCommands::Network(const Arguments& args) { return SetState(args, L"network"); }
ControlReply ControlCommands::NetInterface(const Arguments& args) { return SetState(args, L"netinterface"); }

ControlReply ControlCommands::Registry(const Arguments& args) {
  using Edit = bool (*)(ClusterModel&, const Arguments&, Notifications&, std::wstring&);
  struct Form {
    const wchar_t* verb;
    std::size_t count;
    Edit edit;
  };
  static constexpr Form kForms[] = {
      {L"add", 3, [](ClusterModel& m, const Arguments& a, Notifications& out, std::wstring& e) {
         return m.AddRegistryKey(a[2], out, e);
       }},
      {L"delete", 3, [](ClusterModel& m, const Arguments& a, Notifications& out, std::wstring& e) {
         return m.DeleteRegistryKey(a[2], out, e);
       }},
      {L"delete", 4, [](ClusterModel& m, const Arguments& a, Notifications& out, std::wstring& e) {
         return m.DeleteRegistryValue(a[2], a[3], out, e);
       }},
      {L"set", 5, [](ClusterModel& m, const Arguments& a, Notifications& out, std::wstring& e) {
         return m.SetRegistryValue(a[2], a[3], a[4], out, e);
       }},
      {L"attributes", 3, [](ClusterModel& m, const Arguments& a, Notifications& out, std::wstring& e) {
         return m.ChangeRegistryAttributes(a[2], out, e);
       }},
  };
  for (const auto& form : kForms) {
    if (!args.Is(1, form.verb) || args.Count() != form.count) continue;
    return Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
      return form.edit(model, args, out, error);
    });
  }
  return Usage(L"registry");
}

ControlReply ControlCommands::Fault(const Arguments& args) {
  if (args.Count() < 4 || args.Count() > 5) return Usage(L"fault");
  ControlReply reply;
  Kind kind = Kind::Node;
  if (!KindOf(args, kind, reply)) return reply;
  std::wstring error;
  const std::string object = Narrow(KindWord(kind)) + " \"" + args.Text(2) + "\"";
  if (args.Count() == 4) {
    if (!args.Is(3, L"clear")) return Usage(L"fault");
    if (!Model().ClearFaults(kind, args[2], error)) return Refused(Narrow(error));
    return Done("faults of " + object + " cleared");
  }
  FaultKind fault = FaultKind::State;
  if (!FaultFromWord(args[3], fault)) {
    return Refused("unknown fault \"" + args.Text(3) + "\" (state, open, common, readonly, private)");
  }
  const std::wstring& number = args[4];
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long code = std::wcstoull(number.c_str(), &end, 0);
  if (number.empty() || *end != L'\0' || errno || code > 0xFFFFFFFFull || number[0] == L'-') {
    return Refused("\"" + args.Text(4) + "\" is not a Win32 error code (0 to 4294967295, 0 clears)");
  }
  if (!Model().SetFault(kind, args[2], fault, static_cast<DWORD>(code), error)) return Refused(Narrow(error));
  const std::string read = Narrow(FaultWord(fault));
  return Done(code ? read + " of " + object + " fails with " + std::to_string(code)
                   : read + " of " + object + " answers again");
}

ControlReply ControlCommands::Add(const Arguments& args) {
  ControlReply reply;
  Kind kind = Kind::Node;
  if (!KindOf(args, kind, reply)) return reply;
  if (args.Count() < 3) return Usage(L"add");
  reply = Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
    return model.AddObject(kind, args.From(2), out, error);
  });
  if (reply.ok && kind == Kind::NetInterface) {
    // Kept as given; say when a name matches nothing.
    if (!Model().Find(Kind::Node, args[3])) reply.warnings.push_back("node \"" + args.Text(3) + "\" matches no node");
    if (!Model().Find(Kind::Network, args[4])) {
      reply.warnings.push_back("network \"" + args.Text(4) + "\" matches no network");
    }
  }
  return reply;
}

// delete KIND NAME, rename KIND OLD NEW, set KIND NAME PROPERTY VALUE.
ControlReply ControlCommands::Delete(const Arguments& args) {
  return KindChange(args, L"delete", 3, [&](ClusterModel& model, Kind kind, Notifications& out, std::wstring& error) {
    return model.DeleteObject(kind, args[2], out, error);
  });
}

ControlReply ControlCommands::Rename(const Arguments& args) {
  return KindChange(args, L"rename", 4, [&](ClusterModel& model, Kind kind, Notifications& out, std::wstring& error) {
    return model.Rename(kind, args[2], args[3], out, error);
  });
}

ControlReply ControlCommands::Set(const Arguments& args) {
  return KindChange(args, L"set", 5, [&](ClusterModel& model, Kind kind, Notifications& out, std::wstring& error) {
    return model.SetProperty(kind, args[2], args[3], args[4], out, error);
  });
}

ControlReply ControlCommands::KindChange(const Arguments& args, const wchar_t* word, std::size_t count,
                                         const KindChangeFunction& change) {
  ControlReply reply;
  Kind kind = Kind::Node;
  if (!KindOf(args, kind, reply)) return reply;
  if (args.Count() != count) return Usage(word);
  return Apply([&](ClusterModel& model, Notifications& out, std::wstring& error) {
    return change(model, kind, out, error);
  });
}

// The control socket's side of the server: one request, one reply.
std::string Server::HandleControl(const std::string& line) {
  ControlRequest request;
  if (!DecodeControlRequest(line, request)) return EncodeControlReply(Refused("malformed control request"));
  std::vector<std::wstring> argv;
  argv.reserve(request.argv.size());
  for (const auto& arg : request.argv) argv.push_back(winapi::WideFromUtf8(arg));
  return EncodeControlReply(ControlCommands(*this).Run(argv));
}

}  // namespace clustersim
