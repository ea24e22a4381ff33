#include "core/FolderArchiver.h"
#include "core/FileNames.h"
#include "core/FolderWalk.h"
#include "core/PathHelpers.h"
#include "core/ZipNameList.h"

#include "zip32.h"

#include <memory>

QString LastNamePart(const QString &folderPath)
{
    QString path = NativeSeparators(folderPath);
    // A row ending in a separator still names its folder: without this its
    // archive would be a nameless ".zip" that the next such row replaces.
    while (path.size() > 1 && path.endsWith(kNativeSeparator))
        path.chop(1);
    return path.split(kNativeSeparator).last();
}

QString ParentFolderOf(const QString &folderPath)
{
    QString path = NativeSeparators(folderPath);
    while (path.size() > 1 && path.endsWith(kNativeSeparator))
        path.chop(1);
    const qsizetype cut = path.lastIndexOf(kNativeSeparator);
    if (cut < 0)
        return QString();
    // The parent of a folder at the top keeps its separator: "/", "C:\".
    const bool top = cut == 0 || (kNativePathStyle == PathStyle::Windows && cut == 2 && path[1] == u':');
    return path.left(top ? cut + 1 : cut);
}

QString ArchiveNameFor(const QString &outputFolderText, const QString &folderPath)
{
    QString prefix = outputFolderText;
    // The archive goes into the output folder, whether or not its text ends
    // in a separator.
    if (!prefix.isEmpty() && !prefix.endsWith(kNativeSeparator))
        prefix += kNativeSeparator;
    return prefix + LastNamePart(folderPath) + QStringLiteral(".zip");
}

QString RunArchiveNames::claim(const QString &wanted)
{
    const auto key = [this](const QString &name) {
        return m_case == Qt::CaseInsensitive ? name.toCaseFolded() : name;
    };
    if (!m_given.contains(key(wanted))) {
        m_given.insert(key(wanted));
        return wanted;
    }
    const QString stem = wanted.endsWith(QLatin1String(".zip")) ? wanted.chopped(4) : wanted;
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2).zip").arg(stem).arg(n);
        if (!m_given.contains(key(candidate))) {
            m_given.insert(key(candidate));
            return candidate;
        }
    }
}

QString RunNotes::details() const
{
    const auto names = [](const QStringList &list) {
        QStringList shown;
        for (const QString &name : list)
            shown << FileNameForDisplay(name);
        return shown.join(QLatin1Char('\n'));
    };
    QStringList parts;
    if (!keptEarlier.isEmpty()) {
        QStringList lines;
        for (const QString &archive : keptEarlier)
            lines << FileNameForDisplay(archive) + QStringLiteral(": not written; kept the earlier archive");
        parts << QStringLiteral("Earlier archives kept, as their new archive was not written:\n")
                     + lines.join(QLatin1Char('\n'));
    }
    if (!notInFull.isEmpty())
        parts << QStringLiteral("Archives written without the files and folders named below, "
                                "which could not be read:\n")
                     + TextForDisplay(notInFull.join(QLatin1Char('\n')));
    if (!renamed.isEmpty())
        parts << QStringLiteral("Archives given a new name, because an earlier folder of this run "
                                "has the same name:\n")
                     + names(renamed);
    if (!linksLeftOut.isEmpty())
        parts << QStringLiteral("Links to folders left out of their archives:\n") + names(linksLeftOut);
    if (!warnings.isEmpty())
        parts << QStringLiteral("Warnings about archives that were written:\n")
                     + TextForDisplay(warnings.join(QLatin1Char('\n')));
    return parts.join(QStringLiteral("\n\n"));
}

