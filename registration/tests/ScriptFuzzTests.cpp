// Randomized scripts: mutations of the program's two scripts and grammar-generated ones.
// Every result must be S_OK or one of the interpreter's listed failures, nothing may be
// written outside the scratch key, and no read may leave the script text.
//
// VEXIL_SCRIPT_FUZZ_SEED   run this seed only (decimal or 0x-hex) instead of the fixed ones
// VEXIL_SCRIPT_FUZZ_CASES  cases per seed (default 1500)
// VEXIL_SCRIPT_FUZZ_CASE   run only this case of each seed (to replay a reported failure)

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptNames.h"
#include "registration/ScriptParser.h"
#include "registration/ScriptRegistrar.h"
#include "registration/tests/ScriptTestSupport.h"
#include "resources/resource.h"
#include "tests/support/PlatformOverride.h"
#include "tests/support/TestRegistry.h"

namespace {

constexpr std::uint64_t kDefaultSeeds[] = {1, 0x5EED5EEDull, 20240611};
constexpr unsigned kDefaultCasesPerSeed = 1500;

// ---------------------------------------------------------------------------------------------
// Random numbers that are the same on every platform and library.

class Random
{
public:
    explicit Random(std::uint64_t seed) noexcept : m_state(seed) {}

    std::uint64_t Next() noexcept
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t Below(std::size_t bound) noexcept { return bound == 0 ? 0 : static_cast<std::size_t>(Next() % bound); }
    bool Chance(unsigned percent) noexcept { return Below(100) < percent; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) noexcept
    {
        return items[Below(N)];
    }

private:
    std::uint64_t m_state;
};

// ---------------------------------------------------------------------------------------------
// Every root key of the script language is redirected to a subkey of the scratch key.

struct RootRedirect
{
    HKEY predefined;
    const wchar_t* name;
    HKEY mapped;
};

RootRedirect g_roots[] = {
    {HKEY_CLASSES_ROOT, L"HKCR", nullptr},     {HKEY_CURRENT_USER, L"HKCU", nullptr},
    {HKEY_LOCAL_MACHINE, L"HKLM", nullptr},    {HKEY_USERS, L"HKU", nullptr},
    {HKEY_PERFORMANCE_DATA, L"HKPD", nullptr}, {HKEY_DYN_DATA, L"HKDD", nullptr},
    {HKEY_CURRENT_CONFIG, L"HKCC", nullptr},
};
bool g_bUnmappedRoot = false;

bool IsPredefined(HKEY key) noexcept
{
    const auto value = reinterpret_cast<ULONG_PTR>(key);
    return (value & ~static_cast<ULONG_PTR>(0x7FFFFFFF)) == reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT);
}

HKEY Map(HKEY key) noexcept
{
    if (!IsPredefined(key))
        return key;
    for (const RootRedirect& root : g_roots) {
        if (root.predefined == key)
            return root.mapped;
    }
    g_bUnmappedRoot = true;
    return nullptr;  // fails the call instead of reaching the real key
}

// Some cases also make every n-th registry call fail, to walk the error and recovery paths.
unsigned g_failEvery = 0;
unsigned g_calls = 0;
LSTATUS g_failCode = ERROR_SUCCESS;

bool InjectFailure() noexcept
{
    return g_failEvery != 0 && ++g_calls % g_failEvery == 0;
}

