#include "zipengine/CGZipFiles.h"
#include "app/QbError.h"
#include "app/Yield.h"
#include "zipengine/CodeModule.h"

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

CGZipFiles::CGZipFiles() : m_names{kPlaceholder}, m_keys{keyOf(kPlaceholder)}, m_rootDirectory(kDefaultRoot) {}

QString CGZipFiles::keyOf(const QString &name)
{
    return kKeyCase == Qt::CaseInsensitive ? name.toCaseFolded() : name;
}

qint32 CGZipFiles::ZipFileCount() const { return qint32(m_names.size()) - 1; }

void CGZipFiles::AddFile(const QString &fileName)
{
    const QString key = keyOf(fileName);
    if (m_keys.contains(key))
        throw QbError(kErrAlreadyListed, QStringLiteral("CGZip::AddFile"),
                      QStringLiteral("File is already in Zip List"));
    m_names.append(fileName);
    m_keys.insert(key);
    ProcessPendingEvents();
}

void CGZipFiles::RemoveFile(const QString &fileName)
{
    const QString key = keyOf(fileName);
    if (!m_keys.remove(key))
        throw QbError(kErrNotListed, QStringLiteral("CGZip::RemoveFile"),
                      QStringLiteral("File is not in Zip List"));
    m_names.removeIf([&](const QString &name) { return keyOf(name) == key; });
}

qint32 CGZipFiles::MakeZipFile()
{
    try {
        const QStringList list = m_names;
        ProcessPendingEvents();
        return RunZipEngine(qint32(list.size()), m_zipFileName, list, m_ignorePath, m_recurse,
                            m_update, 0, m_rootDirectory, ZipFurtherOptions{});
    } catch (...) {
        throw QbError(kErrComponent, QStringLiteral("Quillbarrow.CGZipFiles.MakeZipFile"),
                      QStringLiteral("CGZipFiles component failure"));
    }
}

QString CGZipFiles::GetLastMessage() const { return ZipMessages; }
