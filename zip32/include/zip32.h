/*
 * zip32.h - the Quillbarrow zip engine
 *
 * The engine writes one standard zip archive per call from a list of file
 * and folder names. It is a shared library (libzip32.so, a link to
 * libzip32.so.MAJOR; zip32.dll on Windows) with three entry points, always
 * called together and in this order, once per archive:
 *
 *      ZpInit(&callbacks);         where messages go
 *      ZpSetOptions(&options);     how the names are read and stored
 *      ZpArchive(count, archive, names);   build the archive
 *
 * Nothing else is exported. A new archive's container is written by the
 * engine itself, entry by entry as the data is ready; an archive being
 * updated is rewritten by libzip. Data is compressed by libdeflate and zlib. Archives open in every common reader
 * (Info-ZIP unzip, 7-Zip, bsdtar, Python's zipfile, the Windows and macOS
 * built-in ones).
 *
 *
 * TEXT
 *
 * All text crossing this interface - the archive name, the names in the
 * list, the root directory and every message - is UTF-8 and NUL-terminated.
 * On POSIX systems file names are byte strings and are used as given.
 *
 *
 * THREADS AND RE-ENTRY
 *
 * Call the entry points from one thread, the program's. ZpArchive runs to
 * the end before it returns. Internally it reads and compresses on worker
 * threads, but every call of the message routine happens on the thread that
 * called ZpArchive, before ZpArchive returns.
 *
 * The message routine may run the program's event loop. If that leads to a
 * second ZpArchive while the first is still running, the second one returns
 * ZP_BUSY at once, with a message, and writes nothing; the first goes on
 * undisturbed. ZpInit and ZpSetOptions called at such a time are accepted
 * and apply to the next archive, not to the one in progress.
 *
 * The program may end with exit() (or quick_exit()) from inside the message
 * routine, for instance when the user closes the window. The engine then
 * removes the archive's temporary file from an exit handler: no partial
 * archive and no temporary file are left behind.
 *
 *
 * OUTPUT AND FILES ON DISK
 *
 * The archive is written to a temporary file in the archive's own folder,
 * named "." + archive name + "." + eight hex digits + ".tmp". Where that
 * would be longer than 255 bytes, the archive name in it is cut to the
 * first 241 bytes (between UTF-8 characters), so that every archive whose
 * own name fits can be written. When it is complete it is flushed to disk
 * (fsync) and renamed to the archive's name, which replaces an older file of
 * that name in one step; the writer holds its temporary file (a lock) from
 * its creation until after that rename. The folder is held open from the
 * start: the temporary file is made, renamed and on failure removed in it,
 * so an output folder renamed while the archive is written gets the
 * archive under its new name and keeps no temporary file. So:
 *   - a file under the archive's name is always a complete archive;
 *   - after any failure (disk full, folder missing, removed or read-only,
 *     an error inside the engine) the old file under that name, if any, is
 *     untouched, and the temporary file is removed;
 *   - when nothing is to be archived, no file at all is written.
 * A writer that is killed outright (SIGKILL, power loss) cannot remove its
 * temporary file; the next ZpArchive for the same archive name removes such
 * leftovers, recognised by their name and by the lock every live writer
 * holds on its temporary file.
 * Writers in several processes may make the same archive at the same time:
 * none removes another's temporary file, each writes a complete archive,
 * and the last one renamed into place stays.
 * Replacing. The new archive keeps what the owner set on the file it
 * replaces: its permissions (never wider than they were, nor than a new
 * file's under the umask: the temporary file is made with no more), its
 * access ACL and user.* extended attributes, its group, and its owner where
 * the process may set it (as root). A file owned by another user passes on
 * owner, group, ACL and attributes only when that user cannot write the
 * output folder: anyone who can could have planted it there (mode 0666) for
 * another user's run to fill. A symbolic link of the archive's name is
 * written through - the file it leads to replaced in that file's own
 * folder, the link kept - only when the link and that file (a regular file,
 * reached through this one link) belong to the user the process runs as,
 * and neither the link's folder nor the file's can be written by anyone
 * but that user and root; otherwise the link itself is replaced by the
 * archive, and a note says why (docs.zip -> /etc/shadow planted in a shared
 * folder is never written through). A file with other hard links is still
 * replaced by rename: the other names keep the earlier file.
 * On POSIX systems ZpArchive sets SIGXFSZ to "ignore" when it finds it at
 * its default action, so that a file-size limit makes a write fail (and the
 * archive be reported as not written) instead of killing the program.
 * The archive never contains itself, nor any temporary file of this engine
 * (any file named "." + NAME + "." + eight lower-case hex digits + ".tmp",
 * whatever NAME), even with field 6 set.
 *
 *
 * DURABILITY
 *
 * What is on disk, and when:
 *   - before the rename, the temporary file's data, its modification time
 *     and the attributes it keeps are flushed to disk (fsync; on Windows
 *     FlushFileBuffers), so an archive replaces an earlier one only once
 *     its own data is on disk: a power loss at any moment leaves under the
 *     archive's name either the earlier file or the complete new archive;
 *   - after the rename, on POSIX systems, the folder is flushed too
 *     (fsync of the folder held open), so that the new name itself lasts;
 *     on Windows the rename is kept as the file system keeps its metadata
 *     (NTFS journals it);
 *   - so when ZpArchive returns ZP_OK or ZP_FILES_SKIPPED, the archive it
 *     wrote is on disk under its name, and every archive of a run of calls
 *     is on disk when the last call returns. Nothing is left to flush
 *     between calls;
 *   - with field 24 set to 1, the folder's flush after the rename is held
 *     instead: the archive's data is still on disk before it takes its
 *     name, but the name itself is sure to last only once the folder is
 *     flushed. A run of archives into one folder then costs one flush of
 *     the folder instead of one per archive. One folder is held at a time,
 *     and it is flushed, before the call returns, when ZpArchive writes an
 *     archive into another folder, when a ZpArchive fails or is stopped
 *     (any result but ZP_OK, ZP_FILES_SKIPPED and ZP_NOTHING_TO_DO), when
 *     ZpSetOptions() is given a record whose field 24 is not 1 (or none);
 *     and when the process ends through exit() or quick_exit(). So a program ends its run with one ZpSetOptions()
 *     whose field 24 is 0: when that returns, every archive of the run is
 *     on disk under its name. A process killed before that may lose names
 *     of the run's archives, never their data: the earlier file, or none,
 *     stays under the name;
 *   - a file system that cannot flush a file (fsync answers EINVAL or
 *     EROFS) is written as it allows: the archive is complete under its
 *     name, and as lasting as that file system makes it;
 *   - the reuse index in the user's cache folder (see "Re-runs") is not
 *     flushed: an index lost or torn by a power loss (it carries its own
 *     CRC-32) vouches for nothing, which costs the next run the proof by
 *     reading, never data.
 *
 *
 * WHAT GOES INTO THE ARCHIVE
 *
 * Names. Each name in the list is a path. A name that is not absolute is
 * taken relative to the root directory (field 30). The last part of a name
 * may hold the wildcards '*' (any run of characters, also none) and '?'
 * (exactly one character); a pattern ending in ".*" also matches names
 * without any dot, so "*.*" matches every name. Wildcards in earlier parts
 * are taken literally. Matching is case-sensitive.
 *
 *   DIR/PATTERN  (a name with a wildcard) adds one entry "DIR/" for the
 *                folder itself - so an empty folder survives extraction -
 *                and every regular file directly in DIR whose name matches.
 *                Sub-folders are not entered, except with the recurse field
 *                (14) set: then every sub-folder at any depth gets its own
 *                entry and its files that match PATTERN. A DIR below the
 *                folder of an earlier name is reached from that folder, one
 *                name at a time (see "Reaching files" below).
 *   PATH         (a plain name) adds that one file. If PATH is a folder it
 *                adds the folder's entry only, or with the recurse field set
 *                the folder and everything in it.
 *
 * Within a folder, entries are taken in byte order of their names, so the
 * same tree always gives the same archive. Relative names need the current
 * folder: when it cannot be told (removed, or a folder above it unreadable),
 * ZpArchive returns ZP_BAD_ARGUMENTS rather than read them from "/".
 *
 * Reaching files. The folders the list names (those not below an earlier
 * one) are opened by their paths, links in them followed: the program named
 * them. Everything else - a DIR below one of them, a sub-folder met when
 * recursing, every file - is opened from the folder holding it, by its one
 * name, never through a symbolic link unless it is a link followed on
 * purpose (see "Links"), and must then be the very folder or file listed
 * (device and inode). So a folder or file replaced by a link after it was
 * listed, by the program or by the engine, leads nowhere else: it is named
 * "changed while being zipped" and left out (ZP_FILES_SKIPPED). No path
 * handed to the system is longer than one name, so a tree deeper than the
 * system's path limit (PATH_MAX) is archived whole. The engine holds at most
 * a few hundred folders open at once (an eighth of RLIMIT_NOFILE, 256 at
 * most) and opens others again, through their parents, when it needs them.
 * After a file is read its size, modification time and change time are
 * looked at again: a file written to while it was read, whatever its size,
 * is named and left out rather than stored part old, part new.
 *
 * Left out:
 *   - hidden files and folders (names starting with '.') found in a folder,
 *     unless field 6 is set; a hidden item named explicitly is kept;
 *   - sockets, FIFOs and device nodes: never opened, one warning line each;
 *   - the files named by field 23, and temporary files (see above);
 *   - a plain name that is a symbolic link whose target is missing: one
 *     warning line.
 *
 * Links. The archive's folders are the folders the list names: the folder
 * part of each wildcard name and each folder named plainly (with the
 * recurse field, everything below them too), each resolved once when
 * ZpArchive starts. A symbolic link met in a folder's listing (also while
 * recursing), or on the way from a named folder to the DIR of a later name,
 * is followed when its target, resolved, lies within one of the archive's
 * folders, at any depth or the folder itself; what it leads to is judged
 * and looked at in one step, and the file or folder then opened through it
 * must be that one. A link to a
 * file stores the contents of that file under the link's name; a link to a
 * folder is entered only when recursing, and no folder (by device and
 * inode) is entered twice, which also ends link loops. Any other link - one
 * leading out of the archive's folders, or one whose target is missing or
 * cannot be resolved (a loop) - is not followed: it is stored as a link
 * entry, as "zip -y" and bsdtar store links: Unix mode S_IFLNK | 0777 (the
 * link's own mode), made by Unix, the text the link holds (its readlink
 * bytes, exactly) as the entry's data, stored (method 0), and the link's
 * own modification time. Info-ZIP unzip and bsdtar restore such entries as
 * symbolic links. The contents of what it leads to never enter the archive.
 * Each such link gives a message line (a note: the result stays ZP_OK). With
 * field 22 set, links out of the archive's folders are followed as well,
 * except a link to a folder that holds an archive folder (the root among
 * them) or into a pseudo file system (/proc, /sys, /dev, and file systems
 * of those kinds mounted elsewhere): those are still stored as link
 * entries. A plain name in the list that is a link is always followed.
 *
 * Stored names are the path relative to the root directory, with '/'
 * between parts, never a leading '/' and never a ".." part. A path outside
 * the root is stored as its whole path without the leading '/'. With the
 * ignore-path field (13) set, files are stored under their last part only
 * and no folder entries are written. When two names lead to the same stored
 * name, the first wins and the later ones are passed over without a message.
 *
 * Entries carry:
 *   - the modification time, as the MS-DOS date and time in local time
 *     (clamped to 1980-01-01 .. 2107-12-31) and, exactly, in an extended
 *     timestamp field (0x5455), as unsigned 32-bit seconds, when it lies
 *     between 1970 and 2106;
 *   - the Unix mode in the upper 16 bits of the external attributes ("made
 *     by" Unix), plus the MS-DOS directory and read-only bits;
 *   - the name byte for byte as found, with the UTF-8 flag (general
 *     purpose bit 11) exactly when the name is valid UTF-8, not plain ASCII
 *     and free of control characters other than tab, CR and LF. A name
 *     that is not valid UTF-8 is stored losslessly as its raw bytes,
 *     without the flag, and so is a name holding such a control character
 *     (0x01, BEL, ESC...), as Info-ZIP zip stores it: libzip refuses the
 *     flag on it, and would not open an archive with such a flagged name
 *     again for an update. (Info-ZIP unzip drops control characters from
 *     the names it extracts, of Info-ZIP zip's archives too; bsdtar, 7-Zip
 *     and Python's zipfile keep them.) Python's zipfile reads an unflagged
 *     name as code page 437, which changes only its bytes above 0x7F;
 *   - deflated data, or stored data (method 0) for empty files and for data
 *     that does not shrink. Incompressible data is recognised from samples
 *     before it is compressed;
 *   - sizes and CRC in the local header itself: no data descriptors;
 *   - ZIP64 fields only where a size, an offset or the number of entries
 *     needs them (65,535 entries and more, sizes and offsets of 4 GiB - 1
 *     and more: a value of exactly 0xFFFF or 0xFFFFFFFF is itself the
 *     "see ZIP64" mark, so it too is written in the ZIP64 records; an
 *     update, written by libzip, marks the count from 65,536 on).
 *   - for a file, in its central-directory record only, a private extra
 *     field 0x7151 of 14 bytes: which compressor made the data (its
 *     generation, the level, how big files are cut into pieces, the
 *     libdeflate version; 6 bytes), the nanoseconds of the file's
 *     modification time and the CRC-32 of the data as stored (4 bytes
 *     each, little-endian). An update's entries, whose data libzip writes
 *     after their fields are set, carry the first 10 bytes only. Readers
 *     skip it.
 * A link stored as a link (see "Links") carries its own mode and time and
 * its target's text, stored.
 *
 * Nothing that matched is dropped without a word. Each of these is named
 * in a message line, left out, and makes the result ZP_FILES_SKIPPED while
 * everything else is still archived:
 *   - a file that cannot be read when its turn comes (no permission,
 *     vanished, read error, or it changed size while being read). Doing so
 *     may mean building the archive a second time without that file: this
 *     costs time, never data;
 *   - an entry of a folder's listing whose attributes cannot be read for
 *     any reason but "no such file" (then it vanished since the listing),
 *     e.g. every entry of a folder that may be listed but not entered
 *     (mode 0644); also a plain name that is there but cannot be looked at;
 *   - a folder that cannot be listed, or whose listing breaks off part way
 *     (what was listed before is archived);
 *   - an entry whose name no zip entry can carry: longer than 65,535 bytes,
 *     or, in an update, refused by libzip.
 *
 * Output does not depend on the number of worker threads: the same files
 * give the same bytes with 1, 2 or 64 workers.
 *
 * Re-runs. When a file is already under the archive's name (the one the
 * new archive replaces), the engine takes from it the compressed data of
 * every file it can prove unchanged, instead of compressing the file again;
 * the new archive is byte for byte the one a run into an empty folder
 * writes. An earlier entry is a candidate for a file only when its extra
 * field 0x7151 names this very compressor and level and its name, size,
 * modification time (to the nanosecond), attributes and method are those of
 * the fresh entry. Then one of two proofs is needed:
 *   - Vouched, the file not read at all: the earlier archive's index says
 *     it was made from the same named folders and this entry from the same
 *     file (device and inode), whose change time is the same now and older
 *     than the moment the earlier run began (by two seconds where either
 *     time has no fraction of a second); a file reached through a link only
 *     when the link matches the same way; on a file system whose change
 *     times the kernel alone sets (ext2/3/4, XFS, Btrfs, tmpfs, ZFS, F2FS,
 *     bcachefs, JFS, ReiserFS, NILFS, overlayfs).
 *   - Verified, everywhere else (no index, FAT, exFAT, FUSE, SMB, NFS): the
 *     file is read, checked unchanged while it was read, and
 *     its CRC-32 must be the entry's. Only the compression is saved.
 * The index is a file of the user's cache folder ($XDG_CACHE_HOME, else
 * ~/.cache, then "quillbarrow/reuse", made for the user alone and used only
 * when it is theirs; one file per archive, named after a hash of its full
 * path): the archive as it stood once renamed into place (device, inode,
 * size, times), the moment its run began, the folders it was made from,
 * and per entry the device, inode and change time of its file. Nothing of
 * it is in the archive, whose bytes stay the same on every machine. It is
 * written only for an archive written anew (not updated) on such a file
 * system, and only when its modification time, set to that moment before
 * the rename and read back afresh by its name after it, is that moment;
 * anything else, and any change to the archive since (touched, copied,
 * rewritten), means it vouches for nothing. The copied data is checked
 * first: its CRC-32 must be the one its field records (an entry written by
 * an update: it is inflated, and must match the entry's CRC-32 and size);
 * the entry's local header must agree with its central record. Anything
 * else - another level or method, a damaged, truncated or foreign archive,
 * duplicate names, encryption, links - means the file is compressed afresh;
 * a bad earlier archive never fails a run.
 * The one limit no look at a file can overcome: data written through a
 * shared memory mapping (mmap) moves neither the modification nor the
 * change time on some file systems (tmpfs never, ext4 only on the first
 * write after the data reached the disk), so such a file (a database, a
 * disk image written so) is vouched for as unchanged; git's index has the
 * same limit. Memory stays bounded
 * (about 200 MiB at most) whatever the size of the files, and grows by a
 * few hundred bytes per entry: a folder of a million small files takes
 * under 400 MiB. A re-run also keeps what it needs of each entry of the
 * earlier archive, about 230 bytes more per entry: some 540 MiB for the
 * same million files.
 *
 *
 * MESSAGES
 *
 * The engine writes only warnings, errors and notes, each as one line
 * ending in "\n", through the message routine given to ZpInit:
 *
 *   name not matched: NAME                  nothing exists under NAME (a
 *                                           reason in parentheses when the
 *                                           failure was not "no such file");
 *                                           for a wildcard name this means
 *                                           its folder is left out
 *   PATH: skipped, not a regular file (KIND)       socket, FIFO or device
 *   PATH: skipped, broken symbolic link (REASON)   a plain name only
 *   PATH: stored as a link to TARGET (WHY)  a link not followed (see
 *                                           "Links"); TARGET is the text
 *                                           it holds, WHY one of "it leads
 *                                           out of the folder", "its target
 *                                           is missing", "its target cannot
 *                                           be resolved", "it leads to a
 *                                           folder that holds the folder",
 *                                           "it leads into a system file
 *                                           system"; a note, not a failure
 *   PATH: folder not read (REASON)          its files are left out
 *   PATH: folder not read to the end (REASON)      the rest of its files
 *                                           are left out
 *   PATH: REASON                            a file left out, or an entry
 *                                           that could not be looked at;
 *                                           REASON is the system's text,
 *                                           e.g. "Permission denied"
 *   PATH: left out, its name is too long for a zip archive
 *   PATH: left out, its name cannot be stored (REASON)
 *   PATH: skipped, changed while being read
 *   PATH: skipped, changed while being zipped      another file (or a link)
 *                                           is where the listing saw it
 *   DIR: folder not read (changed while being zipped)   the same for a
 *                                           folder: its files are left out
 *   PATH: skipped, no longer a regular file
 *   ARCHIVE: not written, nothing to archive
 *   ARCHIVE: not written, no file could be read
 *   ARCHIVE: cannot write (REASON)          e.g. "No space left on device"
 *   ARCHIVE: not written, the current folder cannot be told (REASON)
 *   ARCHIVE: not written, ...               bad arguments or internal errors
 *   ARCHIVE: replaced the link to TARGET itself, not the file it leads to
 *            (WHY)                          a note (see "Replacing")
 *   zip engine busy: ARCHIVE not written while another archive is being made
 *   ARCHIVE: not written, stopped           the progress routine asked to stop
 *
 * A line longer than 4096 bytes arrives in several calls, cut between UTF-8
 * sequences, the "\n" with the last one.
 *
 * A message line is always one line, whatever the names in it hold: every
 * C0 control byte (0x00-0x1F) and DEL (0x7F) is written as its Unicode
 * control picture in UTF-8 (U+2400 + byte, so ESC is U+241B; DEL is
 * U+2421), and every C1 control written in UTF-8 (U+0080-U+009F, the bytes
 * C2 80 to C2 9F) as U+FFFD. All other bytes pass unchanged, so a name that
 * is not UTF-8 still arrives as its bytes.
 *
 * While it works the engine also calls the message routine with an empty
 * message - buffer[0] is NUL and the length is 0 - at least every 50 ms,
 * so that the program can keep its window responsive. An empty message adds
 * nothing to the text.
 *
 *
 * RESULTS OF ZpArchive
 *
 *   ZP_OK             The archive was written with everything asked for:
 *                     every regular file that a name matched is in it.
 *                     Warnings and notes (a plain name that matched nothing,
 *                     a special file, a link stored as a link or, on
 *                     Windows, left out) may still have been sent.
 *   ZP_NOTHING_TO_DO  Nothing matched at all (or nothing that matched could
 *                     be read): no archive written, an older one untouched.
 *   ZP_FILES_SKIPPED  The archive was written, but files or folders that
 *                     matched could not be read or looked at and are missing
 *                     from it, or the folder of a wildcard name was not
 *                     there; each one is named in a message.
 *   ZP_CANNOT_WRITE   The archive could not be written (folder missing or
 *                     read-only, disk full, name taken by a folder...). No
 *                     file was left, an older archive is untouched.
 *   ZP_BAD_ARGUMENTS  A null or empty archive name, a negative count, a
 *                     null list or a null name within the count, an
 *                     option out of range, field 23 negative or larger
 *                     than the count, or relative names while the current
 *                     folder cannot be told. Nothing written.
 *   ZP_BUSY           Another ZpArchive is running (see re-entry above).
 *   ZP_STOPPED        The progress routine asked the engine to stop, while
 *                     the names were being collected or the archive
 *                     written. No file was left, an older archive is
 *                     untouched.
 *   ZP_INTERNAL       An error inside the engine (out of memory, an
 *                     unexpected library failure). Nothing written.
 * Every result other than ZP_OK comes with at least one message line,
 * except when no message routine was given.
 *
 *
 * ON WINDOWS
 *
 * zip32.dll (64-bit) exports the same three entry points and nothing else;
 * it needs no DLL beyond the system's own. What differs from the above:
 *   - Text at this interface is still UTF-8. Paths are used as UTF-16 and
 *     opened with the "\\?\" prefix, so they may be longer than 260
 *     characters. '\' and '/' both separate parts; "C:\..." and
 *     "\\server\share\..." are absolute; "\folder" and "C:folder" are
 *     taken against the current drive and folder. Messages name paths with
 *     '\'.
 *   - The root directory is compared without regard to letter case (the
 *     program passes it upper-cased). A path outside the root is stored
 *     without its drive ("C:") or the "\\" before a server's name.
 *     Wildcards still match case-sensitively.
 *   - Hidden means the hidden or system attribute, not a leading '.': such
 *     files and folders found in a folder are left out unless field 6 is set.
 *   - Reparse points (symbolic links, junctions) are the links of "Links"
 *     and of the loop check, which uses the volume serial number and the
 *     file index instead of device and inode. Paths are resolved with
 *     GetFinalPathNameByHandleW and compared without regard to letter case.
 *     The common readers do not restore link entries there, so a link that
 *     is not followed is left out instead of stored, with the message line
 *     "PATH: link left out, WHY (TARGET)" (a note: the result stays ZP_OK).
 *   - Entries carry a Unix mode made from the attributes: 0644 for a file
 *     (0444 when read-only), 0755 for a folder. So a tree with those modes
 *     and the same times gives the same bytes on Windows and on Linux.
 *   - Files and folders are opened relative to the handle of the folder
 *     holding them (NtCreateFile), a reparse point not followed unless
 *     judged (see "Reaching files"), and listed from that handle.
 *   - Files are opened sharing reading, writing and deletion, so a file
 *     another program has open for writing is still read. A file another
 *     program holds without sharing reading is left out with the system's
 *     reason (ZP_FILES_SKIPPED).
 *   - A re-run reuses as on Linux. A file's change time is the file
 *     system's own (FILE_BASIC_INFO.ChangeTime, queried on the file's own
 *     handle), and is trusted on NTFS and ReFS on a local drive only: never
 *     on FAT, exFAT or any network drive (GetDriveTypeW: DRIVE_REMOTE),
 *     whatever file system it names. Unlike Linux, a program may set a
 *     change time back (SetFileInformationByHandle); one that edits a file
 *     and then does so makes it look unchanged. The index lies in
 *     %LOCALAPPDATA%\Quillbarrow\reuse. The moment a run begins is the
 *     system time (the clock NTFS stamps file times with), taken 32 ms
 *     early.
 *   - Replacing keeps the earlier file's read-only, hidden, system and
 *     not-indexed attributes, and the permissions set on it rather than
 *     inherited, when the user owns it. A link of the archive's name is
 *     replaced itself, with the note.
 *   - The temporary file is created hidden (FILE_ATTRIBUTE_HIDDEN), held
 *     without write or delete sharing from its creation (this stands for the
 *     lock), flushed with FlushFileBuffers and renamed through its own
 *     handle (NtSetInformationFile, FileRenameInformation, replacing, by its
 *     name in the folder held), as an ordinary file again: with POSIX
 *     semantics where the system has them (Windows 10 1709 and later),
 *     under which an archive that others hold sharing its deletion is
 *     replaced all the same, else the classic way. An archive that another
 *     program holds (a preview, an indexer, a virus scanner) is tried again
 *     with growing waits for about two seconds, the progress routine called
 *     throughout and a stop heard; then ZP_CANNOT_WRITE, "ARCHIVE: cannot
 *     write (another program holds it, and the earlier archive is kept:
 *     REASON)", the earlier archive untouched. A POSIX share that says a
 *     file is busy (EBUSY) is waited for the same way.
 *   - REASON texts are the system's own (FormatMessageW, in the system's
 *     language), without the final full stop: "The system cannot find the
 *     path specified" where POSIX says "No such file or directory".
 *   - The temporary file is removed when the program ends with exit(); a
 *     quick_exit() removes it only in a build against the UCRT run-time.
 *     SIGXFSZ does not exist.
 */
