// Small file and text helpers: separator cleaning, folder test, last path
// part, and the silent deletes.
#include "core/PathHelpers.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#  include <grp.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace {

// Test rows are written with '/'; on the native side they use the native
// separator.
QString native(QString path)
{
    return path.replace(u'/', kNativeSeparator);
}

// Who may do what with a file: mode 0444 or 0644 here; on Windows the
// read-only attribute, or none.
constexpr QFileDevice::Permissions kEveryone = QFileDevice::ReadOwner | QFileDevice::WriteOwner
    | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
    | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
constexpr QFileDevice::Permissions kReadOnly = QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

void makeFile(const QString &path, bool readOnly = false)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write("x");
    f.close();
    QVERIFY(f.setPermissions(readOnly ? kReadOnly : kReadOnly | QFileDevice::WriteOwner));
}

// Anything at the path, a dangling link too.
bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool isReadOnly(const QString &path) { return (QFile::permissions(path) & kEveryone) == kReadOnly; }

#ifndef Q_OS_WIN
mode_t modeOf(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

void makeLink(const QString &target, const QString &link)
{
    QVERIFY(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0);
}
#endif

} // namespace

class TestPathHelpers : public QObject {
    Q_OBJECT
private slots:
    void cleanBackslashes_data();
    void cleanBackslashes();
    void lastPathPart_data();
    void lastPathPart();
    void folderExists_data();
    void folderExists();
    void deleteExistingFile_data();
    void deleteExistingFile();
#ifndef Q_OS_WIN
    void deleteInReadOnlyFolderKeepsFile();
#endif
};

void TestPathHelpers::cleanBackslashes_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    const int win = int(PathStyle::Windows), posix = int(PathStyle::Posix);

    QTest::newRow("win doubled inside") << win << R"(C:\\Data\\Photos\)" << R"(C:\Data\Photos\)";
    QTest::newRow("win unchanged") << win << R"(C:\Data\)" << R"(C:\Data\)";
    QTest::newRow("win share kept") << win << R"(\\server\\share\\dir\)" << R"(\\server\share\dir\)";
    QTest::newRow("win long leading run") << win << R"(\\\\server\share)" << R"(\\server\share)";
    QTest::newRow("win single leading") << win << R"(\Data)" << R"(\\Data)";
    QTest::newRow("win empty") << win << QString() << QString();
    QTest::newRow("win run of three") << win << R"(a\\\b)" << R"(a\\b)";
    QTest::newRow("win run of four") << win << R"(a\\\\b)" << R"(a\\b)";
    QTest::newRow("win run of five") << win << R"(a\\\\\b)" << R"(a\\\b)";
    QTest::newRow("win only separators") << win << R"(\\\)" << R"(\\)";
    QTest::newRow("win slash untouched") << win << "C://x" << "C://x";

    QTest::newRow("posix doubled") << posix << "/usr//lib//" << "/usr/lib/";
    QTest::newRow("posix unchanged") << posix << "/home/a/" << "/home/a/";
    QTest::newRow("posix leading run") << posix << "///home" << "/home";
    QTest::newRow("posix root doubled") << posix << "//" << "/";
    QTest::newRow("posix root") << posix << "/" << "/";
    QTest::newRow("posix relative") << posix << "a//b///c" << "a/b//c";
    QTest::newRow("posix empty") << posix << QString() << QString();
    QTest::newRow("posix backslash untouched") << posix << R"(a\\b//c)" << R"(a\\b/c)";
}

void TestPathHelpers::cleanBackslashes()
{
    QFETCH(int, style);
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(CleanBackslashes(input, PathStyle(style)), expected);
}

void TestPathHelpers::lastPathPart_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("folder") << "/data/photos" << "photos";
    QTest::newRow("trailing separator") << "/data/photos/" << "";
    QTest::newRow("no separator") << "photos" << "photos";
    QTest::newRow("root") << "/" << "";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("dots") << "/a/b.c.d" << "b.c.d";
}

void TestPathHelpers::lastPathPart()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(GetLastPathPart(native(path)), expected);
}

void TestPathHelpers::folderExists_data()
{
    QTest::addColumn<QString>("relative"); // below a fresh temporary folder; "" is empty text
    QTest::addColumn<bool>("expected");
    QTest::newRow("folder") << "dir" << true;
    QTest::newRow("folder with separator") << "dir/" << true;
#ifndef Q_OS_WIN
    QTest::newRow("link to folder") << "dirLink" << true;
    QTest::newRow("dangling link") << "dangling" << false;
#endif
    QTest::newRow("file") << "file" << false;
    QTest::newRow("file with separator") << "file/" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("empty text") << "" << false;
    QTest::newRow("embedded NUL") << QString("dir") + QChar(u'\0') + "x" << false;
}

