#pragma once

#include <string>

// Creates a new, empty directory named base + prefix + a random suffix and
// returns its path, or "" when none could be made. Test processes run side by
// side (ctest -j), each with its own counters and clocks, so a name built from
// those alone can collide; creating the directory is what claims the name.
std::string CreateUniqueDirectory(const std::string& base, const char* prefix);
