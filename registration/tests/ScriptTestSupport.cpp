#include "registration/tests/ScriptTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "host/VexilSrvsModule.h"
#include "registration/ScriptParser.h"
#include "registration/ScriptRegistrar.h"
#include "support/UniqueHandle.h"
#include "tests/support/TestRegistry.h"

namespace {

// Under Wine a stack overflow ends a GoogleTest program with exit code 0 and no summary, which
// CTest would count as a pass. End the program with the exception's code instead.
LONG WINAPI FailOnStackOverflow(EXCEPTION_POINTERS* exception)
{
    if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    static const char kMessage[] = "stack overflow: the test program ends here\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kMessage, sizeof(kMessage) - 1, &written, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), EXCEPTION_STACK_OVERFLOW);
    return EXCEPTION_CONTINUE_SEARCH;
}
const PVOID g_stackOverflowGuard = ::AddVectoredExceptionHandler(0, &FailOnStackOverflow);

void SnapshotKey(HKEY key, const std::wstring& path, std::vector<std::wstring>& lines)
{
    lines.push_back(path + L"\\");
    DWORD maxNameUnits = 0;
    DWORD maxDataBytes = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxNameUnits,
                           &maxDataBytes, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(maxNameUnits + 1);
    std::vector<BYTE> data(maxDataBytes + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        const LSTATUS status = ::RegEnumValueW(key, index, name.data(), &nameUnits, nullptr, &type, data.data(), &size);
        if (status != ERROR_SUCCESS)
            break;
        std::wstring line = path + L"|" + std::wstring(name.data(), nameUnits) + L"|" + std::to_wstring(type) + L"|";
        for (DWORD i = 0; i < size; ++i) {
            wchar_t hex[4];
            std::swprintf(hex, 4, L"%02X", data[i]);
            line += hex;
        }
        lines.push_back(std::move(line));
    }
    std::vector<std::wstring> subkeys;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameUnits = 256;
        if (::RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, nameUnits);
    }
    for (const std::wstring& subkey : subkeys) {
        UniqueRegKey child;
        if (::RegOpenKeyExW(key, subkey.c_str(), 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            SnapshotKey(child.get(), path + L"\\" + subkey, lines);
    }
}

}  // namespace

HRESULT ApplyScript(const std::wstring& script, bool bRegister, const Variables& variables)
{
    CScriptRegistrar registrar;
    const HRESULT hr = registrar.Initialize();
    if (FAILED(hr))
        return hr;
    for (const auto& [name, text] : variables) {
        if (FAILED(registrar.AddReplacement(name.c_str(), text.c_str())))
            return E_UNEXPECTED;
    }
    CScriptParser parser(registrar);
    return parser.RegisterBuffer(script.c_str(), bRegister ? TRUE : FALSE);
}

std::wstring Preprocess(const std::wstring& script, HRESULT* hr, const Variables& variables)
{
    CScriptRegistrar registrar;
    *hr = registrar.Initialize();
    if (FAILED(*hr))
        return {};
    for (const auto& [name, text] : variables)
        (void)registrar.AddReplacement(name.c_str(), text.c_str());
    CScriptParser parser(registrar);
    UniqueScriptText out;
    *hr = parser.PreprocessBuffer(script.c_str(), out);
    return out ? std::wstring(out.get()) : std::wstring();
}

std::wstring ScriptBelow(const std::wstring& keyPath, const std::wstring& body)
{
    std::vector<std::wstring> levels;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = keyPath.find(L'\\', start);
        levels.push_back(keyPath.substr(start, end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    std::wstring script = L"HKCU\r\n{\r\n";
    for (const std::wstring& level : levels)
        script += L"NoRemove '" + level + L"'\r\n{\r\n";
    script += body + L"\r\n";
    for (std::size_t i = 0; i < levels.size(); ++i)
        script += L"}\r\n";
    script += L"}\r\n";
    return script;
}

std::vector<std::wstring> SnapshotTree(HKEY root, const std::wstring& path)
{
    std::vector<std::wstring> lines;
    UniqueRegKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        lines.emplace_back(L"<missing>");
        return lines;
    }
    SnapshotKey(key.get(), L"", lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

void CreateKey(HKEY root, const std::wstring& path)
{
    UniqueRegKey key;
    if (::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create test key");
}

std::wstring ScriptResourceText(UINT id)
{
    const HMODULE self = ::GetModuleHandleW(nullptr);
    const HRSRC resource = ::FindResourceW(self, MAKEINTRESOURCEW(id), L"REGISTRY");
    if (resource == nullptr)
        throw std::runtime_error("script resource missing");
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(self, resource)));
    const DWORD size = ::SizeofResource(self, resource);
    std::wstring text(size, L'\0');
    const int units = ::MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), text.data(),
                                            static_cast<int>(size));
    text.resize(static_cast<std::size_t>(units));
    return text;
}

ScopedPerUserRegistration::ScopedPerUserRegistration(bool bPerUser) noexcept : m_bSaved(g_bPerUserRegistration)
{
    g_bPerUserRegistration = bPerUser;
}

ScopedPerUserRegistration::~ScopedPerUserRegistration()
{
    g_bPerUserRegistration = m_bSaved;
}

ScopedDeleteKeyLookup::ScopedDeleteKeyLookup() noexcept
{
    CScriptParser::ForgetDeleteKeyFunction();
}

ScopedDeleteKeyLookup::~ScopedDeleteKeyLookup()
{
    CScriptParser::ForgetDeleteKeyFunction();
}

ScopedUserClasses::ScopedUserClasses()
    : m_bCreatedClasses(!KeyExists(HKEY_CURRENT_USER, kPath)),
      m_foreignKey(std::wstring(kPath) + L"\\VexilScriptTestForeign-" + std::to_wstring(::GetCurrentProcessId()))
{
    CreateKey(HKEY_CURRENT_USER, m_foreignKey);
}

ScopedUserClasses::~ScopedUserClasses()
{
    DeleteKeyTree(HKEY_CURRENT_USER, m_foreignKey);
    if (m_bCreatedClasses)
        DeleteKeyTree(HKEY_CURRENT_USER, kPath);
}
