#include "registration/ScriptParser.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptRegistrar.h"
#include "support/Hresult.h"

namespace {

[[nodiscard]] bool IsScriptSpace(wchar_t unit) noexcept
{
    return unit == L' ' || unit == L'\t' || unit == L'\r' || unit == L'\n';
}

[[nodiscard]] bool SameWord(const wchar_t* text, const wchar_t* word) noexcept
{
    return ::lstrcmpiW(text, word) == 0;
}

[[nodiscard]] bool IsBlockStart(const wchar_t* token) noexcept
{
    return token[0] == L'{' && token[1] == L'\0';
}

[[nodiscard]] bool IsNeverDeleteKey(const wchar_t* name) noexcept
{
    for (const wchar_t* kept : kNeverDeleteKeys) {
        if (SameWord(name, kept))
            return true;
    }
    return false;
}

[[nodiscard]] HKEY FindRootKey(const wchar_t* name) noexcept
{
    for (const ScriptRootKey& root : kScriptRootKeys) {
        if (SameWord(name, root.szName))
            return root.hKey;
    }
    return nullptr;
}

[[nodiscard]] const ScriptValueType* FindValueType(const wchar_t* letter) noexcept
{
    for (const ScriptValueType& type : kScriptValueTypes) {
        if (SameWord(letter, type.szLetter))
            return &type;
    }
    return nullptr;
}

// Every item names exactly one key level below its parent. An empty name would open the
// parent itself, so "ForceRemove ''" would wipe the parent, root keys included.
[[nodiscard]] HRESULT CheckKeyName(const wchar_t* name) noexcept
{
    if (name[0] == L'\0' || std::wcschr(name, L'\\') != nullptr)
        return DISP_E_EXCEPTION;
    return S_OK;
}

// Digits outside 0-9, A-F and a-f count as zero.
[[nodiscard]] BYTE HexDigitValue(wchar_t digit) noexcept
{
    if (digit >= L'0' && digit <= L'9')
        return static_cast<BYTE>(digit - L'0');
    if (digit >= L'A' && digit <= L'F')
        return static_cast<BYTE>(digit - L'A' + 10);
    if (digit >= L'a' && digit <= L'f')
        return static_cast<BYTE>(digit - L'a' + 10);
    return 0;
}

// Turns every backslash-zero pair of 'text' into a NUL, in place, and ends the list with two
// NULs (the buffer must hold two units more than the text). Returns the byte size the
// registry takes: each string with its NUL, up to and including the first empty string.
[[nodiscard]] DWORD MakeMultiString(wchar_t* text) noexcept
{
    std::size_t in = 0;
    std::size_t out = 0;
    while (text[in] != L'\0') {
        if (text[in] == L'\\' && text[in + 1] == L'0') {
            text[out++] = L'\0';
            in += 2;
        } else {
            text[out++] = text[in++];
        }
    }
    text[out++] = L'\0';
    text[out++] = L'\0';

    std::size_t units = 0;
    while (text[units] != L'\0')
        units += std::wcslen(text + units) + 1;
    return static_cast<DWORD>((units + 1) * sizeof(wchar_t));
}

// RegDeleteKeyExW is looked up once per process. Threads that race on the first lookup all
// store the same address, so no lock is needed.
using DeleteKeyExFunction = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
std::atomic<DeleteKeyExFunction> g_pfnDeleteKeyEx{nullptr};
std::atomic<bool> g_bDeleteKeyExLookedUp{false};

[[nodiscard]] DeleteKeyExFunction DeleteKeyExFunctionOfProcess() noexcept
{
    if (!g_bDeleteKeyExLookedUp.load(std::memory_order_acquire)) {
        DeleteKeyExFunction found = nullptr;
        if (const HMODULE advapi = Platform().GetModuleHandleW(kDeleteKeyExModule)) {
            const FARPROC address = Platform().GetProcAddress(advapi, kDeleteKeyExName);
            found = reinterpret_cast<DeleteKeyExFunction>(reinterpret_cast<void*>(address));
        }
        g_pfnDeleteKeyEx.store(found, std::memory_order_relaxed);
        g_bDeleteKeyExLookedUp.store(true, std::memory_order_release);
    }
    return g_pfnDeleteKeyEx.load(std::memory_order_relaxed);
}

// Deletes one key that has no subkeys, in the registry view of the caller.
[[nodiscard]] LSTATUS DeleteSingleKey(HKEY parent, const wchar_t* name) noexcept
{
    if (const DeleteKeyExFunction deleteKeyEx = DeleteKeyExFunctionOfProcess())
        return deleteKeyEx(parent, name, 0, 0);
    return Platform().RegDeleteKeyW(parent, name);
}

// The preprocessed text under construction; its buffer grows by doubling.
class ScriptTextBuilder
{
public:
    [[nodiscard]] HRESULT Start(std::size_t inputUnits) noexcept
    {
        if (inputUnits > SIZE_MAX / 4 / sizeof(wchar_t))
            return E_OUTOFMEMORY;
        m_capacity = inputUnits * 2;
        if (m_capacity < 100)
            m_capacity = 1000;
        m_text.reset(static_cast<wchar_t*>(Platform().CoTaskMemAlloc(m_capacity * sizeof(wchar_t))));
        if (!m_text)
            return E_OUTOFMEMORY;
        m_text.get()[0] = L'\0';
        return S_OK;
    }

