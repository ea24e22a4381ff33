// Archives a list of folders, one archive per folder, the way "Start Zipping"
// does, so bench/run can time the whole batch against other archivers.
//
//   bench_batch --out DIR [--threads N] (--list FILE | FOLDER...)
//
// Without --threads the folders go through one BatchRun, as the window's
// "Start Zipping" runs them. With --threads the same names are handed to the engine
// directly with that worker count, which the window never sets; bench/run uses
// this to compare the archives written with different worker counts.
//
// Prints one summary line, and one of where the run's CPU time went, by
// thread (RunCpu.h; read by bench/run for the serial share); a folder whose
// archive failed or came out incomplete is named on stderr with the engine's
// messages, and the exit code is then 1. Never judges the time taken.
#include "BenchSupport.h"
#include "RunCpu.h"
#include "core/BatchRun.h"
#include "core/FolderArchiver.h"
#include "core/PathHelpers.h"
#include "core/FolderWalk.h"
#include "zip32.h"
#include "core/ZipNameList.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <vector>

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

// The engine's messages of a direct call.
QByteArray g_messages;

int32_t ZIP32_CALL collectMessage(const char *buffer, uint32_t length)
{
    if (buffer && length > 0)
        g_messages.append(buffer, qsizetype(qstrnlen(buffer, length)));
    return 0;
}

// The names and the root directory the folder archiver hands to the engine
// for one folder.
struct EngineRequest {
    QStringList names;
    QString root;
};

EngineRequest requestFor(const QString &folder)
{
    ZipNameList zip;
    zip.setRootDirectory(ParentFolderOf(folder)); // as the folder archiver stores names
    zip.AddFile(folder + kNativeSeparator + QStringLiteral("*.*"));
    QStringList subFolders;
    CollectSubFolders(folder + kNativeSeparator, subFolders, true, [] {});
    for (const QString &sub : subFolders)
        zip.AddFile(sub + QStringLiteral("*.*"));
    return {zip.names(), zip.RootDirectory()};
}

// One archive through the engine's C interface with a chosen worker count and
// otherwise the settings the folder archiver uses.
int32_t archiveWithWorkers(const QString &archive, const EngineRequest &request, int threads)
{
    ZipEngineCallbacks callbacks{};
    callbacks.print = collectMessage;
    ZipEngineOptions options{};
    options.threads = threads;
    const QByteArray root = QFile::encodeName(request.root);
    options.rootDir = root.constData();

    std::vector<QByteArray> encoded;
    std::vector<const char *> list;
    encoded.reserve(size_t(request.names.size()));
    for (const QString &name : request.names) {
        encoded.push_back(QFile::encodeName(name));
        list.push_back(encoded.back().constData());
    }
    list.push_back(nullptr);
    const QByteArray archiveName = QFile::encodeName(archive);

    g_messages.clear();
    int32_t result = ZpInit(&callbacks);
    if (result != ZP_OK)
        return result;
    result = ZpSetOptions(&options);
    if (result != ZP_OK)
        return result;
    return ZpArchive(int32_t(list.size() - 1), archiveName.constData(), list.data());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const BenchCommand command(QStringLiteral("bench_batch"),
                               QStringLiteral("bench_batch --out DIR [--threads N] (--list FILE | FOLDER...)"));
    int threads = -1;
    const BatchArguments args =
        readBatchArguments(command, app.arguments().mid(1), [&](const QString &option, QStringList &rest) {
            if (option != QLatin1String("--threads") || rest.isEmpty())
                return false;
            threads = command.number(option, rest.takeFirst(), 0);
            return true;
        });
    const QString &outputFolder = args.outputFolder;
    const QStringList &folders = args.folders;

    QElapsedTimer clock;
    clock.start();
    // The program's start-up left out; taken again at the end while every
    // thread of the run is still there (the walk-ahead ends with the BatchRun).
    const CpuSnapshot cpuAtStart = CpuSnapshot::take();
    CpuSnapshot cpuAtEnd;
    int failures = 0;
    if (threads < 0) {
        // One run: folders of the same name keep archives of their own.
        QString messages;
        BatchRunHooks hooks;
        hooks.yield = ProcessPendingEvents;
        hooks.reportFolderError = [&](const QString &, int line, const QString &text) {
            ++failures;
            err << "a folder's step failed, line " << line << ": " << text << "\n";
        };
        hooks.showEngineMessages = [&](const QString &said) { messages = said; };
        BatchRun run(folders, outputFolder, hooks);
        QObject::connect(&run, &BatchRun::folderFinished, [&](int number, const QString &, qint32 result) {
            if (result == 0)
                return;
            ++failures;
            err << folders.at(number - 1) << ": engine result " << result << "\n";
            if (!messages.isEmpty())
                err << "  " << QString(messages).replace(QLatin1Char('\n'), QStringLiteral("\n  ")) << "\n";
            messages.clear();
        });
        ErrorTrap trap(QStringLiteral("bench_batch "), [&](const QString &, int line, const QString &text) {
            ++failures;
            err << "line " << line << ": " << text << "\n";
        });
        run.run(trap);
        cpuAtEnd = CpuSnapshot::take();
    } else {
        for (const QString &folder : folders) {
            const QString archive = ArchiveNameFor(outputFolder, folder);
            QFile::remove(archive);
            const int32_t result = archiveWithWorkers(archive, requestFor(folder), threads);
            if (result != ZP_OK) {
                ++failures;
                err << folder << ": engine result " << result << " with " << threads << " workers\n  "
                    << QString::fromUtf8(g_messages).replace(QLatin1Char('\n'), QStringLiteral("\n  "))
                    << "\n";
            }
        }
        cpuAtEnd = CpuSnapshot::take();
    }
    out << "bench_batch: " << folders.size() << " folders, " << failures << " failed, "
        << QString::number(double(clock.nsecsElapsed()) / 1e9, 'f', 3) << " s\n";
    out << RunCpu::between(cpuAtStart, cpuAtEnd).line() << "\n";
    return failures == 0 ? 0 : 1;
}
