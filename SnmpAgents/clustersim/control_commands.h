// clussim's commands: a table from command word to handler, each with the usage it answers
// a misuse with, so that the answers and `clussim --help` come from one place.
#pragma once
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "model.h"

namespace clustersim {

class Server;

// A command line as the handlers read it; an argument that is not there is empty.
class Arguments {
 public:
  explicit Arguments(const std::vector<std::wstring>& argv) : argv_(argv) {}
  std::size_t Count() const { return argv_.size(); }
  const std::wstring& operator[](std::size_t i) const;
  bool Is(std::size_t i, const wchar_t* word) const;
  std::string Text(std::size_t i) const;  // UTF-8
  std::vector<std::wstring> From(std::size_t i) const;

 private:
  const std::vector<std::wstring>& argv_;
};

class ControlCommands {
 public:
  explicit ControlCommands(Server& server) : server_(server) {}

  // Runs one command of clussim; the source's own commands come first.
  ControlReply Run(const std::vector<std::wstring>& argv);
  // The commands for clussim --help, two spaces in front of each line.
  static std::string Help();

 private:
  using Handler = ControlReply (ControlCommands::*)(const Arguments&);
  struct Command {
    const wchar_t* word;
    Handler handler;
    const char* usage;  // the answer to a misuse, after "usage: "
    const char* help;   // lines of clussim --help; null: the usage
  };
  static std::span<const Command> Table();

  ControlReply Status(const Arguments& args);
  ControlReply Service(const Arguments& args);
  ControlReply Load(const Arguments& args);
  ControlReply Node(const Arguments& args);
  ControlReply Group(const Arguments& args);
  ControlReply Resource(const Arguments& args);
  ControlReply Network(const Arguments& args);
  ControlReply NetInterface(const Arguments& args);
  ControlReply Registry(const Arguments& args);
  ControlReply Fault(const Arguments& args);
  ControlReply Add(const Arguments& args);
  ControlReply Delete(const Arguments& args);
  ControlReply Rename(const Arguments& args);
  ControlReply Set(const Arguments& args);

  // One change of the model: its notifications go out, or its refusal is the answer.
  using Change = std::function<bool(ClusterModel&, Notifications&, std::wstring&)>;
  ControlReply Apply(const Change& change);
  // WORD VERB NAME: an object's state.
  ControlReply SetState(const Arguments& args, const wchar_t* word);
  // WORD KIND NAME ... with `count` arguments in all.
  using KindChangeFunction = std::function<bool(ClusterModel&, Kind, Notifications&, std::wstring&)>;
  ControlReply KindChange(const Arguments& args, const wchar_t* word, std::size_t count, const KindChangeFunction& change);
  static ControlReply Usage(const wchar_t* word);
  ClusterModel& Model();

  Server& server_;
};

}  // namespace clustersim
