#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// Helpers shared by the tests of the registration-script interpreter.

using Variables = std::vector<std::pair<std::wstring, std::wstring>>;

// Applies 'script' through a fresh registrar and parser, with 'variables' defined.
[[nodiscard]] HRESULT ApplyScript(const std::wstring& script, bool bRegister, const Variables& variables = {});

// Preprocesses 'script' and returns the text (empty on failure, with *hr set).
[[nodiscard]] std::wstring Preprocess(const std::wstring& script, HRESULT* hr, const Variables& variables = {});

// A script with one HKCU block whose nested keys lead to 'keyPath' (below HKCU, each level
// marked NoRemove) and hold 'body'.
[[nodiscard]] std::wstring ScriptBelow(const std::wstring& keyPath, const std::wstring& body);

// Every key, value type and value byte below root\path, one line per key or value, sorted;
// a single "<missing>" line when the key does not exist.
[[nodiscard]] std::vector<std::wstring> SnapshotTree(HKEY root, const std::wstring& path);

// Creates root\path (and the keys above it) with no values.
void CreateKey(HKEY root, const std::wstring& path);

// The text of "REGISTRY" resource 'id' of the test program, as the interpreter reads it.
[[nodiscard]] std::wstring ScriptResourceText(UINT id);

// Sets the per-user registration flag for the life of the object.
class ScopedPerUserRegistration
{
public:
    explicit ScopedPerUserRegistration(bool bPerUser = true) noexcept;
    ~ScopedPerUserRegistration();
    ScopedPerUserRegistration(const ScopedPerUserRegistration&) = delete;
    ScopedPerUserRegistration& operator=(const ScopedPerUserRegistration&) = delete;

private:
    bool m_bSaved;
};

// Makes the next key deletion look up RegDeleteKeyExW again, now and when it ends, so that
// overrides of the lookup apply and do not outlive the test.
class ScopedDeleteKeyLookup
{
public:
    ScopedDeleteKeyLookup() noexcept;
    ~ScopedDeleteKeyLookup();
    ScopedDeleteKeyLookup(const ScopedDeleteKeyLookup&) = delete;
    ScopedDeleteKeyLookup& operator=(const ScopedDeleteKeyLookup&) = delete;
};

// HKEY_CURRENT_USER\Software\Classes with a foreign key of the test in it, so that it is not
// empty while the test runs; on destruction the foreign key goes, and so does Classes when
// the test created it.
class ScopedUserClasses
{
public:
    ScopedUserClasses();
    ~ScopedUserClasses();
    ScopedUserClasses(const ScopedUserClasses&) = delete;
    ScopedUserClasses& operator=(const ScopedUserClasses&) = delete;

    static constexpr wchar_t kPath[] = L"Software\\Classes";

private:
    bool m_bCreatedClasses;
    std::wstring m_foreignKey;
};