void TestPathHelpers::folderExists()
{
    QFETCH(QString, relative);
    QFETCH(bool, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = QDir::toNativeSeparators(tmp.path()) + kNativeSeparator;
    QVERIFY(QDir(tmp.path()).mkdir("dir"));
    makeFile(base + "file");
#ifndef Q_OS_WIN
    makeLink("dir", base + "dirLink");
    makeLink("nothing", base + "dangling");
#endif
    QCOMPARE(FolderExists(relative.isEmpty() ? QString() : base + native(relative)), expected);
}

void TestPathHelpers::deleteExistingFile_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<QStringList>("kept");
    QStringList all{"plain.zip", "readonly.zip", "dir"};
#ifndef Q_OS_WIN
    all << "*.zip" << "link.zip";   // a name Windows refuses, and a link
#endif
    auto except = [&](const QStringList &removed) {
        QStringList rest = all;
        for (const QString &r : removed)
            rest.removeAll(r);
        return rest;
    };
    QTest::newRow("plain file") << "plain.zip" << QStringList{"plain.zip"} << except({"plain.zip"});
    QTest::newRow("read-only file") << "readonly.zip" << QStringList{"readonly.zip"} << except({"readonly.zip"});
#ifndef Q_OS_WIN
    QTest::newRow("name is not a pattern") << "*.zip" << QStringList{"*.zip"} << except({"*.zip"});
    // The link goes; the file it points to stays.
    QTest::newRow("link") << "link.zip" << QStringList{"link.zip"} << except({"link.zip"});
#endif
    QTest::newRow("folder is never removed") << "dir" << QStringList{} << all;
    QTest::newRow("missing file") << "missing.zip" << QStringList{} << all;
    QTest::newRow("empty text") << "" << QStringList{} << all;
    QTest::newRow("embedded NUL") << QString("plain.zip") + QChar(u'\0') + "x" << QStringList{} << all;
}

void TestPathHelpers::deleteExistingFile()
{
    QFETCH(QString, target);
    QFETCH(QStringList, gone);
    QFETCH(QStringList, kept);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString base = QDir::toNativeSeparators(tmp.path()) + kNativeSeparator;
    makeFile(base + "plain.zip");
    makeFile(base + "readonly.zip", true);
    QVERIFY(QDir(tmp.path()).mkdir("dir"));
#ifndef Q_OS_WIN
    makeFile(base + "*.zip");
    makeLink("readonly.zip", base + "link.zip");
#endif

    int yields = 0;
    DeleteExistingFile(target.isEmpty() ? QString() : base + target, [&] { ++yields; });
    QCOMPARE(yields, 1);
    for (const QString &g : gone)
        QVERIFY2(!exists(base + g), qPrintable(g));
    for (const QString &k : kept)
        QVERIFY2(exists(base + k), qPrintable(k));
    // A read-only file that stays is still read-only: neither a refused
    // removal nor removing a link to it changed its mode.
    QCOMPARE(isReadOnly(base + "readonly.zip"), exists(base + "readonly.zip"));
}

#ifndef Q_OS_WIN
// A read-only file in a folder the user cannot write to cannot be removed;
// the attempt is silent and the file keeps its mode.
void TestPathHelpers::deleteInReadOnlyFolderKeepsFile()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
    const QString folder = tmp.path() + "/ro";
    QVERIFY(QDir(tmp.path()).mkdir("ro"));
    const QString file = folder + "/f.zip";
    makeFile(file, true);

    const bool asRoot = ::geteuid() == 0;
    // As root the file's owner must be the unprivileged user who tries.
    if (asRoot) {
        QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        QVERIFY(::chown(QFile::encodeName(file).constData(), 65534, 65534) == 0);
    }
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);

    if (!asRoot) {
        DeleteExistingFile(file, [] {});
    } else {
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            if (::access(QFile::encodeName(folder).constData(), W_OK) == 0)
                ::_exit(4);
            DeleteExistingFile(file, [] {});
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4)
            QSKIP("cannot drop privileges here");
        QCOMPARE(WEXITSTATUS(status), 0);
    }
    QVERIFY(exists(file));
    QCOMPARE(modeOf(file), mode_t(0444));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
}
#endif

QTEST_GUILESS_MAIN(TestPathHelpers)
#include "test_pathhelpers.moc"
