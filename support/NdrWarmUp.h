#pragma once

#include <windows.h>
#include <rpcndr.h>

// Wine 8's RPC runtime loads the COM entry points of its marshaling engine (NDR) on first use,
// and marks them loaded before it has stored them: a thread that makes its first call while
// another is still loading them calls through a null pointer, and the process ends with an
// access violation. A process whose first out-of-process COM work starts on several threads at
// once calls this once on its main thread before any other thread does COM work; it loads them
// while only one thread runs. On Windows it is one allocation and one free.
inline void WarmUpNdrEngine() noexcept
{
    NdrOleFree(NdrOleAllocate(1));
}
