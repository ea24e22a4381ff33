// Times the folder walk over a large tree and, in the same run, `find` over
// the same tree. Prints rates only; never judges them.
//
//   bench_walk [--cache DIR] [--fanout N] [--levels N] [--runs N]
//
// The tree (fan-out N at each of L levels, one small file in every folder
// above the last level) is built once in the cache folder and reused while
// its shape matches.
#include "BenchSupport.h"
#include "core/FolderWalk.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QTextStream out(stdout);

long long expectedFolders(int fanout, int levels)
{
    long long total = 0, level = 1;
    for (int i = 0; i < levels; ++i) {
        level *= fanout;
        total += level;
    }
    return total;
}

bool buildLevel(const QByteArray &dir, int fanout, int levelsLeft)
{
    if (levelsLeft == 0)
        return true;
    if (levelsLeft > 1) {
        const int fd = ::open((dir + "/file.txt").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    for (int i = 0; i < fanout; ++i) {
        const QByteArray sub = dir + "/f" + QByteArray::number(i);
        if (::mkdir(sub.constData(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "bench_walk: cannot create %s: %s\n", sub.constData(), std::strerror(errno));
            return false;
        }
        if (!buildLevel(sub, fanout, levelsLeft - 1))
            return false;
    }
    return true;
}

// Returns the tree's folder, building it unless a complete one of this shape
// is already there.
QString prepareTree(const QString &cache, int fanout, int levels)
{
    const QString tree = cache + "/tree-" + QString::number(fanout) + "x" + QString::number(levels);
    const QString marker = tree + "/.complete";
    if (QFile::exists(marker)) {
        out << "reusing tree " << tree << Qt::endl;
        return tree;
    }
    out << "building tree " << tree << " ..." << Qt::endl;
    QElapsedTimer t;
    t.start();
    if (!QDir().mkpath(tree) || !buildLevel(QFile::encodeName(tree), fanout, levels))
        return QString();
    QFile m(marker);
    if (!m.open(QIODevice::WriteOnly))
        return QString();
    out << "built in " << t.elapsed() / 1000.0 << " s" << Qt::endl;
    return tree;
}

// Folders below `tree` as counted by find, or -1.
long long runFind(const QString &tree)
{
    const QByteArray cmd = "find '" + QFile::encodeName(tree) + "' -type d | wc -l";
    FILE *p = ::popen(cmd.constData(), "r");
    if (!p)
        return -1;
    long long n = -1;
    if (std::fscanf(p, "%lld", &n) != 1)
        n = -1;
    if (::pclose(p) != 0)
        return -1;
    return n - 1; // find counts the starting folder too
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const BenchCommand command(QStringLiteral("bench_walk"),
                               QStringLiteral("bench_walk [--cache DIR] [--fanout N] [--levels N] [--runs N]"));
    QString cache = qEnvironmentVariable("QB_BENCH_CACHE", QDir::tempPath() + "/quillbarrow-bench-walk");
    int fanout = 10, levels = 5, runs = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--help" || a == "-h")
            command.help();
        else if (a == "--cache" && hasValue)
            cache = args[++i];
        else if (a == "--fanout" && hasValue)
            fanout = command.number(a, args[++i], 1);
        else if (a == "--levels" && hasValue)
            levels = command.number(a, args[++i], 1);
        else if (a == "--runs" && hasValue)
            runs = command.number(a, args[++i], 1);
        else
            command.fail(QStringLiteral("unknown option %1").arg(a));
    }
    const QString tree = prepareTree(cache, fanout, levels);
    if (tree.isEmpty()) {
        std::fprintf(stderr, "bench_walk: could not prepare the tree in %s\n", qPrintable(cache));
        return 1;
    }
    const long long folders = expectedFolders(fanout, levels);
    out << "folders in tree: " << folders << Qt::endl;

    struct Variant {
        const char *name;
        Yield yield;
        std::vector<double> seconds;
        long long count = 0;
    };
    long long calls = 0;
    std::vector<Variant> variants;
    variants.push_back({"walk, no-op yield", [] {}, {}, 0});
    variants.push_back({"walk, counting yield", [&calls] { ++calls; }, {}, 0});
    variants.push_back({"walk, event-loop yield", ProcessPendingEvents, {}, 0});
    std::vector<double> findSeconds;
    long long findCount = 0;

    // Warm the caches once, then alternate so every contender sees the same
    // state of the machine.
    runFind(tree);
    {
        QStringList list;
        CollectSubFolders(tree + "/", list, true, [&calls] { ++calls; });
    }
    const long long yieldsPerWalk = calls;
    for (int r = 0; r < runs; ++r) {
        for (Variant &v : variants) {
            QStringList list;
            QElapsedTimer t;
            t.start();
            CollectSubFolders(tree + "/", list, true, v.yield);
            v.seconds.push_back(t.nsecsElapsed() / 1e9);
            v.count = list.size();
        }
        QElapsedTimer t;
        t.start();
        findCount = runFind(tree);
        findSeconds.push_back(t.nsecsElapsed() / 1e9);
    }

    const double findRate = findCount / median(findSeconds);
    out << Qt::fixed;
    out.setRealNumberPrecision(0);
    out << "find -type d | wc -l: " << findCount << " folders, median "
        << median(findSeconds) * 1000 << " ms, " << findRate << " folders/s" << Qt::endl;
    for (const Variant &v : variants) {
        const double rate = v.count / median(v.seconds);
        out.setRealNumberPrecision(0);
        out << v.name << ": " << v.count << " folders, median " << median(v.seconds) * 1000
            << " ms, best " << *std::min_element(v.seconds.begin(), v.seconds.end()) * 1000 << " ms, "
            << rate << " folders/s";
        out.setRealNumberPrecision(2);
        out << ", " << rate / findRate << "x find" << Qt::endl;
        if (v.count != folders)
            out << "  note: walk found " << v.count << ", tree holds " << folders << Qt::endl;
    }
    out << "yields per walk: " << yieldsPerWalk << Qt::endl;
    return 0;
}
