#pragma once

#include <string>
#include <vector>

// Reads back diagnostic-log files: the texts of their records in order, without stamp lines.

// Texts of the records of one log file.
[[nodiscard]] std::vector<std::string> LogRecordTexts(const std::wstring& path);

// Texts of the one log file in 'directory'; empty when there is none. Fails the calling test
// when the directory holds more than one log file.
[[nodiscard]] std::vector<std::string> LogTextsIn(const std::wstring& directory);
