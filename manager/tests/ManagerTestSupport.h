#pragma once

// Shared by the manager object's tests: a multithreaded apartment and a module object for
// each test, the class factory from the class-object table, the real stand-in boards manager
// (registered in the test prefix by the "standins" fixture) and its knobs.

#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "VexilBoards.h"
#include "host/VexilSrvsModule.h"
#include "manager/ComponentIds.h"
#include "support/ComPtr.h"
#include "tests/support/TestRegistry.h"

inline constexpr wchar_t kBoardsManagerKnobs[] = L"SOFTWARE\\VexilStandIns\\BoardsManager";

// COM for the test's thread, in the multithreaded apartment like the host's threads.
class ComApartment
{
public:
    ComApartment() noexcept : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT m_hr;
};

// What the stand-in boards manager counts in this process.
struct StandInCounts
{
    LONG innerObjectsCreated = -1;  // aggregated instances ever created
    LONG liveObjects = -1;          // instances alive now
};

// Asks a stand-alone instance of its own, which is not counted as inner and is left out of
// the live count.
[[nodiscard]] StandInCounts ReadStandInCounts();

// The singleton factory, made as the module makes it: through the class-object table entry.
[[nodiscard]] ComPtr<IClassFactory> CreateManagerFactory();

// Calls of the COM runtime the tests count; every counting override forwards to the real call.
struct SeamCounts
{
    std::atomic<int> boardsManagerCreations{0};
    std::atomic<int> marshalerCreations{0};
    std::atomic<int> addRefServerProcess{0};
    std::atomic<int> releaseServerProcess{0};

    void Reset() noexcept
    {
        boardsManagerCreations = 0;
        marshalerCreations = 0;
        addRefServerProcess = 0;
        releaseServerProcess = 0;
    }
};
extern SeamCounts g_seam;

class ManagerTest : public ::testing::Test
{
protected:
    void SetUp() override { g_seam.Reset(); }

    ComApartment m_apartment;
    CVexilSrvsModule m_module;
};

// A plain object that records every identifier it is asked for and refuses all but IUnknown
// with a code of the test's choosing. Created with one reference.
class RecordingObject final : public IUnknown
{
public:
    explicit RecordingObject(HRESULT refusal = E_NOINTERFACE) noexcept : m_refusal(refusal) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) noexcept override;
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(++m_refs); }
    ULONG STDMETHODCALLTYPE Release() noexcept override;

    [[nodiscard]] bool WasAskedFor(REFIID iid) const;
    [[nodiscard]] size_t QuestionCount() const;
    [[nodiscard]] LONG References() const noexcept { return m_refs; }

    static inline std::atomic<int> s_destroyed{0};

private:
    ~RecordingObject() = default;

    HRESULT m_refusal;
    std::atomic<LONG> m_refs{1};
    mutable std::mutex m_lock;
    std::vector<IID> m_asked;
};

// Counting overrides (real behaviour).
HRESULT WINAPI CountingCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* ppv);
HRESULT WINAPI CountingCoCreateFreeThreadedMarshaler(LPUNKNOWN outer, LPUNKNOWN* ppMarshaler);
ULONG WINAPI CountingCoAddRefServerProcess();
ULONG WINAPI CountingCoReleaseServerProcess();
