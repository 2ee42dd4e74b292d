// An IQDevice that records every call and answers from a script.
#pragma once
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "engine/storage/QDevice.h"

struct DeviceCall
{
    std::wstring operation;
    std::vector<std::wstring> args;
};

class CRecordingDevice : public IQDevice
{
public:
    // Results handed out in order, per operation; S_OK once a queue is empty.
    std::deque<HRESULT> writeResults, patchResults, resetResults;
    std::vector<DeviceCall> calls;

    std::vector<DeviceCall> Calls(const wchar_t* operation) const
    {
        std::vector<DeviceCall> found;
        for (const DeviceCall& call : calls)
            if (call.operation == operation)
                found.push_back(call);
        return found;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQDevice))
        {
            *object = static_cast<IQDevice*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE WriteFile(const wchar_t* startSector, const wchar_t* numPartitionSectors,
                                        const wchar_t* path, const wchar_t* fileSectorOffset,
                                        const wchar_t* byteOffset, const wchar_t* sectorSize,
                                        const wchar_t* physicalPartition) override
    {
        calls.push_back(
            {L"WriteFile",
             {startSector, numPartitionSectors, path, fileSectorOffset, byteOffset, sectorSize, physicalPartition}});
        return Next(writeResults);
    }
    HRESULT STDMETHODCALLTYPE ApplyPatch(const wchar_t* startSector, const wchar_t* byteOffset, const wchar_t* value,
                                         const wchar_t* sizeInBytes, const wchar_t* sectorSize,
                                         const wchar_t* physicalPartition) override
    {
        calls.push_back({L"ApplyPatch", {startSector, byteOffset, value, sizeInBytes, sectorSize, physicalPartition}});
        return Next(patchResults);
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        calls.push_back({L"Reset", {}});
        return Next(resetResults);
    }
    HRESULT STDMETHODCALLTYPE Provision(const wchar_t* path) override
    {
        calls.push_back({L"Provision", {path}});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBootableStorageDrive() override
    {
        calls.push_back({L"SetBootableStorageDrive", {}});
        return S_OK;
    }

private:
    static HRESULT Next(std::deque<HRESULT>& results)
    {
        if (results.empty())
            return S_OK;
        HRESULT hr = results.front();
        results.pop_front();
        return hr;
    }
};
