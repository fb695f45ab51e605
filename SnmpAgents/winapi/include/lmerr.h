// LAN Manager status codes (netapi32).
#pragma once

#define NERR_Success 0
#define NERR_BASE 2100
#define NERR_BufTooSmall (NERR_BASE + 23)
