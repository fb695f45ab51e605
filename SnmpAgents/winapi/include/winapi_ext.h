// Extensions of the Linux layer that Windows does not have: registry transactions for
// the winreg tool, a fault hook and an integrity check for tests, and where the
// service stand-ins publish their process ids. Never used by the system's own code.
//
// Environment:
//   WINAPI_REGISTRY          the registry database file (default <state>/registry.db)
//   WINAPI_BOOT_ID           overrides /proc/sys/kernel/random/boot_id, the tag of
//                            volatile keys (tests simulate a reboot with it)
//   WINAPI_REGISTRY_FAIL_AT  N: the Nth registry store statement of the process fails
//   WINAPI_EVENTLOG          the event journal file (default <state>/eventlog.jsonl)
//
// The current user's hive is \REGISTRY\USER\<sid>: S-1-5-18 for root, otherwise
// S-1-5-21-0-0-0-<uid>.
#pragma once
#include "windef.h"
#include "winreg.h"

WINAPI_BEGIN_DECLS

// Opens a registry transaction for the calling thread: every registry call of the
// thread until Commit or Rollback is part of it, and other threads of the process wait.
// ERROR_INVALID_STATE when one is already open.
WINAPI_EXPORT LSTATUS WINAPI WinapiRegBeginTransaction(void);
WINAPI_EXPORT LSTATUS WINAPI WinapiRegCommitTransaction(void);
WINAPI_EXPORT LSTATUS WINAPI WinapiRegRollbackTransaction(void);

// The Nth registry store statement from now fails as an I/O error
// (ERROR_REGISTRY_IO_FAILED from the call that runs it); 0 turns the hook off.
WINAPI_EXPORT void WINAPI WinapiRegFailAfter(LONG calls);

// Checks the database and the tree rules (parents exist, nothing non-volatile below a
// volatile key). ERROR_SUCCESS, or ERROR_REGISTRY_CORRUPT with a description of up to
// cchProblems characters in lpProblems (may be NULL).
WINAPI_EXPORT LSTATUS WINAPI WinapiRegCheckIntegrity(LPWSTR lpProblems, DWORD cchProblems);

// Host path of the pid file of a service: <state dir>/run/<name>.pid, holding one
// decimal process id while the service runs. Returns the length in characters without
// the terminator; when cchPath is too small, the needed size with terminator (nothing copied).
WINAPI_EXPORT DWORD WINAPI WinapiServicePidFile(LPCWSTR lpServiceName, LPWSTR lpPath, DWORD cchPath);

// The Nth Cluster API request of the process from now fails as if the cluster service
// had been lost (the connection breaks, RPC_S_SERVER_UNAVAILABLE); 0 turns the hook off.
// The stand-in's socket is WINAPI_CLUSTER_SOCKET (default <state dir>/run/clussvc.sock),
// a call waits WINAPI_CLUSTER_TIMEOUT_MS (default 30000, read when a connection is made)
// for its answer.
WINAPI_EXPORT void WINAPI WinapiClusterFailAfter(LONG calls);

// Cluster API round trips of the process so far: each request sent to the cluster
// service and answered (or lost) counts one, whatever the call that made it. Benchmarks
// report calls per object with it: the floor of a walk is its round trips times the time
// of one. OpenCluster costs one (the greeting) on a new connection and none when it
// reuses an idle one; closing a handle costs none.
WINAPI_EXPORT ULONGLONG WINAPI WinapiClusterRoundTrips(void);

// Host path of the event journal, where ReportEventW and NetAlertRaiseEx record: one JSON
// object a line ("time", "pid", "kind": "event" or "alert", then the record's fields).
// WINAPI_EVENTLOG, else <state dir>/eventlog.jsonl. Sizes as WinapiServicePidFile.
WINAPI_EXPORT DWORD WINAPI WinapiEventJournalFile(LPWSTR lpPath, DWORD cchPath);

WINAPI_END_DECLS
