#include "core/FolderList.h"
#include "core/QbError.h"

QString FolderList::at(int index) const
{
    if (index < 0 || index >= m_rows.size())
        throw QbError(kQbGeneralError, QStringLiteral("ListItems"), QStringLiteral("Index out of bounds"));
    return m_rows.at(index);
}

void FolderList::append(const QString &path)
{
    m_rows.append(path);
    ++m_listed[path];
    emit appended(path);
}

void FolderList::removeAt(int index)
{
    if (index < 0 || index >= m_rows.size())
        return;
    const auto listed = m_listed.find(m_rows.at(index));
    if (--listed.value() == 0)
        m_listed.erase(listed);
    m_rows.removeAt(index);
    emit removed(index);
}

void FolderList::clear()
{
    m_rows.clear();
    m_listed.clear();
    emit cleared();
}
