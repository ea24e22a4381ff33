#include "window/ErrorReport.h"
#include "window/Dialogs.h"

#include <QApplication>

QString ErrorReportText(const QString &location, int line, const QString &description)
{
    return description + QStringLiteral("\r\n") + location + QStringLiteral("at line ")
           + QString::number(line) + QStringLiteral("\r\r")
           + QStringLiteral("Please email screenshot of this message to ") + kSupportAddress;
}

void ShowErrorReport(const QString &location, int line, const QString &description)
{
    Dialogs().warning(QApplication::activeWindow(), QStringLiteral("Application Error"),
                      ErrorReportText(location, line, description));
}

ErrorTrap MainWindowTrap(const QString &procedure)
{
    return ErrorTrap(ErrorTrap::formLocation(procedure), ShowErrorReport);
}
