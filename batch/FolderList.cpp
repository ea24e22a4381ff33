// The folder list: rows in and out.
#include "app/AppHelpers.h"
#include "app/FileNames.h"
#include "app/ErrorReport.h"
#include "app/QbError.h"
#include "app/Form1.h"

#include <QDir>
#include <QTreeWidget>

// A row keeps its path exactly, as data of its own; what the list shows is
// that path with any byte that is not valid UTF-8 as a replacement mark.
constexpr int kRowPathRole = Qt::UserRole;

void Form1::appendRow(const QString &text)
{
    const QString shown = FileNameForDisplay(text);
    auto *item = new QTreeWidgetItem(ListView1, {shown});
    item->setToolTip(0, shown);
    item->setData(0, kRowPathRole, text);
}

int Form1::rowCount() const { return ListView1->topLevelItemCount(); }

QString Form1::rowText(int index) const
{
    const QTreeWidgetItem *item = ListView1->topLevelItem(index - 1);
    if (!item)
        throw QbError(kQbGeneralError, QStringLiteral("ListItems"),
                      QStringLiteral("Index out of bounds"));
    return item->data(0, kRowPathRole).toString();
}

QStringList Form1::rowTexts() const
{
    QStringList rows;
    const int count = rowCount();
    rows.reserve(count);
    for (int i = 0; i < count; ++i)
        rows << ListView1->topLevelItem(i)->data(0, kRowPathRole).toString();
    return rows;
}

bool Form1::IsFolderListed(const QString &path) const
{
    const int count = rowCount();
    for (int i = 0; i < count; ++i) {
        if (ListView1->topLevelItem(i)->data(0, kRowPathRole).toString() == path)
            return true;
    }
    return false;
}

void Form1::removeSelectedRow()
{
    if (m_mousePointer == kPointerBusy || m_zipping)
        return;
    if (rowCount() == 0)
        return;
    const QList<QTreeWidgetItem *> selected = ListView1->selectedItems();
    if (selected.isEmpty())
        return;
    delete selected.first();
}

void Form1::ListView1_KeyDown(int key)
{
    if (key != Qt::Key_Delete)
        return;
    removeSelectedRow();
}

void Form1::ListView1_DblClick() { removeSelectedRow(); }

void Form1::PushButton3_Click()
{
    ErrorTrap trap = FormTrap(QStringLiteral("PushButton3_Click"));
    trap(100, [&] {
        if (m_mousePointer != kPointerBusy)
            ListView1->clear();
    });
}

void Form1::PushButton5_Click()
{
    ErrorTrap trap = FormTrap(QStringLiteral("PushButton5_Click"));
    const QString samples = ProgramFolder() + QDir::separator() + QStringLiteral("Samples")
                            + QDir::separator();
    trap(100, [&] { appendRow(samples + QStringLiteral("1")); });
    trap(102, [&] { appendRow(samples + QStringLiteral("2")); });
    trap(104, [&] { appendRow(samples + QStringLiteral("3")); });
}
