// The factory-station hook: asks an optional station library (managed code in
// the hosted .NET runtime) for each phone's image folder and reports each
// phone's result to it. Without a station both entries are transparent.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <string>

// An instance of `typeName` from the assembly file `assemblyPath`.
HRESULT CreateManagedObject(const wchar_t* assemblyPath, const wchar_t* typeName, IDispatch** out);

// The station object; 0x800704DB when there is none. The first call in the
// process tries to load a station, once, whatever its outcome.
HRESULT GetFactoryObject(IDispatch** out);

// The image-folder text for the device: the default text without a station.
std::wstring GetSearchPath(const wchar_t* deviceId, const std::wstring& defaultText);

// The result that the job records: `flashResult` without a station.
HRESULT SaveFlashResult(const wchar_t* deviceId, HRESULT flashResult);

// Where the station candidates are instantiated; CreateManagedObject unless
// replaced (a test puts its own station objects here, since the .NET runtime
// may be missing). Returns the previous creator.
using ManagedObjectCreator = HRESULT (*)(const wchar_t* assemblyPath, const wchar_t* typeName, IDispatch** out);
ManagedObjectCreator SetManagedObjectCreator(ManagedObjectCreator creator);
