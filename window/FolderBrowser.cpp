#include "window/FolderBrowser.h"
#include "core/PathHelpers.h"
#include "window/Dialogs.h"

QString BrowseFolder(QWidget *owner, const QString &title, const QString &start)
{
    return Dialogs().browseFolder(owner, title, start);
}

bool IsRootOrTooShort(const QString &path)
{
    // "C:\" and the like.
    if (kNativePathStyle == PathStyle::Windows && path.size() <= 3)
        return true;
    return IsRootFolder(path);
}
