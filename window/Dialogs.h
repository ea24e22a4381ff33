#pragma once
// Every modal dialog of the program goes through this seam, so tests can
// script the answers and nothing ever blocks them.
#include <QString>
#include <QStringList>

class QWidget;

class DialogSeam {
public:
    virtual ~DialogSeam() = default;

    // An information box with only an OK button. An empty title means the
    // application title.
    virtual void information(QWidget *parent, const QString &title, const QString &text) = 0;

    // An information box whose `details` wait behind its details button
    // (none when empty).
    virtual void informationWithDetails(QWidget *parent, const QString &title, const QString &text,
                                        const QString &details) = 0;

    // A box with the given buttons: the first is the default, the one at
    // `escape` is what the Escape key presses. Returns the index of the
    // button pressed.
    enum class Sign { Information, Warning, Question };
    virtual int choose(QWidget *parent, Sign sign, const QString &title, const QString &text,
                       const QStringList &buttons, int escape) = 0;

    // A warning box with only an OK button.
    virtual void warning(QWidget *parent, const QString &title, const QString &text) = 0;

    // A folder chooser opening at `start`. Returns the chosen folder's native
    // path (no trailing separator except a root), or empty text on cancel.
    virtual QString browseFolder(QWidget *owner, const QString &title, const QString &start) = 0;
};

// The seam in use: the real Qt dialogs unless a test installed its own.
DialogSeam &Dialogs();

// Installs a seam (not owned); nullptr restores the real dialogs.
void SetDialogs(DialogSeam *seam);

// A long message split into what a box shows and what waits behind its
// details button, so the box never grows past the screen. `details` is empty
// when the whole text fits.
struct BoxText {
    QString shown;
    QString details;
};
BoxText SplitLongMessage(const QString &text);

// The real dialogs.
class QtDialogs : public DialogSeam {
public:
    void information(QWidget *parent, const QString &title, const QString &text) override;
    void informationWithDetails(QWidget *parent, const QString &title, const QString &text,
                                const QString &details) override;
    void warning(QWidget *parent, const QString &title, const QString &text) override;
    int choose(QWidget *parent, Sign sign, const QString &title, const QString &text,
               const QStringList &buttons, int escape) override;
    QString browseFolder(QWidget *owner, const QString &title, const QString &start) override;

    // How many lines of a long message the box shows before the rest moves
    // to its details.
    static constexpr int kShownLines = 20;
    static constexpr int kShownChars = 2000;
};
