#include "tests/support/LogReader.h"

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"

std::vector<std::string> LogRecordTexts(const std::wstring& path)
{
    // A record is "\n -- " + 23-character stamp + " -- \n" + text; the text runs to the next
    // stamp line or to the end of the file.
    const std::string bytes = ReadFileBytes(path);
    std::vector<size_t> starts;
    for (size_t at = bytes.find("\n -- "); at != std::string::npos; at = bytes.find("\n -- ", at + 1)) {
        if (at + 33 <= bytes.size() && bytes.compare(at + 28, 5, " -- \n") == 0)
            starts.push_back(at);
    }
    starts.push_back(bytes.size());
    std::vector<std::string> texts;
    for (size_t i = 0; i + 1 < starts.size(); ++i)
        texts.push_back(bytes.substr(starts[i] + 33, starts[i + 1] - starts[i] - 33));
    return texts;
}

std::vector<std::string> LogTextsIn(const std::wstring& directory)
{
    std::vector<std::wstring> logs = FilesIn(directory);
    std::erase_if(logs, [](const std::wstring& name) { return !name.starts_with(L"VexilSrvsLog"); });
    EXPECT_LE(logs.size(), 1u) << "more than one log file";
    return logs.empty() ? std::vector<std::string>{} : LogRecordTexts(directory + L"\\" + logs.front());
}
