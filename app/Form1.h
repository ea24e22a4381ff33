#pragma once
// The main window: its design, and the declarations of every handler. The
// handlers' bodies live with the subsystem they belong to:
//   app/FormLoad.cpp          load and unload
//   app/Chrome.cpp            skin and hover
//   batch/FolderList.cpp      the folder list and its commands
//   batch/StartZipping.cpp    "Start Zipping" and the folder archiver
//   folders/FolderCommands.cpp  add-folder and output-folder commands
#include "app/ErrorTrap.h"

#include <QCursor>
#include <QProgressBar>
#include <QWidget>
#include <functional>
#include <optional>

class QGroupBox;
class RunArchiveNames;
struct RunNotes;
class QLineEdit;
class QPushButton;
class QTreeWidget;

// A progress bar that shows a text of its own and keeps the exact value it
// was given.
class TextProgressBar : public QProgressBar {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget *parent = nullptr);
    QString Text() const { return m_text; }
    void setText(const QString &text);
    double exactValue() const { return m_exact; }
    void setExactValue(double value);
    QString text() const override { return m_text; }

signals:
    void exactValueSet(double value);
    void textSet(const QString &text);

private:
    QString m_text;
    double m_exact = 0;
};

class Form1 : public QWidget {
    Q_OBJECT
public:
    // Window pointer values.
    static constexpr int kPointerDefault = 0;
    static constexpr int kPointerBusy = 11;
    static constexpr int kPointerCustom = 99;

    explicit Form1(QWidget *parent = nullptr);

    // Controls, under their designer names.
    QTreeWidget *ListView1 = nullptr;
    TextProgressBar *ProgressBar1 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QPushButton *PushButton7 = nullptr;
    QPushButton *PushButton4 = nullptr;
    QPushButton *PushButton1 = nullptr;
    QPushButton *PushButton2 = nullptr;
    QPushButton *PushButton3 = nullptr;
    QPushButton *PushButton5 = nullptr;

    // The window-wide pointer: 0 default, 11 busy, 99 the custom hand.
    int MousePointer() const { return m_mousePointer; }
    void setMousePointer(int value);
    bool hasCustomCursor() const { return m_customCursor.has_value(); }

    // Load and unload.
    void Form_Load();
    void Form_Unload();
    void ApplySkin();

    // Folder list.
    void appendRow(const QString &text);
    int rowCount() const;
    QString rowText(int index) const; // 1-based
    QStringList rowTexts() const;
    bool IsFolderListed(const QString &path) const;
    void ListView1_KeyDown(int key);
    void ListView1_DblClick();
    void PushButton3_Click();
    void PushButton5_Click();

    // Batch run.
    void PushButton2_Click();
    // One folder of a run into `outputFolder`, with the run's archive names
    // and notes.
    void ZipFolder(const QString &folderPath, const QString &outputFolder, RunArchiveNames &names,
                   RunNotes &notes);
    bool isZipping() const { return m_zipping; }

    // Folder commands.
    void PushButton4_Click();
    void PushButton1_Click();
    void PushButton7_Click();
    void Text1_Change();

    // Hover.
    void hoverOverButton();
    void hoverOverBackground();

    // What closing the window does while a command runs; by default the
    // program ends at once. Tests replace it.
    void setProgramEnder(std::function<void()> ender) { m_endProgram = std::move(ender); }

    // Number of long commands in progress (a run or a folder walk).
    int commandsInProgress() const { return m_commandsInProgress; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void buildControls();
    void applyPointer();
    void removeSelectedRow();
    // While a run goes on, every control that would change its rows or its
    // output folder is unavailable; "Start Zipping" itself stays, and a
    // second press is ignored.
    void setRunControlsEnabled(bool enabled);
    void addDroppedFolder(const QString &path);
    // The rules of "Add One Folder" once a folder is chosen: no root, no
    // folder listed already, the row cleaned of doubled separators.
    void addOneFolderRow(ErrorTrap &trap, const QString &path);

    struct CommandScope {
        explicit CommandScope(Form1 &f) : form(f) { ++form.m_commandsInProgress; }
        ~CommandScope() { --form.m_commandsInProgress; }
        Form1 &form;
    };

    int m_mousePointer = kPointerDefault;
    std::optional<QCursor> m_customCursor;
    bool m_zipping = false;
    bool m_settingsWarningShown = false;
    int m_commandsInProgress = 0;
    std::function<void()> m_endProgram;
};

// Twips to pixels at 15 twips per pixel.
constexpr int twips(int t) { return (t + 7) / 15; }
