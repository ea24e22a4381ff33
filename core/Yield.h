#pragma once
#include <functional>

// Lets pending window events run. Long operations call it at fixed points so
// the window keeps answering; the core library never touches widgets itself.
using Yield = std::function<void()>;

// The usual yield: process pending events of the running application, if any.
void ProcessPendingEvents();

// `yield`, run at most once every few milliseconds however often it is asked
// for (the first time at once): enough for the window, while a turn of the
// event loop costs system calls, too many to take for every name of a tree
// of thousands of folders. Empty when `yield` is.
Yield Throttled(Yield yield);
