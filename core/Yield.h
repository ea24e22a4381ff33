#pragma once
#include <functional>

// Lets pending window events run. Long operations call it at fixed points so
// the window keeps answering; the core library never touches widgets itself.
using Yield = std::function<void()>;

// The usual yield: process pending events of the running application, if any.
void ProcessPendingEvents();
