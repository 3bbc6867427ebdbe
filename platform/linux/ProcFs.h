// What /proc tells about processes, threads and the files a process maps,
// in the shape of the snapshot port's entries.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Snapshots.h"

namespace rl::procfs {

// Every process, in the order /proc lists them.
std::vector<ProcessEntry> ReadProcesses();

// Every thread of every process, grouped by process.
std::vector<ThreadEntry> ReadThreads();

// The executable first, then every other mapped file once, in address
// order. Empty when the executable link cannot be read (another user's
// process, a kernel thread, a zombie); nullopt when the process is gone.
std::optional<std::vector<ModuleEntry>> ReadModules(std::uint32_t pid);

// The executable's path as the kernel resolved it; empty when unreadable.
std::string ExecutablePath(std::uint32_t pid);

bool Available();

}  // namespace rl::procfs
