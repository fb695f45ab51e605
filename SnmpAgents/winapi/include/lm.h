// The LAN Manager API subset the system calls (netapi32).
#pragma once
#include "lmcons.h"
#include "lmerr.h"
#include "lmapibuf.h"
#include "lmalert.h"