    [[nodiscard]] HRESULT Append(const wchar_t* units, std::size_t count) noexcept
    {
        VEXIL_RETURN_IF_FAILED(Reserve(count));
        std::memcpy(m_text.get() + m_length, units, count * sizeof(wchar_t));
        m_length += count;
        m_text.get()[m_length] = L'\0';
        return S_OK;
    }
    [[nodiscard]] HRESULT Append(const wchar_t* text) noexcept { return Append(text, std::wcslen(text)); }

    [[nodiscard]] UniqueScriptText Take() noexcept { return std::move(m_text); }

private:
    // Room for 'count' more units and the terminating NUL.
    [[nodiscard]] HRESULT Reserve(std::size_t count) noexcept
    {
        std::size_t capacity = m_capacity;
        while (capacity - m_length <= count) {
            if (capacity > SIZE_MAX / 2 / sizeof(wchar_t))
                return E_OUTOFMEMORY;
            capacity *= 2;
        }
        if (capacity == m_capacity)
            return S_OK;
        auto* grown = static_cast<wchar_t*>(
            Platform().CoTaskMemRealloc(m_text.get(), capacity * sizeof(wchar_t)));
        if (grown == nullptr)
            return E_OUTOFMEMORY;  // the old buffer is still ours and is freed with the builder
        (void)m_text.release();
        m_text.reset(grown);
        m_capacity = capacity;
        return S_OK;
    }

    UniqueScriptText m_text;
    std::size_t m_capacity = 0;
    std::size_t m_length = 0;
};

// Counts the nesting of key lists for the life of one list.
class ListDepth
{
public:
    explicit ListDepth(unsigned& depth) noexcept : m_depth(depth) { ++m_depth; }
    ~ListDepth() { --m_depth; }
    ListDepth(const ListDepth&) = delete;
    ListDepth& operator=(const ListDepth&) = delete;

private:
    unsigned& m_depth;
};

}  // namespace

CScriptParser::CScriptParser(CScriptRegistrar& registrar) noexcept : m_registrar(registrar) {}

void CScriptParser::ForgetDeleteKeyFunction() noexcept
{
    g_bDeleteKeyExLookedUp.store(false, std::memory_order_release);
    g_pfnDeleteKeyEx.store(nullptr, std::memory_order_relaxed);
}

