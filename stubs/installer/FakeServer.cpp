// A COM server library for regsvr32.exe: records "register" or "unregister".
#include "stubs/installer/FakeRecord.h"

static HMODULE g_self;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_self = instance;
    return TRUE;
}

extern "C" HRESULT WINAPI DllRegisterServer()
{
    return RecordCall(g_self, L"register") ? E_FAIL : S_OK;
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    return RecordCall(g_self, L"unregister") ? E_FAIL : S_OK;
}
