#include "window/FolderBrowser.h"
#include "core/PathHelpers.h"
#include "window/Dialogs.h"

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
