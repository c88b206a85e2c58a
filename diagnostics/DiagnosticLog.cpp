#include <share.h>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"
#include "support/Platform.h"
#include "support/ScopedLocks.h"

constinit CStaticWString g_strLogDir;

namespace {

constexpr size_t kDirectoryValueUnits = 1024;

// A string value is usable when it is REG_SZ or REG_EXPAND_SZ (taken as stored, not
// expanded), has an even byte size and ends in a NUL. No data at all is the empty string.
bool ReadDefaultDir(std::wstring& directory)
{
    UniqueRegKey key;
    if (Platform().RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCommonKeyPath, 0, KEY_READ | KEY_WOW64_64KEY,
                                 key.put()) != ERROR_SUCCESS)
        return false;

    wchar_t buffer[kDirectoryValueUnits] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(buffer);
    if (Platform().RegQueryValueExW(key.get(), kCommonDefaultDir, nullptr, &type,
                                    reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (size == 0) {
        directory.clear();
        return true;
    }
    if (size % sizeof(wchar_t) != 0 || buffer[size / sizeof(wchar_t) - 1] != L'\0')
        return false;
    directory.assign(buffer, size / sizeof(wchar_t) - 1);
    return true;
}

// An environment variable counts when it is set, not empty and shorter than the buffer.
bool ReadEnvironmentDirectory(const wchar_t* name, std::wstring& directory)
{
    wchar_t buffer[kDirectoryValueUnits] = {};
    size_t length = 0;
    if (Platform()._wgetenv_s(&length, buffer, std::size(buffer), name) != 0 || length <= 1)
        return false;
    directory.assign(buffer);
    return true;
}

// "YYYY-MM-DD hh-mm-ss-mmm": the stamp of a record and of the file name.
std::wstring FormatStamp(const SYSTEMTIME& time)
{
    wchar_t stamp[64] = {};
    swprintf(stamp, std::size(stamp), L"%04d-%02d-%02d %02d-%02d-%02d-%03d", time.wYear, time.wMonth,
             time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return stamp;
}

// The whole record goes out as one conversion to the thread's ANSI code page; characters
// the code page lacks become its default character.
std::string ToThreadAnsi(const std::wstring& text)
{
    const int length = ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0, nullptr,
                                             nullptr);
    if (length <= 0)
        return {};
    std::string bytes(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()),
                          bytes.data(), length, nullptr, nullptr);
    return bytes;
}

}  // namespace

std::wstring FindLogDirectory() noexcept
{
    try {
        std::wstring base;
        if (ReadDefaultDir(base) || ReadEnvironmentDirectory(L"TMP", base) ||
            ReadEnvironmentDirectory(L"TEMP", base))
            return base + kLogDirComponent;
    } catch (...) {
    }
    return {};
}

void CVexilSrvsModule::WriteLog(std::wstring_view text) noexcept
{
    if (ReadParamDword(L"", kParamEnableWriteEvent, 0) == 0)
        return;

    SYSTEMTIME now{};
    Platform().GetLocalTime(&now);

    try {
        const std::wstring stamp = FormatStamp(now);
        std::wstring record;
        record.reserve(stamp.size() + text.size() + 16);
        record.append(L"\n -- ").append(stamp).append(L" -- \n").append(text);
        const std::string bytes = ToThreadAnsi(record);

        // One lock around open and write: two threads that find the log closed at the same
        // moment open one stream between them, and records never interleave.
        ExclusiveLock lock(m_logLock);
        if (m_pLogFile == nullptr) {
            const std::wstring path = *g_strLogDir + kLogFilePrefix + stamp + kLogFileExtension;
            m_pLogFile = Platform()._wfsopen(path.c_str(), L"a+b", _SH_DENYWR);
        }
        if (m_pLogFile != nullptr) {
            fwrite(bytes.data(), 1, bytes.size(), m_pLogFile);
            fflush(m_pLogFile);
        }
    } catch (...) {
        // Diagnostics never fail toward their callers: the record is dropped.
    }
}
