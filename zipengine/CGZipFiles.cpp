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

CGZipFiles::CGZipFiles() : m_names{kPlaceholder}, m_rootDirectory(kDefaultRoot) {}

qsizetype CGZipFiles::indexOf(const QString &key) const
{
    for (qsizetype i = 0; i < m_names.size(); ++i) {
        if (m_names.at(i).compare(key, kKeyCase) == 0)
            return i;
    }
    return -1;
}

qint32 CGZipFiles::ZipFileCount() const { return qint32(m_names.size()) - 1; }

void CGZipFiles::AddFile(const QString &fileName)
{
    if (indexOf(fileName) >= 0)
        throw QbError(kErrAlreadyListed, QStringLiteral("CGZip::AddFile"),
                      QStringLiteral("File is already in Zip List"));
    m_names.append(fileName);
    ProcessPendingEvents();
}

void CGZipFiles::RemoveFile(const QString &fileName)
{
    const qsizetype index = indexOf(fileName);
    if (index < 0)
        throw QbError(kErrNotListed, QStringLiteral("CGZip::RemoveFile"),
                      QStringLiteral("File is not in Zip List"));
    m_names.removeAt(index);
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
