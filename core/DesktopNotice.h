#pragma once
// The end of a run started from a file manager, told where its user looks:
// a desktop notification, through notify-send (libnotify), with the number
// of archives written and the folders that failed.
#include "core/ConsoleRun.h"

#include <QString>
#include <QStringList>

struct DesktopNotice {
    QString title;
    QString body; // plain text; empty when all went well
    bool urgent = false;
};

// What the notification of `outcome` says.
DesktopNotice NoticeOf(const ConsoleRunOutcome &outcome);

// Shows it through notify-send, waiting a few seconds at most. False when
// notify-send is not installed or failed: the run's lines on standard error
// are then all there is.
bool SendDesktopNotice(const DesktopNotice &notice);
