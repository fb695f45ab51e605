// COM (objbase.h): the base functions live in combaseapi.h.
#pragma once
#include "combaseapi.h"
#include "oaidl.h"
