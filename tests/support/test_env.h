// Helpers shared by the test suites (environment variables, scratch folders, data folders): see
// sim_harness.h, which declares them beside the simulator session that uses them.
#pragma once
#include "support/sim_harness.h"
