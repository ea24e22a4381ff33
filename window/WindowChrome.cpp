// The window's cosmetic layers: the skin, the hover pointer, and folders
// dropped onto the window from a file manager.
#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "core/ProgramInfo.h"
#include "core/QbError.h"
#include "core/Yield.h"
#include "window/ErrorReport.h"
#include "window/FolderBrowser.h"
#include "window/MainWindow.h"
#include "window/Platform.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QRadioButton>
#include <QStringDecoder>
#include <QUrl>

#include <algorithm>

// The program's pictures live in a static library, which does not register
// its resources by itself.
static void registerResources() { Q_INIT_RESOURCE(resources); }
Q_CONSTRUCTOR_FUNCTION(registerResources)

namespace {

// A skin is a Qt style sheet; anything bigger than this is no skin.
constexpr qint64 kMaxSkinBytes = 1024 * 1024;

QString skinPath()
{
    const QChar sep = QDir::separator();
    return ProgramFolder() + sep + QStringLiteral("x") + sep + QStringLiteral("o.cjs");
}

// True when a listing of the program's skin folder would show the skin:
// an entry that is neither a folder nor hidden (nor, on Windows, a system file).
bool skinListed(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && !info.isDir() && !info.isHidden() && !IsSystemFile(path);
}

[[noreturn]] void skinFailure(const QString &path, const QString &what)
{
    throw QbError(kQbGeneralError, QStringLiteral("ApplySkin"),
                  QStringLiteral("The skin %1 %2.").arg(QDir::toNativeSeparators(path), what));
}

// Qt takes any text as a style sheet and drops what it cannot parse without a
// word, so check what can be checked here: comments and strings closed,
// braces balanced, at least one declaration.
void checkSheetSyntax(const QString &path, const QString &sheet)
{
    QList<int> openLines; // line of every '{' still open
    int line = 1;
    bool anyContent = false;
    for (qsizetype i = 0; i < sheet.size(); ++i) {
        const QChar c = sheet[i];
        if (c == u'\n') {
            ++line;
        } else if (c == u'/' && i + 1 < sheet.size() && sheet[i + 1] == u'*') {
            const int startLine = line;
            const qsizetype end = sheet.indexOf(QStringLiteral("*/"), i + 2);
            if (end < 0)
                skinFailure(
                    path,
                    QStringLiteral("has a comment opened at line %1 that is never closed").arg(startLine));
            line += int(QStringView(sheet).mid(i, end - i).count(u'\n'));
            i = end + 1;
        } else if (c == u'"' || c == u'\'') {
            const int startLine = line;
            qsizetype j = i + 1;
            for (; j < sheet.size() && sheet[j] != c && sheet[j] != u'\n'; ++j) {
                if (sheet[j] == u'\\')
                    ++j;
            }
            if (j >= sheet.size() || sheet[j] != c)
                skinFailure(
                    path, QStringLiteral("has a quoted text at line %1 that is never closed").arg(startLine));
            anyContent = true;
            i = j;
        } else if (c == u'{') {
            openLines.append(line);
            anyContent = true;
        } else if (c == u'}') {
            if (openLines.isEmpty())
                skinFailure(path, QStringLiteral("has a '}' at line %1 without a matching '{'").arg(line));
            openLines.removeLast();
        } else if (!c.isSpace()) {
            anyContent = true;
        }
    }
    if (!openLines.isEmpty())
        skinFailure(path, QStringLiteral("has a '{' at line %1 that is never closed").arg(openLines.last()));
    if (!anyContent)
        skinFailure(path, QStringLiteral("holds no style rules"));
}

// Reads and checks a skin file; returns its style sheet.
QString loadSkin(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        skinFailure(path, QStringLiteral("is not a regular file")); // never open a pipe or device
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        skinFailure(path, QStringLiteral("could not be opened: %1").arg(file.errorString()));
    if (file.size() > kMaxSkinBytes)
        skinFailure(path, QStringLiteral("is too large (%1 bytes; a skin holds at most %2)")
                              .arg(file.size())
                              .arg(kMaxSkinBytes));
    const QByteArray bytes = file.read(kMaxSkinBytes + 1);
    if (file.error() != QFileDevice::NoError)
        skinFailure(path, QStringLiteral("could not be read: %1").arg(file.errorString()));
    if (bytes.size() > kMaxSkinBytes)
        skinFailure(path, QStringLiteral("is too large (a skin holds at most %1 bytes)").arg(kMaxSkinBytes));
    if (bytes.trimmed().isEmpty())
        skinFailure(path, QStringLiteral("is empty"));
    if (bytes.contains('\0'))
        skinFailure(path, QStringLiteral("is not a text file"));
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString sheet = decoder(bytes);
    if (decoder.hasError())
        skinFailure(path, QStringLiteral("is not valid UTF-8 text"));
    checkSheetSyntax(path, sheet);
    return sheet;
}

void setBackColor(QWidget *w, const QColor &color)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, color);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

