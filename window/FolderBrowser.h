#pragma once
// The folder browser.
#include <QString>

class QWidget;

inline const QString kBrowseTitle = QStringLiteral("Please select folder:");

// Shows a modal folder chooser owned by `owner`, titled `title`, opening at
// `start`. Returns the chosen folder's native path without a trailing
// separator (a root keeps its own), or empty text when the user cancels.
QString BrowseFolder(QWidget *owner, const QString &title, const QString &start);

// True for text that "Add One Folder" never lists: empty text and roots in
// any spelling (IsRootFolder), and on Windows anything of 3 characters or
// fewer, such as "C:\".
bool IsRootOrTooShort(const QString &path);
