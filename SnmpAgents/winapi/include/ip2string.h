// IPv6 text conversions of ntdll, in Windows' text forms: lowercase hex, the longest run
// of two or more zero groups as "::", and dotted IPv4 for ::ffff:a.b.c.d and ::a.b.c.d.
#pragma once
#include "windef.h"
#include "in6addr.h"

#define INET6_ADDRSTRLEN 65

#ifdef UNICODE
#define RtlIpv6StringToAddress RtlIpv6StringToAddressW
#define RtlIpv6AddressToString RtlIpv6AddressToStringW
#endif

WINAPI_BEGIN_DECLS
// STATUS_SUCCESS or STATUS_INVALID_PARAMETER; *Terminator is set to the first character
// after the address (on failure: where parsing stopped).
NTSYSAPI NTSTATUS NTAPI RtlIpv6StringToAddressW(PCWSTR S, PCWSTR* Terminator, struct in6_addr* Addr);
// Writes the text (at most 46 characters with the terminator) and returns its end.
NTSYSAPI PWSTR NTAPI RtlIpv6AddressToStringW(const struct in6_addr* Addr, PWSTR S);
WINAPI_END_DECLS
