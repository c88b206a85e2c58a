#include "host/VexilSrvsModule.h"
#include "support/Platform.h"

bool CVexilSrvsModule::IsInstalled() noexcept
{
    return false;
}

bool CVexilSrvsModule::Install() noexcept
{
    return false;
}

bool CVexilSrvsModule::Uninstall() noexcept
{
    return false;
}
