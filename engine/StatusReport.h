// IQStatusReport: the sink through which a download reports its status
// texts to the job that runs it. One method after IUnknown's three.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <unknwn.h>

MIDL_INTERFACE("0F18F6D6-FE31-4CD7-A71A-3C69B2B97E9A") IQStatusReport : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE NewStatus(LONG iId, BSTR bstrStatus1, BSTR bstrStatus2) = 0;
};
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IQStatusReport, 0x0F18F6D6, 0xFE31, 0x4CD7, 0xA7, 0x1A, 0x3C, 0x69, 0xB2, 0xB9, 0x7E, 0x9A)
#endif
