#include "folders/AddFolder.h"
#include "app/Dialogs.h"

QString BrowseFolder(QWidget *owner, const QString &title, const QString &start)
{
    return Dialogs().browseFolder(owner, title, start);
}
