#include "window/MainWindow.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QStyle>
#include <QTreeWidget>

namespace {

QFont windowFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(9);
    font.setBold(true);
    return font;
}

QFont buttonFont()
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(11.25);
    font.setBold(true);
    return font;
}

void place(QWidget *w, int left, int top, int width, int height)
{
    w->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(buttonFont());
    button->setMouseTracking(true);
    button->setAutoDefault(false);
    return button;
}

// The captions are designed for Arial (Liberation Sans on Linux). Where only
// a wider font stands in for it, a caption that would be cut off gets a
// smaller size until it fits its button.
void fitCaption(QPushButton *button)
{
    constexpr int kMargin = 8; // the frame and a little air on each side
    QFont font = button->font();
    while (font.pointSizeF() > 7
           && QFontMetrics(font).horizontalAdvance(button->text()) + 2 * kMargin > button->width())
        font.setPointSizeF(font.pointSizeF() - 0.25);
    button->setFont(font);
}

void makeWhite(QWidget *w)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
                          | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    setFont(windowFont());
    setFixedSize(twips(8040), twips(5685));
    makeWhite(this);
    setMouseTracking(true);
    setAcceptDrops(true);
    buildControls();
}

void MainWindow::buildControls()
{
    buildFolderList();
    buildOutputControls();
    buildButtons();
    connectCommands();
    describeControls();
    setDesignedTabOrder();
}

void MainWindow::buildFolderList()
{
    folderListView = new QTreeWidget(this);
    folderListView->setObjectName(QStringLiteral("ListView1"));
    folderListView->setFont(windowFont());
    folderListView->setRootIsDecorated(false);
    folderListView->setUniformRowHeights(true);
    folderListView->setColumnCount(1);
    folderListView->setHeaderLabels({QString()});
    folderListView->setSelectionMode(QAbstractItemView::SingleSelection);
    folderListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    folderListView->header()->setStretchLastSection(false);
    folderListView->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    folderListView->setToolTip(QStringLiteral(
        "Double-click item to remove it. Move | line to right and out of window to reveal full names."));
    folderListView->setMouseTracking(true);
    folderListView->viewport()->setMouseTracking(true);
    folderListView->installEventFilter(this);
    folderListView->viewport()->installEventFilter(this);
    folderListView->setAcceptDrops(false);
    folderListView->viewport()->setAcceptDrops(false);
    place(folderListView, 120, 120, 7800, 2535);
    showFolderList();
}

void MainWindow::buildOutputControls()
{
    progressBar = new TextProgressBar(this);
    progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar->setText(QStringLiteral("Progress Bar"));
    place(progressBar, 120, 5160, 7800, 405);

    outputFrame = new QGroupBox(QStringLiteral("Save Results To This Folder"), this);
    outputFrame->setObjectName(QStringLiteral("Frame1"));
    outputFrame->setFont(windowFont());
    outputFrame->setMouseTracking(true);
    outputFrame->installEventFilter(this);
    makeWhite(outputFrame);
    place(outputFrame, 120, 3710, 7800, 810);

    outputFolderEdit = new QLineEdit(outputFrame);
    outputFolderEdit->setObjectName(QStringLiteral("Text1"));
    outputFolderEdit->setFont(windowFont());
    place(outputFolderEdit, 240, 300, 6660, 345);
    connect(outputFolderEdit, &QLineEdit::textChanged, this, [this] { outputFolderChanged(); });
}

void MainWindow::buildButtons()
{
    chooseOutputButton = makeButton(outputFrame, "PushButton7", QStringLiteral("..."));
    place(chooseOutputButton, 6960, 300, 600, 345);
    addOneFolderButton = makeButton(this, "PushButton4", QStringLiteral("Add One Folder"));
    place(addOneFolderButton, 120, 2750, 3840, 405);
    addAllSubfoldersButton =
        makeButton(this, "PushButton1", QStringLiteral("Add All Subfolders Within Folder"));
    place(addAllSubfoldersButton, 4080, 2750, 3840, 405);
    startButton = makeButton(this, "PushButton2", QStringLiteral("Start Zipping"));
    place(startButton, 120, 4640, 7800, 405);
    clearListButton = makeButton(this, "PushButton3", QStringLiteral("Clear List"));
    place(clearListButton, 120, 3260, 3840, 405);
    loadSamplesButton = makeButton(this, "PushButton5", QStringLiteral("Load Sample/Example Files"));
    place(loadSamplesButton, 4080, 3260, 3840, 405);

    for (QPushButton *b : {addAllSubfoldersButton, startButton, clearListButton, addOneFolderButton,
                           loadSamplesButton, chooseOutputButton}) {
        b->installEventFilter(this);
        fitCaption(b);
    }
}

void MainWindow::connectCommands()
{
    // Escape during a run offers to stop it.
    auto *stop = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stop->setContext(Qt::WindowShortcut);
    connect(stop, &QShortcut::activated, this, [this] { askToStop(); });

    connect(addAllSubfoldersButton, &QPushButton::clicked, this, [this] { addAllSubfolders(); });
    connect(startButton, &QPushButton::clicked, this, [this] { startZipping(); });
    connect(clearListButton, &QPushButton::clicked, this, [this] { clearList(); });
    connect(addOneFolderButton, &QPushButton::clicked, this, [this] { addOneFolder(); });
    connect(loadSamplesButton, &QPushButton::clicked, this, [this] { loadSamples(); });
    connect(chooseOutputButton, &QPushButton::clicked, this, [this] { chooseOutputFolder(); });
}