HRESULT CScriptParser::PreprocessBuffer(const wchar_t* text, UniqueScriptText& out) noexcept
{
    out.reset();
    const bool bPerUser = g_bPerUserRegistration;
    constexpr std::size_t kPerUserRootUnits = std::size(kPerUserRootName) - 1;

    ScriptTextBuilder builder;
    VEXIL_RETURN_IF_FAILED(builder.Start(std::wcslen(text)));

    std::ptrdiff_t braceLevel = 0;
    bool bInQuote = false;
    bool bRedirected = false;
    const wchar_t* p = text;
    while (*p != L'\0') {
        if (bPerUser) {
            if (braceLevel == 0 && std::wcsncmp(p, kPerUserRootName, kPerUserRootUnits) == 0) {
                p += kPerUserRootUnits;
                VEXIL_RETURN_IF_FAILED(builder.Append(kPerUserOpening));
                bRedirected = true;
                if (*p == L'\0')
                    break;
            }
            if (*p == L'\'') {
                if (!bInQuote) {
                    bInQuote = true;
                } else if (p[1] == L'\'') {
                    // A doubled quote stays inside the quoted text: copy the first here, the
                    // second is copied as an ordinary character below.
                    VEXIL_RETURN_IF_FAILED(builder.Append(p, 1));
                    ++p;
                } else {
                    bInQuote = false;
                }
            } else if (!bInQuote) {
                if (*p == L'{') {
                    ++braceLevel;
                } else if (*p == L'}') {
                    --braceLevel;
                    if (braceLevel == 0 && bRedirected) {
                        VEXIL_RETURN_IF_FAILED(builder.Append(kPerUserClosing));
                        bRedirected = false;
                    }
                }
            }
        }

        if (*p == L'%') {
            if (p[1] == L'%') {
                VEXIL_RETURN_IF_FAILED(builder.Append(p, 1));
                p += 2;
                continue;
            }
            const wchar_t* nameStart = p + 1;
            const wchar_t* nameEnd = std::wcschr(nameStart, L'%');
            if (nameEnd == nullptr)
                return DISP_E_EXCEPTION;
            const auto nameUnits = static_cast<std::size_t>(nameEnd - nameStart);
            if (nameUnits > kMaxVariableNameUnits)
                return E_FAIL;
            wchar_t name[kMaxVariableNameUnits + 1];
            std::wmemcpy(name, nameStart, nameUnits);
            name[nameUnits] = L'\0';
            // The replacement text is copied as it is: no variables, quotes or braces in it
            // are looked at.
            const wchar_t* replacement = m_registrar.FindReplacement(name);
            if (replacement == nullptr)
                return DISP_E_EXCEPTION;
            VEXIL_RETURN_IF_FAILED(builder.Append(replacement));
            p = nameEnd + 1;
            continue;
        }

        const wchar_t* next = ::CharNextW(p);
        VEXIL_RETURN_IF_FAILED(builder.Append(p, static_cast<std::size_t>(next - p)));
        p = next;
    }

    out = builder.Take();
    return S_OK;
}

void CScriptParser::SkipWhitespace() noexcept
{
    while (IsScriptSpace(*m_pCursor))
        ++m_pCursor;
}

HRESULT CScriptParser::NextToken(wchar_t* token) noexcept
{
    token[0] = L'\0';
    SkipWhitespace();
    if (*m_pCursor == L'\0')
        return DISP_E_EXCEPTION;

    std::size_t length = 0;
    const auto take = [&](const wchar_t* from, const wchar_t* to) noexcept {
        const auto units = static_cast<std::size_t>(to - from);
        if (units > kMaxTokenUnits - length)
            return false;
        std::wmemcpy(token + length, from, units);
        length += units;
        return true;
    };

    const wchar_t* p = m_pCursor;
    if (*p == L'\'') {
        // Quoted: up to the next quote that is not doubled; each doubled quote gives one.
        ++p;
        for (;;) {
            if (*p == L'\0')
                return DISP_E_EXCEPTION;
            if (*p == L'\'') {
                if (p[1] != L'\'') {
                    ++p;
                    break;
                }
                if (!take(p, p + 1))
                    return DISP_E_EXCEPTION;
                p += 2;
                continue;
            }
            const wchar_t* next = ::CharNextW(p);
            if (!take(p, next))
                return DISP_E_EXCEPTION;
            p = next;
        }
    } else {
        // Only whitespace separates tokens: braces and "=" stick to their neighbours.
        while (*p != L'\0' && !IsScriptSpace(*p)) {
            const wchar_t* next = ::CharNextW(p);
            if (!take(p, next))
                return DISP_E_EXCEPTION;
            p = next;
        }
    }
    token[length] = L'\0';
    m_pCursor = p;
    return S_OK;
}

