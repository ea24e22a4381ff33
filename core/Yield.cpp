#include "core/Yield.h"

#include <QCoreApplication>

#include <chrono>
#include <memory>

void ProcessPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

Yield Throttled(Yield yield)
{
    if (!yield)
        return {};
    using Clock = std::chrono::steady_clock;
    auto last = std::make_shared<Clock::time_point>();
    return [yield = std::move(yield), last] {
        constexpr std::chrono::milliseconds kEvery{5};
        const auto now = Clock::now();
        if (now - *last < kEvery)
            return;
        *last = now;
        yield();
    };
}
