// The management client the agent embeds: applies the service's settings changes and
// power-state events, then hands every event on to the agent.
#pragma once

#include "management_settings.h"
#include "relay_client.h"

// What the client needs of the agent that embeds it.
class ITarnEventTarget {
 public:
  virtual ~ITarnEventTarget() = default;
  virtual const wchar_t* GetAgentName() = 0;
  // Restarts the agent after the delay, when its main thread runs.
  virtual void RestartAgent(DWORD delayMs) = 0;
  virtual void OnTarnEvent(Tarn& event) = 0;
};

class CTarnClient : public CRelayClient {
 public:
  explicit CTarnClient(ITarnEventTarget& agent, ManagementSettings& settings = g_ManagementSettings);
  ~CTarnClient() override;

  void Reply(Tarn& event) override;

  static constexpr DWORD kRestartDelayMs = 60000;

 private:
  void ApplyPowerState(const Tarn& event);
  void ApplySetting(const Tarn& event);

  ITarnEventTarget& m_agent;
  ManagementSettings& m_settings;
};
