#pragma once
// The folder walk.
#include "core/Yield.h"
#include <QStringList>

// Appends to `out` every folder below `root` (which ends in a separator):
// each full path ending in exactly one native separator, with doubled
// separators cleaned, every folder after all of its descendants, siblings
// together in the directory's own listing order. The root itself is never
// appended; entries already in `out` stay in front. Hidden folders (and, on
// Windows, system folders) and everything below them are passed over; a
// folder that cannot be listed contributes nothing.
//
// Links to folders are not followed: one that leads out of the walked tree
// is the engine's to store as a link, and one that leads back into the
// tree is named as "PATH -> TARGET: link not followed, REASON" in
// `linksLeftOut` when given. With `followLinksOut`, a link to a folder
// elsewhere is followed, but no folder is entered twice in one walk, and a
// link to the root, to a folder holding the walked tree, into the walked
// tree itself or onto a system pseudo file system is still not followed and
// is named. Names that are not valid UTF-8 come through FileNameFromNative,
// losslessly.
//
// With `recurse` false only the immediate sub-folders are appended.
// `yield` runs once after each listing is opened, once before each listed
// entry is examined, and once before each append to `out`; it may throw
// WalkStopped to end the walk at once, leaving `out` incomplete.
void CollectSubFolders(const QString &root, QStringList &out, bool recurse = true,
                       const Yield &yield = ProcessPendingEvents, QStringList *linksLeftOut = nullptr,
                       bool followLinksOut = false);

// Thrown by a walk's yield to end the walk before it is done.
struct WalkStopped {};
