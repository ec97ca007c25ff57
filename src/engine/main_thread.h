#pragma once

#include <functional>

// Runs `fn` on the main thread's event loop, after everything posted before it.
// Without an application object there is no loop to run it, and it is dropped.
void postToMainThread(std::function<void()> fn);

// Runs `fn` on a thread of the global pool, which the program drains before it ends.
void runOnPool(std::function<void()> fn);
