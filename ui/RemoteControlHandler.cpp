#include "ui/RemoteControlHandler.h"

bool ParseComPort(const std::wstring& deviceName, WPARAM& port)
{
    if (deviceName.compare(0, 3, L"COM") != 0)
        return false;
    size_t i = 3;
    while (i < deviceName.size() && (deviceName[i] == L' ' || deviceName[i] == L'\t'))
        ++i;
    WPARAM number = 0;
    for (; i < deviceName.size() && deviceName[i] >= L'0' && deviceName[i] <= L'9'; ++i)
        number = number * 10 + static_cast<WPARAM>(deviceName[i] - L'0');
    port = number;
    return true;
}
