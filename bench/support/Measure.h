#pragma once

// What the benchmarks that run the real window measure with: the process's
// processor time, and time spent in the event loop as the program spends it.

#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>

// Processor time of the whole process so far, every thread's.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](timeval t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the event loop, as the program would, for `ms` milliseconds.
inline void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