namespace {

// A folder whose new archive was not written: an earlier archive of its name
// that is still there was kept, and the run says so. True when one was.
bool noteKept(const ZipFolderHooks &hooks, const QString &zipName, bool earlierThere)
{
    if (!earlierThere || !FileIsThere(zipName))
        return false;
    if (hooks.notes)
        hooks.notes->keptEarlier << zipName;
    return true;
}

void tell(const ZipFolderHooks &hooks, const QString &text)
{
    if (hooks.showEngineMessages)
        hooks.showEngineMessages(text);
}

// Lines 100 and 102: false, and told, when the folder is not to be zipped:
// it is a root, or the output folder text names no folder. Otherwise
// `outputFolder` is the output folder, resolved.
bool folderToZip(const QString &outputFolderText, const QString &folderPath, ErrorTrap &trap,
                 const ZipFolderHooks &hooks, QString &outputFolder)
{
    // A root stands for the whole disk: never walked, never zipped, and no
    // archive deleted on its behalf.
    if (trap.guard(100, [&] {
            return hooks.resolvedFolder ? IsRootFolder(folderPath, *hooks.resolvedFolder)
                                        : IsRootFolder(folderPath);
        })) {
        tell(hooks,
             QStringLiteral("\"%1\" is the root of the file system, not a folder to zip; it was left out.")
                 .arg(folderPath));
        return false;
    }
    if (trap.guard(102, [&] {
            outputFolder = hooks.outputFolders ? hooks.outputFolders->resolve(outputFolderText)
                                               : ResolveOutputFolder(outputFolderText);
            return outputFolder.isEmpty();
        })) {
        tell(hooks, kNoSuchOutputFolder);
        return false;
    }
    return true;
}

struct ArchiveName {
    QString zipName; // as claimed for this run
    bool earlierThere = false; // a file was under that name before the engine ran
};

// Lines 102 and 106: the archive's name. It is claimed where an older
// archive used to be deleted: it is no longer deleted, as the engine
// replaces it only with a complete one.
ArchiveName claimArchiveName(const QString &outputFolder, const QString &folderPath, ErrorTrap &trap,
                             const ZipFolderHooks &hooks)
{
    QString wanted;
    trap(102, [&] { wanted = ArchiveNameFor(outputFolder, folderPath); });
    ArchiveName name;
    trap(106, [&] {
        name.zipName = hooks.names ? hooks.names->claim(wanted) : wanted;
        if (hooks.notes && name.zipName != wanted)
            hooks.notes->renamed << QStringLiteral("%1 -> %2").arg(folderPath, name.zipName);
        if (hooks.archivePath)
            *hooks.archivePath = name.zipName;
        if (hooks.yield)
            hooks.yield();
        name.earlierThere = FileIsThere(name.zipName);
    });
    return name;
}

// Lines 108 to 134: the archive's name list, set up, with the folder's own
// wildcard name in it.
std::unique_ptr<ZipNameList> startNameList(const QString &zipName, const QString &folderPath, ErrorTrap &trap,
                                           const ZipFolderHooks &hooks)
{
    std::unique_ptr<ZipNameList> zip;
    trap(108, [&] { zip = std::make_unique<ZipNameList>(hooks.yield); });
    trap(112, [&] { zip->setZipFileName(zipName); });
    trap(112, [&] { zip->setProgress(hooks.progress); });
    trap(112, [&] { zip->setExtras(hooks.extras); });
    trap(114, [&] { zip->setUpdatingZip(false); });
    // Stored names start at the folder's own name ("Trip/", "Trip/sub/a.jpg"),
    // as every archiver stores a folder: the engine is handed the folder's
    // parent as the root the names are relative to.
    trap(114, [&] { zip->setRootDirectory(ParentFolderOf(folderPath)); });
    trap(134, [&] { zip->AddFile(folderPath + kNativeSeparator + QStringLiteral("*.*")); });
    return zip;
}

// Lines 136 to 166: one wildcard name in `zip` for every sub-folder of the
// folder, as the walk (or the hooks) list them. False when the walk was
// stopped; then no name is added.
bool addSubFolders(ZipNameList *zip, const QString &folderPath, ErrorTrap &trap, const ZipFolderHooks &hooks)
{
    std::unique_ptr<QStringList> subFolders;
    trap(136, [&] { subFolders = std::make_unique<QStringList>(); });
    bool walkStopped = false;
    trap(138, [&] {
        QStringList *links = hooks.notes ? &hooks.notes->linksLeftOut : nullptr;
        try {
            if (hooks.subFolders)
                hooks.subFolders(folderPath, *subFolders, links);
            else
                CollectSubFolders(folderPath + kNativeSeparator, *subFolders, true, hooks.yield, links,
                                  hooks.extras.followLinks);
        } catch (const WalkStopped &) {
            walkStopped = true;
        }
    });
    if (walkStopped)
        return false;
    qsizetype count = 0;
    trap(160, [&] { count = subFolders->size(); });
    for (qsizetype i = 0; i < count; ++i)
        trap(162, [&] { zip->AddFile(subFolders->at(i) + QStringLiteral("*.*")); });
    trap(166, [&] { subFolders.reset(); });
    return true;
}

// Lines 168 and 170: the archive made, and what the engine said passed on:
// shown when it failed, kept for the run's end when it wrote the archive
// all the same.
qint32 makeArchive(ZipNameList *zip, const QString &folderPath, const ArchiveName &name, ErrorTrap &trap,
                   const ZipFolderHooks &hooks)
{
    qint32 result = -1;
    if (trap.branch(168, [&] {
            result = zip->MakeZipFile();
            return result != 0;
        })) {
        trap(170, [&] {
            const bool kept = result != ZP_FILES_SKIPPED && noteKept(hooks, name.zipName, name.earlierThere);
            const QString messages = zip ? zip->GetLastMessage() : QString();
            if (hooks.notes && result == ZP_FILES_SKIPPED)
                hooks.notes->notInFull << QStringLiteral("%1:\n%2").arg(folderPath, messages.trimmed());
            tell(hooks,
                 kept ? messages.trimmed()
                            + QStringLiteral("\nThe new archive was not written; kept the earlier archive ")
                            + FileNameForDisplay(name.zipName) + QLatin1Char('.')
                      : messages);
        });
    } else if (hooks.notes) {
        // Written, but not without a word (a link stored as a link, a
        // special file): the run tells it at its end rather than losing it.
        trap(170, [&] {
            const QString said = zip->GetLastMessage().trimmed();
            if (!said.isEmpty())
                hooks.notes->warnings << said;
        });
    }
    return result;
}

} // namespace

