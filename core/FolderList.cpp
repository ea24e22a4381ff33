#include "core/FolderList.h"
#include "core/QbError.h"

QString FolderList::at(int index) const
{
    if (index < 0 || index >= m_rows.size())
        throw QbError(kQbGeneralError, QStringLiteral("ListItems"),
                      QStringLiteral("Index out of bounds"));
    return m_rows.at(index);
}

void FolderList::append(const QString &path)
{
    m_rows.append(path);
    emit appended(path);
}

void FolderList::removeAt(int index)
{
    if (index < 0 || index >= m_rows.size())
        return;
    m_rows.removeAt(index);
    emit removed(index);
}

void FolderList::clear()
{
    m_rows.clear();
    emit cleared();
}