#ifndef ZIP32_H
#define ZIP32_H

/*
 * The engine's version, kept here only: the build reads these three lines
 * for the shared library's version, and its SONAME carries the major
 * number (libzip32.so.1). The major number goes up when a program built
 * against an older header could no longer use the library; ZIP32_VERSION
 * is all three in one number for comparisons, 10000 for 1.0.0.
 */
#define ZIP32_VERSION_MAJOR 1
#define ZIP32_VERSION_MINOR 4
#define ZIP32_VERSION_PATCH 0
#define ZIP32_VERSION (ZIP32_VERSION_MAJOR * 10000 + ZIP32_VERSION_MINOR * 100 + ZIP32_VERSION_PATCH)

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZIP32_BUILDING)
#    define ZIP32_API __declspec(dllexport)
#  else
#    define ZIP32_API __declspec(dllimport)
#  endif
#  define ZIP32_CALL __stdcall
#else
#  define ZIP32_API __attribute__((visibility("default")))
#  define ZIP32_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The message routine. buffer points to at most 4097 bytes: up to 4096
 * bytes of UTF-8 text followed by a NUL; length is the number of text bytes
 * (0 for the empty message). The buffer is valid during the call only. The
 * return value is ignored.
 */
typedef int32_t(ZIP32_CALL *ZipPrintRoutine)(const char *buffer, uint32_t length);
/* The second and third routines are never called by this engine; they may
 * be null. */
