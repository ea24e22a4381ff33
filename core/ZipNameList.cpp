#include "core/ZipNameList.h"
#include "core/EngineLoader.h"
#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "core/QbError.h"

namespace {

const QString kPlaceholder = QStringLiteral("querty");

// Names that differ in letter case only are one name where the file
// system says so.
constexpr Qt::CaseSensitivity kKeyCase = kFileNameCase;
const QString kDefaultRoot = QString(kNativeSeparator);

// The engine's messages as a person should read them. The placeholder is the
// name list's own business: the engine's word that it matched nothing is
// dropped. A folder named for its files that is not there is said as what it
// is; the engine gives the system's reason, in the system's own words.
// Control characters in names are shown as visible marks.
QString PersonMessages(const QString &engineMessages, const QString &placeholder)
{
    static const QString notMatched = QStringLiteral("name not matched: ");
    const QString wildcard = QString(kNativeSeparator) + QStringLiteral("*.* (");
    QStringList lines = engineMessages.split(QLatin1Char('\n'));
    QStringList kept;
    for (const QString &line : std::as_const(lines)) {
        if (line.startsWith(notMatched + placeholder)
            || line.startsWith(notMatched + FileNameForDisplay(placeholder)))
            continue;
        const qsizetype at = line.lastIndexOf(wildcard);
        if (line.startsWith(notMatched) && at > 0 && line.endsWith(QLatin1Char(')'))
            && MeansNotThere(line.mid(at + wildcard.size()).chopped(1))) {
            kept << QStringLiteral("folder not found: ")
                        + line.mid(notMatched.size(), at - notMatched.size());
            continue;
        }
        kept << line;
    }
    return TextForDisplay(kept.join(QLatin1Char('\n')));
}

} // namespace

ZipNameList::ZipNameList(Yield yield)
    : m_names{kPlaceholder}, m_keys{keyOf(kPlaceholder)}, m_rootDirectory(kDefaultRoot),
      m_yield(Throttled(std::move(yield)))
{
}

void ZipNameList::yieldOnce() const
{
    if (m_yield)
        m_yield();
}

QString ZipNameList::keyOf(const QString &name)
{
    return kKeyCase == Qt::CaseInsensitive ? name.toCaseFolded() : name;
}

qint32 ZipNameList::ZipFileCount() const { return qint32(m_names.size()) - 1; }

void ZipNameList::AddFile(const QString &fileName)
{
    const QString key = keyOf(fileName);
    if (m_keys.contains(key))
        throw QbError(kErrAlreadyListed, QStringLiteral("CGZip::AddFile"),
                      QStringLiteral("File is already in Zip List"));
    m_names.append(fileName);
    m_keys.insert(key);
    yieldOnce();
}

void ZipNameList::RemoveFile(const QString &fileName)
{
    const QString key = keyOf(fileName);
    if (!m_keys.remove(key))
        throw QbError(kErrNotListed, QStringLiteral("CGZip::RemoveFile"),
                      QStringLiteral("File is not in Zip List"));
    m_names.removeIf([&](const QString &name) { return keyOf(name) == key; });
    if (key == keyOf(kPlaceholder))
        m_placeholderListed = false;
}

// The placeholder holds its slot for the engine but must never match a real
// file, wherever the engine looks for it: it goes to the engine as a name
// below the archive itself, which while the engine runs is a file or
// nothing, never a folder that could hold anything.
QString ZipNameList::placeholderForEngine() const { return m_zipFileName + kNativeSeparator + kPlaceholder; }

QStringList ZipNameList::engineNames() const
{
    QStringList list = m_names;
    if (m_placeholderListed && !list.isEmpty())
        list.first() = placeholderForEngine();
    return list;
}

qint32 ZipNameList::MakeZipFile()
{
    try {
        const QStringList list = engineNames();
        yieldOnce();
        ZipEngineRun run =
            RunZipEngine(qint32(list.size()), m_zipFileName, list, m_ignorePath, m_recurse, m_update,
                         /*includeHidden=*/0, m_rootDirectory, m_yield, m_progress, m_extras);
        m_lastMessages = PersonMessages(run.messages, placeholderForEngine());
        return run.result;
    } catch (...) {
        throw QbError(kErrComponent, QStringLiteral("Quillbarrow.CGZipFiles.MakeZipFile"),
                      QStringLiteral("CGZipFiles component failure"));
    }
}

QString ZipNameList::GetLastMessage() const { return m_lastMessages; }
