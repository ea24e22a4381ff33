// The floor under a corpus: how long libdeflate alone takes to compress it,
// at the engine's level and on every core, with nothing else to do. Files
// are read into memory first and only the compression is timed; files above
// the engine's whole-file limit are cut into its pieces, as the engine does.
//
//   bench_floor [--threads N] [--level L] (--list FILE | FOLDER...)
//
// Hidden files and folders are left out, as the engine leaves them out.
// Prints one line: files, bytes in and out, the wall time and the CPU time of
// the compression. Never judges the time taken.
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QTextStream>

#include <libdeflate.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

// The engine's whole-file limit and piece size (zip32/src/compress/Pieces.h).
constexpr qsizetype kWholeMax = 8 << 20;
constexpr qsizetype kChunk = 2 << 20;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Piece {
    const char *data;
    size_t length;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const BenchCommand command(QStringLiteral("bench_floor"),
                               QStringLiteral("bench_floor [--threads N] [--level L] (--list FILE | FOLDER...)"));
    int threads = int(std::thread::hardware_concurrency());
    int level = 6;
    QStringList folders;
    QStringList args = app.arguments().mid(1);
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--help"))
            command.help();
        if ((a == QLatin1String("--threads") || a == QLatin1String("--level") || a == QLatin1String("--list"))
            && args.isEmpty())
            command.fail(a + QStringLiteral(" needs a value"));
        if (a == QLatin1String("--threads")) {
            threads = command.number(a, args.takeFirst(), 1);
        } else if (a == QLatin1String("--level")) {
            level = command.number(a, args.takeFirst(), 1);
        } else if (a == QLatin1String("--list")) {
            QString error;
            if (!readFolderList(args.takeFirst(), folders, error))
                command.fail(error);
        } else if (a.startsWith(QLatin1String("--"))) {
            command.fail(QStringLiteral("unknown option ") + a);
        } else {
            folders << a;
        }
    }
    if (folders.isEmpty())
        command.fail(QStringLiteral("no folders"));
    threads = std::max(1, threads);

    std::vector<QByteArray> files;
    std::vector<Piece> pieces;
    qint64 bytesIn = 0;
    for (const QString &folder : folders) {
        QDirIterator it(folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (!f.open(QIODevice::ReadOnly))
                continue;
            files.push_back(f.readAll());
        }
    }
    for (const QByteArray &data : files) {
        bytesIn += data.size();
        const qsizetype step = data.size() > kWholeMax ? kChunk : std::max<qsizetype>(data.size(), 1);
        for (qsizetype off = 0; off < data.size(); off += step)
            pieces.push_back({data.constData() + off, size_t(std::min(step, data.size() - off))});
    }

    std::atomic<size_t> next{0};
    std::atomic<qint64> bytesOut{0};
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            libdeflate_compressor *c = libdeflate_alloc_compressor(level);
            std::vector<unsigned char> out;
            qint64 packed = 0;
            for (size_t i; (i = next.fetch_add(1)) < pieces.size();) {
                const Piece &p = pieces[i];
                out.resize(libdeflate_deflate_compress_bound(c, p.length));
                const size_t n = libdeflate_deflate_compress(c, p.data, p.length, out.data(), out.size());
                packed += qint64(n && n < p.length ? n : p.length);
            }
            bytesOut += packed;
            libdeflate_free_compressor(c);
        });
    }
    for (auto &w : workers)
        w.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuBefore;

    QTextStream(stdout) << "bench_floor: " << files.size() << " files, " << bytesIn << " bytes in, "
                        << bytesOut.load() << " bytes out, level " << level << ", " << threads << " threads, "
                        << QString::number(wall, 'f', 3) << " s wall, " << QString::number(cpu, 'f', 3)
                        << " s CPU\n";
    return 0;
}
