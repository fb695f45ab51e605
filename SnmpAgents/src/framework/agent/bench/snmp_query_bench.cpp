// SnmpQuery cost per varbind on trees of constant objects: GET and GETNEXT of one
// varbind, and a full GETNEXT walk, at 1,000, 10,000 and 100,000 objects.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "request_builder.h"
#include "snmp_agent.h"
#include "test_agent.h"

namespace {

using fw::testing::kTestRegion;
using fw::testing::RequestList;

constexpr DWORD kColumns = 4;

// A table of kColumns columns and count / kColumns rows, as the cluster MIB builds it.
class CBenchAgent : public CSnmpAgent {
 public:
  explicit CBenchAgent(DWORD count) : m_count(count) { AddMibRegion(kTestRegion, nullptr); }
  bool InitializeMib() override {
    const DWORD rows = m_count / kColumns;
    for (DWORD column = 1; column <= kColumns; ++column) {
      const std::wstring oid = std::wstring(kTestRegion) + L".10.1." + std::to_wstring(column) + L".0";
      for (DWORD row = 1; row <= rows; ++row) {
        m_MibTree.AddConstTableEntry(oid.c_str(), L"benchCell", row * column, ASN_INTEGER, row);
      }
    }
    return true;
  }

 private:
  DWORD m_count;
};

struct ServingBenchAgent {
  explicit ServingBenchAgent(DWORD count) : agent(count) {
    HANDLE trapEvent = nullptr;
    agent.SnmpInit(0, &trapEvent, nullptr);
    while (!agent.AreRequestsEnabled()) Sleep(1);
  }
  ~ServingBenchAgent() { agent.StopAgent(); }
  CBenchAgent agent;
};

// Existing cell OIDs in random order.
std::vector<std::wstring> RandomCells(DWORD count, size_t how_many) {
  std::mt19937 random(42);
  std::uniform_int_distribution<DWORD> row(1, count / kColumns), column(1, kColumns);
  std::vector<std::wstring> oids;
  for (size_t i = 0; i < how_many; ++i) {
    oids.push_back(std::wstring(kTestRegion).substr(1) + L".10.1." + std::to_wstring(column(random)) + L"." +
                   std::to_wstring(row(random)));
  }
  return oids;
}

void BM_Get(benchmark::State& state) {
  const DWORD count = static_cast<DWORD>(state.range(0));
  ServingBenchAgent serving(count);
  std::vector<std::unique_ptr<RequestList>> requests;
  for (const std::wstring& oid : RandomCells(count, 1024)) requests.push_back(std::make_unique<RequestList>(std::initializer_list<std::wstring>{oid}));
  size_t next = 0;
  AsnInteger32 status = 0, index = 0;
  for (auto _ : state) {
    RequestList& request = *requests[next++ & 1023];
    serving.agent.SnmpQuery(SNMP_PDU_GET, &request.list, &status, &index);
    if (status) state.SkipWithError("GET failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GetNext(benchmark::State& state) {
  const DWORD count = static_cast<DWORD>(state.range(0));
  ServingBenchAgent serving(count);
  std::vector<AsnObjectIdentifier> starts;
  for (const std::wstring& oid : RandomCells(count, 1024)) {
    starts.emplace_back();
    TextToOid(oid.c_str(), &starts.back());
  }
  RequestList request;
  request.Add(std::vector<UINT>{});
  size_t next = 0;
  AsnInteger32 status = 0, index = 0;
  for (auto _ : state) {
    // The service sends a fresh OID with every request; so does the benchmark.
    SnmpUtilOidFree(&request[0].name);
    SnmpUtilOidCpy(&request[0].name, &starts[next++ & 1023]);
    serving.agent.SnmpQuery(SNMP_PDU_GETNEXT, &request.list, &status, &index);
    if (status) state.SkipWithError("GETNEXT failed");
  }
  for (AsnObjectIdentifier& oid : starts) SnmpUtilOidFree(&oid);
  state.SetItemsProcessed(state.iterations());
}

void BM_Walk(benchmark::State& state) {
  const DWORD count = static_cast<DWORD>(state.range(0));
  ServingBenchAgent serving(count);
  AsnObjectIdentifier root{};
  TextToOid(kTestRegion, &root);
  int64_t steps = 0;
  AsnInteger32 status = 0, index = 0;
  for (auto _ : state) {
    RequestList request;
    request.Add(std::vector<UINT>(root.ids, root.ids + root.idLength));
    for (;;) {
      serving.agent.SnmpQuery(SNMP_PDU_GETNEXT, &request.list, &status, &index);
      ++steps;
      if (SnmpUtilOidNCmp(&request[0].name, &root, root.idLength) != 0) break;
    }
  }
  SnmpUtilOidFree(&root);
  state.SetItemsProcessed(steps);
  state.counters["objects"] = count;
}

BENCHMARK(BM_Get)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_GetNext)->Arg(1000)->Arg(10000)->Arg(100000);
BENCHMARK(BM_Walk)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
