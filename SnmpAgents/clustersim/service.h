// The cluster service's server: the service socket (the Cluster API of the layer) and the
// control socket (clussim), served by one thread with poll(), so every request sees
// and changes the model atomically. The model comes from a source, which the same
// thread polls for changes.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "model.h"
#include "source.h"

namespace clustersim {

struct ServerOptions {
  std::string name = "clussimd";  // in every log line
  std::string serviceSocket;  // the Cluster API's socket
  std::string controlSocket;  // clussim's socket
  std::string pidFile;        // written while the service runs, removed while stopped
};

class Server {
 public:
  Server(ServerOptions options, std::unique_ptr<ModelSource> source);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Loads the model from the source and opens both sockets; false with a message saying what to fix.
  bool Start(std::string& error);
  // Serves until SIGTERM or SIGINT; returns the exit code.
  int Run();

 private:
  struct Client;
  void Accept(int listener, bool control);
  void ReadFrom(Client& client);
  void FlushTo(Client& client);
  std::string Handle(Client& client, const std::string& line);
  std::string HandleControl(const std::string& line);
  friend class ControlCommands;  // clussim's commands act on the service and its model
  void Broadcast(const Notifications& notifications);
  void UpdateFromSource();
  void FollowReachability();
  bool OpenService(std::string& error);
  void StopService();
  void Log(const std::string& text) const;

  ServerOptions options_;
  std::unique_ptr<ModelSource> source_;
  std::unique_ptr<ClusterModel> model_;
  int serviceListener_ = -1;
  int controlListener_ = -1;
  int signals_ = -1;
  bool stoppedByControl_ = false;  // clussim's service stop; the source does not undo it
  std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace clustersim
