#pragma once
// What differs between Windows and the POSIX systems, for the window: every
// branch on the system in window/ is in Platform.cpp (Q_OS_WIN).
#include <QString>

class QUrl;

// The local path a dropped file's URL names. Elsewhere than on Windows the
// path's bytes are taken as the URL carries them, so that a name that is not
// valid UTF-8 arrives intact (QUrl::toLocalFile() would replace its bytes);
// on Windows the path loses its leading "/" ("/C:/x" is "C:/x").
QString LocalPathOf(const QUrl &url);

// True for a file marked as a system file (Windows); a listing of its folder
// does not show it.
bool IsSystemFile(const QString &path);
