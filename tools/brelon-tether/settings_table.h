// brelon-tether: the `settings` command. Every field of the settings record and the 29
// shortcuts by name, read with ReadProperty and written with WriteProperty.
#pragma once

#include <string>
#include <vector>

#include "plugin.h"

namespace tether {

// Runs `list`, `get NAME` or `set NAME VALUE`; returns the process exit code.
int RunSettings(PropertyFn read, PropertyFn write, const std::vector<std::string>& args);

}  // namespace tether