HRESULT CScriptParser::RegisterBuffer(const wchar_t* text, BOOL bRegister) noexcept
{
    UniqueScriptText script;
    VEXIL_RETURN_IF_FAILED(PreprocessBuffer(text, script));
    m_pCursor = script.get();
    if (*m_pCursor == L'\0')
        return S_OK;

    wchar_t token[kTokenBufferUnits];
    for (;;) {
        VEXIL_RETURN_IF_FAILED(NextToken(token));
        const HKEY root = FindRootKey(token);
        if (root == nullptr)
            return DISP_E_EXCEPTION;
        VEXIL_RETURN_IF_FAILED(NextToken(token));
        if (token[0] != L'{')
            return DISP_E_EXCEPTION;

        const wchar_t* blockStart = m_pCursor;
        m_bTooDeep = false;
        if (bRegister) {
            const HRESULT hr = RegisterSubkeys(token, root, TRUE, FALSE);
            if (FAILED(hr)) {
                // Take back what the failing block wrote; blocks before it stay applied.
                m_pCursor = blockStart;
                m_bTooDeep = false;
                (void)RegisterSubkeys(token, root, FALSE, FALSE);
                return hr;
            }
        } else {
            VEXIL_RETURN_IF_FAILED(RegisterSubkeys(token, root, FALSE, FALSE));
        }

        SkipWhitespace();
        if (*m_pCursor == L'\0')
            return S_OK;
    }
}

HRESULT CScriptParser::RegisterSubkeys(wchar_t* token, HKEY parent, BOOL bRegister, BOOL bRecover) noexcept
{
    const ListDepth depth(m_nListDepth);
    if (m_nListDepth > kMaxKeyListDepth) {
        m_bTooDeep = true;
        return DISP_E_EXCEPTION;
    }

    UniqueRegKey key;
    VEXIL_RETURN_IF_FAILED(NextToken(token));
    while (token[0] != L'}') {
        bool bDeletable = true;

        const bool bForceRemove = SameWord(token, kKeywordForceRemove);
        const bool bDelete = !bForceRemove && SameWord(token, kKeywordDelete);
        if (bForceRemove || bDelete) {
            VEXIL_RETURN_IF_FAILED(NextToken(token));
            if (bRegister) {
                VEXIL_RETURN_IF_FAILED(CheckKeyName(token));
                if (!IsNeverDeleteKey(token))
                    (void)RecurseDeleteKey(parent, token);
                if (bDelete) {
                    VEXIL_RETURN_IF_FAILED(NextToken(token));
                    VEXIL_RETURN_IF_FAILED(SkipAssignment(token));
                    // A deleted key has nothing to hold a block of subkeys.
                    if (IsBlockStart(token))
                        return DISP_E_EXCEPTION;
                    continue;
                }
            }
        }

        if (SameWord(token, kKeywordNoRemove)) {
            bDeletable = false;
            VEXIL_RETURN_IF_FAILED(NextToken(token));
        }

        if (SameWord(token, kKeywordVal)) {
            VEXIL_RETURN_IF_FAILED(RegisterValueItem(token, parent, bRegister, bRecover, bDeletable));
            continue;
        }

        VEXIL_RETURN_IF_FAILED(CheckKeyName(token));
        if (bRegister) {
            VEXIL_RETURN_IF_FAILED(RegisterKeyItem(token, parent, key));
            if (IsBlockStart(token)) {
                VEXIL_RETURN_IF_FAILED(RegisterSubkeys(token, key.get(), TRUE, FALSE));
                VEXIL_RETURN_IF_FAILED(NextToken(token));
            }
        } else {
            VEXIL_RETURN_IF_FAILED(UnregisterKeyItem(token, parent, bRecover, bDeletable));
        }
    }
    return S_OK;
}

