// One extension agent, driven through its exports as the Windows SNMP service drives
// it: init with the uptime reference, further regions until InitEx returns FALSE,
// queries, traps while the trap event is signalled, close once. Everything the agent
// hands back is copied and freed with the snmpapi allocator at once.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "host_types.h"

namespace host {

class LoadedAgent {
 public:
  // Loads the module and finds its exports; null with the reason in `error`.
  // SnmpExtensionInit and SnmpExtensionQuery are required, the others optional.
  static std::unique_ptr<LoadedAgent> Load(const std::string& path, std::string& error);
  ~LoadedAgent();
  LoadedAgent(const LoadedAgent&) = delete;
  LoadedAgent& operator=(const LoadedAgent&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& Name() const { return name_; }

  // SnmpExtensionInit, then SnmpExtensionInitEx until FALSE.
  bool Initialize(uint32_t uptimeReference, std::string& error);
  const std::vector<Oid>& Regions() const { return regions_; }

  QueryResult Query(uint8_t pduType, const std::vector<VarBind>& request);

  // The trap event handed out by SnmpExtensionInit (null when the agent has none).
  void* TrapEvent() const { return trapEvent_; }
  bool HasTraps() const { return trap_ != nullptr && trapEvent_ != nullptr; }
  // One SnmpExtensionTrap call: false when the agent has no more traps.
  bool NextTrap(Trap& trap);

  // SnmpExtensionClose, once.
  void Close();

 private:
  LoadedAgent() = default;
  struct Exports;

  std::string path_;
  std::string name_;
  void* module_ = nullptr;
  std::unique_ptr<Exports> exports_;
  void* trapEvent_ = nullptr;
  void* trap_ = nullptr;
  std::vector<Oid> regions_;
  bool closed_ = false;
};

}  // namespace host
