// Fuzz target: the first byte picks a message type, the rest is its payload (or a
// frame header); every decoder must refuse bad input without crashing or leaking, and
// what it accepts must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "com_wire.h"

namespace {

template <class M>
void RoundTrip(std::span<const uint8_t> payload) {
  M message;
  if (!winapi::com::Decode(payload, message)) return;
  const auto again = winapi::com::Encode(message);
  // Texts are UTF-8 and may be normalised (invalid sequences become U+FFFD); the
  // re-encoded form must decode to the same encoding once more.
  M second;
  if (!winapi::com::Decode(again, second) || winapi::com::Encode(second) != again) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> payload(data + 1, size - 1);
  switch (data[0] % 11) {
    case 0: RoundTrip<winapi::com::CreateRequest>(payload); break;
    case 1: RoundTrip<winapi::com::StatusReply>(payload); break;
    case 2: RoundTrip<winapi::com::NamesRequest>(payload); break;
    case 3: RoundTrip<winapi::com::NamesReply>(payload); break;
    case 4: RoundTrip<winapi::com::InvokeRequest>(payload); break;
    case 5: RoundTrip<winapi::com::InvokeReply>(payload); break;
    case 6: RoundTrip<winapi::com::AdviseRequest>(payload); break;
    case 7: RoundTrip<winapi::com::AdviseReply>(payload); break;
    case 8: RoundTrip<winapi::com::UnadviseRequest>(payload); break;
    case 9: RoundTrip<winapi::com::EventMessage>(payload); break;
    default: {
      if (payload.size() < winapi::com::kFrameHeaderSize) break;
      uint8_t raw[winapi::com::kFrameHeaderSize];
      std::memcpy(raw, payload.data(), sizeof raw);
      winapi::com::FrameHeader header;
      if (winapi::com::DecodeHeader(raw, header) && header.length > winapi::com::kMaxPayload) std::abort();
      break;
    }
  }
  return 0;
}
