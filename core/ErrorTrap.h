#pragma once
// The resume-next error trap of the window's handlers.
//
// A handler creates one trap with its location text and runs each numbered
// statement through it:
//
//     ErrorTrap trap(location("Form_Load"), reporter);
//     trap(100, [&] { applySkin(); });
//     if (trap.branch(106, [&] { return FileExists(cursor); })) {
//         trap(108, [&] { loadCursor(); });
//     }
//     if (trap.guard(102, [&] { return path.size() <= 3; })) return;
//
// A statement that throws is reported with its line number and the handler
// goes on with the next statement. `branch` is the test of a conditional
// whose body stands on its own lines: a failing test enters the body.
// `guard` is a one-line conditional with its single action: a failing test
// skips it whole. A helper called inside a statement that fails abandons that
// call only. The trap stays armed for the life of the handler.
#include <QString>
#include <functional>

class ErrorTrap {
public:
    using Reporter = std::function<void(const QString &location, int line, const QString &description)>;

    ErrorTrap(QString location, Reporter reporter);

    // Runs one numbered statement.
    template <class F> void operator()(int line, F &&statement)
    {
        m_line = line;
        try {
            statement();
        } catch (...) {
            report();
        }
    }

    // Test of a multi-line conditional: failure counts as "enter".
    template <class F> bool branch(int line, F &&test)
    {
        m_line = line;
        try {
            return static_cast<bool>(test());
        } catch (...) {
            report();
            return true;
        }
    }

    // A one-line conditional with its single action: failure skips it whole.
    template <class F> bool guard(int line, F &&test)
    {
        m_line = line;
        try {
            return static_cast<bool>(test());
        } catch (...) {
            report();
            return false;
        }
    }

    int line() const { return m_line; }
    int reports() const { return m_reports; }
    const QString &location() const { return m_location; }

    // The location text of a procedure of the main window, trailing blank included.
    static QString formLocation(const QString &procedure);

    // Describes the exception being handled (call from inside a catch block).
    static QString describeCurrentException();

private:
    void report();

    QString m_location;
    Reporter m_reporter;
    int m_line = 0;
    int m_reports = 0;
};
