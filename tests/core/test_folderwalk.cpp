// The folder walk, on real temporary trees.
#include "core/FolderWalk.h"

#include "core/FileNames.h"
#include "core/PathHelpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <functional>
#include <stdexcept>

#ifdef Q_OS_WIN
#  include <windows.h>
#  undef Yield   // an old macro of winbase.h, and a type of the walk's
#else
#  include <cerrno>
#  include <cstring>
#  include <fcntl.h>
#  include <grp.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const QChar kSep = kNativeSeparator;

// Rows are written with '/'.
QString native(QString path)
{
    return path.replace(u'/', kSep);
}

// A folder whose name begins with a dot is hidden; on Windows it is marked
// so as well, as hiding is an attribute there.
void hideDotFolder(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring wide = QDir::toNativeSeparators(path).toStdWString();
    QVERIFY2(SetFileAttributesW(wide.c_str(), GetFileAttributesW(wide.c_str()) | FILE_ATTRIBUTE_HIDDEN),
             qPrintable(path));
#else
    Q_UNUSED(path);
#endif
}

void makeFolders(const QString &base, const QStringList &relative)
{
    for (const QString &r : relative) {
        QVERIFY2(QDir(base).mkpath(r), qPrintable(base + kSep + r));
        const QStringList parts = r.split(u'/');
        for (qsizetype i = 0; i < parts.size(); ++i)
            if (parts[i].startsWith(u'.'))
                hideDotFolder(base + u'/' + parts.mid(0, i + 1).join(u'/'));
    }
}

void makeFile(const QString &path)
{
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
}

#ifndef Q_OS_WIN
void makeLink(const QString &target, const QString &link)
{
    QVERIFY2(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) == 0,
             std::strerror(errno));
}
#endif

// Names of the sub-folders of `dir` in the order the directory reports them.
QStringList listingOrder(const QString &dir)
{
    QStringList names;
    for (const fs::directory_entry &e : fs::directory_iterator(fs::path(dir.toStdU16String())))
        if (e.is_directory())
            names << QString::fromStdU16String(e.path().filename().u16string());
    return names;
}

// Full entries as the walk should give them: every folder after all of its
// descendants, siblings together in listing order. Used only for plain
// trees (no links, no hidden names).
QStringList expectedWalk(const QString &root)
{
    QStringList below, own;
    for (const QString &name : listingOrder(root)) {
        const QString sub = root + name + kSep;
        below << expectedWalk(sub);
        own << sub;
    }
    return below + own;
}

QStringList walk(const QString &root, bool recurse = true)
{
    QStringList out;
    CollectSubFolders(root, out, recurse, [] {});
    return out;
}

QString rootOf(const QTemporaryDir &dir)
{
    return QDir::toNativeSeparators(dir.path()) + kSep;
}

} // namespace

class TestFolderWalk : public QObject {
    Q_OBJECT
private slots:
    void shapes_data();
    void shapes();
    void exampleTreeOrder();
    void immediateOnly();
    void rootForms();
    void keepsExistingEntries();
    void yieldPoints();
#ifndef Q_OS_WIN
    void linksAreFollowedOnce();
    void linksThatLeaveOrReenter_data();
    void linksThatLeaveOrReenter();
    void unreadableFolder();
    void deepTree();
    void undecodableName();
#endif
};

// Which folders a tree gives, as a set; the order is checked separately.
void TestFolderWalk::shapes_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("empty") << QStringList{} << QStringList{} << QStringList{};
    QTest::newRow("files only") << QStringList{} << QStringList{"a.txt", ".hidden.txt"} << QStringList{};
    QTest::newRow("hidden folder and all below it")
        << QStringList{".h/inner/deeper", "A/.h2/x", "A/B"} << QStringList{"A/f"}
        << QStringList{"A/B/", "A/"};
    QTest::newRow("names with spaces and dots")
        << QStringList{"a b/c.d", "e..f"} << QStringList{}
        << QStringList{"a b/c.d/", "a b/", "e..f/"};
}

void TestFolderWalk::shapes()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), folders);
    for (const QString &f : files)
        makeFile(tmp.path() + kSep + f);

    const QString root = rootOf(tmp);
    QStringList got = walk(root);
    for (const QString &e : got) {
        QVERIFY2(e.startsWith(root), qPrintable(e));
        QVERIFY2(e.endsWith(kSep) && !e.endsWith(QString(2, kSep)), qPrintable(e));
        const QString last = e.chopped(1).section(kSep, -1);
        QVERIFY2(last != "." && last != "..", qPrintable(e));
    }
    QStringList want;
    for (const QString &e : expected)
        want << root + QString(e).replace(u'/', kSep);
    got.sort();
    want.sort();
    QCOMPARE(got, want);
}

