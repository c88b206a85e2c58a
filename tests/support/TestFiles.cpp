#include "tests/support/TestFiles.h"

#include <windows.h>

#include <atomic>

#include "support/UniqueHandle.h"

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    UniqueKernelHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
    if (!file)
        return bytes;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

std::vector<std::wstring> FilesIn(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(data.cFileName);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
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
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = directory + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryTree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(directory.c_str());
}
