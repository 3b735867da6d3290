// What the benchmarks share: a scratch folder on the build's disk, plug-in
// names, configuration files for a host, and an allocation counter.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace bench {

// A folder for the benchmarks' files, emptied at start.
std::filesystem::path scratchDir();

std::string plugin(const char* name);

// Writes <name>.cfg beside the executable: `protocols` protocols of
// `databases` quiet test databases each, a quiet test control plug-in.
void writeHostConfig(const std::string& name, int protocols, int databases);

// Every operator new of the process, counted.
extern std::atomic<long long> allocations;

}  // namespace bench
