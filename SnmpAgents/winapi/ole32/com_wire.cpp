// Encoding and decoding of the COM transport's frames.
#include "com_wire.h"

#include <oleauto.h>

#include <cstring>
#include <type_traits>

#include "wide_text.h"

namespace winapi::com {
namespace {

// Writes fields; every Transfer succeeds.
class Writer {
 public:
  static constexpr bool kReading = false;
  template <class T>
    requires std::is_integral_v<T>
  bool Int(T& value) {
    using U = std::make_unsigned_t<T>;
    U bits = static_cast<U>(value);
    for (size_t i = 0; i < sizeof(T); ++i) out_.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    return true;
  }
  bool Bytes(std::vector<uint8_t>& bytes) {
    uint32_t size = static_cast<uint32_t>(bytes.size());
    Int(size);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Text(std::wstring& text) {
    const std::string utf8 = Utf8FromWide(text);
    std::vector<uint8_t> bytes(utf8.begin(), utf8.end());
    return Bytes(bytes);
  }
  bool Guid(GUID& guid) {
    return Int(guid.Data1) && Int(guid.Data2) && Int(guid.Data3) && Raw(guid.Data4, sizeof guid.Data4);
  }
  bool Raw(uint8_t* data, size_t size) {
    out_.insert(out_.end(), data, data + size);
    return true;
  }
  template <class T, class F>
  bool List(std::vector<T>& items, uint32_t /*limit*/, F&& each) {
    uint32_t count = static_cast<uint32_t>(items.size());
    Int(count);
    for (auto& item : items) each(item);
    return true;
  }
  std::vector<uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

// Reads fields with bounds checks; a count never asks for more than the bytes left.
class Reader {
 public:
  static constexpr bool kReading = true;
  explicit Reader(std::span<const uint8_t> in) : in_(in) {}
  template <class T>
    requires std::is_integral_v<T>
  bool Int(T& value) {
    if (in_.size() - pos_ < sizeof(T)) return false;
    using U = std::make_unsigned_t<T>;
    U bits = 0;
    for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<U>(static_cast<U>(in_[pos_ + i]) << (8 * i));
    pos_ += sizeof(T);
    value = static_cast<T>(bits);
    return true;
  }
  bool Bytes(std::vector<uint8_t>& bytes) {
    uint32_t size = 0;
    if (!Int(size) || in_.size() - pos_ < size) return false;
    bytes.assign(in_.begin() + pos_, in_.begin() + pos_ + size);
    pos_ += size;
    return true;
  }
  bool Text(std::wstring& text) {
    std::vector<uint8_t> bytes;
    if (!Bytes(bytes)) return false;
    text = WideFromUtf8(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return true;
  }
  bool Guid(GUID& guid) {
    return Int(guid.Data1) && Int(guid.Data2) && Int(guid.Data3) && Raw(guid.Data4, sizeof guid.Data4);
  }
  bool Raw(uint8_t* data, size_t size) {
    if (in_.size() - pos_ < size) return false;
    std::memcpy(data, in_.data() + pos_, size);
    pos_ += size;
    return true;
  }
  template <class T, class F>
  bool List(std::vector<T>& items, uint32_t limit, F&& each) {
    uint32_t count = 0;
    if (!Int(count) || count > limit || count > in_.size() - pos_) return false;
    items.assign(count, T{});
    for (auto& item : items) {
      if (!each(item)) return false;
    }
    return true;
  }
  bool AtEnd() const { return pos_ == in_.size(); }

 private:
  std::span<const uint8_t> in_;
  size_t pos_ = 0;
};

bool IsCarriedType(VARTYPE base) {
  switch (base) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2: case VT_I4: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8: case VT_BOOL: case VT_ERROR: case VT_R4: case VT_R8:
    case VT_DATE: case VT_BSTR:
      return true;
    default:
      return false;
  }
}

bool IsValidWireType(VARTYPE vt) {
  const VARTYPE base = vt & ~VT_BYREF;
  if (!IsCarriedType(base)) return false;
  return !((vt & VT_BYREF) && (base == VT_EMPTY || base == VT_NULL));
}

template <class Io>
bool TransferValue(Io& io, WireValue& value) {
  if (!io.Int(value.vt)) return false;
  if (Io::kReading && !IsValidWireType(value.vt)) return false;
  const VARTYPE base = value.vt & ~VT_BYREF;
  if (base == VT_EMPTY || base == VT_NULL) return true;
  if (base != VT_BSTR) return io.Int(value.bits);
  uint8_t isNull = value.nullBstr ? 1 : 0;
  if (!io.Int(isNull) || isNull > 1) return false;
  value.nullBstr = isNull != 0;
  if (!io.Bytes(value.bytes)) return false;
  return !(value.nullBstr && !value.bytes.empty());
}

template <class Io>
bool TransferValues(Io& io, std::vector<WireValue>& values) {
  return io.List(values, kMaxArgs, [&](WireValue& value) { return TransferValue(io, value); });
}

template <class Io>
bool TransferIds(Io& io, std::vector<int32_t>& ids, uint32_t limit) {
  return io.List(ids, limit, [&](int32_t& id) { return io.Int(id); });
}

template <class Io>
bool Transfer(Io& io, CreateRequest& m) { return io.Guid(m.clsid) && io.Guid(m.iid); }
template <class Io>
bool Transfer(Io& io, StatusReply& m) { return io.Int(m.hr); }
template <class Io>
bool Transfer(Io& io, NamesRequest& m) {
  return io.List(m.names, kMaxNames, [&](std::wstring& name) { return io.Text(name); }) && io.Int(m.lcid);
}
template <class Io>
bool Transfer(Io& io, NamesReply& m) { return io.Int(m.hr) && TransferIds(io, m.ids, kMaxNames); }
template <class Io>
bool Transfer(Io& io, InvokeRequest& m) {
  uint8_t want = m.wantResult ? 1 : 0;
  const bool ok = io.Int(m.member) && io.Int(m.lcid) && io.Int(m.flags) && TransferValues(io, m.args) &&
                  TransferIds(io, m.named, kMaxArgs) && io.Int(want) && want <= 1;
  m.wantResult = want != 0;
  return ok && m.named.size() <= m.args.size();
}
template <class Io>
bool Transfer(Io& io, InvokeReply& m) {
  return io.Int(m.hr) && TransferValue(io, m.result) &&
         io.List(m.outs, kMaxArgs,
                 [&](OutArgument& out) { return io.Int(out.index) && out.index < kMaxArgs && TransferValue(io, out.value); }) &&
         io.Int(m.wCode) && io.Int(m.scode) && io.Text(m.source) && io.Text(m.description) && io.Int(m.argErr);
}
template <class Io>
bool Transfer(Io& io, AdviseRequest& m) { return io.Guid(m.iid) && io.Int(m.sinkId); }
template <class Io>
bool Transfer(Io& io, AdviseReply& m) { return io.Int(m.hr) && io.Int(m.cookie); }
template <class Io>
bool Transfer(Io& io, UnadviseRequest& m) { return io.Guid(m.iid) && io.Int(m.cookie); }
template <class Io>
bool Transfer(Io& io, EventMessage& m) {
  return io.Int(m.sinkId) && io.Int(m.member) && io.Int(m.flags) && TransferValues(io, m.args);
}

template <class M>
std::vector<uint8_t> EncodeMessage(const M& message) {
  Writer writer;
  M copy = message;
  Transfer(writer, copy);
  return writer.Take();
}

template <class M>
bool DecodeMessage(std::span<const uint8_t> payload, M& message) {
  Reader reader(payload);
  message = M{};
  return Transfer(reader, message) && reader.AtEnd();
}

uint64_t BitsOfDouble(double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

double DoubleOfBits(uint64_t bits) {
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

uint64_t BitsOfFloat(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float FloatOfBits(uint64_t bits) {
  const uint32_t low = static_cast<uint32_t>(bits);
  float value = 0;
  std::memcpy(&value, &low, sizeof value);
  return value;
}

}  // namespace

void EncodeHeader(const FrameHeader& header, uint8_t (&out)[kFrameHeaderSize]) {
  const auto put = [&](size_t at, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(0, kWireMagic, 4);
  put(4, kWireVersion, 2);
  put(6, static_cast<uint16_t>(header.type), 2);
  put(8, header.callId, 4);
  put(12, header.length, 4);
}

bool DecodeHeader(const uint8_t (&in)[kFrameHeaderSize], FrameHeader& header) {
  const auto get = [&](size_t at, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return value;
  };
  if (get(0, 4) != kWireMagic || get(4, 2) != kWireVersion) return false;
  const uint32_t type = get(6, 2);
  if (type < static_cast<uint32_t>(MessageType::Create) || type > static_cast<uint32_t>(MessageType::Reply)) return false;
  header.type = static_cast<MessageType>(type);
  header.callId = get(8, 4);
  header.length = get(12, 4);
  return header.length <= kMaxPayload;
}

HRESULT ValueFromVariant(const VARIANT& variant, WireValue& value) {
  value = WireValue{};
  value.vt = variant.vt;
  if (!IsValidWireType(variant.vt)) return DISP_E_BADVARTYPE;
  const bool byRef = (variant.vt & VT_BYREF) != 0;
  if (byRef && !variant.byref) return E_POINTER;
  switch (variant.vt & ~VT_BYREF) {
    case VT_EMPTY: case VT_NULL: return S_OK;
    case VT_I1: value.bits = static_cast<uint8_t>(byRef ? *variant.pcVal : variant.cVal); return S_OK;
    case VT_UI1: value.bits = byRef ? *variant.pbVal : variant.bVal; return S_OK;
    case VT_I2: value.bits = static_cast<uint16_t>(byRef ? *variant.piVal : variant.iVal); return S_OK;
    case VT_UI2: value.bits = byRef ? *variant.puiVal : variant.uiVal; return S_OK;
    case VT_BOOL: value.bits = static_cast<uint16_t>(byRef ? *variant.pboolVal : variant.boolVal); return S_OK;
    case VT_I4: value.bits = static_cast<uint32_t>(byRef ? *variant.plVal : variant.lVal); return S_OK;
    case VT_ERROR: value.bits = static_cast<uint32_t>(byRef ? *variant.pscode : variant.scode); return S_OK;
    case VT_UI4: value.bits = byRef ? *variant.pulVal : variant.ulVal; return S_OK;
    case VT_INT: value.bits = static_cast<uint32_t>(byRef ? *variant.pintVal : variant.intVal); return S_OK;
    case VT_UINT: value.bits = byRef ? *variant.puintVal : variant.uintVal; return S_OK;
    case VT_I8: value.bits = static_cast<uint64_t>(byRef ? *variant.pllVal : variant.llVal); return S_OK;
    case VT_UI8: value.bits = byRef ? *variant.pullVal : variant.ullVal; return S_OK;
    case VT_R4: value.bits = BitsOfFloat(byRef ? *variant.pfltVal : variant.fltVal); return S_OK;
    case VT_R8: value.bits = BitsOfDouble(byRef ? *variant.pdblVal : variant.dblVal); return S_OK;
    case VT_DATE: value.bits = BitsOfDouble(byRef ? *variant.pdate : variant.date); return S_OK;
    case VT_BSTR: {
      const BSTR text = byRef ? *variant.pbstrVal : variant.bstrVal;
      value.nullBstr = text == nullptr;
      const auto* bytes = reinterpret_cast<const uint8_t*>(text);
      if (text) value.bytes.assign(bytes, bytes + SysStringByteLen(text));
      return S_OK;
    }
    default: return DISP_E_BADVARTYPE;
  }
}

HRESULT VariantFromValue(const WireValue& value, VARIANT& variant) {
  VariantInit(&variant);
  const VARTYPE base = value.vt & ~VT_BYREF;
  variant.vt = base;
  switch (base) {
    case VT_R4: variant.fltVal = FloatOfBits(value.bits); return S_OK;
    case VT_R8: variant.dblVal = DoubleOfBits(value.bits); return S_OK;
    case VT_DATE: variant.date = DoubleOfBits(value.bits); return S_OK;
    case VT_BSTR:
      if (value.nullBstr) return S_OK;
      variant.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(value.bytes.data()),
                                              static_cast<UINT>(value.bytes.size()));
      if (variant.bstrVal) return S_OK;
      variant.vt = VT_EMPTY;
      return E_OUTOFMEMORY;
    default:
      // Every other carried type is an integer of at most 8 bytes at the union's start.
      variant.ullVal = 0;
      std::memcpy(&variant.llVal, &value.bits, sizeof value.bits);
      return S_OK;
  }
}

HRESULT StoreThroughReference(const WireValue& value, const VARIANT& reference) {
  if (!(reference.vt & VT_BYREF) || !reference.byref) return E_POINTER;
  const VARTYPE base = reference.vt & ~VT_BYREF;
  if ((value.vt & ~VT_BYREF) != base) return DISP_E_TYPEMISMATCH;
  if (base == VT_BSTR) {
    VARIANT fresh;
    const HRESULT hr = VariantFromValue(value, fresh);
    if (FAILED(hr)) return hr;
    SysFreeString(*reference.pbstrVal);
    *reference.pbstrVal = fresh.bstrVal;
    return S_OK;
  }
  VARIANT fresh;
  VariantFromValue(value, fresh);
  size_t size = 0;
  switch (base) {
    case VT_I1: case VT_UI1: size = 1; break;
    case VT_I2: case VT_UI2: case VT_BOOL: size = 2; break;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_ERROR: case VT_R4: size = 4; break;
    default: size = 8; break;
  }
  std::memcpy(reference.byref, &fresh.llVal, size);
  return S_OK;
}

std::vector<uint8_t> Encode(const CreateRequest& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const StatusReply& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const NamesRequest& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const NamesReply& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const InvokeRequest& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const InvokeReply& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const AdviseRequest& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const AdviseReply& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const UnadviseRequest& m) { return EncodeMessage(m); }
std::vector<uint8_t> Encode(const EventMessage& m) { return EncodeMessage(m); }

bool Decode(std::span<const uint8_t> p, CreateRequest& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, StatusReply& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, NamesRequest& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, NamesReply& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, InvokeRequest& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, InvokeReply& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, AdviseRequest& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, AdviseReply& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, UnadviseRequest& m) { return DecodeMessage(p, m); }
bool Decode(std::span<const uint8_t> p, EventMessage& m) { return DecodeMessage(p, m); }

}  // namespace winapi::com
