#pragma once
// The folders the next run will zip, one path per row, in the order they
// were added. The window shows them; nothing else holds them.
#include <QHash>
#include <QObject>
#include <QStringList>

class FolderList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    int count() const { return int(m_rows.size()); }
    const QStringList &rows() const { return m_rows; }
    // The row at a 0-based index; throws QbError "Index out of bounds" past the end.
    QString at(int index) const;
    // True when some row is exactly `path` (case and separators count). Takes
    // the same time however long the list: thousands of folders named on the
    // command line are each checked against those before them.
    bool contains(const QString &path) const { return m_listed.contains(path); }

    void append(const QString &path);
    void removeAt(int index);
    void clear();

signals:
    void appended(const QString &path);
    void removed(int index);
    void cleared();

private:
    QStringList m_rows;
    QHash<QString, int> m_listed; // each row's text, and how many rows have it
};
