// The cluster service's answers to the Cluster API of the layer: each operation of the
// protocol has one handler over the model, found through a table.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

#include "model.h"

namespace clustersim {

// What a service connection asked for beyond single answers.
struct ServiceSession {
  bool notify = false;  // registered for events: it sends nothing more
  DWORD filter = 0;     // the CLUSTER_CHANGE_* bits it gets
};

// The response line (with its "\n") to one request line of the protocol.
std::string AnswerServiceRequest(const ClusterModel& model, ServiceSession& session, std::string_view line);

}  // namespace clustersim
