// Arbitrary requests against a serving test agent: any PDU type, OIDs of any length and
// sub-identifier, values of any type and length, as GET, GETNEXT or SET. Also feeds the
// bytes to the OID parser as text. Nothing may crash, leak or corrupt the tree.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "request_builder.h"
#include "snmp_agent.h"
#include "test_agent.h"

namespace {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_offset >= m_size; }
  uint8_t Byte() { return Empty() ? 0 : m_data[m_offset++]; }
  UINT Word() {
    UINT value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return value;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_offset = 0;
};

// Started once and kept for the whole run, as the SNMP service keeps its agents; stopped
// and deleted at exit, since leak checkers cannot follow the misaligned pointers of the
// 4-byte-packed snmp.h structures into a tree that is still alive.
class ServingTestAgent {
 public:
  ServingTestAgent() {
    HANDLE trapEvent = nullptr;
    m_agent.SnmpInit(0, &trapEvent, nullptr);
    m_agent.WaitUntilServing(10000);
  }
  ~ServingTestAgent() { m_agent.StopAgent(); }
  fw::testing::CTestAgent& Agent() { return m_agent; }

 private:
  fw::testing::CTestAgent m_agent;
};

fw::testing::CTestAgent& ServingAgent() {
  static ServingTestAgent serving;
  return serving.Agent();
}

// Region-relative OIDs most of the time, so that lookups reach real objects.
void AddVarBind(fw::testing::RequestList& request, ByteReader& input) {
  const uint8_t shape = input.Byte();
  std::vector<UINT> ids;
  if (shape & 1) ids = {1, 3, 6, 1, 4, 1, 884, 2, 10, 2, 9, 1};
  const size_t extra = input.Byte() % 160;
  for (size_t i = 0; i < extra && !input.Empty(); ++i) ids.push_back(shape & 2 ? input.Word() : input.Byte() % 40);
  SnmpVarBind& varbind = request.Add(ids);
  const BYTE type = input.Byte();
  const UINT length = input.Byte() * (shape & 4 ? 16u : 1u);
  std::string bytes;
  for (UINT i = 0; i < length && !input.Empty(); ++i) bytes.push_back(static_cast<char>(input.Byte()));
  switch (type % 4) {
    case 0: SetValueNumber(&varbind, input.Word(), type); break;
    case 1:
      SetValueBytes(&varbind, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()),
                    ASN_OCTETSTRING);
      break;
    case 2: {
      static const BYTE kOctetTypes[] = {ASN_OCTETSTRING, ASN_IPADDRESS, ASN_OPAQUE};
      SetValueBytes(&varbind, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()),
                    kOctetTypes[type % 3]);
      break;
    }
    default: varbind.value.asnType = type;  // a type with no data behind it
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text(data, data + size);
  AsnObjectIdentifier parsed{};
  TextToOid(text.c_str(), &parsed);
  std::wstring printed;
  OidToText(printed, &parsed);
  SnmpUtilOidFree(&parsed);

  ByteReader input(data, size);
  static const BYTE kTypes[] = {SNMP_PDU_GET, SNMP_PDU_GETNEXT, SNMP_PDU_SET};
  const uint8_t selector = input.Byte();
  const BYTE requestType = selector < 240 ? kTypes[selector % 3] : selector;
  fw::testing::RequestList request;
  const size_t count = input.Byte() % 64;
  for (size_t i = 0; i < count && !input.Empty(); ++i) AddVarBind(request, input);
  AsnInteger32 status = 0, index = 0;
  ServingAgent().SnmpQuery(requestType, &request.list, &status, &index);
  if (requestType == SNMP_PDU_SET && status == 0) {
    // A successful SET may have changed the test objects: put them back for the next input.
    fw::testing::CTestAgent::RegisterObjects(ServingAgent().GetMibTree());
  }
  // Values of unknown types carry no data here; snmpapi frees nothing for them anyway.
  for (UINT i = 0; i < request.list.len; ++i) {
    BYTE& type = request[i].value.asnType;
    const bool known = type == ASN_OCTETSTRING || type == ASN_IPADDRESS || type == ASN_OPAQUE || type == ASN_BITS ||
                       type == ASN_OBJECTIDENTIFIER || type == ASN_SEQUENCE;
    if (!known) type = ASN_NULL;
  }
  return 0;
}
