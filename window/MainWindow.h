#pragma once
// The main window: its design, and the declarations of every command. The
// bodies live beside it, one file per group of commands:
//   MainWindow.cpp          controls, pointer, event routing
//   TextProgressBar.cpp     the progress bar, as it is shown and heard
//   MainWindowLoad.cpp      load and unload
//   WindowChrome.cpp        skin, hover and dropped folders
//   FolderListCommands.cpp  the folder list's rows and its commands
//   StartZipping.cpp        "Start Zipping", which runs a BatchRun
//   FolderCommands.cpp      add-folder and output-folder commands
#include "core/ErrorTrap.h"
#include "core/FolderList.h"
#include "window/TextProgressBar.h"

#include <QCursor>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class BatchRun;
struct BatchRunHooks;
class QFocusEvent;
class QGroupBox;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    // Window pointer values.
    static constexpr int kPointerDefault = 0;
    static constexpr int kPointerBusy = 11;
    static constexpr int kPointerCustom = 99;

    // What "Start Zipping" says when the mouse rests on it: before a run, and
    // during one.
    static inline const QString kStartTip =
        QStringLiteral("Zip each listed folder into an archive of its own");
    static inline const QString kStopTip = QStringLiteral("Press Escape to stop");

    explicit MainWindow(QWidget *parent = nullptr);

    // Controls. Their object names are the designer names (ListView1,
    // Text1, PushButton2, ...), which the skin and the tests address.
    QTreeWidget *folderListView = nullptr;
    TextProgressBar *progressBar = nullptr;
    QGroupBox *outputFrame = nullptr;
    QLineEdit *outputFolderEdit = nullptr;
    QPushButton *chooseOutputButton = nullptr;
    QPushButton *addOneFolderButton = nullptr;
    QPushButton *addAllSubfoldersButton = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *clearListButton = nullptr;
    QPushButton *loadSamplesButton = nullptr;

    // The window-wide pointer: 0 default, 11 busy, 99 the custom hand.
    int mousePointer() const { return m_mousePointer; }
    void setMousePointer(int value);
    bool hasCustomCursor() const { return m_customCursor.has_value(); }

    // Load and unload.
    void load();
    // Folders named on the command line (or by a file manager's "Open
    // with"): listed by the rules of a dropped folder. Returns those that are
    // not folders, which are left out.
    QStringList addFoldersFromCommandLine(const QStringList &folders);
    void unload();
    void applySkin();

    // Folder list: the rows live in `folders()`, the list view shows them
    // (while many folders come in, a moment later: see AddingFolders).
    FolderList &folders() { return m_folders; }
    const FolderList &folders() const { return m_folders; }
    void appendRow(const QString &text);
    int rowCount() const;
    QString rowText(int index) const; // 1-based
    bool IsFolderListed(const QString &path) const;
    void folderListKeyDown(int key);
    void folderListDoubleClicked();
    void clearList();
    void loadSamples();

    // Batch run.
    void startZipping();
    // Escape while a run goes on: asks whether to stop after the current
    // folder, or at once.
    void askToStop();

    // What the window is busy with. While it is busy every command that
    // changes the list, the output folder or starts a run is refused, and
    // closing the window ends the program at once.
    enum class Busy { Idle, Zipping, AddingFolders };
    Busy busy() const { return m_busy; }
    bool isBusy() const { return m_busy != Busy::Idle; }

    // Folder commands.
    void addOneFolder();
    void addAllSubfolders();
    void chooseOutputFolder();
    void outputFolderChanged();

    // Hover.
    void hoverOverButton();
    void hoverOverBackground();

    // What closing the window does while a command runs; by default the
    // program ends at once. Tests replace it.
    void setProgramEnder(std::function<void()> ender) { m_endProgram = std::move(ender); }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // The controls as designed, in the order they are made.
    void buildControls();
    void buildFolderList();
    void buildOutputControls(); // the bar, the output frame and its box
    void buildButtons();
    void connectCommands(); // the buttons' commands, and Escape to stop a run
    void describeControls(); // tips, and names for a screen reader
    void setDesignedTabOrder();
    // The event filter's parts. True from keyPressed when it took the key.
    void markKeyboardFocus(QFocusEvent *event);
    bool keyPressed(QObject *watched, QKeyEvent *key);
    void hoverOver(QObject *watched);
    void showFolderList();
    // The list's one column is at least as wide as the list, so rows and
    // their selection reach its right edge; it may be dragged wider.
    void fitColumnToList();
    void applyPointer();
    void removeSelectedRow();
    // While a run goes on, every control that would change its rows or its
    // output folder is unavailable, and so is "Start Zipping", whose tip
    // then says that Escape stops the run.
    void setRunControlsEnabled(bool enabled);
    // The parts of "Start Zipping": false, and said, when there is nothing
    // to zip or no output folder (else `outputFolder` is the one resolved);
    // the run's hooks into the window; the bar and the pointer following
    // the run; its closing box.
    bool readyToZip(ErrorTrap &trap, QString &outputFolder);
    BatchRunHooks runHooks();
    void followRun(BatchRun &run);
    void showRunEnd(const BatchRun &run, qsizetype folderCount);
    void addDroppedFolder(const QString &path);
    // The rules of "Add One Folder" once a folder is chosen: no root, no
    // folder listed already, the row cleaned of doubled separators.
    void addOneFolderRow(ErrorTrap &trap, const QString &path);

    struct BusyScope {
        BusyScope(MainWindow &w, Busy what) : window(w), before(w.m_busy) { w.m_busy = what; }
        ~BusyScope() { window.m_busy = before; }
        MainWindow &window;
        Busy before;
    };

    // Many folders coming in at once: "Add All Subfolders Within Folder", a
    // drop, the command line. While one lives the window is busy adding
    // folders, shows the hourglass, and the bar counts the folders added;
    // new rows reach the list view in batches (showWaitingRows). When it
    // ends every row is shown, and the bar and the pointer are as before.
    class AddingFolders {
    public:
        explicit AddingFolders(MainWindow &window);
        ~AddingFolders();
        AddingFolders(const AddingFolders &) = delete;
        AddingFolders &operator=(const AddingFolders &) = delete;

    private:
        MainWindow &m_window;
        BusyScope m_busy;
        QString m_barText;
    };
    // Gives the list view the rows waiting for it, in one insertion. Each
    // insertion lays the whole view out again at the next turn of the event
    // loop, and an add turns the loop before every row: one insertion per
    // row would make adding thousands of folders take minutes.
    void showWaitingRows();

    int m_mousePointer = kPointerDefault;
    std::optional<QCursor> m_customCursor;
    FolderList m_folders;
    Busy m_busy = Busy::Idle;
    BatchRun *m_run = nullptr; // the run in progress
    bool m_askingToStop = false;
    bool m_settingsWarningShown = false;
    std::function<void()> m_endProgram;
    QList<QTreeWidgetItem *> m_rowsWaiting; // appended, not yet in the view
    QTimer m_showRowsTimer;
    int m_addingFrom = -1; // the row count when the current add began; -1 when none
};

// Twips to pixels at 15 twips per pixel.
constexpr int twips(int t) { return (t + 7) / 15; }
