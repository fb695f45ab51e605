// Fuzz target for both sides of the cluster protocol. The first byte picks the reader:
//   0       a request line as the cluster service reads it, answered from a small
//           cluster; the answer must be a response the layer decodes
//   1 - 11  a response line as the layer reads it, one per response type
//   12      an event line as a notification port reads it
// Whatever a decoder accepts must encode to a line that decodes to the same encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cluster_protocol.h"
#include "scenario.h"
#include "service_requests.h"

namespace {

namespace wire = winapi::cluster;

constexpr const char* kScenario = R"({
  "cluster": { "name": "FUZZ" },
  "nodes": [ { "name": "N1" }, { "name": "N2" } ],
  "networks": [ { "name": "Public", "role": 3 } ],
  "netinterfaces": [ { "name": "N1 - Public", "node": "N1", "network": "Public", "address": "10.0.0.1" } ],
  "resourceTypes": [ { "name": "Physical Disk", "dll": "clusres.dll" } ],
  "groups": [ { "name": "G", "owner": "N1", "preferredOwners": ["N1", "N2", "gone"] } ],
  "resources": [
    { "name": "Disk Q:", "group": "G", "type": "Physical Disk", "private": { "Drive": "Q:", "Signature": 1 } },
    { "name": "App", "group": "G", "dependsOn": ["Disk Q:"] }
  ],
  "quorum": { "resource": "Disk Q:", "device": "Q:\\MSCS\\", "maxLogSize": 4194304 },
  "registry": { "Parameters": { "Notes": "fuzz", "Revision": 3 } }
})";

const clustersim::ClusterModel& Model() {
  static const clustersim::ClusterModel* const model = [] {
    auto* loaded = new clustersim::ClusterModel();
    std::string error;
    if (!clustersim::LoadScenario(kScenario, *loaded, error)) std::abort();
    return loaded;
  }();
  return *model;
}

std::string WithoutNewline(std::string line) {
  if (line.empty() || line.back() != '\n') std::abort();
  line.pop_back();
  return line;
}

// Decodes a response line as type R; what decodes must re-encode stably.
template <class R>
bool ReadResponse(std::string_view line) {
  rapidjson::Document document;
  DWORD status = 0;
  if (!wire::ParseResponse(line, document, status)) return false;
  if (status != ERROR_SUCCESS) return true;
  R response;
  if (!wire::DecodeMembers(document, response)) return false;
  const std::string again = WithoutNewline(wire::EncodeResponse(response));
  R second;
  rapidjson::Document reparsed;
  if (!wire::ParseResponse(again, reparsed, status) || status != ERROR_SUCCESS ||
      !wire::DecodeMembers(reparsed, second) || WithoutNewline(wire::EncodeResponse(second)) != again) {
    std::abort();
  }
  return true;
}

// The response type of each operation, as the layer reads it.
bool ReadAnswer(wire::Op op, std::string_view line) {
  switch (op) {
    case wire::Op::Hello: return ReadResponse<wire::HelloRequest::Response>(line);
    case wire::Op::Info: return ReadResponse<wire::InfoRequest::Response>(line);
    case wire::Op::Quorum: return ReadResponse<wire::QuorumRequest::Response>(line);
    case wire::Op::Enum: return ReadResponse<wire::EnumRequest::Response>(line);
    case wire::Op::Open: return ReadResponse<wire::OpenRequest::Response>(line);
    case wire::Op::State: return ReadResponse<wire::StateRequest::Response>(line);
    case wire::Op::ObjectEnum: return ReadResponse<wire::ObjectEnumRequest::Response>(line);
    case wire::Op::Control: return ReadResponse<wire::ControlRequest::Response>(line);
    case wire::Op::NetInterface: return ReadResponse<wire::NetInterfaceRequest::Response>(line);
    case wire::Op::RegKey: return ReadResponse<wire::RegKeyRequest::Response>(line);
    case wire::Op::RegOpen: return ReadResponse<wire::RegOpenRequest::Response>(line);
    case wire::Op::RegQuery: return ReadResponse<wire::RegQueryRequest::Response>(line);
    case wire::Op::Notify: return ReadResponse<wire::NotifyRequest::Response>(line);
  }
  return false;
}

void ServeRequest(std::string_view line) {
  clustersim::ServiceSession session;
  const std::string answer = WithoutNewline(clustersim::AnswerServiceRequest(Model(), session, line));
  rapidjson::Document request;
  wire::Op op = wire::Op::Hello;
  DWORD refusal = ERROR_SUCCESS;
  if (!wire::ParseRequest(line, request, op, refusal)) {
    if (answer != WithoutNewline(wire::EncodeFailure(refusal))) std::abort();
    return;
  }
  if (!ReadAnswer(op, answer)) std::abort();
}

void ReadEvent(std::string_view line) {
  wire::Event event;
  if (!wire::ParseEvent(line, event)) return;
  const std::string again = WithoutNewline(wire::EncodeEvent(event));
  wire::Event second;
  if (!wire::ParseEvent(again, second) || WithoutNewline(wire::EncodeEvent(second)) != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 13) {
    case 0: ServeRequest(line); break;
    case 1: ReadResponse<wire::HelloResponse>(line); break;
    case 2: ReadResponse<wire::InfoResponse>(line); break;
    case 3: ReadResponse<wire::QuorumResponse>(line); break;
    case 4: ReadResponse<wire::ItemsResponse>(line); break;
    case 5: ReadResponse<wire::OpenResponse>(line); break;
    case 6: ReadResponse<wire::StateResponse>(line); break;
    case 7: ReadResponse<wire::ControlResponse>(line); break;
    case 8: ReadResponse<wire::NameResponse>(line); break;
    case 9: ReadResponse<wire::PathResponse>(line); break;
    case 10: ReadResponse<wire::RegValueResponse>(line); break;
    case 11: ReadResponse<wire::EmptyResponse>(line); break;
    default: ReadEvent(line); break;
  }
  return 0;
}
