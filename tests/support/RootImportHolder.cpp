// VexilRootImportHolder.exe: started once per test prefix (scripts/lib.sh), in the background,
// and ended with the prefix's server.
//
// Wine 8's crypt32 imports the Linux system's trusted certificates into the machine's root
// store in every process that first uses the store, and the import closes the descriptor of the
// certificate file twice. A descriptor that another thread of that process gets between the two
// closes is closed under it; when it is the pipe of a thread to the Wine server, Wine ends that
// thread ("wine client error:<thread>: read: Bad file descriptor"). The host checks its own
// signature on a thread of its own while its start-up creates threads, so about one start in a
// thousand lost a thread that way and hung (bench/RootImportRace.cpp shows it without the host).
//
// crypt32 skips the import in a process that finds its semaphore "crypt32_root_semaphore"
// already there (it takes and gives back one count, to let one process import at a time), and
// reads the root store from the registry instead. So this program makes the import once, on its
// own single thread, where the double close harms nothing, and then keeps the semaphore for the
// prefix with its one count: every other process gets the same root store, from the registry,
// without the import. It prints "holding" when that is so.
//
// A process ended between its take and its give-back would leave the semaphore without its
// count, and every later first use of the root store would wait for ever; so every 10 s this
// program takes the count itself and gives it back, and gives back one that has been missing
// for another 10 s, far longer than any take-and-give-back lasts.

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

#include "support/UniqueHandle.h"

namespace {

constexpr wchar_t kSemaphoreName[] = L"crypt32_root_semaphore";
constexpr DWORD kCheckEveryMs = 10000;
constexpr DWORD kMissingCountMs = 10000;

}  // namespace

int wmain()
{
    // The import into the registry, as the first process of the prefix would make it.
    const HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr) {
        std::printf("the root store cannot be opened: %lu\n", ::GetLastError());
        return 1;
    }
    ::CertCloseStore(store, 0);

    const UniqueKernelHandle semaphore(::CreateSemaphoreW(nullptr, 1, 1, kSemaphoreName));
    if (!semaphore) {
        std::printf("the semaphore cannot be created: %lu\n", ::GetLastError());
        return 1;
    }
    std::printf("holding\n");
    std::fflush(stdout);

    for (;;) {
        ::Sleep(kCheckEveryMs);
        // Taken (at once when it is there): given back. Missing for the whole wait: given back.
        (void)::WaitForSingleObject(semaphore.get(), kMissingCountMs);
        (void)::ReleaseSemaphore(semaphore.get(), 1, nullptr);
    }
}