qint32 ZipFolderSteps(const QString &outputFolderText, const QString &folderPath, ErrorTrap &trap,
                      const ZipFolderHooks &hooks)
{
    QString outputFolder;
    if (!folderToZip(outputFolderText, folderPath, trap, hooks, outputFolder))
        return -1;
    const ArchiveName name = claimArchiveName(outputFolder, folderPath, trap, hooks);
    std::unique_ptr<ZipNameList> zip = startNameList(name.zipName, folderPath, trap, hooks);
    if (!addSubFolders(zip.get(), folderPath, trap, hooks)) {
        noteKept(hooks, name.zipName, name.earlierThere);
        return ZP_STOPPED;
    }
    const qint32 result = makeArchive(zip.get(), folderPath, name, trap, hooks);
    trap(170, [&] { zip.reset(); });
    return result;
}

FolderArchiveOutcome ArchiveFolder(const QString &outputFolderText, const QString &folderPath,
                                   const Yield &yield, RunArchiveNames *names)
{
    FolderArchiveOutcome outcome;
    ErrorTrap trap(ErrorTrap::formLocation(QStringLiteral("ZipFolder")),
                   [&](const QString &, int line, const QString &description) {
                       outcome.errors << QStringLiteral("line %1: %2").arg(line).arg(description);
                   });
    ZipFolderHooks hooks;
    hooks.yield = yield;
    hooks.showEngineMessages = [&](const QString &messages) { outcome.messages = messages; };
    hooks.names = names;
    hooks.notes = &outcome.notes;
    hooks.archivePath = &outcome.archivePath;
    outcome.result = ZipFolderSteps(outputFolderText, folderPath, trap, hooks);
    return outcome;
}