void TestFolderWalk::exampleTreeOrder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), {"A/A1", "A/A2", "B/B1/B1x"});
    makeFile(tmp.path() + "/A/file.txt");
    const QString root = rootOf(tmp);
    const QStringList got = walk(root);

    QCOMPARE(got, expectedWalk(root));
    // The same, spelled out: A's and B's sub-trees in listing order, then A and B.
    const QString a = root + native("A/"), b = root + native("B/");
    QStringList aPart, bPart = {b + native("B1/B1x/"), b + native("B1/")};
    for (const QString &n : listingOrder(a))
        aPart << a + n + kSep;
    const bool aFirst = listingOrder(root).first() == "A";
    const QStringList want = aFirst ? aPart + bPart + QStringList{a, b} : bPart + aPart + QStringList{b, a};
    QCOMPARE(got, want);
}

void TestFolderWalk::immediateOnly()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), {"A/A1", "B", ".C"});
    const QString root = rootOf(tmp);
    QStringList want;
    for (const QString &n : listingOrder(root))
        if (!n.startsWith('.'))
            want << root + n + kSep;
    QCOMPARE(walk(root, false), want);
}

void TestFolderWalk::rootForms()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), {"A/A1", "B"});
    const QString path = QDir::toNativeSeparators(tmp.path());
    const QStringList plain = walk(rootOf(tmp));
    QCOMPARE(plain.size(), 3);
    // A chosen root that already ended in a separator arrives doubled.
    QCOMPARE(walk(path + kSep + kSep), plain);
    // A missing separator is supplied rather than glued onto the names.
    QCOMPARE(walk(path), plain);
    QVERIFY(walk(QString()).isEmpty());
    QVERIFY(walk(path + QChar(u'\0') + native("A/")).isEmpty());
    QVERIFY(walk(path + native("/missing/")).isEmpty());

    // The file-system root ("/", "C:\") given with a doubled separator:
    // single separators.
    const QString fsRoot = QDir::toNativeSeparators(QDir::rootPath());
    const QStringList top = walk(fsRoot + kSep, false);
    QVERIFY(!top.isEmpty());
    for (const QString &e : top) {
        QVERIFY2(e.startsWith(fsRoot) && e.at(fsRoot.size()) != kSep, qPrintable(e));
        QVERIFY2(e.endsWith(kSep) && e.count(kSep) == 2, qPrintable(e));
    }
}

void TestFolderWalk::keepsExistingEntries()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), {"A/A1"});
    const QString root = rootOf(tmp);
    QStringList out{"first", root + native("A/")};
    CollectSubFolders(root, out, true, [] {});
    QCOMPARE(out, (QStringList{"first", root + native("A/"), root + native("A/A1/"), root + native("A/")}));
}

void TestFolderWalk::yieldPoints()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    makeFolders(tmp.path(), {"A"});
    makeFile(tmp.path() + "/A/f");
    makeFile(tmp.path() + "/g");
    int yields = 0;
    QStringList out;
    // Root: opened (1), ".", "..", "A", "g" (4). A: opened (1), ".", "..",
    // "f" (3). One append (1).
    CollectSubFolders(rootOf(tmp), out, true, [&] { ++yields; });
    QCOMPARE(out.size(), 1);
    QCOMPARE(yields, 10);
    // An empty callback is allowed.
    out.clear();
    CollectSubFolders(rootOf(tmp), out, true, Yield());
    QCOMPARE(out.size(), 1);
}

#ifndef Q_OS_WIN
// Links, permissions and names that are bytes: POSIX calls make them.