LSTATUS WINAPI MappedOpen(HKEY key, LPCWSTR name, DWORD options, REGSAM access, PHKEY out)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegOpenKeyExW(Map(key), name, options, access, out);
}
LSTATUS WINAPI MappedCreate(HKEY key, LPCWSTR name, DWORD reserved, LPWSTR keyClass, DWORD options, REGSAM access,
                            LPSECURITY_ATTRIBUTES security, PHKEY out, LPDWORD disposition)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegCreateKeyExW(Map(key), name, reserved, keyClass, options, access, security, out, disposition);
}
LSTATUS WINAPI MappedSetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegSetValueExW(Map(key), name, reserved, type, data, size);
}
LSTATUS WINAPI MappedDeleteValue(HKEY key, LPCWSTR name)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegDeleteValueW(Map(key), name);
}
LSTATUS WINAPI MappedDeleteKey(HKEY key, LPCWSTR name)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegDeleteKeyW(Map(key), name);
}
LSTATUS WINAPI MappedDeleteKeyEx(HKEY key, LPCWSTR name, REGSAM access, DWORD reserved)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegDeleteKeyExW(Map(key), name, access, reserved);
}
LSTATUS WINAPI MappedQueryInfo(HKEY key, LPWSTR keyClass, LPDWORD classUnits, LPDWORD reserved, LPDWORD subkeys,
                               LPDWORD maxSubkeyUnits, LPDWORD maxClassUnits, LPDWORD values, LPDWORD maxValueNameUnits,
                               LPDWORD maxValueBytes, LPDWORD securityBytes, PFILETIME lastWrite)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegQueryInfoKeyW(Map(key), keyClass, classUnits, reserved, subkeys, maxSubkeyUnits, maxClassUnits, values,
                              maxValueNameUnits, maxValueBytes, securityBytes, lastWrite);
}
LSTATUS WINAPI MappedEnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved, LPWSTR keyClass,
                             LPDWORD classUnits, PFILETIME lastWrite)
{
    if (InjectFailure())
        return g_failCode;
    return ::RegEnumKeyExW(Map(key), index, name, nameUnits, reserved, keyClass, classUnits, lastWrite);
}
LSTATUS WINAPI CheckedClose(HKEY key)
{
    if (IsPredefined(key))
        g_bUnmappedRoot = true;  // the interpreter closes only keys it opened
    const LSTATUS status = ::RegCloseKey(key);
    return InjectFailure() ? g_failCode : status;
}
FARPROC WINAPI MappedGetProcAddress(HMODULE module, LPCSTR name)
{
    if (std::strcmp(name, kDeleteKeyExName) == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&MappedDeleteKeyEx));
    return RealPlatform().GetProcAddress(module, name);
}

// ---------------------------------------------------------------------------------------------
// Text buffers end right before an inaccessible page and are filled with a non-NUL pattern,
// so a read past the terminating NUL runs into the page and faults.

struct GuardedBlock
{
    void* base;
    SIZE_T size;
};
std::unordered_map<void*, GuardedBlock> g_blocks;