typedef int32_t(ZIP32_CALL *ZipAnswerRoutine)(int32_t, int32_t, int32_t, int32_t);
typedef char *(ZIP32_CALL *ZipBufferRoutine)(char *buffer);
/*
 * The progress routine, the record's fourth entry; it may be null. The
 * engine calls it on the thread that called ZpArchive: once as soon as it
 * starts collecting the names, then at most every 50 ms for as long as it
 * works, and once more when all file data is in. While the names are being
 * collected it passes done = 0 and total = 0 ("no share yet"); while the
 * archive is written, the bytes of file data done so far and the bytes of
 * all the archive's files (both 0 still for an archive of empty files and
 * folders). A caller that passes null gets no calls and nothing else
 * changes.
 *
 * A non-zero return asks the engine to stop, and it stops at once, whether
 * it is collecting names or writing: the routine is not called again, and
 * ZpArchive leaves nothing under the archive's name that was not there
 * before, removes its temporary file if it has one and returns ZP_STOPPED
 * with a message line.
 */
typedef int32_t(ZIP32_CALL *ZipProgressRoutine)(uint64_t done, uint64_t total);

/*
 * ZipEngineCallbacks, handed to ZpInit. The engine copies the record: it
 * need not outlive the call. A null print routine (or no ZpInit at all)
 * means the engine runs silently.
 */
