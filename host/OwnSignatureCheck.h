#pragma once

#include <windows.h>

#include "support/UniqueHandle.h"

// The signature check of the host's own executable, begun ahead on a thread of its own. The
// first verification in a process pays for the trust provider's start-up (its certificate
// stores), which costs far more than the check itself; begun as soon as the process knows it
// will run, it goes on while the process connects to the Service Control Manager and starts its
// class objects, and the step of the run that needs the answer waits for it there.
class COwnSignatureCheck
{
public:
    // The longest wait for the worker; a verification that has not ended by then has failed.
    static constexpr DWORD kWaitMs = 60000;

    COwnSignatureCheck() noexcept = default;
    ~COwnSignatureCheck() { Finish(); }
    COwnSignatureCheck(const COwnSignatureCheck&) = delete;
    COwnSignatureCheck& operator=(const COwnSignatureCheck&) = delete;

    // Starts the worker. When no thread can be made, the check runs when its answer is asked.
    void Begin() noexcept;

    // S_OK when the executable carries a valid signature of the expected publisher: the
    // worker's answer once it has ended (waited for at most kWaitMs), or the check run here
    // when there is no worker.
    [[nodiscard]] HRESULT Result() noexcept;

    // Waits for the worker, at most kWaitMs, so that no path leaves it running behind the run.
    void Finish() noexcept;

private:
    static DWORD WINAPI Work(void* pCheck) noexcept;

    UniqueKernelHandle m_hThread;
    HRESULT m_hrResult = E_FAIL;  // written by the worker; read only after it has ended
    bool m_bEnded = false;
};
