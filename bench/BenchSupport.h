#pragma once
// The start of every benchmark program: its command line and the messages
// for a wrong one.
#include <QString>
#include <QStringList>

#include <functional>

// A benchmark's name and usage line, for --help and for a wrong command line.
class BenchCommand {
public:
    BenchCommand(QString program, QString usage);

    // Prints "PROGRAM: PROBLEM" and the usage line on stderr; exits with 2.
    [[noreturn]] void fail(const QString &problem) const;
    // Prints the usage line on stdout; exits with 0.
    [[noreturn]] void help() const;
    // `text` as a whole number of at least `least`; fails naming `option`
    // otherwise.
    int number(const QString &option, const QString &text, int least) const;

private:
    QString m_program;
    QString m_usage;
};

// The folders of a list file, one absolute path a line, blank lines skipped.
// Returns false with the reason when the file cannot be read.
bool readFolderList(const QString &path, QStringList &folders, QString &error);

// What the batch benchmarks are given: an output folder and the folders to
// archive into it.
struct BatchArguments {
    QString outputFolder;
    QStringList folders;
};

// An option of a program's own: given the option and the arguments after
// it, takes the values it needs from `rest` and returns true, or returns
// false when the option is not one of its own.
using OtherOption = std::function<bool(const QString &option, QStringList &rest)>;

// Reads `--out DIR` and the folders, given one by one or in list files
// (`--list FILE`), from `args` (the arguments after the program's name);
// --help prints the usage line. Fails on an unknown option, a missing or
// absent output folder, no folders, or a folder path that is not absolute.
BatchArguments readBatchArguments(const BenchCommand &command, QStringList args,
                                  const OtherOption &other = {});
