// Installs or removes the program's back end: files copied into the system
// directory, the program's COM server registration and type libraries, setup
// packages, USB driver packages and the COM servers of an installed QPST.
// Everything runs inside the constructor, behind the shell's progress window.
#pragma once
#include "services/ShellProgress.h"

#include <windows.h>
#include <string>

// The per-machine key of the program's values, below HKEY_LOCAL_MACHINE.
#define KESTRUP_MACHINE_KEY L"Software\\Olvane\\Kestrup"

// What the installer takes from the machine it runs on.
struct InstallerMachine
{
    std::wstring systemDirectory; // where the files are copied; empty when unknown
    DWORD windowsMajorVersion = 0;

    static InstallerMachine Current();
};

class CInstaller
{
public:
    CInstaller(bool install, bool force);
    CInstaller(bool install, bool force, const InstallerMachine& machine);
    CInstaller(const CInstaller&) = delete;
    CInstaller& operator=(const CInstaller&) = delete;

    void Init();
    bool Install(bool force);
    bool Uninstall();

    // The stages; each is true when every one of its steps succeeded.
    bool CopyFileW(bool install);
    bool RegisterModule(bool registering);
    bool InstallPackage(bool install);
    bool InstallDriver(bool install);
    HRESULT InstallDriver(const std::wstring& infPath, bool install);
    bool RegisterServer(bool registering);

    // "ExeFile" and "ExeStamp" name this program file as it is now.
    static bool IsInstalled();
    static HRESULT SaveInstallStamp();

private:
    // A step shows its subject, counts itself when done and logs a failure
    // under the stage's name and line; EndStep tells whether it succeeded.
    void BeginStep(const std::wstring& path);
    void CountStep();
    bool EndStep(HRESULT hr, const wchar_t* stage, int line);
    // Entries for Windows before Vista only are left out on later versions.
    bool IsExcluded(bool beforeVistaOnly) const;
    HRESULT CopyOneFile(const std::wstring& source, const std::wstring& destination, bool keep, bool install);
    HRESULT RegisterModuleParts(bool registering);
    HRESULT AddAndroidVendor();

    ULONG m_steps = 0;
    CSHProgressWnd m_progress;
    InstallerMachine m_machine;
};