typedef struct ZipEngineCallbacks {
    ZipPrintRoutine print;
    ZipAnswerRoutine answer;
    ZipBufferRoutine buffer;
    ZipProgressRoutine fourth; /* the progress routine */
} ZipEngineCallbacks;

/*
 * ZipEngineOptions, handed to ZpSetOptions. Thirty fields: 1 to 27 are
 * 32-bit integers, 28 one byte, 29 and 30 pointers to text. The engine
 * copies the record and the root directory's text during the call: neither
 * need outlive it. Flags are on when non-zero.
 *
 * Fields the engine reads:
 *   field 6   includeHidden  on: hidden files and folders (names starting
 *                            with '.') are archived too. Default off.
 *   field 13  ignorePath     on: files are stored under their last name part
 *                            only; no folder entries.
 *   field 14  recurse        on: folders are descended into by the engine
 *                            (see "Names" above).
 *   field 19  update         on: an existing archive of that name is opened
 *                            and its entries kept, except those replaced by
 *                            entries of the same name; a new archive is made
 *                            when none exists. Off: the archive is written
 *                            afresh and replaces an older file of the name
 *                            only when complete.
 *   field 21  threads        number of worker threads reading and
 *                            compressing; 0 = one per hardware thread.
 *                            At most 64 are used. Negative: ZP_BAD_ARGUMENTS.
 *   field 22  followLinks    on: symbolic links that lead out of the
 *                            archive's folders are followed too (see
 *                            "Links" above for those that never are).
 *                            Default off: such links are stored as links.
 *   field 23  excluded       how many names at the end of the list (within
 *                            the count given to ZpArchive) are files to
 *                            leave out rather than names to archive: each a
 *                            plain path (absolute, or relative to the root
 *                            directory) of a file that is never stored,
 *                            wherever it is met. It is recognised by its
 *                            normalised path and, when it exists as
 *                            ZpArchive starts, by device and inode (volume
 *                            and file index on Windows) too, so also under
 *                            another name (a hard link, a link to it). One
 *                            that does not exist is no error and gives no
 *                            message. For instance the program's own
 *                            archives, when its output folder lies in a
 *                            folder it zips. Negative, or more than the
 *                            count: ZP_BAD_ARGUMENTS.
 *   field 24  holdFolderSync 1: the flush of the archive's folder after its
 *                            rename is held, so that a run of archives into
 *                            one folder flushes it once (see "DURABILITY");
 *                            any other value: each archive's folder is
 *                            flushed before ZpArchive returns.
 *   field 28  level          deflate level: 0 = the default (6), 1 (fastest)
 *                            to 9 (smallest). Above 9: ZP_BAD_ARGUMENTS.
 *   field 30  rootDir        the root directory: names that are not absolute
 *                            are taken relative to it, and stored names are
 *                            relative to it. Null or empty: the current
 *                            directory. "/" stores absolute paths without
 *                            their leading '/'.
 * The fields named reservedN are not read: a program may fill them and
 * nothing changes (Quillbarrow leaves them zero). Nor is field 29 (tempDir): the temporary file always lies beside
 * the archive, so that it can be renamed into place.
 *
 * Layout: fields 1-27 at offsets 0, 4, ..., 104, field 28 at 108, three
 * bytes of padding, then the two pointers: at 112 and 116 in a 32-bit build
 * (120 bytes in all), at 112 and 120 in a 64-bit build (128 bytes).
 */
