// What registering the program as a COM local server writes: its AppID and,
// per class of the server's class table, the class's registry entries.
#pragma once
#include <windows.h>
#include <string>

// The program's own AppID, {F51F4351-6081-4EC4-92F6-DE53C6783726}.
extern const GUID kKestrupAppId;

struct ServerClassRegistration
{
    const CLSID* clsid;
    const wchar_t* description;
    const GUID* libid; // the type library that describes the class
};

// The classes that the local server publishes.
const ServerClassRegistration* GetServerClasses(size_t& count);

// "{...}" text of a GUID.
std::wstring GuidText(const GUID& guid);

#include "services/Text.h" // GetProgramPath

// Writes (registering) or removes one class's entries: its CLSID key with
// the program file as its local server, its AppID and its type library.
HRESULT UpdateServerClassRegistry(const ServerClassRegistration& entry, bool registering,
                                  const std::wstring& programPath);
