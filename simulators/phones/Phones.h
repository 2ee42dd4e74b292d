// The simulated phones of KestrupPhones.exe (see tools/phones/PhoneSim.cpp),
// made of the phone personalities beside them; tests that run the whole
// program use them too.
#pragma once
#include "simulators/SimulatorSupport.h"

#include <memory>
#include <string>
#include <vector>

// One simulated phone as KestrupPhones runs it.
class CPhone
{
public:
    virtual ~CPhone() = default;
    // Starts the phone; false when it cannot run.
    virtual bool Begin() = 0;
    // Called every poll while the program runs.
    virtual void Supervise() {}
    virtual void End() = 0;
    // The name the co-installer gives the phone, its device type.
    virtual std::wstring Name() const = 0;
    virtual unsigned Type() const { return 1; }
    virtual std::string Storage() const = 0;
    virtual std::vector<std::string> Errors() const { return {}; }
};

struct PhoneRequest
{
    std::wstring kind;
    std::wstring storage;
    std::wstring programmer;
};

// The phone of request.kind ("sahara-emmc", "sahara-ufs", "dmss-emmc",
// "silent", "fastboot"), not yet begun; null with the reason when it cannot
// be made. index names a fastboot phone ("FB" and 1000 + index).
std::unique_ptr<CPhone> MakePhone(const PhoneRequest& request, unsigned index, std::string& why);

// How the fastboot tool reaches the fastboot phone of that name.
std::wstring FastbootPipeName(const std::wstring& phone);
constexpr DWORD kFastbootPipeWaitMs = 5000;
