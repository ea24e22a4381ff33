#include "app/Form1.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTreeWidget>

TextProgressBar::TextProgressBar(QWidget *parent) : QProgressBar(parent)
{
    setRange(0, 100);
    setValue(0);
    setTextVisible(true);
    setAlignment(Qt::AlignCenter);
}

void TextProgressBar::setText(const QString &text)
{
    m_text = text;
    update();
    emit textSet(text);
}

void TextProgressBar::setExactValue(double value)
{
    m_exact = value;
    setValue(qBound(0, qRound(value), 100));
    emit exactValueSet(value);
}

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

void makeWhite(QWidget *w)
{
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

} // namespace

Form1::Form1(QWidget *parent)
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

void Form1::buildControls()
{
    ListView1 = new QTreeWidget(this);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    ListView1->setFont(windowFont());
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setColumnCount(1);
    ListView1->setHeaderLabels({QString()});
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->header()->setStretchLastSection(false);
    ListView1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ListView1->setToolTip(QStringLiteral(
        "Double-click item to remove it. Move | line to right and out of window to reveal full names."));
    ListView1->setMouseTracking(true);
    ListView1->viewport()->setMouseTracking(true);
    ListView1->installEventFilter(this);
    ListView1->viewport()->installEventFilter(this);
    ListView1->setAcceptDrops(false);
    ListView1->viewport()->setAcceptDrops(false);
    place(ListView1, 120, 120, 7800, 2535);

    ProgressBar1 = new TextProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setText(QStringLiteral("Progress Bar"));
    place(ProgressBar1, 120, 5160, 7800, 405);

    Frame1 = new QGroupBox(QStringLiteral("Save Results To This Folder"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFont(windowFont());
    Frame1->setMouseTracking(true);
    Frame1->installEventFilter(this);
    makeWhite(Frame1);
    place(Frame1, 120, 3710, 7800, 810);

    Text1 = new QLineEdit(Frame1);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setFont(windowFont());
    place(Text1, 240, 300, 6660, 345);
    connect(Text1, &QLineEdit::textChanged, this, [this] { Text1_Change(); });

    PushButton7 = makeButton(Frame1, "PushButton7", QStringLiteral("..."));
    place(PushButton7, 6960, 300, 600, 345);
    PushButton4 = makeButton(this, "PushButton4", QStringLiteral("Add One Folder"));
    place(PushButton4, 120, 2750, 3840, 405);
    PushButton1 = makeButton(this, "PushButton1", QStringLiteral("Add All Subfolders Within Folder"));
    place(PushButton1, 4080, 2750, 3840, 405);
    PushButton2 = makeButton(this, "PushButton2", QStringLiteral("Start Zipping"));
    place(PushButton2, 120, 4640, 7800, 405);
    PushButton3 = makeButton(this, "PushButton3", QStringLiteral("Clear List"));
    place(PushButton3, 120, 3260, 3840, 405);
    PushButton5 = makeButton(this, "PushButton5", QStringLiteral("Load Sample/Example Files"));
    place(PushButton5, 4080, 3260, 3840, 405);

    for (QPushButton *b : {PushButton1, PushButton2, PushButton3, PushButton4, PushButton5, PushButton7})
        b->installEventFilter(this);

    connect(PushButton1, &QPushButton::clicked, this, [this] { PushButton1_Click(); });
    connect(PushButton2, &QPushButton::clicked, this, [this] { PushButton2_Click(); });
    connect(PushButton3, &QPushButton::clicked, this, [this] { PushButton3_Click(); });
    connect(PushButton4, &QPushButton::clicked, this, [this] { PushButton4_Click(); });
    connect(PushButton5, &QPushButton::clicked, this, [this] { PushButton5_Click(); });
    connect(PushButton7, &QPushButton::clicked, this, [this] { PushButton7_Click(); });

    // Tab order as designed: list, bar, frame, box, "...", then the buttons.
    ProgressBar1->setFocusPolicy(Qt::NoFocus);
    setTabOrder(ListView1, Text1);
    setTabOrder(Text1, PushButton7);
    setTabOrder(PushButton7, PushButton4);
    setTabOrder(PushButton4, PushButton1);
    setTabOrder(PushButton1, PushButton2);
    setTabOrder(PushButton2, PushButton3);
    setTabOrder(PushButton3, PushButton5);
}

void Form1::setMousePointer(int value)
{
    if (value == m_mousePointer)
        return; // mouse moves come often; the cursors are already in place
    m_mousePointer = value;
    applyPointer();
}

void Form1::applyPointer()
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
        Text1->setCursor(Qt::IBeamCursor);
    }
}

void Form1::closeEvent(QCloseEvent *event)
{
    event->accept();
    Form_Unload();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
        if (watched == ListView1) {
            auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Delete) {
                ListView1_KeyDown(key->key());
                return true;
            }
        }
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == ListView1->viewport()) {
            ListView1_DblClick();
            return true;
        }
        break;
    case QEvent::MouseMove:
        // A move that a control left unhandled travels up through its
        // parents: only the control really under the mouse counts (the
        // list counts as a whole).
        if (watched == Frame1
            && Frame1->childAt(static_cast<QMouseEvent *>(event)->position().toPoint()))
            break;
        [[fallthrough]];
    case QEvent::Enter:
        if (qobject_cast<QPushButton *>(watched))
            hoverOverButton();
        else if (watched == ListView1 || watched == ListView1->viewport() || watched == Frame1)
            hoverOverBackground();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::mouseMoveEvent(QMouseEvent *event)
{
    // A move that a control left unhandled (a button ignores moves without a
    // pressed mouse button) travels up to here: only the window's own
    // background counts.
    if (!childAt(event->position().toPoint()))
        hoverOverBackground();
    QWidget::mouseMoveEvent(event);
}
