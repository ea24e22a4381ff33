// The folder list: its rows live in a FolderList; the list view shows them.
#include "core/FileNames.h"
#include "core/ProgramInfo.h"
#include "window/ErrorReport.h"
#include "window/MainWindow.h"

#include <QDir>
#include <QTreeWidget>

void MainWindow::showFolderList()
{
    // A row keeps its path exactly; what the list shows is that path with
    // any byte that is not valid UTF-8 as a replacement mark.
    connect(&m_folders, &FolderList::appended, this, [this](const QString &path) {
        const QString shown = FileNameForDisplay(path);
        auto *item = new QTreeWidgetItem(folderListView, {shown});
        item->setToolTip(0, shown);
    });
    connect(&m_folders, &FolderList::removed, this,
            [this](int index) { delete folderListView->topLevelItem(index); });
    connect(&m_folders, &FolderList::cleared, folderListView, &QTreeWidget::clear);
}

void MainWindow::appendRow(const QString &text) { m_folders.append(text); }

int MainWindow::rowCount() const { return m_folders.count(); }

QString MainWindow::rowText(int index) const { return m_folders.at(index - 1); }

bool MainWindow::IsFolderListed(const QString &path) const { return m_folders.contains(path); }

void MainWindow::removeSelectedRow()
{
    if (isBusy())
        return;
    if (rowCount() == 0)
        return;
    const QList<QTreeWidgetItem *> selected = folderListView->selectedItems();
    if (selected.isEmpty())
        return;
    m_folders.removeAt(folderListView->indexOfTopLevelItem(selected.first()));
}

void MainWindow::folderListKeyDown(int key)
{
    if (key != Qt::Key_Delete)
        return;
    removeSelectedRow();
}

void MainWindow::folderListDoubleClicked() { removeSelectedRow(); }

void MainWindow::clearList()
{
    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton3_Click"));
    trap(100, [&] {
        if (!isBusy())
            m_folders.clear();
    });
}

void MainWindow::loadSamples()
{
    if (isBusy())
        return;
    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton5_Click"));
    const QString samples = ProgramFolder() + QDir::separator() + QStringLiteral("Samples")
                            + QDir::separator();
    trap(100, [&] { appendRow(samples + QStringLiteral("1")); });
    trap(102, [&] { appendRow(samples + QStringLiteral("2")); });
    trap(104, [&] { appendRow(samples + QStringLiteral("3")); });
}
