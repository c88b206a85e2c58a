#include <cstdarg>
#include <cstdio>

#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

void CVexilSrvsModule::LogEvent(const wchar_t* pszFormat, ...) noexcept
{
    // At most 255 characters; longer output is cut without error.
    wchar_t message[256] = {};
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf_s(message, std::size(message), _TRUNCATE, pszFormat, args);
    va_end(args);
    message[std::size(message) - 1] = L'\0';

    if (!m_bService) {
        _putws(message);
        fflush(stdout);
    }

    // The source is used without registration; the message travels as the one insertion
    // string. No handle outlives the report.
    UniqueEventSource source(Platform().RegisterEventSourceW(nullptr, m_szServiceName));
    if (!source)
        return;
    const wchar_t* strings[] = {message};
    Platform().ReportEventW(source.get(), EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings,
                            nullptr);
}
