#include "folders/AddFolder.h"
#include "app/Dialogs.h"
#include "batch/MainModule.h"

QString BrowseFolder(QWidget *owner, const QString &title, const QString &start)
{
    return Dialogs().browseFolder(owner, title, start);
}

bool IsRootOrTooShort(const QString &path)
{
#ifdef _WIN32
    if (path.size() <= 3)
        return true;
#endif
    return IsRootFolder(path);
}
