#include "core/ZipNameList.h"
#include "core/EngineLoader.h"
#include "core/PathHelpers.h"
#include "core/QbError.h"

namespace {

const QString kPlaceholder = QStringLiteral("querty");

#ifdef _WIN32
constexpr Qt::CaseSensitivity kKeyCase = Qt::CaseInsensitive;
const QString kDefaultRoot = QStringLiteral("\\");
#else
// Names that differ in letter case are different files here.
constexpr Qt::CaseSensitivity kKeyCase = Qt::CaseSensitive;
const QString kDefaultRoot = QStringLiteral("/");
#endif

// The engine's messages as a person should read them. The placeholder is the
// name list's own business: the engine's word that it matched nothing is
// dropped. A folder named for its files that is not there is said as what it
// is.
QString PersonMessages(const QString &engineMessages)
{
    static const QString notMatched = QStringLiteral("name not matched: ");
    static const QString notThere = QStringLiteral(" (No such file or directory)");
    QStringList lines = engineMessages.split(QLatin1Char('\n'));
    QStringList kept;
    for (const QString &line : std::as_const(lines)) {
        if (line == notMatched + kPlaceholder)
            continue;
        const QString wildcardTail = QString(kNativeSeparator) + QStringLiteral("*.*") + notThere;
        if (line.startsWith(notMatched) && line.endsWith(wildcardTail)) {
            kept << QStringLiteral("folder not found: ")
                        + line.mid(notMatched.size(),
                                   line.size() - notMatched.size() - wildcardTail.size());
            continue;
        }
        kept << line;
    }
    return kept.join(QLatin1Char('\n'));
}

} // namespace

ZipNameList::ZipNameList(Yield yield)
    : m_names{kPlaceholder}, m_keys{keyOf(kPlaceholder)}, m_rootDirectory(kDefaultRoot),
      m_yield(std::move(yield))
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
}

qint32 ZipNameList::MakeZipFile()
{
    try {
        const QStringList list = m_names;
        yieldOnce();
        ZipEngineRun run = RunZipEngine(qint32(list.size()), m_zipFileName, list, m_ignorePath,
                                        m_recurse, m_update, 0, m_rootDirectory, ZipFurtherOptions{},
                                        m_yield, m_progress);
        m_lastMessages = PersonMessages(run.messages);
        return run.result;
    } catch (...) {
        throw QbError(kErrComponent, QStringLiteral("Quillbarrow.CGZipFiles.MakeZipFile"),
                      QStringLiteral("CGZipFiles component failure"));
    }
}

QString ZipNameList::GetLastMessage() const { return m_lastMessages; }
