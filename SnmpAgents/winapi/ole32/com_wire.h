// The COM transport between a client process and a local server: one Unix stream
// socket per created object, carrying length-prefixed frames in both directions.
//
// Frame: 16-byte header, little-endian
//   0  u32 magic "FGCM"     4  u16 version (kWireVersion)   6  u16 message type
//   8  u32 call id          12 u32 payload length (at most kMaxPayload)
// then the payload. The client numbers its calls; a reply carries the call's id.
// Events (server to client) carry id 0 and get no reply. Integers are
// little-endian, texts are UTF-8 with a u32 byte count, BSTRs travel as their exact
// bytes (both ends run on one host, so wchar_t is the same on both).
//
// A frame with a wrong magic, version or type, an over-long length, or a payload that
// does not decode exactly is a protocol error: the receiver drops the connection.
#pragma once
#include <oaidl.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace winapi::com {

inline constexpr uint32_t kWireMagic = 0x4D434746;  // "FGCM"
inline constexpr uint16_t kWireVersion = 1;
inline constexpr size_t kFrameHeaderSize = 16;
inline constexpr uint32_t kMaxPayload = 4u << 20;
inline constexpr uint32_t kMaxNames = 1024;
inline constexpr uint32_t kMaxArgs = 64;

enum class MessageType : uint16_t {
  Create = 1,    // CreateRequest -> StatusReply
  GetIDs = 2,    // NamesRequest -> NamesReply
  Invoke = 3,    // InvokeRequest -> InvokeReply
  Advise = 4,    // AdviseRequest -> AdviseReply
  Unadvise = 5,  // UnadviseRequest -> StatusReply
  Event = 6,     // EventMessage, server to client, no reply
  Reply = 7,
};

struct FrameHeader {
  MessageType type = MessageType::Reply;
  uint32_t callId = 0;
  uint32_t length = 0;
};

void EncodeHeader(const FrameHeader& header, uint8_t (&out)[kFrameHeaderSize]);
bool DecodeHeader(const uint8_t (&in)[kFrameHeaderSize], FrameHeader& header);

// A VARIANT's value off the wire. A by-reference VARIANT travels as the value it points
// to, with VT_BYREF kept in vt so that the receiver can hand back the changed value.
struct WireValue {
  VARTYPE vt = VT_EMPTY;
  uint64_t bits = 0;           // numbers, booleans, errors, doubles (bit pattern)
  std::vector<uint8_t> bytes;  // BSTR content
  bool nullBstr = false;
};

// DISP_E_BADVARTYPE for types the transport does not carry (interfaces, arrays, ...).
HRESULT ValueFromVariant(const VARIANT& variant, WireValue& value);
// The by-value VARIANT of a value (VT_BYREF dropped); E_OUTOFMEMORY when a BSTR fails.
HRESULT VariantFromValue(const WireValue& value, VARIANT& variant);
// Writes a value back through a by-reference VARIANT of the same base type.
HRESULT StoreThroughReference(const WireValue& value, const VARIANT& reference);

struct CreateRequest {
  CLSID clsid{};
  IID iid{};
};
struct StatusReply {
  HRESULT hr = S_OK;
};
struct NamesRequest {
  std::vector<std::wstring> names;
  uint32_t lcid = 0;
};
struct NamesReply {
  HRESULT hr = S_OK;
  std::vector<int32_t> ids;
};
struct InvokeRequest {
  int32_t member = 0;
  uint32_t lcid = 0;
  uint16_t flags = 0;
  std::vector<WireValue> args;  // in DISPPARAMS order (last parameter first)
  std::vector<int32_t> named;
  bool wantResult = false;
};
struct OutArgument {
  uint32_t index = 0;
  WireValue value;
};
struct InvokeReply {
  HRESULT hr = S_OK;
  WireValue result;
  std::vector<OutArgument> outs;  // by-reference arguments as the server left them
  uint16_t wCode = 0;
  int32_t scode = 0;
  std::wstring source;
  std::wstring description;
  uint32_t argErr = 0;
};
struct AdviseRequest {
  IID iid{};
  uint32_t sinkId = 0;
};
struct AdviseReply {
  HRESULT hr = S_OK;
  uint32_t cookie = 0;
};
struct UnadviseRequest {
  IID iid{};
  uint32_t cookie = 0;
};
struct EventMessage {
  uint32_t sinkId = 0;
  int32_t member = 0;
  uint16_t flags = 0;
  std::vector<WireValue> args;
};

std::vector<uint8_t> Encode(const CreateRequest& message);
std::vector<uint8_t> Encode(const StatusReply& message);
std::vector<uint8_t> Encode(const NamesRequest& message);
std::vector<uint8_t> Encode(const NamesReply& message);
std::vector<uint8_t> Encode(const InvokeRequest& message);
std::vector<uint8_t> Encode(const InvokeReply& message);
std::vector<uint8_t> Encode(const AdviseRequest& message);
std::vector<uint8_t> Encode(const AdviseReply& message);
std::vector<uint8_t> Encode(const UnadviseRequest& message);
std::vector<uint8_t> Encode(const EventMessage& message);

// Each is false unless the payload decodes completely, with nothing left over.
bool Decode(std::span<const uint8_t> payload, CreateRequest& message);
bool Decode(std::span<const uint8_t> payload, StatusReply& message);
bool Decode(std::span<const uint8_t> payload, NamesRequest& message);
bool Decode(std::span<const uint8_t> payload, NamesReply& message);
bool Decode(std::span<const uint8_t> payload, InvokeRequest& message);
bool Decode(std::span<const uint8_t> payload, InvokeReply& message);
bool Decode(std::span<const uint8_t> payload, AdviseRequest& message);
bool Decode(std::span<const uint8_t> payload, AdviseReply& message);
bool Decode(std::span<const uint8_t> payload, UnadviseRequest& message);
bool Decode(std::span<const uint8_t> payload, EventMessage& message);

}  // namespace winapi::com
