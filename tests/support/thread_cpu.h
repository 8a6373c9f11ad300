// CPU time spent by this process, and by the threads of it whose names start
// with a given prefix (the driver names its threads usbserial-*), for the
// checks and benchmarks that an idle line costs next to nothing.
#ifndef TARNCTL_TESTS_THREAD_CPU_H
#define TARNCTL_TESTS_THREAD_CPU_H

#include <sys/resource.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

// User and system CPU of the whole process, in nanoseconds.
inline uint64_t processCpuNs()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const auto us = [](const timeval &tv) {
        return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    };
    return (us(ru.ru_utime) + us(ru.ru_stime)) * 1000u;
}

// CPU of the live threads named prefix*, in nanoseconds, from the
// scheduler's own account (/proc/self/task/*/schedstat).
inline uint64_t threadsCpuNs(const std::string &prefix)
{
    uint64_t total = 0;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::string comm;
        std::ifstream(task.path() / "comm") >> comm;
        if (comm.rfind(prefix, 0) != 0)
            continue;
        uint64_t ns = 0;
        std::ifstream(task.path() / "schedstat") >> ns;
        total += ns;
    }
    return total;
}

#endif
