#pragma once

#include <string>
#include <vector>

// File helpers for tests (wide paths, as Windows has them).

[[nodiscard]] std::string ReadFileBytes(const std::wstring& path);
[[nodiscard]] std::vector<std::wstring> FilesIn(const std::wstring& directory);
// A new, empty directory below the temporary directory; 'tag' names the test.
[[nodiscard]] std::wstring MakeTempDirectory(const wchar_t* tag);
void RemoveDirectoryTree(const std::wstring& directory);
