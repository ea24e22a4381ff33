#pragma once
// A dialog seam for tests: records every box, answers the folder browser
// from a script, and never blocks.
#include "window/Dialogs.h"

#include <QStringList>
#include <QTemporaryDir>
#include <QFile>
#include <QSettings>
#include <QTest>
#include <functional>

struct ShownBox {
    QString kind;  // "information" or "warning"
    QString title;
    QString text;
    QString details;
    QStringList buttons; // for boxes with a choice
    int escape = -1;     // the button Escape presses there
};

struct BrowseRequest {
    QString title;
    QString start;
};

class ScriptedDialogs : public DialogSeam {
public:
    ScriptedDialogs() { SetDialogs(this); }
    ~ScriptedDialogs() override { SetDialogs(nullptr); }

    void information(QWidget *, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("information"), title, text, QString(), {}});
        if (onBox)
            onBox(boxes.last());
    }
    void informationWithDetails(QWidget *, const QString &title, const QString &text,
                                const QString &details) override
    {
        boxes.append({QStringLiteral("information"), title, text, details, {}});
        if (onBox)
            onBox(boxes.last());
    }
    void warning(QWidget *, const QString &title, const QString &text) override
    {
        boxes.append({QStringLiteral("warning"), title, text, QString(), {}});
        if (onBox)
            onBox(boxes.last());
    }
    int choose(QWidget *, Sign sign, const QString &title, const QString &text,
               const QStringList &buttons, int escape) override
    {
        const QString kind = sign == Sign::Warning    ? QStringLiteral("warning")
                             : sign == Sign::Question ? QStringLiteral("question")
                                                      : QStringLiteral("information");
        boxes.append({kind, title, text, QString(), buttons, escape});
        if (onBox)
            onBox(boxes.last());
        return choices.isEmpty() ? 0 : choices.takeFirst();
    }
    QString browseFolder(QWidget *, const QString &title, const QString &start) override
    {
        browses.append({title, start});
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }

    QStringList texts() const
    {
        QStringList out;
        for (const ShownBox &b : boxes)
            out << b.text;
        return out;
    }
    QList<ShownBox> warnings() const
    {
        QList<ShownBox> out;
        for (const ShownBox &b : boxes)
            if (b.kind == QLatin1String("warning"))
                out << b;
        return out;
    }

    QList<ShownBox> boxes;
    QList<BrowseRequest> browses;
    QStringList answers;                       // browser answers, first first
    QList<int> choices;                        // buttons pressed in boxes with a choice; 0 when none left
    std::function<void(const ShownBox &)> onBox; // runs while a box "is open"
};

// A private settings store for one test. On Windows the store is the
// registry, the same for every program of a Wine prefix: there each test
// starts and ends without the program's key (ctest runs the tests that use
// it one at a time).
class TemporarySettings {
public:
#ifdef Q_OS_WIN
    TemporarySettings() { removeKey(); }
    ~TemporarySettings() { removeKey(); }
    // True when the store holds a setting of the program's. (Opening the
    // key, as the program does to read it, makes an empty one.)
    static bool written() { return !QSettings(kSoftware + u'\\' + kKey, QSettings::NativeFormat).allKeys().isEmpty(); }

private:
    static inline const QString kSoftware = QStringLiteral("HKEY_CURRENT_USER\\Software");
    static inline const QString kKey = QStringLiteral("Kestrawin");
    static void removeKey()
    {
        QSettings software(kSoftware, QSettings::NativeFormat);
        software.remove(kKey);
        software.sync();
    }
#else
    TemporarySettings()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }
    QString path() const { return dir.path(); }
    QString fileName() const { return dir.path() + QStringLiteral("/Kestrawin.conf"); }
    bool written() const { return QFile::exists(fileName()); }

private:
    QTemporaryDir dir;
#endif
};
