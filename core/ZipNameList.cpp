#include "core/ZipNameList.h"
#include "core/EngineLoader.h"
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
                                        m_yield);
        m_lastMessages = std::move(run.messages);
        return run.result;
    } catch (...) {
        throw QbError(kErrComponent, QStringLiteral("Quillbarrow.CGZipFiles.MakeZipFile"),
                      QStringLiteral("CGZipFiles component failure"));
    }
}

QString ZipNameList::GetLastMessage() const { return m_lastMessages; }
