#include "core/Yield.h"

#include <QCoreApplication>

void ProcessPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}