typedef struct ZipEngineOptions {
    int32_t reserved1; /*   0 */
    int32_t reserved2; /*   4 */
    int32_t reserved3; /*   8 */
    int32_t reserved4; /*  12 */
    int32_t reserved5; /*  16 */
    int32_t includeHidden; /*  20  field 6 */
    int32_t reserved7; /*  24 */
    int32_t reserved8; /*  28 */
    int32_t reserved9; /*  32 */
    int32_t reserved10; /*  36 */
    int32_t reserved11; /*  40 */
    int32_t reserved12; /*  44 */
    int32_t ignorePath; /*  48  field 13 */
    int32_t recurse; /*  52  field 14 */
    int32_t reserved15; /*  56 */
    int32_t reserved16; /*  60 */
    int32_t reserved17; /*  64 */
    int32_t reserved18; /*  68 */
    int32_t update; /*  72  field 19 */
    int32_t reserved20; /*  76 */
    int32_t threads; /*  80  field 21 */
    int32_t followLinks; /*  84  field 22 */
    int32_t excluded; /*  88  field 23 */
    int32_t holdFolderSync; /*  92  field 24 */
    int32_t reserved25; /*  96 */
    int32_t reserved26; /* 100 */
    int32_t reserved27; /* 104 */
    uint8_t level; /* 108  field 28 */
    const char *tempDir; /* 112  field 29 */
    const char *rootDir; /* 116  field 30 (120 in a 64-bit build) */
} ZipEngineOptions;

