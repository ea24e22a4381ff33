#include "window/FolderBrowser.h"
#include "window/Dialogs.h"
#include "core/PathHelpers.h"

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