HRESULT CScriptParser::RegisterValueItem(wchar_t* token, HKEY parent, BOOL bRegister, BOOL bRecover,
                                         bool bDeletable) noexcept
{
    VEXIL_RETURN_IF_FAILED(NextToken(m_szValueName));
    VEXIL_RETURN_IF_FAILED(NextToken(token));
    if (token[0] != L'=')
        return DISP_E_EXCEPTION;

    if (bRegister) {
        VEXIL_RETURN_IF_FAILED(AddValue(token, parent, m_szValueName));
        // A value has no subkeys to hold a block.
        return IsBlockStart(token) ? DISP_E_EXCEPTION : S_OK;
    }

    if (!bRecover && bDeletable) {
        UniqueRegKey key;
        LSTATUS status = Platform().RegOpenKeyExW(parent, nullptr, 0, KEY_WRITE, key.put());
        if (status != ERROR_SUCCESS)
            return HResultFromWin32(status);
        status = Platform().RegDeleteValueW(key.get(), m_szValueName);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            return HResultFromWin32(status);
    }
    return SkipAssignment(token);
}

HRESULT CScriptParser::RegisterKeyItem(wchar_t* token, HKEY parent, UniqueRegKey& key) noexcept
{
    // Read and write access where granted; an existing key readable only is still used.
    if (Platform().RegOpenKeyExW(parent, token, 0, KEY_READ | KEY_WRITE, key.put()) != ERROR_SUCCESS &&
        Platform().RegOpenKeyExW(parent, token, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        const LSTATUS status = Platform().RegCreateKeyExW(parent, token, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                          KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr);
        if (status != ERROR_SUCCESS)
            return HResultFromWin32(status);
    }

    VEXIL_RETURN_IF_FAILED(NextToken(token));
    if (token[0] == L'=')
        VEXIL_RETURN_IF_FAILED(AddValue(token, key.get(), nullptr));
    return S_OK;
}

HRESULT CScriptParser::UnregisterKeyItem(wchar_t* token, HKEY parent, BOOL bRecover, bool bDeletable) noexcept
{
    // In recovery mode the key counts as missing and its subtree is only read.
    UniqueRegKey key;
    LSTATUS openStatus = ERROR_FILE_NOT_FOUND;
    if (!bRecover)
        openStatus = Platform().RegOpenKeyExW(parent, token, 0, KEY_READ, key.put());
    const bool bOpened = !bRecover && openStatus == ERROR_SUCCESS;

    wchar_t name[kRememberedKeyNameUnits + 1];
    const std::size_t nameUnits = std::wcslen(token) < kRememberedKeyNameUnits ? std::wcslen(token)
                                                                                : kRememberedKeyNameUnits;
    std::wmemcpy(name, token, nameUnits);
    name[nameUnits] = L'\0';

    VEXIL_RETURN_IF_FAILED(NextToken(token));
    VEXIL_RETURN_IF_FAILED(SkipAssignment(token));
    if (IsBlockStart(token)) {
        const BOOL bRecoverSubtree = bRecover || !bOpened;
        const HRESULT hr = RegisterSubkeys(token, key.get(), FALSE, bRecoverSubtree);
        // A subtree that is only read may fail without harm; a too deep one ends the script,
        // since reading on from the middle of it would mistake its items for ours.
        if (FAILED(hr) && (!bRecoverSubtree || m_bTooDeep))
            return hr;
        VEXIL_RETURN_IF_FAILED(NextToken(token));
    }

    if (bRecover || (!bOpened && openStatus == ERROR_FILE_NOT_FOUND))
        return S_OK;
    if (!bOpened)
        return HResultFromWin32(openStatus);

    // A key that kept subkeys (foreign ones, or ones marked NoRemove) stays, values and all.
    DWORD subkeys = 0;
    if (Platform().RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        subkeys = 0;
    const LSTATUS closeStatus = Platform().RegCloseKey(key.release());
    if (closeStatus != ERROR_SUCCESS)
        return HResultFromWin32(closeStatus);
    if (bDeletable && subkeys == 0) {
        const LSTATUS deleteStatus = DeleteSingleKey(parent, name);
        if (deleteStatus != ERROR_SUCCESS)
            return HResultFromWin32(deleteStatus);
    }
    return S_OK;
}

HRESULT CScriptParser::SkipAssignment(wchar_t* token) noexcept
{
    if (token[0] != L'=')
        return S_OK;
    VEXIL_RETURN_IF_FAILED(NextToken(token));  // type letter
    VEXIL_RETURN_IF_FAILED(NextToken(token));  // value text
    return NextToken(token);
}

HRESULT CScriptParser::AddValue(wchar_t* token, HKEY key, const wchar_t* valueName) noexcept
{
    VEXIL_RETURN_IF_FAILED(NextToken(token));
    const ScriptValueType* type = FindValueType(token);
    if (type == nullptr)
        return DISP_E_EXCEPTION;
    VEXIL_RETURN_IF_FAILED(NextToken(m_szValue));

    LSTATUS status = ERROR_SUCCESS;
    switch (type->dwType) {
    case REG_SZ: {
        const auto bytes = static_cast<DWORD>((std::wcslen(m_szValue) + 1) * sizeof(wchar_t));
        status = Platform().RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_szValue),
                                           bytes);
        break;
    }
    case REG_MULTI_SZ: {
        const DWORD bytes = MakeMultiString(m_szValue);
        status = Platform().RegSetValueExW(key, valueName, 0, REG_MULTI_SZ,
                                           reinterpret_cast<const BYTE*>(m_szValue), bytes);
        break;
    }
    case REG_DWORD: {
        ULONG number = 0;
        const HRESULT hr = Platform().VarUI4FromStr(m_szValue, 0, 0, &number);
        if (FAILED(hr))
            return hr;
        const DWORD data = number;
        status = Platform().RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                           sizeof(data));
        break;
    }
    case REG_BINARY: {
        const std::size_t digits = std::wcslen(m_szValue);
        if (digits % 2 != 0)
            return E_FAIL;
        for (std::size_t i = 0; i < digits; i += 2)
            m_abBinary[i / 2] = static_cast<BYTE>((HexDigitValue(m_szValue[i]) << 4) |
                                                  HexDigitValue(m_szValue[i + 1]));
        status = Platform().RegSetValueExW(key, valueName, 0, REG_BINARY, m_abBinary,
                                           static_cast<DWORD>(digits / 2));
        break;
    }
    default:
        return DISP_E_EXCEPTION;
    }
    if (status != ERROR_SUCCESS)
        return HResultFromWin32(status);
    return NextToken(token);
}

HRESULT CScriptParser::RecurseDeleteKey(HKEY parent, const wchar_t* name) noexcept
{
    // An empty name would open, and in the end delete, the parent itself.
    if (name[0] == L'\0')
        return HResultFromWin32(ERROR_INVALID_PARAMETER);

    UniqueRegKey key;
    const LSTATUS openStatus = Platform().RegOpenKeyExW(parent, name, 0, KEY_READ | KEY_WRITE, key.put());
    if (openStatus != ERROR_SUCCESS)
        return HResultFromWin32(openStatus);

    // Deleting shifts the next subkey to index 0; a subkey that cannot go ends the loop.
    for (;;) {
        wchar_t subkey[kEnumeratedKeyNameUnits];
        DWORD subkeyUnits = kEnumeratedKeyNameUnits;
        if (Platform().RegEnumKeyExW(key.get(), 0, subkey, &subkeyUnits, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        VEXIL_RETURN_IF_FAILED(RecurseDeleteKey(key.get(), subkey));
    }
    key.reset();
    return HResultFromWin32(DeleteSingleKey(parent, name));
}
