// Where a cluster service takes its cluster from: a scenario file (clussimd) or a
// Pacemaker cluster. The server owns the model; its source fills it once and then keeps
// it up to date, listing the notifications of every change it makes.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "model.h"

namespace clustersim {

using LogFunction = std::function<void(const std::string&)>;

class ModelSource {
 public:
  virtual ~ModelSource() = default;
  // What the service serves, for its log: a path, a directory.
  virtual std::string Describe() const = 0;
  // Fills an empty model; false with a message saying what to fix.
  virtual bool Load(ClusterModel& model, std::string& error, const LogFunction& log) = 0;
  // A descriptor the server waits on for the source (-1: none) and the longest wait in
  // milliseconds before Update is due (-1: none).
  virtual int Descriptor() const { return -1; }
  virtual int TimeoutMs() const { return -1; }
  // Called when the descriptor is readable or the wait has passed.
  virtual void Update(ClusterModel& /*model*/, Notifications& /*out*/, const LogFunction& /*log*/) {}
  // Whether the cluster behind the source can be read: while it cannot, the server closes
  // the service as a cluster service that ended does, and opens it again once it can.
  virtual bool ClusterReachable() const { return true; }
  // A control command of the source; false when the command is none of its own.
  virtual bool Command(const std::vector<std::wstring>& /*argv*/, ClusterModel& /*model*/, Notifications& /*out*/,
                       std::string& /*message*/, bool& /*ok*/, const LogFunction& /*log*/) {
    return false;
  }
};

}  // namespace clustersim
