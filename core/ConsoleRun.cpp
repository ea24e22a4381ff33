#include "core/ConsoleRun.h"

#include "core/BatchRun.h"
#include "core/CommandLine.h"
#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "core/Platform.h"
#include "zip32.h"

#include <QElapsedTimer>

#include <csignal>
#include <cstdio>
#include <iterator>

namespace {

volatile std::sig_atomic_t g_interruptedBy = 0;

extern "C" void noteInterrupt(int signal) { g_interruptedBy = signal; }

// The signals that end a run from outside: Ctrl+C, a polite kill, and the
// terminal going away.
#ifdef SIGHUP
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM};
#endif

// Catches the stop signals for the life of the run, so an interrupted run
// gives up its unfinished archive, keeps the earlier one and says so,
// instead of dying half-way.
class InterruptCatcher {
public:
    InterruptCatcher()
    {
        g_interruptedBy = 0;
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            m_previous[i] = std::signal(kStopSignals[i], noteInterrupt);
    }
    ~InterruptCatcher()
    {
        for (std::size_t i = 0; i < std::size(kStopSignals); ++i)
            std::signal(kStopSignals[i], m_previous[i]);
    }
    bool interrupted() const { return g_interruptedBy != 0; }
    int signal() const { return g_interruptedBy; }

private:
    void (*m_previous[std::size(kStopSignals)])(int) = {};
};

class ConsoleReporter {
public:
    explicit ConsoleReporter(const ConsoleRunOptions &options) : m_options(options) {}

    void line(const QString &text)
    {
        clearProgress();
        write(FileNameToNative(text) + '\n');
    }
    void progress(const QString &text)
    {
        if (m_options.quiet || !m_options.terminal)
            return;
        write("\r" + FileNameToNative(text) + "\x1b[K");
        m_progressShown = true;
    }
    void clearProgress()
    {
        if (m_progressShown)
            write("\r\x1b[K");
        m_progressShown = false;
    }

private:
    void write(const QByteArray &bytes)
    {
        if (m_options.write) {
            m_options.write(bytes);
        } else {
            WriteText(stderr, bytes);
        }
    }

    const ConsoleRunOptions &m_options;
    bool m_progressShown = false;
};

QString indented(const QString &text)
{
    QStringList lines = TextForDisplay(text).trimmed().split(QLatin1Char('\n'));
    for (QString &l : lines)
        l.prepend(QStringLiteral("  "));
    return lines.join(QLatin1Char('\n'));
}

// "; kept the earlier archive ARCHIVE" when an archive of that name is
// there, for a folder whose new archive was not written.
QString keptText(const QString &archive)
{
    if (!FileIsThere(archive))
        return QString();
    return QStringLiteral("; kept the earlier archive %1").arg(FileNameForDisplay(archive));
}

} // namespace

