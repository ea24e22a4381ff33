// The folder list: its rows live in a FolderList; the list view shows them.
#include "core/FileNames.h"
#include "core/ProgramInfo.h"
#include "window/ErrorReport.h"
#include "window/MainWindow.h"

#include <QDir>
#include <QLocale>
#include <QTreeWidget>

namespace {

// How long rows wait for the list view while many folders come in.
constexpr int kShowRowsEvery = 100; // ms

QString addingText(int added)
{
    // The window's texts are English, and so are its numbers: "12,345".
    return QStringLiteral("Adding folders: ") + QLocale(QLocale::English).toString(added);
}

} // namespace

void MainWindow::showFolderList()
{
    // A row keeps its path exactly; what the list shows is that path with
    // any byte that is not valid UTF-8 as a replacement mark.
    m_showRowsTimer.setSingleShot(true);
    m_showRowsTimer.setInterval(kShowRowsEvery);
    connect(&m_showRowsTimer, &QTimer::timeout, this, [this] { showWaitingRows(); });
    connect(&m_folders, &FolderList::appended, this, [this](const QString &path) {
        const QString shown = FileNameForDisplay(path);
        auto *item = new QTreeWidgetItem(QStringList{shown});
        item->setToolTip(0, shown);
        m_rowsWaiting.append(item);
        if (m_addingFrom < 0)
            showWaitingRows();
        else if (!m_showRowsTimer.isActive())
            m_showRowsTimer.start();
    });
    connect(&m_folders, &FolderList::removed, this, [this](int index) {
        showWaitingRows();
        delete folderListView->topLevelItem(index);
    });
    connect(&m_folders, &FolderList::cleared, this, [this] {
        qDeleteAll(m_rowsWaiting);
        m_rowsWaiting.clear();
        folderListView->clear();
    });
}

void MainWindow::showWaitingRows()
{
    if (m_rowsWaiting.isEmpty())
        return;
    folderListView->addTopLevelItems(m_rowsWaiting);
    m_rowsWaiting.clear();
    if (m_addingFrom >= 0)
        progressBar->setText(addingText(rowCount() - m_addingFrom));
}

MainWindow::AddingFolders::AddingFolders(MainWindow &window)
    : m_window(window), m_busy(window, Busy::AddingFolders), m_barText(window.progressBar->Text())
{
    window.m_addingFrom = window.rowCount();
    window.setMousePointer(kPointerBusy);
    window.progressBar->setText(addingText(0));
}

MainWindow::AddingFolders::~AddingFolders()
{
    m_window.m_showRowsTimer.stop();
    m_window.showWaitingRows();
    m_window.m_addingFrom = -1;
    m_window.progressBar->setText(m_barText);
    m_window.setMousePointer(kPointerDefault);
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
    const QString samples =
        ProgramFolder() + QDir::separator() + QStringLiteral("Samples") + QDir::separator();
    trap(100, [&] { appendRow(samples + QStringLiteral("1")); });
    trap(102, [&] { appendRow(samples + QStringLiteral("2")); });
    trap(104, [&] { appendRow(samples + QStringLiteral("3")); });
}
