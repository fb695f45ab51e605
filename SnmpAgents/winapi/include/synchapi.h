// synchapi: to be filled by the layer area that owns it.
#pragma once
#include "windef.h"
