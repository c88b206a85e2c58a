#pragma once

// In-process stand-ins the run-sequence tests hand to the host through the platform seam in
// place of the real components, so every answer the host can receive can be chosen.

#include <windows.h>

#include <atomic>
#include <functional>
#include <vector>

#include "VexilSrvs.h"

class FakeManager final : public IVexilMgrSrv, public IVexilMgrControl, public IVexilMgrState
{
public:
    // Answers, chosen by the test.
    HRESULT controlQueryResult = S_OK;
    HRESULT stateQueryResult = S_OK;
    HRESULT moduleResult = S_OK;
    LONGLONG moduleHandle = 0;
    std::function<HRESULT(LONG*)> initState = [](LONG* state) {
        *state = 2;
        return S_OK;
    };

    // What the host did.
    std::atomic<int> beginInitCalls{0};
    std::atomic<int> endInitCalls{0};
    std::atomic<int> shutdownCalls{0};
    std::atomic<int> initStateCalls{0};
    LONGLONG modulePresetSeen = 0;

    [[nodiscard]] LONG References() const noexcept { return m_references; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&m_references); }
    ULONG STDMETHODCALLTYPE Release() override { return ::InterlockedDecrement(&m_references); }

    // IVexilMgrControl
    HRESULT STDMETHODCALLTYPE GetImplementationModule(LONGLONG* module) override;
    HRESULT STDMETHODCALLTYPE BeginInit() override;
    HRESULT STDMETHODCALLTYPE EndInit() override;

    // IVexilMgrState
    HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved4() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved5() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved6() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved7() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved8() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved9() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved10() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved11() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved12() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved13() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved14() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetInitState(LONG* state) override;
    HRESULT STDMETHODCALLTYPE Reserved16() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reserved17() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Shutdown() override;

private:
    volatile LONG m_references = 0;
};

class FakeCrashDumpAgent final : public ICrashDumpAgent
{
public:
    HRESULT enableResult = S_OK;
    HRESULT disableResult = S_OK;

    std::atomic<int> enableCalls{0};
    std::atomic<int> disableCalls{0};
    LONG isServiceSeen = -1;
    LONG dumpModeSeen = -1;
    LONG reservedSeen = -1;

    [[nodiscard]] LONG References() const noexcept { return m_references; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&m_references); }
    ULONG STDMETHODCALLTYPE Release() override { return ::InterlockedDecrement(&m_references); }
    HRESULT STDMETHODCALLTYPE EnableCrashDumps(LONG isService, LONG dumpMode, LONG reserved) override;
    HRESULT STDMETHODCALLTYPE DisableCrashDumps() override;

private:
    volatile LONG m_references = 0;
};

// A class object that the COM runtime can register; it creates nothing.
class FakeClassObject final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&m_references); }
    ULONG STDMETHODCALLTYPE Release() override { return ::InterlockedDecrement(&m_references); }
    [[nodiscard]] LONG References() const noexcept { return m_references; }

private:
    volatile LONG m_references = 0;
};
