// Diagnostic-log throughput: records per second through the host's own WriteLog, against a
// plain loop that writes and flushes a record of the same size to a file of its own. Run by
// VexilBench.exe with "EnableWriteEvent" = 1 and "DefaultDir" pointing at a scratch directory.
//
// Prints "writelog-rps=<n>", "plain-rps=<n>" and "switch-rps=<n>" (the read of the log's switch
// alone, which every record makes) once per batch (the loops alternate, so all see the same
// conditions), or "error=<text>" when the log is not switched on.

#include <share.h>
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "diagnostics/DiagnosticsNames.h"
#include "host/VexilSrvsModule.h"

// The module object whose WriteLog is measured: the host's own, fixed up the same way at start.
CVexilSrvsModule g_Module;

namespace {

constexpr unsigned kRecords = 5000;
constexpr unsigned kBatches = 5;

// What every WriteLog record holds besides its stamp: a text the host writes once per run.
constexpr wchar_t kRecordText[] = L"Run Step 3";
// The same record as it lands in the file: line feed, stamp line, text.
constexpr char kPlainRecord[] = "\n -- 2025-01-01 00-00-00-000 -- \nRun Step 3";

// Records per second of 'kRecords' calls of 'writeOne'.
template <typename WriteOne>
double Rate(WriteOne writeOne)
{
    LARGE_INTEGER frequency{}, start{}, end{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (unsigned i = 0; i < kRecords; ++i)
        writeOne();
    ::QueryPerformanceCounter(&end);
    return kRecords * static_cast<double>(frequency.QuadPart) / static_cast<double>(end.QuadPart - start.QuadPart);
}

struct FileCloser
{
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

int wmain()
{
    // The first record opens the file; without it the log is off and there is nothing to time.
    g_Module.WriteLog(kRecordText);
    if (g_Module.m_pLogFile == nullptr) {
        std::printf("error=the diagnostic log did not open (EnableWriteEvent, DefaultDir)\n");
        return E_FAIL;
    }
    // Opened as the log opens its file, so only what WriteLog does around the write differs.
    const std::wstring plainPath = *g_strLogDir + L"\\PlainWriteAndFlush.txt";
    std::unique_ptr<FILE, FileCloser> plain(_wfsopen(plainPath.c_str(), L"a+b", _SH_DENYWR));
    if (!plain) {
        std::printf("error=cannot open %ls\n", plainPath.c_str());
        return E_FAIL;
    }
    for (unsigned batch = 0; batch < kBatches; ++batch) {
        std::printf("writelog-rps=%.0f\n", Rate([] { g_Module.WriteLog(kRecordText); }));
        std::printf("plain-rps=%.0f\n", Rate([&] {
                        std::fwrite(kPlainRecord, 1, sizeof(kPlainRecord) - 1, plain.get());
                        std::fflush(plain.get());
                    }));
        std::printf("switch-rps=%.0f\n",
                    Rate([] { (void)CVexilSrvsModule::ReadParamDword(L"", kParamEnableWriteEvent, 0); }));
    }
    return 0;
}