/*
 * ZipFileNameList: an array of at least `count` pointers to NUL-terminated
 * UTF-8 names, in the order the entries are to be made, followed (within
 * the count) by the files to leave out that field 23 counts. The engine
 * copies the names during the call.
 */
typedef const char *const *ZipFileNameList;

/* Results; see "RESULTS OF ZpArchive" above. ZpInit and ZpSetOptions return
 * ZP_OK, or ZP_BAD_ARGUMENTS for a null record or an option out of range.
 * The entry points return them as int32_t. */
typedef enum ZipResult {
    ZP_OK = 0, /* written, with everything asked for */
    ZP_INTERNAL = 2, /* an error inside the engine; nothing written */
    ZP_NOTHING_TO_DO = 12, /* nothing matched or could be read; nothing written */
    ZP_CANNOT_WRITE = 15, /* the archive could not be written; nothing left behind */
    ZP_BAD_ARGUMENTS = 16, /* a name, list or option missing or out of range */
    ZP_FILES_SKIPPED = 18, /* written, but some matched files could not be read */
    ZP_BUSY = 20, /* another ZpArchive is running; nothing written */
    ZP_STOPPED = 21 /* the progress routine asked to stop; nothing written */
} ZipResult;

/*
 * ZpInit() - where the engine's messages and progress go.
 *
 * @callbacks: the routines for every ZpArchive() that follows, until the
 *      next ZpInit(). The engine copies the record during the call, so it
 *      need not outlive it; the routines themselves must stay callable for
 *      as long as ZpArchive() may be called. A null print routine makes the
 *      engine run silently, a null progress routine (field "fourth") means
 *      no progress calls and no way to stop; the answer and buffer routines
 *      are never called.
 *
 * Threading: call it from the program's thread, like the others. Called
 * from inside a message routine while an archive is being made, it is
 * accepted and applies to the next archive, not to that one.
 *
 * Results: ZP_OK; ZP_BAD_ARGUMENTS for a null record, which also clears the
 * routines stored before (the engine then runs silently); ZP_INTERNAL if
 * the engine itself fails (it does not otherwise). Never sends a message.
 * Without any ZpInit(), ZpArchive() runs silently.
 */
