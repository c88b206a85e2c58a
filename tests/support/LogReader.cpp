#include "tests/support/LogReader.h"

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"

namespace {

// A record is "\n -- " + 23-character stamp + " -- \n" + text.
constexpr size_t kStampLineLength = 1 + 4 + 23 + 4 + 1;

bool IsStampLineAt(const std::string& bytes, size_t at)
{
    return at + kStampLineLength <= bytes.size() && bytes.compare(at, 5, "\n -- ") == 0 &&
           bytes.compare(at + 5 + 23, 5, " -- \n") == 0;
}

}  // namespace

std::vector<std::string> LogRecordTexts(const std::wstring& path)
{
    const std::string bytes = ReadFileBytes(path);
    std::vector<size_t> starts;
    for (size_t at = bytes.find("\n -- "); at != std::string::npos; at = bytes.find("\n -- ", at + 1)) {
        if (IsStampLineAt(bytes, at))
            starts.push_back(at);
    }
    std::vector<std::string> texts;
    for (size_t i = 0; i < starts.size(); ++i) {
        const size_t textStart = starts[i] + kStampLineLength;
        const size_t textEnd = i + 1 < starts.size() ? starts[i + 1] : bytes.size();
        texts.push_back(bytes.substr(textStart, textEnd - textStart));
    }
    return texts;
}

std::vector<std::string> LogTextsIn(const std::wstring& directory)
{
    std::vector<std::wstring> logs;
    for (const std::wstring& name : FilesIn(directory)) {
        if (name.rfind(L"VexilSrvsLog", 0) == 0)
            logs.push_back(name);
    }
    EXPECT_LE(logs.size(), 1u) << "more than one log file";
    if (logs.empty())
        return {};
    return LogRecordTexts(directory + L"\\" + logs.front());
}
