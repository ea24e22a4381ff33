#include "core/BatchRun.h"

#include "core/EngineLoader.h"
#include "core/FolderWalk.h"
#include "core/PathHelpers.h"

#include "zip32.h"

BatchRun::BatchRun(QStringList folders, QString outputFolder, BatchRunHooks hooks, QObject *parent)
    : QObject(parent), m_folders(std::move(folders)), m_outputFolder(std::move(outputFolder)),
      m_hooks(std::move(hooks)), m_walkAhead(m_hooks.followLinks)
{
    // The names the run will claim, worked out the way it claims them, and
    // compared as the output folder's file system compares names.
    const QString output = m_outputFolders.resolve(m_outputFolder);
    m_names = RunArchiveNames(output.isEmpty() ? kFileNameCase : FileNameCaseIn(output));
    RunArchiveNames planned = m_names;
    for (const QString &folder : m_folders) {
        const QString into = m_hooks.beside ? ParentFolderOf(folder) : output;
        if (!into.isEmpty())
            m_runArchives[into] << planned.claim(ArchiveNameFor(into, folder));
    }
    for (auto into = m_runArchives.cbegin(); into != m_runArchives.cend(); ++into)
        m_runArchiveFolders[into.key()] = CanonicalPath(into.key());
}

QString BatchRun::outputFolderFor(const QString &folder) const
{
    return m_hooks.beside ? ParentFolderOf(folder) : m_outputFolder;
}

BatchRun::~BatchRun() = default;

void BatchRun::requestStop(Stop when)
{
    if (when > m_stop)
        m_stop = when;
}

void BatchRun::run(ErrorTrap &trap)
{
    // The run's archives flush their folders once, when it ends, however
    // it ends.
    struct EndOfRun {
        ~EndOfRun() { EndZipEngineRun(); }
    } endOfRun;
    const qsizetype count = m_folders.size();
    for (qsizetype i = 1; i <= count; ++i) {
        if (m_stop != Stop::No) {
            m_stopped = true;
            m_notZipped += m_folders.mid(i - 1);
            break;
        }
        const int number = int(i);
        QString folder;
        trap(106, [&] { folder = m_folders.at(i - 1); });
        trap(108, [&] { emit progressChanged(double(i - 1) / double(count) * 100.0); });
        trap(110, [&] { emit folderStarted(number, folder); });
        trap(112, [&] {
            if (m_hooks.yield)
                m_hooks.yield();
        });
        trap(114, [&] { emit folderZipping(number); });
        trap(116, [&] { zipFolder(number, folder); });
    }
}

void BatchRun::zipFolder(int number, const QString &folder)
{
    ErrorTrap::Reporter reporter = m_hooks.reportFolderError;
    if (!reporter)
        reporter = [](const QString &, int, const QString &) {};
    ErrorTrap trap(ErrorTrap::formLocation(QStringLiteral("ZipFolder")), reporter);
    ZipFolderHooks hooks;
    hooks.yield = m_hooks.yield;
    // A folder given up because the run stops at once is no failure to show.
    hooks.showEngineMessages = [this](const QString &messages) {
        if (m_stop != Stop::Now && m_hooks.showEngineMessages)
            m_hooks.showEngineMessages(messages);
    };
    hooks.names = &m_names;
    hooks.notes = &m_notes;
    hooks.extras.followLinks = m_hooks.followLinks;
    hooks.extras.holdFolderSync = true;
    // The run's own archives can only be met inside a folder that holds
    // where they go; only those the engine could meet are left out.
    const QString resolved = CanonicalPath(folder);
    for (auto into = m_runArchives.cbegin(); into != m_runArchives.cend(); ++into)
        if (ResolvedFolderIsWithin(m_runArchiveFolders.value(into.key()), resolved))
            hooks.extras.leaveOut << into.value();
    hooks.resolvedFolder = resolved;
    hooks.outputFolders = &m_outputFolders;
    QString archive;
    hooks.archivePath = &archive;
    const double count = double(m_folders.size());
    hooks.progress = [this, number, count](quint64 done, quint64 total) {
        // No total yet: the engine is still collecting the names.
        if (total > 0) {
            emit dataWritten(number, done, total);
            emit progressChanged((number - 1 + double(done) / double(total)) / count * 100.0);
        }
        return m_stop == Stop::Now;
    };
    hooks.subFolders = [this, number](const QString &path, QStringList &subFolders, QStringList *links) {
        subFoldersOf(number, path, subFolders, links);
    };
    const qint32 result = ZipFolderSteps(outputFolderFor(folder), folder, trap, hooks);
    if (result == ZP_STOPPED) {
        m_stopped = true;
        m_notZipped << folder;
    } else {
        if (result == ZP_OK || result == ZP_FILES_SKIPPED)
            m_zipped << folder;
        // The folder's share is done, whether or not its archive was written.
        emit progressChanged(number / count * 100.0);
    }
    emit folderFinished(number, archive, result);
}

void BatchRun::subFoldersOf(int number, const QString &folder, QStringList &subFolders,
                            QStringList *linksLeftOut)
{
    if (m_walkAhead.isOf(folder)) {
        // A walk still going (a big tree after a small folder) is waited
        // for with the window kept answering. Errors of the walk come out
        // here, in this folder's step.
        const std::optional<WalkAhead::Walked> walked = m_walkAhead.take([this] {
            if (m_hooks.yield)
                m_hooks.yield();
            return m_stop != Stop::Now;
        });
        if (!walked)
            throw WalkStopped{};
        subFolders += walked->subFolders;
        if (linksLeftOut)
            *linksLeftOut += walked->linksLeftOut;
    } else {
        // A walk made for another folder is of no use.
        m_walkAhead.cancel();
        // Stopping at once ends the walk too: a tree of many folders must
        // not keep a stopped run going. The walk asks for a turn at every
        // entry; the window needs one only every few milliseconds.
        const Yield turn = Throttled(m_hooks.yield);
        CollectSubFolders(
            folder + kNativeSeparator, subFolders, true,
            [this, &turn] {
                if (turn)
                    turn();
                if (m_stop == Stop::Now)
                    throw WalkStopped{};
            },
            linksLeftOut, m_hooks.followLinks);
    }
    // A stop at once asked for while the walk was going on (or made ahead)
    // ends the folder here, before the engine starts.
    if (m_stop == Stop::Now)
        throw WalkStopped{};
    if (number < m_folders.size() && m_stop == Stop::No)
        m_walkAhead.start(m_folders.at(number));
}