ZIP32_API int32_t ZIP32_CALL ZpInit(const ZipEngineCallbacks *callbacks);

/*
 * ZpSetOptions() - how the following archives read and store their names.
 *
 * @options: the record described at ZipEngineOptions. The engine copies
 *      the record and the root directory's text during the call: neither
 *      need outlive it, and field 29 is never read. The copy applies to
 *      every ZpArchive() that follows, until the next ZpSetOptions().
 *
 * Threading: as ZpInit(); called while an archive is being made, it applies
 * to the next one.
 *
 * Results: ZP_OK; ZP_BAD_ARGUMENTS for a null record (the defaults then
 * apply again: every field zero, the current directory as root) or for a
 * field out of range (level above 9, a negative worker count or field 23
 * negative). A record out of range is kept all the same, and every
 * ZpArchive() refuses it, with a message naming the field, until a good
 * one is set. ZP_INTERNAL if the engine itself fails (out of memory
 * copying the root). Never sends a message. Without any ZpSetOptions() the
 * defaults apply.
 *
 * A record whose field 24 is not 1, or a null one, first flushes the folder
 * that earlier archives held unflushed (see "DURABILITY"), and returns once
 * it is on disk.
 */
ZIP32_API int32_t ZIP32_CALL ZpSetOptions(const ZipEngineOptions *options);

