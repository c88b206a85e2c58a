#pragma once

#include "support/Platform.h"

// Replaces one entry of the platform table for the lifetime of the object and restores it
// afterwards, whatever the test does in between.
//   ScopedPlatformOverride failCreate(&PlatformApi::CreateEventW, [](auto...) -> HANDLE { ... });
template <typename Function>
class ScopedPlatformOverride
{
public:
    template <typename Replacement>
    ScopedPlatformOverride(Function PlatformApi::*entry, Replacement replacement) noexcept
        : m_entry(entry), m_saved(Platform().*entry)
    {
        Platform().*m_entry = replacement;
    }
    ~ScopedPlatformOverride() { Platform().*m_entry = m_saved; }

    ScopedPlatformOverride(const ScopedPlatformOverride&) = delete;
    ScopedPlatformOverride& operator=(const ScopedPlatformOverride&) = delete;

private:
    Function PlatformApi::*m_entry;
    Function m_saved;
};
