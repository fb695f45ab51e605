// The Windows layout of an IPv6 address (in6addr.h). Layer sources must not mix this
// header with <netinet/in.h>, whose struct in6_addr has other member names.
#pragma once
#include "windef.h"

typedef struct in6_addr {
  union {
    UCHAR Byte[16];
    USHORT Word[8];  // network byte order
  } u;
} IN6_ADDR, *PIN6_ADDR, *LPIN6_ADDR;

#define in_addr6 in6_addr
#define s6_bytes u.Byte
#define s6_words u.Word
