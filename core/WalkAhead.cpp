#include "core/WalkAhead.h"

#include "core/FolderWalk.h"
#include "core/PathHelpers.h"

#include <chrono>

WalkAhead::~WalkAhead()
{
    cancel();
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void WalkAhead::start(const QString &folder)
{
    cancel();
    Task task{folder, std::make_shared<std::atomic<bool>>(false), {}};
    m_folder = folder;
    m_cancelled = task.cancelled;
    m_pending = task.promise.get_future();
    {
        std::lock_guard lock(m_mutex);
        m_next = std::move(task);
    }
    m_wake.notify_one();
    if (!m_thread.joinable())
        m_thread = std::thread([this] { serve(); });
}

std::optional<WalkAhead::Walked> WalkAhead::take(const std::function<bool()> &keepWaiting)
{
    while (m_pending.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
        if (!keepWaiting()) {
            cancel();
            return std::nullopt;
        }
    }
    std::future<Walked> done = std::move(m_pending);
    m_folder.clear();
    return done.get();
}

void WalkAhead::cancel()
{
    if (m_cancelled)
        m_cancelled->store(true);
    m_cancelled.reset();
    m_pending = {};
    m_folder.clear();
}

void WalkAhead::serve()
{
    struct Cancelled {};
    for (;;) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_quit || m_next; });
            if (m_quit)
                return;
            task = std::move(*m_next);
            m_next.reset();
        }
        // Off the window's thread the walk's steps only ask whether it is
        // still wanted.
        const auto &cancelled = task.cancelled;
        try {
            Walked walked;
            CollectSubFolders(
                task.folder + kNativeSeparator, walked.subFolders, true,
                [&cancelled] {
                    if (cancelled->load(std::memory_order_relaxed))
                        throw Cancelled{};
                },
                &walked.linksLeftOut, m_followLinks);
            task.promise.set_value(std::move(walked));
        } catch (...) {
            task.promise.set_exception(std::current_exception());
        }
    }
}
