#include "RunCpu.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#  include <dirent.h>
#  include <sys/syscall.h>
#  include <time.h>
#  include <unistd.h>
#endif

#ifdef __linux__

namespace {

std::atomic<int64_t> g_syncsElsewhere{0}, g_syncsHere{0}, g_syncCount{0};

int64_t clockNs(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One fsync or fdatasync, straight to the kernel (as the C library's own
// does), timed by the thread's CPU clock and counted by where it ran.
int timedSync(long call, int fd)
{
    const int64_t before = clockNs(CLOCK_THREAD_CPUTIME_ID);
    const int result = int(syscall(call, fd));
    const int error = errno;
    const int64_t spent = clockNs(CLOCK_THREAD_CPUTIME_ID) - before;
    (gettid() == getpid() ? g_syncsHere : g_syncsElsewhere).fetch_add(spent, std::memory_order_relaxed);
    g_syncCount.fetch_add(1, std::memory_order_relaxed);
    errno = error;
    return result;
}

// The first line of a small /proc file, without its newline; empty when
// it cannot be read.
std::string firstLine(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "re")) {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, f))
            text = buffer;
        std::fclose(f);
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// A thread's CPU time in ns: schedstat's first field, or utime + stime
// (fields 14 and 15 of stat, after the name in parentheses) in clock ticks.
int64_t threadNs(const std::string &task)
{
    const std::string schedstat = firstLine(task + "/schedstat");
    if (!schedstat.empty())
        return std::strtoll(schedstat.c_str(), nullptr, 10);
    const std::string stat = firstLine(task + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    const char *p = stat.c_str() + close + 1;
    long long ticks = 0;
    for (int field = 3; field <= 15 && *p; ++field) {
        char *next = nullptr;
        while (*p == ' ')
            ++p;
        const long long value = std::strtoll(p, &next, 10);
        if (field >= 14)
            ticks += value;
        while (*next && *next != ' ')
            ++next;
        p = next;
    }
    return ticks * (1000000000 / sysconf(_SC_CLK_TCK));
}

} // namespace

// The engine's (and the program's) calls reach these before the C
// library's: the executable's definitions come first in the lookup.
extern "C" int fsync(int fd) { return timedSync(SYS_fsync, fd); }
extern "C" int fdatasync(int fd) { return timedSync(SYS_fdatasync, fd); }

CpuSnapshot CpuSnapshot::take()
{
    CpuSnapshot s;
    s.process = clockNs(CLOCK_PROCESS_CPUTIME_ID);
    s.calling = clockNs(CLOCK_THREAD_CPUTIME_ID);
    s.syncsElsewhere = g_syncsElsewhere.load();
    s.syncsHere = g_syncsHere.load();
    s.syncCount = g_syncCount.load();
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks)
        return s;
    const long self = gettid();
    while (const dirent *e = readdir(tasks)) {
        const long tid = std::strtol(e->d_name, nullptr, 10);
        if (tid <= 0 || tid == self)
            continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        const int64_t ns = threadNs(task);
        if (ns >= 0) // else it ended meanwhile, and counts as ended
            s.others[tid] = {firstLine(task + "/comm"), ns};
    }
    closedir(tasks);
    s.known = true;
    return s;
}

#else

CpuSnapshot CpuSnapshot::take() { return {}; }

#endif

RunCpu RunCpu::between(const CpuSnapshot &start, const CpuSnapshot &end)
{
    RunCpu r;
    r.known = start.known && end.known;
    if (!r.known)
        return r;
    constexpr double kSecond = 1e9;
    r.total = double(end.process - start.process) / kSecond;
    r.calling = double(end.calling - start.calling) / kSecond;
    r.callingSyncs = double(end.syncsHere - start.syncsHere) / kSecond;
    r.syncs = double(end.syncsElsewhere - start.syncsElsewhere) / kSecond;
    r.syncCount = end.syncCount - start.syncCount;
    double engine = 0;
    for (const auto &[tid, thread] : end.others) {
        const auto before = start.others.find(tid);
        const double spent =
            double(thread.ns - (before == start.others.end() ? 0 : before->second.ns)) / kSecond;
        const bool ours = thread.name.rfind("zip32", 0) == 0;
        (ours ? engine : r.other) += spent;
        ++(ours ? r.engineThreads : r.otherThreads);
    }
    r.ended = std::max(0.0, r.total - r.calling - engine - r.other);
    r.workers = std::max(0.0, engine + r.ended - r.syncs);
    return r;
}

QString RunCpu::line() const
{
    if (!known)
        return QStringLiteral("bench_batch cpu: unknown (read from /proc on Linux only)");
    const auto s = [](double v) { return QString::number(v, 'f', 4); };
    return QStringLiteral(
               "bench_batch cpu: total=%1 calling=%2 calling_syncs=%3 syncs=%4 workers=%5 ended=%6 "
               "other=%7 fsyncs=%8 engine_threads=%9 other_threads=%10 "
               "(seconds of CPU from the first folder on; see bench/RunCpu.h)")
        .arg(s(total), s(calling), s(callingSyncs), s(syncs), s(workers), s(ended), s(other))
        .arg(syncCount)
        .arg(engineThreads)
        .arg(otherThreads);
}
