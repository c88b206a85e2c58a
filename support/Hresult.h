#pragma once

#include <windows.h>

// The one place where Win32 error codes become HRESULTs: a positive code c becomes
// 0x80070000 | (c & 0xFFFF); zero and negative values (already HRESULTs) pass unchanged.
[[nodiscard]] constexpr HRESULT HResultFromWin32(LONG code) noexcept
{
    return code > 0 ? static_cast<HRESULT>((static_cast<ULONG>(code) & 0xFFFFu) | 0x80070000u)
                    : static_cast<HRESULT>(code);
}

// Reads the thread's last error right after a failed call.
[[nodiscard]] inline HRESULT HResultFromLastError() noexcept
{
    return HResultFromWin32(static_cast<LONG>(::GetLastError()));
}

#define VEXIL_RETURN_IF_FAILED(expression)      \
    do {                                        \
        const HRESULT hrCheck_ = (expression);  \
        if (FAILED(hrCheck_)) return hrCheck_;  \
    } while (false)

// For status values that must be exactly S_OK to go on: a positive success code
// (S_FALSE and the like) stops the caller as a failure would, and is still returned.
#define VEXIL_RETURN_IF_NOT_OK(expression)      \
    do {                                        \
        const HRESULT hrCheck_ = (expression);  \
        if (hrCheck_ != S_OK) return hrCheck_;  \
    } while (false)