/*
 * ZpArchive() - builds one archive and puts it in place.
 *
 * @count: how many names of @names to read; the last field-23 of them are
 *      files to leave out. 0 is allowed (nothing to do); negative is
 *      ZP_BAD_ARGUMENTS.
 * @archiveName: the archive's path, UTF-8, NUL-terminated; relative to the
 *      current directory unless absolute. Null or empty is
 *      ZP_BAD_ARGUMENTS.
 * @names: the list (see ZipFileNameList and "WHAT GOES INTO THE ARCHIVE"),
 *      read and copied while ZpArchive() starts; it may be null only when
 *      @count is 0. The engine keeps no pointer into the program's memory
 *      after it returns.
 *
 * Uses the routines of the last ZpInit() and the options of the last
 * ZpSetOptions(). Writes the archive to a temporary file beside it, puts
 * it in place only when it is complete and on disk, and leaves nothing
 * behind on any failure or stop (see "OUTPUT AND FILES ON DISK").
 *
 * Threading: call it from the program's thread. It runs to the end before
 * it returns; its worker threads read and compress, but the message and
 * progress routines are only ever called on the calling thread, before
 * ZpArchive() returns. A second ZpArchive() while one runs (from inside a
 * routine) returns ZP_BUSY at once and writes nothing. On POSIX systems
 * it sets SIGXFSZ to be ignored when it finds it at its default action. The
 * engine may keep idle worker threads between calls.
 *
 * Results: one of ZipResult, as "RESULTS OF ZpArchive" describes; every
 * result but ZP_OK comes with at least one message line when a print
 * routine was given. Every C++ exception inside the engine is caught here
 * and returned as ZP_INTERNAL with a message: none crosses this boundary.
 */
ZIP32_API int32_t ZIP32_CALL ZpArchive(int32_t count, const char *archiveName, ZipFileNameList names);

#ifdef __cplusplus
}

static_assert(offsetof(ZipEngineOptions, includeHidden) == 20, "field 6 at 20");
static_assert(offsetof(ZipEngineOptions, ignorePath) == 48, "field 13 at 48");
static_assert(offsetof(ZipEngineOptions, recurse) == 52, "field 14 at 52");
static_assert(offsetof(ZipEngineOptions, update) == 72, "field 19 at 72");
static_assert(offsetof(ZipEngineOptions, threads) == 80, "field 21 at 80");
static_assert(offsetof(ZipEngineOptions, followLinks) == 84, "field 22 at 84");
static_assert(offsetof(ZipEngineOptions, excluded) == 88, "field 23 at 88");
static_assert(offsetof(ZipEngineOptions, reserved27) == 104, "field 27 at 104");
static_assert(offsetof(ZipEngineOptions, level) == 108, "field 28 at 108");
static_assert(offsetof(ZipEngineOptions, tempDir) == 112, "field 29 at 112");
static_assert(offsetof(ZipEngineOptions, rootDir) == 112 + sizeof(void *), "field 30 after field 29");
static_assert(sizeof(ZipEngineOptions) == (sizeof(void *) == 4 ? 120 : 128), "120 bytes in a 32-bit build");
static_assert(sizeof(ZipEngineCallbacks) == 4 * sizeof(void *), "four routine addresses");
#endif

#endif
