#pragma once
// Small helpers shared by the window and archive tests.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace testfiles {

// Writes a file, making its folders as needed.
inline void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(data);
}

// The texts of the folder list, first row first.
template <class Form>
QStringList rows(const Form &form)
{
    QStringList out;
    for (int i = 1; i <= form.rowCount(); ++i)
        out << form.rowText(i);
    return out;
}

} // namespace testfiles