SIZE_T PageSize()
{
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

LPVOID WINAPI GuardedAlloc(SIZE_T size)
{
    static const SIZE_T page = PageSize();
    const SIZE_T rounded = (size + 1) & ~static_cast<SIZE_T>(1);  // keep UTF-16 alignment
    const SIZE_T dataPages = (rounded + page - 1) / page;
    auto* base = static_cast<BYTE*>(
        ::VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base == nullptr)
        return nullptr;
    DWORD old = 0;
    ::VirtualProtect(base + dataPages * page, page, PAGE_NOACCESS, &old);
    BYTE* block = base + dataPages * page - rounded;
    std::memset(block, 0x7A, rounded);
    g_blocks[block] = {base, size};
    return block;
}

void WINAPI GuardedFree(LPVOID block)
{
    if (block == nullptr)
        return;
    const auto found = g_blocks.find(block);
    if (found == g_blocks.end()) {
        ::CoTaskMemFree(block);
        return;
    }
    ::VirtualFree(found->second.base, 0, MEM_RELEASE);
    g_blocks.erase(found);
}

LPVOID WINAPI GuardedRealloc(LPVOID block, SIZE_T size)
{
    void* grown = GuardedAlloc(size);
    if (grown == nullptr || block == nullptr)
        return grown;
    const SIZE_T oldSize = g_blocks.at(block).size;
    std::memcpy(grown, block, oldSize < size ? oldSize : size);
    GuardedFree(block);
    return grown;
}

// ---------------------------------------------------------------------------------------------
// Script generation

const wchar_t* const kWhitespace[] = {L" ", L"\t", L"\r\n", L"\r\n\t", L"  ", L"\n", L"\r\n\t\t"};
const wchar_t* const kRootNames[] = {L"HKCR", L"HKCR", L"HKCR", L"hkcr", L"HKCU", L"HKEY_CLASSES_ROOT", L"HKLM",
                                     L"HKEY_CURRENT_USER", L"HKU", L"HKCC", L"HKPD", L"HKDD", L"hkey_users",
                                     L"HKXX", L"HKEY_LOCAL_MACHINE"};
const wchar_t* const kKeyNames[] = {L"Key", L"Sub", L"CLSID", L"AppID", L"Software", L"Classes", L"TypeLib",
                                    L"{6D1F3A20-8C44-4B7E-A5D2-19E07C3B5F41}", L"VexilSrvs.EXE", L"'With Space'",
                                    L"'it''s'", L"'%APPID%'", L"%APPID%", L"'%MODULE%'", L"Glued=",
                                    L"'\u00e9t\u00e9'", L"Interface", L"Mime", L"'Val'", L"'}'"};
// Names that break the item they stand in, or its neighbours.
const wchar_t* const kAwkwardKeyNames[] = {L"'a\\b'", L"''", L"Val", L"NoRemove", L"Delete", L"ForceRemove",
                                           L"=", L"{", L"}"};
const wchar_t* const kFragments[] = {
    L"{", L"}", L"=", L"'", L"''", L"%", L"%%", L"%APPID%", L"%Module%", L"%MODULE_RAW%", L"%NotDefined%",
    L"%ABCDEFGHIJKLMNOPQRSTUVWXYZ012345%", L"\\", L"\\0", L" ", L"\r\n", L"\t", L"HKCR", L"hkcr", L"HKCU",
    L"HKEY_CLASSES_ROOT", L"ForceRemove ", L"NoRemove ", L"Delete ", L"Val ", L"val x = ", L" s ", L" d ",
    L" m ", L" b ", L" q ", L"CLSID", L"Software", L"AppID", L"'a\\0b'", L"'0aFz'", L"'abc'", L"4294967296",
    L"&H1F", L"-1", L"\u00fc", L"\u4e2d", L"\U0001F600", L"\xD800", L"e\u0301", L"\x7F", L"''''"};

std::wstring KeyName(Random& random)
{
    if (random.Chance(20)) {
        std::wstring name;
        const std::size_t length = 1 + random.Below(8);
        for (std::size_t i = 0; i < length; ++i)
            name += static_cast<wchar_t>(L'a' + random.Below(26));
        return name;
    }
    return random.Chance(4) ? random.Pick(kAwkwardKeyNames) : random.Pick(kKeyNames);
}

std::wstring ValueText(Random& random, wchar_t type)
{
    switch (type) {
    case L'd': {
        const wchar_t* const numbers[] = {L"0", L"17", L"4294967295", L"4294967296", L"'12'", L"x", L"''",
                                          L"&H10", L"-5", L"1.5", L"'  3  '"};
        return random.Pick(numbers);
    }
    case L'b': {
        std::wstring digits = L"'";
        const std::size_t count = random.Below(12);
        const wchar_t hex[] = L"0123456789abcdefABCDEFxz";
        for (std::size_t i = 0; i < count; ++i)
            digits += hex[random.Below(std::size(hex) - 1)];
        return digits + L"'";
    }
    case L'm': {
        const wchar_t* const lists[] = {L"'a\\0b'", L"'a\\0\\0b'", L"''", L"'\\0'", L"'x\\'", L"one"};
        return random.Pick(lists);
    }
    default: {
        const wchar_t* const texts[] = {L"'text'", L"'it''s'", L"''", L"plain", L"'%APPID%'", L"'%MODULE%'",
                                        L"'100%%'", L"'{'", L"'}'", L"'a b c'"};
        return random.Pick(texts);
    }
    }
}

std::wstring Assignment(Random& random)
{
    const wchar_t types[] = L"sSmdDbBq";
    const wchar_t type = types[random.Below(random.Chance(95) ? 7 : 8)];
    return std::wstring(random.Pick(kWhitespace)) + L"=" + random.Pick(kWhitespace) + type + L" " +
           ValueText(random, static_cast<wchar_t>(type | 0x20));
}

std::wstring KeyList(Random& random, unsigned depth);

std::wstring Item(Random& random, unsigned depth)
{
    std::wstring item;
    if (random.Chance(12))
        item += L"ForceRemove ";
    else if (random.Chance(6))
        item += L"Delete ";
    if (random.Chance(15))
        item += L"NoRemove ";
    if (random.Chance(25))
        return item + L"val " + KeyName(random) + Assignment(random);
    item += KeyName(random);
    if (random.Chance(40))
        item += Assignment(random);
    if (depth < 4 && random.Chance(45))
        item += std::wstring(random.Pick(kWhitespace)) + L"{" + KeyList(random, depth + 1) + L"}";
    return item;
}

std::wstring KeyList(Random& random, unsigned depth)
{
    std::wstring list = random.Pick(kWhitespace);
    const std::size_t items = random.Below(5);
    for (std::size_t i = 0; i < items; ++i)
        list += Item(random, depth) + random.Pick(kWhitespace);
    return list;
}

std::wstring GrammarScript(Random& random)
{
    std::wstring script;
    const std::size_t blocks = 1 + random.Below(3);
    for (std::size_t i = 0; i < blocks; ++i)
        script += std::wstring(random.Pick(kRootNames)) + random.Pick(kWhitespace) + L"{" + KeyList(random, 0) +
                  L"}" + random.Pick(kWhitespace);
    return script;
}

std::wstring DeepScript(Random& random)
{
    const std::size_t depth = 400 + random.Below(300);
    std::wstring script = L"HKCU {";
    for (std::size_t i = 0; i < depth; ++i)
        script += L" K {";
    for (std::size_t i = 0; i < depth + 1; ++i)
        script += L" }";
    return script;
}

void Mutate(Random& random, std::wstring& text)
{
    const std::size_t operations = 1 + random.Below(4);
    for (std::size_t i = 0; i < operations; ++i) {
        const std::size_t at = random.Below(text.size() + 1);
        switch (random.Below(7)) {
        case 0:
        case 1:
            text.insert(at, random.Pick(kFragments));
            break;
        case 2:
            text.erase(at, 1 + random.Below(20));
            break;
        case 3:
            if (at < text.size())
                text.insert(random.Below(text.size() + 1), text.substr(at, 1 + random.Below(40)));
            break;
        case 4:
            if (at < text.size())
                text[at] = L"{}='%\\ \t\r\nxs0"[random.Below(13)];
            break;
        case 5:
            if (random.Chance(30))
                text.resize(at);
            break;
        default:
            if (random.Chance(5))
                text.insert(at, std::wstring(4094 + random.Below(3), L'x'));
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// A fault inside the interpreter ends the process: name the case first, and end at once with the
// fault's code rather than wait for a debugger.

std::uint64_t g_currentSeed = 0;
std::uint64_t g_currentCase = 0;

LONG WINAPI ReportFaultingCase(EXCEPTION_POINTERS* exception)
{
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_STACK_OVERFLOW &&
        code != EXCEPTION_ILLEGAL_INSTRUCTION && code != EXCEPTION_INT_DIVIDE_BY_ZERO &&
        code != EXCEPTION_ARRAY_BOUNDS_EXCEEDED)
        return EXCEPTION_CONTINUE_SEARCH;
    std::fprintf(stderr,
                 "script fuzz: exception 0x%08lX in seed %llu case %llu (replay: VEXIL_SCRIPT_FUZZ_SEED=%llu "
                 "VEXIL_SCRIPT_FUZZ_CASE=%llu)\n",
                 static_cast<unsigned long>(code), static_cast<unsigned long long>(g_currentSeed),
                 static_cast<unsigned long long>(g_currentCase), static_cast<unsigned long long>(g_currentSeed),
                 static_cast<unsigned long long>(g_currentCase));
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), code);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs first among the handlers, while the cases run.
class ScopedFaultReport
{
public:
    ScopedFaultReport() noexcept : m_handler(::AddVectoredExceptionHandler(1, &ReportFaultingCase)) {}
    ~ScopedFaultReport() { ::RemoveVectoredExceptionHandler(m_handler); }
    ScopedFaultReport(const ScopedFaultReport&) = delete;
    ScopedFaultReport& operator=(const ScopedFaultReport&) = delete;

private:
    PVOID m_handler;
};

// ---------------------------------------------------------------------------------------------
// Checks

bool IsListedResult(HRESULT hr) noexcept
{
    if (hr == S_OK || hr == DISP_E_EXCEPTION || hr == E_FAIL || hr == E_OUTOFMEMORY)
        return true;
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW)  // "D" text that does not convert
        return true;
    return (static_cast<ULONG>(hr) & 0xFFFF0000u) == 0x80070000u;  // registry failures
}

std::string Printable(const std::wstring& text)
{
    std::string out;
    for (const wchar_t unit : text) {
        if (unit == L'\r')
            out += "\\r";
        else if (unit == L'\n')
            out += "\\n";
        else if (unit == L'\t')
            out += "\\t";
        else if (unit >= 0x20 && unit < 0x7F)
            out += static_cast<char>(unit);
        else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}

std::optional<std::uint64_t> EnvironmentNumber(const char* name)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    return std::strtoull(text, nullptr, 0);
}

// Keys the scripts would reach if a root were not redirected: the user's classes whole, and
// the names below the other places (other tests may change values there, not names).
std::vector<std::wstring> Outside()
{
    std::vector<std::wstring> lines = SnapshotTree(HKEY_CURRENT_USER, L"Software\\Classes");
    const std::pair<HKEY, const wchar_t*> places[] = {
        {HKEY_CURRENT_USER, L""}, {HKEY_LOCAL_MACHINE, L"Software\\Classes"},
        {HKEY_LOCAL_MACHINE, L"Software\\Classes\\AppID"}, {HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID"}};
    for (const auto& [root, path] : places) {
        for (const std::wstring& name : SubkeyNames(root, path))
            lines.push_back(std::wstring(path) + L"\\" + name);
    }
    return lines;
}

// A cheap look at a key after every case: its counts of subkeys and values and its time of
// last change, or that it does not exist.
std::vector<ULONGLONG> Fingerprint()
{
    std::vector<ULONGLONG> marks;
    const std::pair<HKEY, const wchar_t*> places[] = {{HKEY_CURRENT_USER, L""},
                                                       {HKEY_CURRENT_USER, L"Software\\Classes"},
                                                       {HKEY_LOCAL_MACHINE, L"Software\\Classes"}};
    for (const auto& [root, path] : places) {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            marks.push_back(~0ull);
            continue;
        }
        DWORD subkeys = 0;
        DWORD values = 0;
        FILETIME lastWrite{};
        ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, &lastWrite);
        ::RegCloseKey(key);
        marks.insert(marks.end(), {subkeys, values, (ULONGLONG{lastWrite.dwHighDateTime} << 32) | lastWrite.dwLowDateTime});
    }
    return marks;
}

class ScriptFuzz : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (RootRedirect& root : g_roots) {
            const std::wstring path = m_scratch.path() + L"\\" + root.name;
            ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        &root.mapped, nullptr),
                      ERROR_SUCCESS);
        }
        // A sibling of the scratch key holding names the scripts use: none of it may change.
        for (const wchar_t* path : {L"AppID\\{2B8E6C71-3F5A-4D09-9C1E-7A4D0F8B2E63}", L"Key"}) {
            CreateKey(HKEY_CURRENT_USER, m_sentinel.path() + L"\\" + path);
        }
        const DWORD one = 1;
        ASSERT_EQ(::RegSetKeyValueW(m_sentinel.key(), L"Key", L"x", REG_SZ, L"v", 4), ERROR_SUCCESS);
        ASSERT_EQ(::RegSetKeyValueW(m_sentinel.key(), nullptr, L"", REG_DWORD, &one, sizeof(one)), ERROR_SUCCESS);
        m_sentinelBefore = SnapshotTree(HKEY_CURRENT_USER, m_sentinel.path());
        m_outsideBefore = Outside();
        m_fingerprintBefore = Fingerprint();
        m_sources[0] = ScriptResourceText(IDR_APPID);
        m_sources[1] = ScriptResourceText(IDR_VEXILMGRSRV);
    }

    void TearDown() override
    {
        for (RootRedirect& root : g_roots) {
            if (root.mapped != nullptr)
                ::RegCloseKey(root.mapped);
            root.mapped = nullptr;
        }
    }

    HRESULT Apply(const std::wstring& script, bool bRegister)
    {
        CScriptRegistrar registrar;
        if (FAILED(registrar.Initialize()))
            return E_UNEXPECTED;
        const wchar_t* module = L"\"C:\\Program Files\\Vexil\\Vexil''s Srvs.exe\"";
        (void)registrar.AddReplacement(L"APPID", kAppIdString);
        (void)registrar.AddReplacement(L"Module", module);
        (void)registrar.AddReplacement(L"Module_Raw", module + 1);
        // The text ends right at an inaccessible page.
        const SIZE_T bytes = (script.size() + 1) * sizeof(wchar_t);
        auto* text = static_cast<wchar_t*>(GuardedAlloc(bytes));
        std::memcpy(text, script.c_str(), bytes);
        CScriptParser parser(registrar);
        const HRESULT hr = parser.RegisterBuffer(text, bRegister ? TRUE : FALSE);
        GuardedFree(text);
        return hr;
    }

    std::wstring MakeScript(Random& random)
    {
        const std::size_t kind = random.Below(100);
        if (kind < 2)
            return DeepScript(random);
        std::wstring text;
        if (kind < 45) {
            text = m_sources[random.Below(2)];
            Mutate(random, text);
        } else {
            text = GrammarScript(random);
            if (random.Chance(50))
                Mutate(random, text);
        }
        return text;
    }

    // Empties the redirected roots; fails when a script managed to delete one of them.
    [[nodiscard]] bool ClearMappedRoots()
    {
        bool bAllThere = true;
        for (const RootRedirect& root : g_roots) {
            DWORD subkeys = 0;
            bAllThere = bAllThere && ::RegQueryInfoKeyW(root.mapped, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                                        nullptr, nullptr, nullptr, nullptr, nullptr,
                                                        nullptr) == ERROR_SUCCESS;
            ::RegDeleteTreeW(root.mapped, nullptr);
        }
        return bAllThere;
    }

    // Runs one case; returns a description of what went wrong, empty when all is well.
    std::string RunCase(std::uint64_t seed, std::uint64_t index)
    {
        Random random(seed * 0x100000001B3ull ^ (index + 1) * 0x9E3779B97F4A7C15ull);
        const std::wstring script = MakeScript(random);
        const bool bPerUser = random.Chance(25);
        const std::size_t mode = random.Below(4);
        const ScopedPerUserRegistration perUser(bPerUser);
        const LSTATUS failCodes[] = {ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ERROR_NOT_ENOUGH_MEMORY,
                                     ERROR_KEY_DELETED,   ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA};
        g_calls = 0;
        g_failEvery = random.Chance(15) ? static_cast<unsigned>(2 + random.Below(30)) : 0;
        g_failCode = random.Pick(failCodes);
        const unsigned failEvery = g_failEvery;
        const LSTATUS failCode = g_failCode;

        static const char* const kModes[] = {"register", "register+unregister", "unregister",
                                             "register twice+unregister"};
        std::vector<bool> directions;
        switch (mode) {
        case 0: directions = {true}; break;
        case 1: directions = {true, false}; break;
        case 2: directions = {false}; break;
        default: directions = {true, true, false}; break;
        }

        std::string problem;
        for (const bool bRegister : directions) {
            const HRESULT hr = Apply(script, bRegister);
            ++m_results[hr];
            if (!IsListedResult(hr)) {
                char text[64];
                std::snprintf(text, sizeof(text), "unlisted result 0x%08lX", static_cast<unsigned long>(hr));
                problem = text;
                break;
            }
        }
        g_failEvery = 0;
        if (problem.empty() && g_bUnmappedRoot)
            problem = "a registry call reached a root key outside the redirection";
        if (problem.empty() && SnapshotTree(HKEY_CURRENT_USER, m_sentinel.path()) != m_sentinelBefore)
            problem = "the sentinel beside the scratch key changed";
        if (problem.empty() && Fingerprint() != m_fingerprintBefore)
            problem = "a key outside the scratch key changed";
        if (!g_blocks.empty() && problem.empty())
            problem = "a text buffer was not freed";
        if (problem.empty())
            return problem;
        return problem + "\n  seed " + std::to_string(seed) + " case " + std::to_string(index) +
               " (replay: VEXIL_SCRIPT_FUZZ_SEED=" + std::to_string(seed) +
               " VEXIL_SCRIPT_FUZZ_CASE=" + std::to_string(index) + "), " + kModes[mode] +
               (bPerUser ? ", per user" : ", machine") +
               (failEvery != 0 ? ", every registry call " + std::to_string(failEvery) + " failing with " +
                                     std::to_string(failCode)
                               : std::string()) +
               "\n  script: " + Printable(script);
    }

    ScratchKey m_scratch;
    ScratchKey m_sentinel;
    std::vector<std::wstring> m_sentinelBefore;
    std::vector<std::wstring> m_outsideBefore;
    std::vector<ULONGLONG> m_fingerprintBefore;
    std::wstring m_sources[2];
    std::map<HRESULT, unsigned> m_results;
};

