#pragma once
// What every benchmark program measures with: a monotonic clock and the process's
// memory counters.

#include <windows.h>
#include <psapi.h>

namespace qv::bench {

// Seconds on the performance counter; only differences mean anything.
inline double Seconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The process's memory counters (working set and its peak); zeroed on failure.
inline PROCESS_MEMORY_COUNTERS ProcessMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        counters = {};
    }
    return counters;
}

}  // namespace qv::bench
