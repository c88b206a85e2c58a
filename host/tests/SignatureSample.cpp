// A module with no behaviour of its own: the signature tests sign it, copy it and load it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD /*reason*/, void* /*reserved*/)
{
    return TRUE;
}