void MainWindow::describeControls()
{
    addOneFolderButton->setToolTip(QStringLiteral("Add one folder to the list"));
    addAllSubfoldersButton->setToolTip(QStringLiteral("Add every folder below a folder you choose"));
    clearListButton->setToolTip(QStringLiteral("Remove every folder from the list"));
    loadSamplesButton->setToolTip(QStringLiteral("Add the three sample folders"));
    startButton->setToolTip(kStartTip);
    chooseOutputButton->setToolTip(QStringLiteral("Choose the folder the archives go to"));

    // What a screen reader says where a caption alone says too little: the
    // list is named after its column, and "..." after what it does. The
    // bar's name is its text (TextProgressBar).
    folderListView->setAccessibleName(QStringLiteral("Folder(s)"));
    folderListView->setAccessibleDescription(QStringLiteral(
        "The folders to zip. Double-click a folder, or select it and press Delete, to remove it; "
        "Clear List removes them all."));
    chooseOutputButton->setAccessibleName(QStringLiteral("Choose the output folder"));
}

void MainWindow::setDesignedTabOrder()
{
    // Tab order as designed: list, bar, frame, box, "...", then the buttons.
    progressBar->setFocusPolicy(Qt::NoFocus);
    setTabOrder(folderListView, outputFolderEdit);
    setTabOrder(outputFolderEdit, chooseOutputButton);
    setTabOrder(chooseOutputButton, addOneFolderButton);
    setTabOrder(addOneFolderButton, addAllSubfoldersButton);
    setTabOrder(addAllSubfoldersButton, startButton);
    setTabOrder(startButton, clearListButton);
    setTabOrder(clearListButton, loadSamplesButton);
}

void MainWindow::setMousePointer(int value)
{
    if (value == m_mousePointer)
        return; // mouse moves come often; the cursors are already in place
    m_mousePointer = value;
    applyPointer();
}

void MainWindow::applyPointer()
{
    // A pointer other than the default applies over the whole window,
    // controls included; the default gives every control its own again.
    std::optional<QCursor> cursor;
    if (m_mousePointer == kPointerBusy)
        cursor = QCursor(Qt::WaitCursor);
    else if (m_mousePointer == kPointerCustom)
        cursor = m_customCursor ? *m_customCursor : QCursor(Qt::ArrowCursor);

    QList<QWidget *> widgets = findChildren<QWidget *>();
    widgets.prepend(this);
    for (QWidget *w : widgets) {
        if (cursor)
            w->setCursor(*cursor);
        else
            w->unsetCursor();
    }
    if (!cursor) {
        outputFolderEdit->setCursor(Qt::IBeamCursor);
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    event->accept();
    unload();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::Resize:
        if (watched == folderListView->viewport())
            fitColumnToList();
        break;
    case QEvent::FocusIn:
    case QEvent::FocusOut:
        if (watched == folderListView)
            markKeyboardFocus(static_cast<QFocusEvent *>(event));
        break;
    case QEvent::KeyPress:
        if (keyPressed(watched, static_cast<QKeyEvent *>(event)))
            return true;
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == folderListView->viewport()) {
            folderListDoubleClicked();
            return true;
        }
        break;
    case QEvent::MouseMove:
        // A move that a control left unhandled travels up through its
        // parents: only the control really under the mouse counts (the
        // list counts as a whole).
        if (watched == outputFrame
            && outputFrame->childAt(static_cast<QMouseEvent *>(event)->position().toPoint()))
            break;
        [[fallthrough]];
    case QEvent::Enter:
        hoverOver(watched);
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::markKeyboardFocus(QFocusEvent *event)
{
    // The list marks focus that the keyboard brought (Tab, Shift+Tab), so a
    // skin can frame it; a click shows itself by the selection.
    const auto reason = event->reason();
    const bool byKeyboard = event->type() == QEvent::FocusIn
                            && (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason);
    if (folderListView->property("keyboardFocus").toBool() != byKeyboard) {
        folderListView->setProperty("keyboardFocus", byKeyboard);
        folderListView->style()->unpolish(folderListView);
        folderListView->style()->polish(folderListView);
    }
}

bool MainWindow::keyPressed(QObject *watched, QKeyEvent *key)
{
    // Enter presses the focused button, as Space does.
    if (auto *button = qobject_cast<QPushButton *>(watched)) {
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && button->isEnabled()) {
            button->click();
            return true;
        }
    }
    if (watched == folderListView && key->key() == Qt::Key_Delete) {
        folderListKeyDown(key->key());
        return true;
    }
    return false;
}

void MainWindow::hoverOver(QObject *watched)
{
    if (qobject_cast<QPushButton *>(watched))
        hoverOverButton();
    else if (watched == folderListView || watched == folderListView->viewport() || watched == outputFrame)
        hoverOverBackground();
}

void MainWindow::fitColumnToList()
{
    const int width = folderListView->viewport()->width();
    if (folderListView->columnWidth(0) < width)
        folderListView->setColumnWidth(0, width);
}

void MainWindow::mouseMoveEvent(QMouseEvent *event)
{
    // A move that a control left unhandled (a button ignores moves without a
    // pressed mouse button) travels up to here: only the window's own
    // background counts.
    if (!childAt(event->position().toPoint()))
        hoverOverBackground();
    QWidget::mouseMoveEvent(event);
}
