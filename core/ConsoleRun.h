#pragma once
// Zipping from a script: `quillbarrow --output DIR FOLDER...`. The same run
// as "Start Zipping" (BatchRun, so the same archiver and the same archive
// names for same-name folders), with no window and no display. Progress and
// problems go to standard error; the answer is the program's exit code.
#include <QString>
#include <QStringList>
#include <functional>

struct ConsoleRunOptions {
    // The output folder as given: "~" and "~/..." are the home folder, any
    // other relative text is taken from the current folder. Not used with
    // `beside`.
    QString outputFolder;
    bool beside = false; // each archive into its folder's parent instead
    QStringList folders; // full paths, in order
    bool quiet = false; // no progress lines, only problems
    bool followLinks = false; // links out of a folder followed, not stored as links
    // Progress redraws one line in place (a terminal), rather than writing a
    // line per folder.
    bool terminal = false;
    // Where the text goes; standard error when not given.
    std::function<void(const QByteArray &text)> write;
    // Told once at the end, of every run that got past its output folder.
    std::function<void(const struct ConsoleRunOutcome &outcome)> finished;
};

// What a run did, in short, for a desktop notification.
struct ConsoleRunOutcome {
    int folders = 0; // the folders asked for
    int written = 0; // archives written (with all their files or not)
    bool stopped = false; // interrupted before every folder was done
    // "FOLDER: why" for each folder not zipped, or not in full, in order.
    QStringList failed;
};

// Zips every folder that exists into the output folder, in order. A folder
// that is missing is named and left alone (an archive of the same name in the
// output folder stays as it was), and so is the earlier archive of a folder
// whose new one was not written. Returns kExitAllZipped when every archive
// was written with all its files, kExitSomeFailed otherwise.
//
// Interrupted by SIGINT, SIGTERM or SIGHUP, the walk or archive under way is
// given up at once (nothing partial is left, the earlier archive stays) and
// the answer is 128 + the signal's number, 130 for Ctrl+C.
int RunFromConsole(const ConsoleRunOptions &options);

// A byte count as a person reads it: "512 B", "1.5 KiB", "300.0 MiB".
QString ByteCountText(quint64 bytes);
