#include "core/EngineLoader.h"
#include "core/EngineMessages.h"
#include "core/FileNames.h"
#include "core/Platform.h"
#include "core/ProgramInfo.h"
#include "core/Yield.h"
#include "zip32.h"

#include <QDir>
#include <QFile>
#include <QLibrary>
#include <algorithm>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace {

QString g_libraryOverride;

using InitFn = int32_t(ZIP32_CALL *)(const ZipEngineCallbacks *);
using SetOptionsFn = int32_t(ZIP32_CALL *)(const ZipEngineOptions *);
using ArchiveFn = int32_t(ZIP32_CALL *)(int32_t, const char *, ZipFileNameList);

struct Engine {
    InitFn init = nullptr;
    SetOptionsFn setOptions = nullptr;
    ArchiveFn archive = nullptr;
    QString problem; // why the engine cannot be used, empty when it can
};

// Loads the engine once per library path and keeps it loaded: unloading a
// library whose exit handlers may still run is not safe.
Engine loadEngine()
{
    static QString loadedFrom, loadedOverride;
    static Engine engine;
    // Once loaded, the engine is not looked for again (a look on disk for
    // every archive) until tests point elsewhere.
    if (engine.problem.isEmpty() && engine.archive && loadedOverride == g_libraryOverride)
        return engine;
    const QString wanted = ZipEngineLibrary();
    if (loadedFrom == wanted && engine.problem.isEmpty() && engine.archive) {
        loadedOverride = g_libraryOverride;
        return engine;
    }

    engine = Engine();
    // One loader per path, kept for the life of the program.
    static std::map<QString, std::unique_ptr<QLibrary>> libraries;
    std::unique_ptr<QLibrary> &slot = libraries[wanted];
    if (!slot)
        slot = std::make_unique<QLibrary>(wanted);
    QLibrary *library = slot.get();
    if (!library->load()) {
        engine.problem = QStringLiteral("The zip engine could not be loaded (%1): %2")
                             .arg(QDir::toNativeSeparators(wanted), library->errorString());
        return engine;
    }
    engine.init = reinterpret_cast<InitFn>(library->resolve("ZpInit"));
    engine.setOptions = reinterpret_cast<SetOptionsFn>(library->resolve("ZpSetOptions"));
    engine.archive = reinterpret_cast<ArchiveFn>(library->resolve("ZpArchive"));
    if (!engine.init || !engine.setOptions || !engine.archive) {
        engine.problem = QStringLiteral("The zip engine could not be loaded (%1): %2")
                             .arg(QDir::toNativeSeparators(wanted), library->errorString());
        engine.init = nullptr;
        engine.setOptions = nullptr;
        engine.archive = nullptr;
        return engine;
    }
    loadedFrom = wanted;
    loadedOverride = g_libraryOverride;
    return engine;
}

// The engine's message routine carries no context of its own: the run in
// progress is found here. A run started from inside another one's yield
// (the engine then answers "busy") stands in front of it until it returns.
struct RunContext {
    QString messages;
    const Yield *yield = nullptr;
    const ZipProgress *progress = nullptr;
};
RunContext *g_currentRun = nullptr;

void yieldFor(const RunContext &run)
{
    if (run.yield && *run.yield)
        (*run.yield)();
}

int32_t ZIP32_CALL ZipPrintCallback(const char *buffer, uint32_t length)
{
    try {
        RunContext *run = g_currentRun;
        if (!run)
            return 0;
        const QString text = ZipBufferToText(buffer, length);
        if (text.contains(QLatin1Char('.')))
            yieldFor(*run);
        yieldFor(*run);
        run->messages += text;
        yieldFor(*run);
    } catch (...) {
        // The engine's thread must never see an exception.
    }
    return 0;
}

int32_t ZIP32_CALL ZipProgressCallback(uint64_t done, uint64_t total)
{
    try {
        RunContext *run = g_currentRun;
        if (run && run->progress && *run->progress && (*run->progress)(done, total))
            return 1;
    } catch (...) {
        // The engine must never see an exception.
    }
    return 0;
}

int32_t ZIP32_CALL ZipAnswerCallback(int32_t, int32_t, int32_t, int32_t) { return 1; }

char *ZIP32_CALL ZipBufferCallback(char *buffer) { return buffer; }

// The engine that holds a folder's flush for the run, if one does.
SetOptionsFn g_holdingEngine = nullptr;

} // namespace

void EndZipEngineRun()
{
    if (!g_holdingEngine)
        return;
    // A record whose field 24 is 0 flushes what the run's archives held.
    const ZipEngineOptions none{};
    std::exchange(g_holdingEngine, nullptr)(&none);
}

void SetZipEngineLibrary(const QString &pathOrName) { g_libraryOverride = pathOrName; }

