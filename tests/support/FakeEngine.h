#pragma once
// Drives the stand-in engine library built for the binding's tests.
#include "zip32.h"
#include "core/EngineLoader.h"

#include <QCoreApplication>
#include <QLibrary>
#include <QStringList>
#include <vector>

class FakeEngine {
public:
    FakeEngine()
        : lib(QCoreApplication::applicationDirPath() + QStringLiteral("/testlibs/libfake_zip32"))
    {
        lib.load();
        SetZipEngineLibrary(lib.fileName());
    }
    ~FakeEngine() { SetZipEngineLibrary(QString()); }

    bool loaded() const { return lib.isLoaded(); }

    void script(const QList<QByteArray> &messages, int result)
    {
        std::vector<const char *> ptrs;
        for (const QByteArray &m : messages)
            ptrs.push_back(m.constData());
        fn<void (*)(const char *const *, int32_t, int32_t)>("FakeScript")(ptrs.data(), int32_t(ptrs.size()), result);
    }
    QString calls() { return QString::fromLatin1(fn<const char *(*)()>("FakeCalls")()); }
    ZipEngineOptions options() { return *fn<const ZipEngineOptions *(*)()>("FakeOptions")(); }
    QByteArray root() { return fn<const char *(*)()>("FakeRoot")(); }
    QByteArray archive() { return fn<const char *(*)()>("FakeArchive")(); }
    QList<QByteArray> names()
    {
        QList<QByteArray> out;
        const int n = fn<int32_t (*)()>("FakeNameCount")();
        for (int i = 0; i < n; ++i)
            out << QByteArray(fn<const char *(*)(int32_t)>("FakeName")(i));
        return out;
    }
    bool hasAnswerRoutines() { return fn<int32_t (*)()>("FakeHasAnswerRoutines")() != 0; }

private:
    template <class F>
    F fn(const char *name) { return reinterpret_cast<F>(lib.resolve(name)); }
    QLibrary lib;
};
