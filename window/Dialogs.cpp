#include "window/Dialogs.h"
#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "core/ProgramInfo.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace {

DialogSeam *g_seam = nullptr;

void showBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const BoxText &parts)
{
    QMessageBox box(icon, title.isEmpty() ? ApplicationTitle() : title, QString(), QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setText(parts.shown);
    if (!parts.details.isEmpty())
        box.setDetailedText(parts.details);
    box.exec();
}

} // namespace

BoxText SplitLongMessage(const QString &message)
{
    // No box shows a control character raw, whatever text reached it.
    const QString text = TextForDisplay(message);
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.size() <= QtDialogs::kShownLines && text.size() <= QtDialogs::kShownChars)
        return {text, QString()};
    QString shown = lines.mid(0, QtDialogs::kShownLines).join(QLatin1Char('\n'));
    if (shown.size() > QtDialogs::kShownChars)
        shown = shown.left(QtDialogs::kShownChars) + QStringLiteral("...");
    shown += QStringLiteral("\n\n(%1 lines in all: see the details.)").arg(lines.size());
    return {shown, text};
}

DialogSeam &Dialogs()
{
    static QtDialogs real;
    return g_seam ? *g_seam : real;
}

void SetDialogs(DialogSeam *seam) { g_seam = seam; }

void QtDialogs::information(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Information, title, SplitLongMessage(text));
}

void QtDialogs::informationWithDetails(QWidget *parent, const QString &title, const QString &text,
                                       const QString &details)
{
    showBox(parent, QMessageBox::Information, title, {TextForDisplay(text), TextForDisplay(details)});
}

void QtDialogs::warning(QWidget *parent, const QString &title, const QString &text)
{
    showBox(parent, QMessageBox::Warning, title, SplitLongMessage(text));
}

int QtDialogs::choose(QWidget *parent, Sign sign, const QString &title, const QString &text,
                      const QStringList &buttons, int escape)
{
    const QMessageBox::Icon icon = sign == Sign::Warning    ? QMessageBox::Warning
                                   : sign == Sign::Question ? QMessageBox::Question
                                                            : QMessageBox::Information;
    QMessageBox box(icon, title.isEmpty() ? ApplicationTitle() : title, QString(), QMessageBox::NoButton,
                    parent);
    const BoxText parts = SplitLongMessage(text);
    box.setTextFormat(Qt::PlainText);
    box.setText(parts.shown);
    if (!parts.details.isEmpty())
        box.setDetailedText(parts.details);
    QList<QAbstractButton *> added;
    for (const QString &caption : buttons)
        added << box.addButton(caption, added.isEmpty() ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    if (!added.isEmpty())
        box.setDefaultButton(static_cast<QPushButton *>(added.first()));
    if (escape >= 0 && escape < added.size())
        box.setEscapeButton(added.at(escape));
    box.exec();
    const int pressed = int(added.indexOf(box.clickedButton()));
    return pressed >= 0 ? pressed : escape;
}

QString QtDialogs::browseFolder(QWidget *owner, const QString &title, const QString &start)
{
    const QString chosen = QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return QString();
    QString path = QDir::toNativeSeparators(QDir::cleanPath(chosen));
    const QChar sep = QDir::separator();
    // A root keeps its separator ("/", "C:\"); any other folder has none.
    // The text as chosen decides (IsRootPath), not IsRootFolder: a link to
    // "/" is a folder like any other here.
    const bool isRoot = IsRootPath(chosen);
    if (!isRoot) {
        while (path.endsWith(sep))
            path.chop(1);
    } else if (!path.endsWith(sep)) {
        path += sep;
    }
    return path;
}