QString ByteCountText(quint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

namespace {

// The run's output folder, resolved, into `outputFolder`: 0, or the exit
// code of a run that cannot start, said on `out`.
int findOutputFolder(const QString &given, ConsoleReporter &out, QString &outputFolder)
{
    outputFolder = ResolveOutputFolder(given);
    QString error;
    if (outputFolder.isEmpty() && (outputFolder = FullFolderPath(given, &error)).isEmpty()) {
        out.line(QStringLiteral("quillbarrow: %1.").arg(error));
        return kExitBadUsage;
    }
    if (!FolderExists(outputFolder)) {
        out.line(QStringLiteral("quillbarrow: %1: the output folder does not exist; nothing was zipped.")
                     .arg(FileNameForDisplay(outputFolder)));
        return kExitSomeFailed;
    }
    return 0;
}

// The first line of what the engine or a step said, for the short outcome.
QString firstLine(const QString &text)
{
    return TextForDisplay(text).trimmed().section(QLatin1Char('\n'), 0, 0).left(300);
}

} // namespace

namespace {

// What the console says while a run goes on, and the short outcome it
// gathers for the end: one object per run, fed by the run's hooks and signals.
class RunReport {
public:
    RunReport(const ConsoleRunOptions &options, ConsoleReporter &out, const QStringList &folders)
        : m_options(options), m_out(out), m_folders(folders)
    {
        m_clock.start();
        m_outcome.folders = int(options.folders.size());
    }

    ConsoleRunOutcome &outcome() { return m_outcome; }
    bool failed() const { return m_failed; }

    // A folder named on the command line that is not there, skipped before the run.
    void missing(const QString &folder, const QString &archive)
    {
        m_out.line(QStringLiteral("quillbarrow: %1: folder not found; not zipped%2.")
                       .arg(FileNameForDisplay(folder), keptText(archive)));
        m_outcome.failed << QStringLiteral("%1: folder not found").arg(FileNameForDisplay(folder));
        m_failed = true;
    }
    void stepFailed(int line, const QString &description)
    {
        m_out.line(
            QStringLiteral("quillbarrow: step %1 failed: %2").arg(line).arg(TextForDisplay(description)));
        noteProblem(description);
    }
    void engineMessages(const QString &messages)
    {
        m_out.line(QStringLiteral("quillbarrow: %1:\n%2").arg(m_currentFolder, indented(messages)));
        noteProblem(messages);
    }
    void folderStarted(int number, const QString &folder)
    {
        m_problem.clear();
        m_currentFolder = FileNameForDisplay(folder);
        m_folderName = FileNameForDisplay(GetLastPathPart(folder));
        m_folderTotal = 0;
        m_out.progress(QStringLiteral("[%1/%2] %3").arg(number).arg(m_folders.size()).arg(m_folderName));
    }
    void dataWritten(int number, quint64 done, quint64 total)
    {
        m_folderTotal = total;
        const double seconds = double(m_clock.nsecsElapsed()) / 1e9;
        const double rate = seconds > 0 ? double(m_finishedBytes + done) / seconds : 0.0;
        m_out.progress(QStringLiteral("[%1/%2] %3  %4 of %5  %6/s")
                           .arg(number)
                           .arg(m_folders.size())
                           .arg(m_folderName.left(40), ByteCountText(done), ByteCountText(total),
                                ByteCountText(quint64(rate))));
    }
    void folderFinished(int number, const QString &archive, qint32 result, const RunNotes &notes);

private:
    void noteProblem(const QString &text)
    {
        if (m_problem.isEmpty())
            m_problem = firstLine(text);
    }

    const ConsoleRunOptions &m_options;
    ConsoleReporter &m_out;
    const QStringList &m_folders;
    ConsoleRunOutcome m_outcome;
    bool m_failed = false;
    QElapsedTimer m_clock;
    quint64 m_finishedBytes = 0; // file data of the folders already done
    quint64 m_folderTotal = 0;
    QString m_currentFolder, m_folderName;
    QString m_problem; // the first word of trouble with the folder being zipped
    qsizetype m_warningsTold = 0, m_linksTold = 0;
};

void RunReport::folderFinished(int number, const QString &archive, qint32 result, const RunNotes &notes)
{
    m_finishedBytes += m_folderTotal;
    const QString folder = FileNameForDisplay(m_folders.at(number - 1));
    const bool written = result == ZP_OK || result == ZP_FILES_SKIPPED;
    if (written)
        ++m_outcome.written;
    if (result != ZP_OK && result != ZP_STOPPED)
        m_outcome.failed << QStringLiteral("%1: %2%3")
                                .arg(folder,
                                     written ? QStringLiteral("not every file was zipped; ") : QString(),
                                     m_problem.isEmpty() ? QStringLiteral("not zipped") : m_problem);
    if (!written)
        m_out.line(QStringLiteral("quillbarrow: %1: not zipped%2.").arg(folder, keptText(archive)));
    else if (!m_options.quiet)
        m_out.line(QStringLiteral("[%1/%2] %3 -> %4")
                       .arg(number)
                       .arg(m_folders.size())
                       .arg(folder, FileNameForDisplay(archive)));
    if (result != ZP_OK)
        m_failed = true;
    // What the run has to tell of this folder, as it happens.
    for (; m_warningsTold < notes.warnings.size(); ++m_warningsTold)
        m_out.line(
            QStringLiteral("quillbarrow: %1:\n%2").arg(folder, indented(notes.warnings.at(m_warningsTold))));
    for (; m_linksTold < notes.linksLeftOut.size(); ++m_linksTold)
        if (!m_options.quiet)
            m_out.line(QStringLiteral("  ") + FileNameForDisplay(notes.linksLeftOut.at(m_linksTold)));
}

} // namespace

// The folders to zip. One that is not there is named and skipped before the
// run, so the archive an earlier run made of it is left in place.
QStringList foldersThere(const ConsoleRunOptions &options, const QString &outputFolder, RunReport &report)
{
    QStringList there;
    for (const QString &folder : options.folders) {
        if (FolderExists(folder))
            there << folder;
        else
            report.missing(folder,
                           ArchiveNameFor(options.beside ? ParentFolderOf(folder) : outputFolder, folder));
    }
    return there;
}

int RunFromConsole(const ConsoleRunOptions &options)
{
    ConsoleReporter out(options);
    QString outputFolder;
    if (!options.beside)
        if (const int cannotStart = findOutputFolder(options.outputFolder, out, outputFolder))
            return cannotStart;

    QStringList folders;
    RunReport report(options, out, folders);
    folders = foldersThere(options, outputFolder, report);

    InterruptCatcher interrupt;
    BatchRun *current = nullptr;
    BatchRunHooks hooks;
    hooks.followLinks = options.followLinks;
    hooks.beside = options.beside;
    hooks.yield = [&] {
        if (interrupt.interrupted() && current)
            current->requestStop(BatchRun::Stop::Now);
    };
    hooks.reportFolderError = [&](const QString &, int line, const QString &description) {
        report.stepFailed(line, description);
    };
    hooks.showEngineMessages = [&](const QString &messages) { report.engineMessages(messages); };
    BatchRun run(folders, outputFolder, hooks);
    current = &run;
    QObject::connect(&run, &BatchRun::folderStarted,
                     [&](int number, const QString &folder) { report.folderStarted(number, folder); });
    QObject::connect(&run, &BatchRun::dataWritten, [&](int number, quint64 done, quint64 total) {
        if (interrupt.interrupted())
            run.requestStop(BatchRun::Stop::Now);
        report.dataWritten(number, done, total);
    });
    QObject::connect(&run, &BatchRun::folderFinished, [&](int number, const QString &archive, qint32 result) {
        report.folderFinished(number, archive, result, run.notes());
    });

    ErrorTrap trap(ErrorTrap::formLocation(QStringLiteral("Main")), hooks.reportFolderError);
    run.run(trap);
    out.clearProgress();

    report.outcome().stopped = run.stopped();
    if (options.finished)
        options.finished(report.outcome());
    if (run.stopped()) {
        out.line(QStringLiteral("quillbarrow: interrupted; %1 of %2 folders were zipped.")
                     .arg(run.zipped().size())
                     .arg(folders.size()));
        return interrupt.interrupted() ? kExitSignalBase + interrupt.signal() : kExitSomeFailed;
    }
    return report.failed() ? kExitSomeFailed : kExitAllZipped;
}
