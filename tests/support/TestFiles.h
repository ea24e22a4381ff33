#pragma once
// Small helpers shared by the window and archive tests.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace testfiles {

// A path of a test, written "/data/a", as the system spells it: unchanged
// here; on Windows with its separators, a path from the root on drive C:
// ("C:\data\a").
inline QString nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return QDir::toNativeSeparators(path.startsWith(u'/') ? QStringLiteral("C:") + path : path);
#else
    return path;
#endif
}

// Whether QFile::link makes a symbolic link; on Windows it makes a
// shortcut, a file of its own.
#ifdef Q_OS_WIN
inline constexpr bool kSymbolicLinks = false;
#else
inline constexpr bool kSymbolicLinks = true;
#endif

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

// Sets an environment variable for the life of the object, then puts back
// what was there (or removes it).
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const QByteArray &value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnvironment() { m_had ? qputenv(m_name, m_old) : qunsetenv(m_name); }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

} // namespace testfiles
