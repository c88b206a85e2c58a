#include "support/Platform.h"

#include <share.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

PlatformApi MakeRealPlatform() noexcept
{
    PlatformApi api{};
#define VEXIL_PLATFORM_REAL(name) api.name = &::name;
    VEXIL_PLATFORM_CALLS(VEXIL_PLATFORM_REAL)
#undef VEXIL_PLATFORM_REAL
    api._wfsopen = static_cast<WfsopenFunction>(&::_wfsopen);
    api._wgetenv_s = static_cast<WgetenvSFunction>(&::_wgetenv_s);
    return api;
}

}  // namespace

const PlatformApi& RealPlatform() noexcept
{
    static const PlatformApi real = MakeRealPlatform();
    return real;
}

PlatformApi& Platform() noexcept
{
    static PlatformApi current = RealPlatform();
    return current;
}