QString ZipEngineLibrary()
{
    if (!g_libraryOverride.isEmpty())
        return g_libraryOverride;
    const QString beside = ProgramFolder() + QDir::separator() + EngineLibraryFileName();
    if (QFile::exists(beside))
        return beside;
    return QStringLiteral("zip32");
}

namespace {

// The engine reads 8-bit text up to its first zero byte: a name holding one
// would name another file than the one asked for. True, with the run's
// answer in `run`, when one does.
bool refuseNamesWithNul(const QString &zipFileName, const QStringList &names, const QStringList &leaveOut,
                        ZipEngineRun &run)
{
    const auto hasNul = [](const QString &text) { return text.contains(QChar(0)); };
    if (hasNul(zipFileName) || std::any_of(names.begin(), names.end(), hasNul)
        || std::any_of(leaveOut.begin(), leaveOut.end(), hasNul)) {
        run.result = ZP_BAD_ARGUMENTS;
        run.messages = QStringLiteral("%1: not written, a name holds a NUL character\n")
                           .arg(QString(zipFileName).replace(QChar(0), QLatin1Char('?')));
        return true;
    }
    return false;
}

ZipEngineCallbacks engineCallbacks()
{
    ZipEngineCallbacks callbacks{};
    callbacks.print = ZipPrintCallback;
    callbacks.answer = ZipAnswerCallback;
    callbacks.buffer = ZipBufferCallback;
    callbacks.fourth = ZipProgressCallback;
    return callbacks;
}

// The option record: the fields the engine reads, every other one 0. It
// points at `root`, which must outlive it.
ZipEngineOptions optionRecord(qint16 ignorePath, qint16 recurse, qint16 update, qint16 includeHidden,
                              const ZipEngineExtras &extras, const QByteArray &root)
{
    ZipEngineOptions options{};
    options.includeHidden = includeHidden;
    options.ignorePath = ignorePath;
    options.recurse = recurse;
    options.update = update;
    options.followLinks = extras.followLinks ? 1 : 0;
    options.holdFolderSync = extras.holdFolderSync ? 1 : 0;
    options.excluded = int32_t(extras.leaveOut.size());
    options.tempDir = nullptr;
    options.rootDir = root.constData();
    return options;
}

// The name list as the engine takes it: the first `count` names to
// archive, then the files to leave out (the engine takes the last
// `excluded` names of the list as those), encoded, and a null at the end.
struct EngineNameList {
    std::vector<QByteArray> encoded;
    std::vector<const char *> list; // points into `encoded`

    EngineNameList(qint32 count, const QStringList &names, const QStringList &leaveOut)
    {
        const qsizetype used = qBound<qsizetype>(0, qsizetype(count), names.size());
        encoded.reserve(size_t(used + leaveOut.size()));
        for (qsizetype i = 0; i < used; ++i)
            encoded.push_back(FileNameToNative(names.at(i)));
        for (const QString &path : leaveOut)
            encoded.push_back(FileNameToNative(path));
        list.reserve(encoded.size() + 1);
        for (const QByteArray &name : encoded)
            list.push_back(name.constData());
        list.push_back(nullptr);
    }
    EngineNameList(const EngineNameList &) = delete;
    EngineNameList &operator=(const EngineNameList &) = delete;
};

} // namespace

ZipEngineRun RunZipEngine(qint32 count, const QString &zipFileName, const QStringList &names,
                          qint16 ignorePath, qint16 recurse, qint16 update, qint16 includeHidden,
                          const QString &rootDirectory, const Yield &yield, const ZipProgress &progress,
                          const ZipEngineExtras &extras)
{
    ZipEngineRun run;
    const Engine engine = loadEngine();
    if (!engine.problem.isEmpty()) {
        run.messages = engine.problem + QLatin1Char('\n');
        return run;
    }
    if (refuseNamesWithNul(zipFileName, names, extras.leaveOut, run))
        return run;

    const ZipEngineCallbacks callbacks = engineCallbacks();
    const QByteArray root = EngineRootText(rootDirectory);
    const ZipEngineOptions options = optionRecord(ignorePath, recurse, update, includeHidden, extras, root);
    const EngineNameList engineNames(count, names, extras.leaveOut);
    const QByteArray archive = FileNameToNative(zipFileName);

    RunContext context;
    context.yield = &yield;
    context.progress = &progress;
    RunContext *const outer = g_currentRun;
    g_currentRun = &context;
    struct Restore {
        RunContext *outer;
        ~Restore() { g_currentRun = outer; }
    } restore{outer};
    engine.init(&callbacks);
    engine.setOptions(&options);
    if (extras.holdFolderSync)
        g_holdingEngine = engine.setOptions;
    run.result =
        engine.archive(int32_t(engineNames.encoded.size()), archive.constData(), engineNames.list.data());
    run.messages = std::move(context.messages);
    return run;
}
