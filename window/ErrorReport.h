#pragma once
#include "core/ErrorTrap.h"
#include <QString>

inline const QString kSupportAddress = QStringLiteral("support@kestrawin.com");

// The report's text: description, CR LF, location, "at line ", the number,
// CR CR, and the request to e-mail a screenshot.
QString ErrorReportText(const QString &location, int line, const QString &description);

// Shows the report in a warning box titled "Application Error" and returns
// when it is closed.
void ShowErrorReport(const QString &location, int line, const QString &description);

// A trap for a procedure of the main window that reports through ShowErrorReport.
ErrorTrap MainWindowTrap(const QString &procedure);