void TestFolderWalk::linksAreFollowedOnce()
{
    QTemporaryDir tmp, outside;
    QVERIFY(tmp.isValid() && outside.isValid());
    const QString root = rootOf(tmp);
    makeFolders(tmp.path(), {"A/B", "C"});
    makeFolders(outside.path(), {"X/Y"});
    makeLink(tmp.path(), root + "A/B/up");          // back to the starting folder
    makeLink(root + "A", root + "C/toA");            // back to an ancestor's sibling
    makeLink(outside.path() + "/X", root + "ext");   // out of the tree
    makeLink(root + "nowhere", root + "dangling");
    makeFile(root + "file");
    makeLink(root + "file", root + "fileLink");

    // A walk that keeps going round is stopped rather than left to hang.
    QStringList got;
    long long yields = 0;
    try {
        CollectSubFolders(root, got, true, [&] {
            if (++yields > 100000)
                throw std::runtime_error("runaway walk");
        }, nullptr, true);
    } catch (const std::runtime_error &) {
        QFAIL("the walk went round a link loop");
    }
    // Each real folder once: A, B, C, and X and Y through the link out of the
    // tree. The links back into it add nothing: A and the starting folder
    // were met first by their own paths.
    QStringList want{root + "A/", root + "A/B/", root + "C/", root + "ext/", root + "ext/Y/"};
    QStringList sorted = got;
    sorted.sort();
    QCOMPARE(sorted, want);
    // Followed links keep the walk's order: Y comes before ext.
    QVERIFY(got.indexOf(root + "ext/Y/") < got.indexOf(root + "ext/"));
}

void TestFolderWalk::linksThatLeaveOrReenter_data()
{
    // A link named "@..." lies in the folder outside the tree; "%1" makes six
    // links, to p0 ... p5, so that both listing orders of a link and its real
    // folder occur.
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");   // "@" stands for the outside folder, "~" for the tree
    QTest::addColumn<QStringList>("extra"); // entries the link adds when links out are followed
    QTest::addColumn<bool>("inside");       // it leads into the tree: named in both modes
    QTest::addColumn<bool>("following");    // links out of the tree followed
    for (const bool following : {true, false}) {
        const char *mode = following ? "following: " : "not following: ";
        const auto row = [&](const char *name) -> QTestData & { return QTest::newRow(qPrintable(mode + QString(name))); };
        row("the root") << "sysroot" << "/" << QStringList() << false << following;
        row("the parent") << "up" << ".." << QStringList() << false << following;
        row("an ancestor") << "A/B/top" << "../../.." << QStringList() << false << following;
        row("the folder itself") << "A/self" << ".." << QStringList() << true << following;
        row("into the tree") << "q%1" << "p%1" << QStringList() << true << following;
        row("into the tree from below") << "A/B/toA" << "~A" << QStringList() << true << following;
        row("a system file system") << "proc" << "/proc" << QStringList() << false << following;
        row("elsewhere") << "other" << "@Z" << QStringList{"other/"} << false << following;
        row("from elsewhere to its parent") << "@X/loop" << "@" << QStringList() << false << following;
        row("from elsewhere into the tree") << "@X/back" << "~A" << QStringList() << false << following;
    }
}

void TestFolderWalk::linksThatLeaveOrReenter()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(QStringList, extra);
    QFETCH(bool, inside);
    QFETCH(bool, following);
    QTemporaryDir tmp, outside;
    QVERIFY(tmp.isValid() && outside.isValid());
    const QString root = rootOf(tmp);
    makeFolders(tmp.path(), {"A/B", "p0", "p1", "p2", "p3", "p4", "p5"});
    makeFolders(outside.path(), {"X/Y", "Z"});
    makeLink(outside.path() + "/X", root + "ext");
    // Not following, no link out of the tree is entered: the engine stores
    // such links as links, and only those back into the tree are named here.
    QStringList want{"A/", "A/B/", "p0/", "p1/", "p2/", "p3/", "p4/", "p5/"};
    if (following)
        want += QStringList{"ext/", "ext/Y/"} + extra;
    int links = 0;
    for (int i = 0; i < (link.contains("%1") ? 6 : 1); ++i, ++links) {
        QString from = link.arg(i), to = target.arg(i);
        from = from.startsWith('@') ? outside.path() + "/" + from.mid(1) : root + from;
        to.replace('@', outside.path() + "/").replace('~', root);
        makeLink(to, from);
    }

    QStringList got, leftOut;
    long long yields = 0;
    try {
        CollectSubFolders(root, got, true, [&] {
            if (++yields > 100000)
                throw std::runtime_error("runaway walk");
        }, &leftOut, following);
    } catch (const std::runtime_error &) {
        QFAIL("the walk left the tree");
    }
    for (QString &entry : got) {
        QVERIFY2(entry.startsWith(root), qPrintable(entry));
        entry.remove(0, root.size());
    }
    got.sort();
    want.sort();
    QCOMPARE(got, want);
    if (!extra.isEmpty() || (!following && !inside)) {
        QCOMPARE(leftOut, QStringList());
        return;
    }
    // From outside the tree, a link is met only when links out are followed.
    QCOMPARE(leftOut.size(), following || !link.startsWith('@') ? links : 0);
    for (const QString &note : std::as_const(leftOut))
        QVERIFY2(note.contains(" -> ") && note.contains(": link not followed, "), qPrintable(note));
}