// The local paths among what is being dragged, as native paths without a
// trailing separator (the form the folder browser gives). Whether each is a
// folder is asked as it comes in: a drag may carry thousands.
QStringList draggedPaths(const QMimeData *mime)
{
    QStringList paths;
    if (!mime || !mime->hasUrls())
        return paths;
    const QList<QUrl> urls = mime->urls();
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString local = LocalPathOf(url);
        if (!local.isEmpty())
            paths << QDir::toNativeSeparators(QDir::cleanPath(local));
    }
    return paths;
}

bool anyFolder(const QStringList &paths)
{
    return std::any_of(paths.begin(), paths.end(), [](const QString &p) { return FolderExists(p); });
}

} // namespace

void MainWindow::applySkin()
{
    const QString path = skinPath();
    if (!skinListed(path))
        return; // no skin: the designed white window

    // The skin draws on the button-face colour: the window first, then every
    // frame, label, check box and option button on it.
    const QColor face = QApplication::palette().color(QPalette::Button);
    setBackColor(this, face);
    const QList<QWidget *> children = findChildren<QWidget *>();
    for (QWidget *w : children) {
        if (qobject_cast<QGroupBox *>(w) || qobject_cast<QLabel *>(w) || qobject_cast<QCheckBox *>(w)
            || qobject_cast<QRadioButton *>(w))
            setBackColor(w, face);
    }

    // Load, enable, apply. A skin that cannot be loaded stops here; the
    // window goes on without it.
    const QString sheet = loadSkin(path);
    setProperty("skinned", true); // lets a skin address the window as MainWindow[skinned="true"]
    setStyleSheet(sheet);
}

void MainWindow::hoverOverButton()
{
    if (m_mousePointer != kPointerBusy)
        setMousePointer(kPointerCustom);
}

void MainWindow::hoverOverBackground()
{
    if (m_mousePointer != kPointerBusy)
        setMousePointer(kPointerDefault);
}

// Folders dragged in from a file manager. The list and the frame leave drops
// to the window, so a drop anywhere on it, the list included, lands here.
void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!isBusy() && anyFolder(draggedPaths(event->mimeData())))
        event->acceptProposedAction();
    else
        event->ignore();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QStringList paths = isBusy() ? QStringList() : draggedPaths(event->mimeData());
    if (!anyFolder(paths)) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // Thousands of folders may come at once: they come in as those of
    // "Add All Subfolders Within Folder" do, the window answering meanwhile.
    AddingFolders adding(*this);
    for (const QString &path : paths) {
        ProcessPendingEvents();
        if (FolderExists(path))
            addDroppedFolder(path);
    }
}

void MainWindow::addDroppedFolder(const QString &path)
{
    ErrorTrap trap = MainWindowTrap(QStringLiteral("Form_OLEDragDrop"));
    addOneFolderRow(trap, path);
}

QStringList MainWindow::addFoldersFromCommandLine(const QStringList &folders)
{
    QStringList notFolders;
    AddingFolders adding(*this);
    for (const QString &folder : folders) {
        ProcessPendingEvents();
        if (FolderExists(folder))
            addDroppedFolder(folder);
        else
            notFolders << folder;
    }
    return notFolders;
}
