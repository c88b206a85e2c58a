#pragma once

// The machine's root store opened and walked, as building a chain does the first time in a
// process (under Wine that first use imports the Linux system's trusted certificates). Shared by
// the reproductions that look at that first use.

#include <windows.h>
#include <wincrypt.h>

namespace repro {

// The number of certificates in the store, or 0 when it cannot be opened.
inline unsigned long OpenRootStore()
{
    unsigned long certificates = 0;
    const HCERTSTORE store = ::CertOpenSystemStoreW(0, L"ROOT");
    if (store == nullptr)
        return 0;
    for (PCCERT_CONTEXT c = nullptr; (c = ::CertEnumCertificatesInStore(store, c)) != nullptr;)
        ++certificates;
    ::CertCloseStore(store, 0);
    return certificates;
}

}  // namespace repro