void TestFolderWalk::unreadableFolder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = rootOf(tmp);
    makeFolders(tmp.path(), {"A/A1", "locked/inner", "Z/Z1"});
    QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(root + "locked").constData(), 0700) == 0);

    QStringList got;
    if (::geteuid() != 0) {
        QVERIFY(::chmod(QFile::encodeName(root + "locked").constData(), 0) == 0);
        got = walk(root);
        ::chmod(QFile::encodeName(root + "locked").constData(), 0700);
    } else {
        // Root reads every folder, so the walk runs in a child that has given
        // up its privileges for good.
        int fds[2];
        QVERIFY(::pipe(fds) == 0);
        const pid_t pid = ::fork();
        QVERIFY(pid >= 0);
        if (pid == 0) {
            ::close(fds[0]);
            int code = 0;
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
                code = 3;
            else if (::access(QFile::encodeName(root + "locked").constData(), R_OK) == 0)
                code = 4; // still readable: nothing to test
            else {
                const QByteArray text = walk(root).join(u'\n').toUtf8();
                for (qsizetype done = 0; done < text.size();) {
                    const ssize_t n = ::write(fds[1], text.constData() + done, size_t(text.size() - done));
                    if (n <= 0) {
                        code = 5;
                        break;
                    }
                    done += n;
                }
            }
            ::close(fds[1]);
            ::_exit(code);
        }
        ::close(fds[1]);
        QByteArray text;
        char buf[4096];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            text.append(buf, n);
        ::close(fds[0]);
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFEXITED(status));
        if (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 4)
            QSKIP("cannot make a folder unreadable here");
        QCOMPARE(WEXITSTATUS(status), 0);
        got = QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
    }
    // The locked folder itself is seen from its parent; nothing below it is.
    got.sort();
    QCOMPARE(got, (QStringList{root + "A/", root + "A/A1/", root + "Z/", root + "Z/Z1/", root + "locked/"}));
}

void TestFolderWalk::deepTree()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const int depth = 400;
    QString rel;
    // Built one level at a time relative to the previous one; mkpath would
    // resolve the whole growing path for every level.
    int fd = ::open(QFile::encodeName(tmp.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(fd >= 0);
    for (int i = 0; i < depth; ++i) {
        rel += (i ? "/" : "") + QString("d");
        const bool made = ::mkdirat(fd, "d", 0755) == 0;
        const int next = made ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY) : -1;
        ::close(fd);
        fd = next;
        QVERIFY2(fd >= 0, std::strerror(errno));
    }
    ::close(fd);
    const QString root = rootOf(tmp);
    const QStringList got = walk(root);
    QCOMPARE(got.size(), depth);
    QCOMPARE(got.first(), root + rel + kSep);
    QCOMPARE(got.last(), root + "d/");
}

void TestFolderWalk::undecodableName()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QByteArray base = QFile::encodeName(tmp.path());
    const QByteArray odd = base + "/bad\xff";
    QVERIFY(::mkdir(odd.constData(), 0755) == 0);
    QVERIFY(::mkdir((odd + "/inner").constData(), 0755) == 0);
    makeFolders(tmp.path(), {"good"});
    // The folder is walked, and its entry names the same bytes again.
    const QStringList got = walk(rootOf(tmp));
    QCOMPARE(got.size(), 3);
    QVERIFY(got.contains(rootOf(tmp) + "good/"));
    const QString inner = FileNameFromNative(odd + "/inner/");
    QVERIFY(got.contains(inner));
    QCOMPARE(FileNameToNative(inner), odd + "/inner/");
    QCOMPARE(FileNameForDisplay(inner), rootOf(tmp) + "bad" + QChar(0xFFFD) + "/inner/");
    // QTemporaryDir cannot remove what it cannot name.
    QVERIFY(::rmdir((odd + "/inner").constData()) == 0);
    QVERIFY(::rmdir(odd.constData()) == 0);
}

#endif

QTEST_GUILESS_MAIN(TestFolderWalk)
#include "test_folderwalk.moc"
