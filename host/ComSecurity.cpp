#include "host/VexilSrvsModule.h"
#include "host/SecurityDescriptor.h"
#include "support/Platform.h"

HRESULT CVexilSrvsModule::InitializeSecurity() noexcept
{
    // Without a DACL every caller is let in; what guards the server is that each call must be
    // authenticated, packet by packet.
    CSecurityDescriptor descriptor;

    // A descriptor that could not be built stays blank (or absent): the COM runtime decides
    // what to make of it, and only its answer counts.
    (void)descriptor.InitializeFromThreadToken(FALSE, TRUE);

    return Platform().CoInitializeSecurity(descriptor.get(),
                                           -1,       // the runtime picks the authentication services
                                           nullptr,  // no authentication services of our own
                                           nullptr,  // reserved
                                           RPC_C_AUTHN_LEVEL_PKT,
                                           RPC_C_IMP_LEVEL_IMPERSONATE,
                                           nullptr,  // no authentication list
                                           EOAC_NONE,
                                           nullptr);  // reserved
}
