#include "host/VexilSrvsModule.h"

// The one module object of the process, constructed before the entry point runs.
CVexilSrvsModule g_Module;

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR /*lpCmdLine*/,
                    int nShowCmd)
{
    return g_Module.WinMain(nShowCmd);
}
