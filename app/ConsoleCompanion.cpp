// quillbarrow.com, the console companion of quillbarrow.exe on Windows (as
// devenv.com is of devenv.exe). quillbarrow.exe is a window program: a
// console does not wait for it and shows nothing it prints. cmd.exe runs
// the .com before the .exe of the same name, so `quillbarrow --output DIR
// FOLDER...` typed in a console runs this console program instead: the same
// command line as the window program's, zipping here and printing into the
// console, the exit code the console's. What it would open the window for
// it leaves to quillbarrow.exe beside it, started with the same arguments,
// and returns at once, as a window program started from a console would.
#include "app/CommandLineModes.h"
#include "core/Platform.h"

int main(int argc, char *argv[])
{
    const CommandLine line = ReadProgramCommandLine(argc, argv);
    if (line.action != CommandLine::Action::Window)
        return RunWithoutWindow(line, argc, argv);
    QString error;
    if (!StartBesideWithOwnArguments(QStringLiteral("quillbarrow.exe"), error)) {
        PrintTo(stderr, QStringLiteral("quillbarrow: the window could not be opened: %1.\n").arg(error));
        return kExitSomeFailed;
    }
    return kExitAllZipped;
}
