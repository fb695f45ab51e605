// The factory of the test agent's plugin module.
#include "test_agent.h"

#include <new>

CSnmpAgent* CreateAgentInstance() { return new (std::nothrow) fw::testing::CTestAgent(); }
