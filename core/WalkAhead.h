#pragma once
// The walk of the folder after the one being zipped, made on a thread of the
// run's own while the engine works on the current one, so the engine never
// waits for it. One thread serves the whole run (starting one for each of
// thousands of small folders costs more than walking them) and is joined
// when the run ends: nothing of a run outlives it.
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class WalkAhead {
public:
    struct Walked {
        QStringList subFolders;
        QStringList linksLeftOut;
    };

    explicit WalkAhead(bool followLinks) : m_followLinks(followLinks) {}
    // Gives up a walk still going (it ends at its next step) and waits for
    // the thread to end.
    ~WalkAhead();
    WalkAhead(const WalkAhead &) = delete;
    WalkAhead &operator=(const WalkAhead &) = delete;

    // Starts the walk of `folder`, giving up any walk started before.
    void start(const QString &folder);
    // Whether the walk started last, and not yet taken, is of `folder`.
    bool isOf(const QString &folder) const { return m_pending.valid() && m_folder == folder; }
    // The walk started last, waited for; `keepWaiting` is asked every 10 ms
    // and gives the walk up by answering false (then nothing is returned).
    // The walk's own errors are thrown here.
    std::optional<Walked> take(const std::function<bool()> &keepWaiting);
    // Gives up the walk started last, if any.
    void cancel();

private:
    struct Task {
        QString folder;
        std::shared_ptr<std::atomic<bool>> cancelled;
        std::promise<Walked> promise;
    };
    void serve();

    const bool m_followLinks;
    // The caller's side: the walk started last.
    QString m_folder;
    std::future<Walked> m_pending;
    std::shared_ptr<std::atomic<bool>> m_cancelled;
    // Shared with the thread.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<Task> m_next;
    bool m_quit = false;
    std::thread m_thread;
};
