#include "folders/AddFolder.h"
#include "app/Dialogs.h"

QString BrowseFolder(QWidget *owner, const QString &title, const QString &start)
{
    return Dialogs().browseFolder(owner, title, start);
}

bool IsRootOrTooShort(const QString &path)
{
#ifdef _WIN32
    return path.size() <= 3;
#else
    return path.isEmpty() || path == QStringLiteral("/");
#endif
}
