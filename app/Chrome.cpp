// The window's cosmetic layers: the skin and the hover pointer.
#include "app/AppHelpers.h"
#include "app/Form1.h"

void Form1::ApplySkin()
{
}

void Form1::hoverOverButton()
{
    if (m_mousePointer != kPointerBusy)
        setMousePointer(kPointerCustom);
}

void Form1::hoverOverBackground()
{
    if (m_mousePointer != kPointerBusy)
        setMousePointer(kPointerDefault);
}

void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    QWidget::dragEnterEvent(event);
}

void Form1::dropEvent(QDropEvent *event)
{
    QWidget::dropEvent(event);
}

void Form1::addDroppedFolder(const QString &)
{
}
