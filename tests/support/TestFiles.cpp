#include "tests/support/TestFiles.h"

#include <windows.h>

#include <atomic>

#include "support/UniqueHandle.h"

namespace {

// Calls 'visit' with the name and attributes of every entry of 'directory' but "." and "..".
template <typename Visit>
void ForEachEntry(const std::wstring& directory, Visit visit)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            visit(std::wstring(data.cFileName), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

}  // namespace

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

std::vector<std::wstring> FilesIn(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    ForEachEntry(directory, [&](const std::wstring& name, bool isDirectory) {
        if (!isDirectory)
            names.push_back(name);
    });
    return names;
}

std::wstring MakeTempDirectory(const wchar_t* tag)
{
    static std::atomic<int> counter{0};
    wchar_t base[MAX_PATH];
    ::GetTempPathW(MAX_PATH, base);
    std::wstring path = std::wstring(base) + L"vexil-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) +
                        L"-" + std::to_wstring(++counter);
    ::CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void RemoveDirectoryTree(const std::wstring& directory)
{
    ForEachEntry(directory, [&](const std::wstring& name, bool isDirectory) {
        const std::wstring path = directory + L"\\" + name;
        if (isDirectory)
            RemoveDirectoryTree(path);
        else
            ::DeleteFileW(path.c_str());
    });
    ::RemoveDirectoryW(directory.c_str());
}
