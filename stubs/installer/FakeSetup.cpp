// A setup package or server program: records its command line after the
// program name and ends with 0, or with 1603 when told to fail.
#include "stubs/installer/FakeRecord.h"

int main()
{
    const wchar_t* args = PathGetArgsW(GetCommandLineW());
    return RecordCall(nullptr, args) ? ERROR_INSTALL_FAILURE : 0;
}
