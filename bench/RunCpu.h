#pragma once
// Where a run's CPU time went, by thread, for bench_batch: how much of it
// the threads that do not scale with the number of workers took.
//
// The threads of a run (Linux; elsewhere nothing is measured):
// - the calling thread, which drives the run, lists the names and, as the
//   engine's writer, writes every archive (Pipeline.h: the workers hand
//   their results back to it) and makes its rename last (an fsync of the
//   folder);
// - the engine's threads, named "zip32-pool" where they start: they run the
//   workers, and the fsync of each archive before its rename (Output.cpp),
//   the writer's last step, which the calling thread waits for;
// - any other thread of the program: in a BatchRun the walk of the next
//   folder (WalkAhead), one thread for the whole run.
//
// Each live thread's CPU time is read from /proc/self/task/TID/schedstat
// (nanoseconds on the CPU; /proc/self/task/TID/stat, utime + stime in clock
// ticks, where that is missing) and its name from .../comm. A thread that
// ended before the end of the run (an engine thread ends after 3 s without
// work) is no longer there: its CPU time is the process's
// (CLOCK_PROCESS_CPUTIME_ID, which keeps that of ended threads) less the
// live threads'. Engine threads are the only ones that end during a run, so
// that part counts as theirs.
//
// The engine's threads do two things, so their CPU time alone cannot tell
// the workers from the archives' syncs: the fsync and fdatasync calls are
// timed where they are made, by the thread's own CPU clock, through
// definitions in this program that the engine's calls into the C library
// reach first (RunCpu.cpp).
#include <QString>

#include <cstdint>
#include <map>
#include <string>

struct CpuSnapshot {
    int64_t process = 0; // ns, ended threads included
    int64_t calling = 0; // ns, the thread that takes the snapshot
    struct Thread {
        std::string name;
        int64_t ns = 0;
    };
    std::map<long, Thread> others; // by thread id
    int64_t syncsElsewhere = 0, syncsHere = 0; // ns in fsync off and on the calling thread
    int64_t syncCount = 0;
    bool known = false;

    static CpuSnapshot take(); // from the thread that calls the engine
};

// What the run from `start` to `end` took, in seconds of CPU.
struct RunCpu {
    double total = 0;
    double calling = 0; // of which in fsync: callingSyncs
    double callingSyncs = 0;
    double syncs = 0; // fsync on the engine's threads
    double workers = 0; // the engine's threads less their syncs
    double ended = 0; // threads gone by the end (counted in workers)
    double other = 0; // the program's other threads
    int64_t syncCount = 0;
    int engineThreads = 0, otherThreads = 0;
    bool known = false;

    static RunCpu between(const CpuSnapshot &start, const CpuSnapshot &end);
    // One line bench/run reads: "bench_batch cpu: total=... calling=... ...".
    QString line() const;
};
