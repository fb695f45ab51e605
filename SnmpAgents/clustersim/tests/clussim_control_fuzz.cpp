// Fuzz target: clussim's control messages as clussimd reads a request and clussim a reply.
// The first byte picks which (even: request, odd: reply), the rest is the line. A decoder
// must refuse bad input without crashing, and what it accepts must encode and decode back
// to the same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "control_protocol.h"

namespace {

void Request(std::string_view line) {
  clustersim::ControlRequest request;
  if (!clustersim::DecodeControlRequest(line, request)) return;
  clustersim::ControlRequest again;
  if (!clustersim::DecodeControlRequest(clustersim::EncodeControlRequest(request), again)) std::abort();
  if (again.argv != request.argv) std::abort();
}

void Reply(std::string_view line) {
  clustersim::ControlReply reply;
  if (!clustersim::DecodeControlReply(line, reply)) return;
  clustersim::ControlReply again;
  if (!clustersim::DecodeControlReply(clustersim::EncodeControlReply(reply), again)) std::abort();
  if (again.ok != reply.ok || again.message != reply.message || again.warnings != reply.warnings) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) Request(line);
  else Reply(line);
  return 0;
}