TEST_F(ScriptFuzz, EveryScriptGivesAListedResultAndStaysInsideTheKeysItNames)
{
    std::vector<std::uint64_t> seeds(std::begin(kDefaultSeeds), std::end(kDefaultSeeds));
    if (const auto seed = EnvironmentNumber("VEXIL_SCRIPT_FUZZ_SEED"))
        seeds = {*seed};
    const std::uint64_t cases = EnvironmentNumber("VEXIL_SCRIPT_FUZZ_CASES").value_or(kDefaultCasesPerSeed);
    const std::optional<std::uint64_t> onlyCase = EnvironmentNumber("VEXIL_SCRIPT_FUZZ_CASE");

    const ScopedFaultReport faultReport;
    const ScopedDeleteKeyLookup lookup;
    ScopedPlatformOverride mapOpen(&PlatformApi::RegOpenKeyExW, &MappedOpen);
    ScopedPlatformOverride mapCreate(&PlatformApi::RegCreateKeyExW, &MappedCreate);
    ScopedPlatformOverride mapSetValue(&PlatformApi::RegSetValueExW, &MappedSetValue);
    ScopedPlatformOverride mapDeleteValue(&PlatformApi::RegDeleteValueW, &MappedDeleteValue);
    ScopedPlatformOverride mapDeleteKey(&PlatformApi::RegDeleteKeyW, &MappedDeleteKey);
    ScopedPlatformOverride mapQueryInfo(&PlatformApi::RegQueryInfoKeyW, &MappedQueryInfo);
    ScopedPlatformOverride mapEnumKey(&PlatformApi::RegEnumKeyExW, &MappedEnumKey);
    ScopedPlatformOverride checkClose(&PlatformApi::RegCloseKey, &CheckedClose);
    ScopedPlatformOverride mapProcAddress(&PlatformApi::GetProcAddress, &MappedGetProcAddress);
    ScopedPlatformOverride guardAlloc(&PlatformApi::CoTaskMemAlloc, &GuardedAlloc);
    ScopedPlatformOverride guardRealloc(&PlatformApi::CoTaskMemRealloc, &GuardedRealloc);
    ScopedPlatformOverride guardFree(&PlatformApi::CoTaskMemFree, &GuardedFree);

    unsigned failures = 0;
    std::uint64_t run = 0;
    for (const std::uint64_t seed : seeds) {
        for (std::uint64_t index = 0; index < cases && failures < 5; ++index) {
            if (onlyCase && *onlyCase != index)
                continue;
            if (index % 64 == 0 && !ClearMappedRoots())
                ADD_FAILURE() << "a redirected root key was deleted before seed " << seed << " case " << index;
            g_currentSeed = seed;
            g_currentCase = index;
            const std::string problem = RunCase(seed, index);
            ++run;
            if (!problem.empty()) {
                ++failures;
                ADD_FAILURE() << problem;
                // Later cases are judged against the changed state, so one fault is reported once.
                m_sentinelBefore = SnapshotTree(HKEY_CURRENT_USER, m_sentinel.path());
                m_fingerprintBefore = Fingerprint();
                g_bUnmappedRoot = false;
            }
        }
        EXPECT_TRUE(ClearMappedRoots()) << "a redirected root key was deleted during seed " << seed;
        EXPECT_EQ(Outside(), m_outsideBefore) << "keys outside the scratch key changed during seed " << seed;
    }

    std::string seedList;
    for (const std::uint64_t seed : seeds)
        seedList += (seedList.empty() ? "" : ", ") + std::to_string(seed);
    std::printf("script fuzz: %llu cases, seeds %s\n", static_cast<unsigned long long>(run), seedList.c_str());
    for (const auto& [hr, count] : m_results)
        std::printf("  0x%08lX: %u\n", static_cast<unsigned long>(hr), count);
    RecordProperty("cases", static_cast<int>(run));
    RecordProperty("seeds", seedList);
}

}  // namespace
