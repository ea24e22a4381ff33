#include "app/Dialogs.h"
#include "app/AppHelpers.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

namespace {

DialogSeam *g_seam = nullptr;

// Splits a long text into what the box shows and what waits behind its
// "Show Details..." button, so the box never grows past the screen.
void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    QMessageBox box(icon, title.isEmpty() ? ApplicationTitle() : title, QString(),
                    QMessageBox::Ok, parent);
    QString shown = text;
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() > QtDialogs::kShownLines || text.size() > QtDialogs::kShownChars) {
        shown = lines.mid(0, QtDialogs::kShownLines).join(QLatin1Char('\n'));
        if (shown.size() > QtDialogs::kShownChars)
            shown = shown.left(QtDialogs::kShownChars) + QStringLiteral("...");
        shown += QStringLiteral("\n\n(%1 lines in all: see the details.)").arg(lines.size());
        box.setDetailedText(text);
    }
    box.setText(shown);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

DialogSeam &Dialogs()
{
    static QtDialogs real;
    return g_seam ? *g_seam : real;
}

void SetDialogs(DialogSeam *seam) { g_seam = seam; }

void QtDialogs::information(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Information, title, text);
}

void QtDialogs::warning(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Warning, title, text);
}

QString QtDialogs::browseFolder(QWidget *owner, const QString &title, const QString &start)
{
    const QString chosen = QFileDialog::getExistingDirectory(
        owner, title, start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return QString();
    QString path = QDir::toNativeSeparators(QDir::cleanPath(chosen));
    const QChar sep = QDir::separator();
    // A root keeps its separator ("/", "C:\"); any other folder has none.
    const bool isRoot = QDir(chosen).isRoot();
    if (!isRoot) {
        while (path.endsWith(sep))
            path.chop(1);
    } else if (!path.endsWith(sep)) {
        path += sep;
    }
    return path;
}
