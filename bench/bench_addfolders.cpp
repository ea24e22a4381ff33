// How fast the window takes in many folders, and how well it keeps answering
// meanwhile: shows the real main window (offscreen unless QT_QPA_PLATFORM
// says otherwise), and adds every sub-folder of one folder the way a person
// would, the folder chooser answered at once. Records every turn of the
// event loop from the chooser's answer until the window is idle again and
// shows every row. Prints when the first row came in (for "Add All": where
// its walk ended), the time to idle, the longest gap between two turns, the
// 99th percentile and the number of gaps. Never judges them.
//
//   bench_addfolders [--folders N] [--listed] [--how add-all|command-line|drop]
//                    [--cache DIR]
//
//   --folders N  sub-folders in the folder added (default 20000); the folder
//                is made once under the cache folder and reused
//   --listed     the same folders are in the list already before the add
//   --how        "Add All Subfolders Within Folder" (add-all, the default),
//                the folders given on the command line, or dropped on the window
//   --cache DIR  default $QB_BENCH_CACHE or ~/.cache/quillbarrow-bench
//
// A turn is a firing of a zero-interval timer, which runs whenever the
// application processes its events, including inside the command's own
// calls to process them.
#include "BenchSupport.h"
#include "window/Dialogs.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QMimeData>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <algorithm>
#include <vector>

namespace {

QTextStream out(stdout);

// Answers the folder chooser with one folder and notes when it did; no other
// box is expected.
class AnsweringDialogs : public DialogSeam {
public:
    void information(QWidget *, const QString &, const QString &text) override { boxes << text; }
    void informationWithDetails(QWidget *, const QString &, const QString &text, const QString &) override
    {
        boxes << text;
    }
    void warning(QWidget *, const QString &, const QString &text) override { boxes << text; }
    int choose(QWidget *, Sign, const QString &, const QString &text, const QStringList &, int) override
    {
        boxes << text;
        return 0;
    }
    QString browseFolder(QWidget *, const QString &, const QString &) override
    {
        if (onAnswer)
            onAnswer();
        return answer;
    }

    QString answer;
    std::function<void()> onAnswer;
    QStringList boxes;
};

struct Options {
    int folders = 20000;
    bool listed = false;
    QString how = QStringLiteral("add-all");
    QString cache;
};

Options readOptions(const BenchCommand &command, QStringList args)
{
    Options o;
    o.cache = qEnvironmentVariable("QB_BENCH_CACHE");
    if (o.cache.isEmpty())
        o.cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
                  + QStringLiteral("/quillbarrow-bench");
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            command.help();
        else if (a == QLatin1String("--folders") && !args.isEmpty())
            o.folders = command.number(a, args.takeFirst(), 1);
        else if (a == QLatin1String("--listed"))
            o.listed = true;
        else if (a == QLatin1String("--how") && !args.isEmpty())
            o.how = args.takeFirst();
        else if (a == QLatin1String("--cache") && !args.isEmpty())
            o.cache = args.takeFirst();
        else
            command.fail(QStringLiteral("unknown option %1").arg(a));
    }
    if (!QStringList{"add-all", "command-line", "drop"}.contains(o.how))
        command.fail(QStringLiteral("--how is add-all, command-line or drop"));
    return o;
}

// The folder holding `count` empty sub-folders, made once and reused.
QString folderOf(const BenchCommand &command, const Options &o)
{
    const QString root = o.cache + QStringLiteral("/addfolders-%1").arg(o.folders);
    QDir dir(root);
    if (dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == o.folders)
        return root;
    if (!dir.mkpath(QStringLiteral(".")))
        command.fail(QStringLiteral("cannot make %1").arg(root));
    for (int i = 0; i < o.folders; ++i)
        if (!dir.mkpath(QStringLiteral("folder %1").arg(i, 6, 10, QLatin1Char('0'))))
            command.fail(QStringLiteral("cannot make the folders in %1").arg(root));
    return root;
}

void drop(MainWindow &form, const QStringList &folders)
{
    QList<QUrl> urls;
    for (const QString &f : folders)
        urls << QUrl::fromLocalFile(f);
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &dropped);
}

QString ms(qint64 ns) { return QString::number(double(ns) / 1e6, 'f', 1); }

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const BenchCommand command(QStringLiteral("bench_addfolders"),
                               QStringLiteral("bench_addfolders [--folders N] [--listed] "
                                              "[--how add-all|command-line|drop] [--cache DIR]"));
    const Options options = readOptions(command, app.arguments().mid(1));
    const QString root = folderOf(command, options);
    QStringList subFolders;
    for (const QString &name : QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        subFolders << root + QLatin1Char('/') + name;

    QTemporaryDir settingsDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    AnsweringDialogs seam;
    seam.answer = root;
    SetDialogs(&seam);

    MainWindow form;
    form.load();
    form.show();
    if (options.listed) {
        for (const QString &f : subFolders)
            form.appendRow(f);
    }
    QCoreApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> turns;
    turns.reserve(1 << 20);
    bool recording = false;
    auto record = [&] { turns.push_back(clock.nsecsElapsed()); };
    QTimer turn;
    turn.setInterval(0);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        if (recording)
            record();
    });
    turn.start();
    // Add All starts counting when the chooser answers; the others at once.
    seam.onAnswer = [&] {
        recording = true;
        record();
    };

    // The walk ends where the first row comes in.
    qint64 firstRowNs = -1;
    const int rowsBefore = form.rowCount();
    QObject::connect(&form.folders(), &FolderList::appended, [&] {
        if (firstRowNs < 0 && form.rowCount() > rowsBefore)
            firstRowNs = clock.nsecsElapsed() - turns.front();
    });

    qint64 commandNs = 0, idleNs = 0;
    QTimer::singleShot(0, &form, [&] {
        if (options.how == QLatin1String("add-all")) {
            form.addAllSubfolders();
        } else {
            seam.onAnswer();
            if (options.how == QLatin1String("command-line"))
                form.addFoldersFromCommandLine(subFolders);
            else
                drop(form, subFolders);
        }
        commandNs = clock.nsecsElapsed() - turns.front();
        // Idle: nothing left to do, every row in the view.
        while (form.isBusy() || form.folderListView->topLevelItemCount() != form.rowCount())
            QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        record();
        idleNs = turns.back() - turns.front();
        recording = false;
        QApplication::quit();
    });
    app.exec();
    SetDialogs(nullptr);

    std::vector<qint64> gaps;
    for (size_t i = 1; i < turns.size(); ++i)
        gaps.push_back(turns[i] - turns[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    const qint64 longest = gaps.empty() ? 0 : gaps.back();
    const qint64 p99 = gaps.empty() ? 0 : gaps[std::min(gaps.size() - 1, (gaps.size() * 99) / 100)];
    out << options.how << " of " << subFolders.size() << " folders"
        << (options.listed ? " already listed" : "") << ", " << form.rowCount() << " rows after\n";
    out << "first row after " << QString::number(double(firstRowNs) / 1e9, 'f', 2) << " s\n";
    out << "command returned after " << QString::number(double(commandNs) / 1e9, 'f', 2) << " s\n";
    out << "idle after " << QString::number(double(idleNs) / 1e9, 'f', 2) << " s\n";
    out << "longest event-loop gap " << ms(longest) << " ms\n";
    out << "99th percentile gap " << ms(p99) << " ms\n";
    out << "gaps " << gaps.size() << "\n";
    if (!seam.boxes.isEmpty())
        out << "boxes: " << seam.boxes.join(QStringLiteral(" | ")).left(500) << "\n";
    return seam.boxes.isEmpty() ? 0 : 1;
}
