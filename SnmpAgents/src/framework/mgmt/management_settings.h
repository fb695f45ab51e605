// The five access and forwarding settings that the management service supplies:
// read at each agent start by RunConfigChecks, changed later by its events.
// Process-wide single bytes, read without a lock (atomics keep the reads whole).
#pragma once

#include <windows.h>

#include <atomic>

class CRelayClient;

struct ManagementSettings {
  std::atomic<bool> SetAllowed{false};
  std::atomic<bool> ShutdownIsAllowed{false};
  std::atomic<bool> DoAccountCheck{true};
  std::atomic<BYTE> Trap2EventLog{0};
  std::atomic<BYTE> TrapToAdminAlert{0};

  // The start values: false, false, true, 0, 0.
  void Reset();
};

extern ManagementSettings g_ManagementSettings;

// Object code of a configuration-space value and the settings' code extensions.
inline constexpr DWORD kConfigSpaceCode = 0xE001;
inline constexpr DWORD kSettingsChangedCode = 0xE002;
inline constexpr DWORD kPowerStateCode = 0x1350;
inline constexpr DWORD kCodeTrap2EventLog = 0x3800;
inline constexpr DWORD kCodeTrapToAdminAlert = 0x3801;
inline constexpr DWORD kCodeSetAllowed = 0x3810;
inline constexpr DWORD kCodeShutdownIsAllowed = 0x3811;
inline constexpr DWORD kCodeDoAccountCheck = 0x3812;

// Asks the management service for each setting; a setting whose request fails takes
// its failure value (the start value). Always true.
bool RunConfigChecks(CRelayClient& client, const wchar_t* agentName, ManagementSettings& settings = g_ManagementSettings);
