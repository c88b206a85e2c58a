#pragma once

#include <optional>
#include <string>

// A wide string for a process-wide variable that static initialisers use. It is constant-
// initialised, so nothing has to run for it before the first static constructor, and the string
// itself is made on first use: a static object's constructor finds it, empty, whatever the order
// in which the translation units are initialised. A plain std::wstring cannot promise that on
// every standard library (some allocate in the default constructor, as MSVC's checked debug
// containers do, so it is not constant-initialised), and one initialised later would wipe what
// an earlier constructor stored in it.
//
// The first use must not race with another: variables of this kind are set during static
// initialisation, before the process has a second thread.
class CStaticWString
{
public:
    constexpr CStaticWString() noexcept = default;
    CStaticWString(const CStaticWString&) = delete;
    CStaticWString& operator=(const CStaticWString&) = delete;

    [[nodiscard]] std::wstring& operator*() { return m_value ? *m_value : m_value.emplace(); }
    [[nodiscard]] std::wstring* operator->() { return &**this; }

private:
    std::optional<std::wstring> m_value;
};
