#include "services/Installer.h"

#include "services/CoInstaller.h"
#include "services/FileSearch.h"
#include "services/InstallerResources.h"
#include "services/Log.h"
#include "services/Process.h"
#include "services/Registrar.h"
#include "services/ServerRegistration.h"
#include "platform/ComObject.h"
#include "platform/Handles.h"

#include <cfgmgr32.h>
#include <oleauto.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <userenv.h>

namespace
{
// Windows versions before this major version get the extra packages and drivers.
const DWORD kVista = 6;
// The steps of a stage of each kind at most: 2 + 1 + 3 + 5 + 11.
const ULONG kTotalSteps = 22;
// The phones' USB vendor id, added to the Android debug bridge's vendor list.
const unsigned kPhoneUsbVendorId = 0x05C6;

struct CopyEntry
{
    const wchar_t* source;
    bool keep; // an existing copy stays; it is never removed
};

const CopyEntry kCopies[] = {
    {L"Microsoft\\xmllite.dll", true},
    {L"Qualcomm\\Driver\\serial\\amd64\\qcCoInstaller.dll", false},
};

struct VersionedEntry
{
    const wchar_t* path;
    bool beforeVistaOnly;
};

const VersionedEntry kPackages[] = {
    {L"Microsoft\\vcredist_x86.exe", false},
    {L"Microsoft\\Driver\\umdf.exe", true},
    {L"Microsoft\\Driver\\wmfdist11.exe", true},
};

const VersionedEntry kDrivers[] = {
    {L"Google\\Driver\\android_winusb.inf", false}, {L"Nvidia\\Driver\\NvidiaUsb.inf", false},
    {L"Microsoft\\Driver\\tetherxp.inf", true},     {L"Microsoft\\Driver\\wpdmtphw.inf", true},
    {L"Qualcomm\\Driver\\qcser.inf", false},
};

const wchar_t* const kQpstComponents[] = {
    L"AtmnServer.exe",       L"ConfigAgentLib.dll", L"ConfigAgentMarshal.dll",
    L"DownloadAgentLib.dll", L"PhoneLib.dll",       L"PhoneMarshal.dll",
    L"QpstMarshal.dll",      L"QPSTools.dll",       L"QPSTProxyComponents.dll",
    L"QPSTServer.exe",       L"SerialPortLib.dll",
};

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring LoadResourceString(UINT id)
{
    const wchar_t* text = nullptr;
    int length = LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

HRESULT CreateMachineKey(CRegKey& key)
{
    return HResultFromWin32(RegCreateKeyExW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, 0, nullptr, 0,
                                            KEY_READ | KEY_WRITE, nullptr, key.Receive(), nullptr));
}

HRESULT RegisterResourceTypeLib(const std::wstring& program, const wchar_t* index, bool registering)
{
    std::wstring path = program + index;
    ComPtr<ITypeLib> typeLib;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, &typeLib);
    if (FAILED(hr))
        return hr;
    if (registering)
        hr = RegisterTypeLib(typeLib.Get(), &path[0], nullptr);
    else
    {
        TLIBATTR* attr = nullptr;
        hr = typeLib->GetLibAttr(&attr);
        if (SUCCEEDED(hr))
        {
            hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
            typeLib->ReleaseTLibAttr(attr);
        }
    }
    return hr;
}

HRESULT ApplyProgramScript(bool registering)
{
    std::wstring script;
    HRESULT hr = LoadRegistryScript(GetModuleHandleW(nullptr), IDR_KESTRUP_REGISTRY, script);
    if (SUCCEEDED(hr))
        hr = ApplyRegistryScript(script, registering, {{L"APPID", GuidText(kKestrupAppId)}});
    return hr;
}

// The first failure of the parts of one step, else the last result.
void KeepFirstFailure(HRESULT& kept, HRESULT hr)
{
    if (SUCCEEDED(kept))
        kept = hr;
}
} // namespace

InstallerMachine InstallerMachine::Current()
{
    InstallerMachine machine;
    wchar_t dir[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(dir, MAX_PATH);
    if (length && length < MAX_PATH)
        machine.systemDirectory.assign(dir, length);
    machine.windowsMajorVersion = LOBYTE(LOWORD(GetVersion()));
    return machine;
}

CInstaller::CInstaller(bool install, bool force) : CInstaller(install, force, InstallerMachine::Current()) {}

CInstaller::CInstaller(bool install, bool force, const InstallerMachine& machine) : m_machine(machine)
{
    Init();
    if (install)
        Install(force);
    else
        Uninstall();
}

void CInstaller::Init()
{
    m_progress.SetAnimation(IDR_PROGRESS_ANIMATION);
    m_progress.ShowTime(true);
    m_progress.ShowMinimize(false);
    m_progress.ShowProgressBar(true);
    m_progress.SetTitle(LoadDialogTitle(IDD_MAIN_DIALOG).c_str());
    m_progress.SetRange(0, kTotalSteps);
}

bool CInstaller::Install(bool force)
{
    if (!force && IsInstalled())
        return true;
    m_steps = 0;
    m_progress.ShowModeless(nullptr);
    m_progress.SetLine(1, LoadResourceString(IDS_INSTALL_BACKEND).c_str());
    bool ok = !m_progress.IsCancelled() && CopyFileW(true);
    ok = !m_progress.IsCancelled() && RegisterModule(true) && ok;
    ok = !m_progress.IsCancelled() && InstallPackage(true) && ok;
    ok = !m_progress.IsCancelled() && InstallDriver(true) && ok;
    ok = !m_progress.IsCancelled() && RegisterServer(true) && ok;
    if (ok)
        ok = SUCCEEDED(SaveInstallStamp());
    m_progress.Close();
    return ok;
}

bool CInstaller::Uninstall()
{
    m_steps = 0;
    m_progress.ShowModeless(nullptr);
    m_progress.SetLine(1, LoadResourceString(IDS_UNINSTALL_BACKEND).c_str());
    bool ok = !m_progress.IsCancelled() && RegisterServer(false);
    ok = !m_progress.IsCancelled() && InstallDriver(false) && ok;
    ok = !m_progress.IsCancelled() && InstallPackage(false) && ok;
    ok = !m_progress.IsCancelled() && RegisterModule(false) && ok;
    ok = !m_progress.IsCancelled() && CopyFileW(false) && ok;
    m_progress.Close();
    return ok;
}

void CInstaller::BeginStep(const std::wstring& path)
{
    m_progress.SetLine(2, path.c_str(), true);
}

void CInstaller::CountStep()
{
    m_progress.SetPos(++m_steps);
}

bool CInstaller::EndStep(HRESULT hr, const wchar_t* stage, int line)
{
    CountStep();
    return SUCCEEDED(LogError(hr, stage, line));
}

bool CInstaller::IsExcluded(bool beforeVistaOnly) const
{
    return beforeVistaOnly && m_machine.windowsMajorVersion >= kVista;
}

bool CInstaller::CopyFileW(bool install)
{
    bool ok = true;
    for (const CopyEntry& entry : kCopies)
    {
        std::wstring source = FindFile(L"%s", entry.source);
        std::wstring destination;
        if (!m_machine.systemDirectory.empty())
            destination = m_machine.systemDirectory + L"\\" + PathFindFileNameW(entry.source);
        BeginStep(source);
        HRESULT hr = CopyOneFile(source, destination, entry.keep, install);
        if (!EndStep(hr, L"CInstaller::CopyFileW", 168))
            ok = false;
        WriteLog(L"%s %s to %s(0x%08x)", install ? L"copy" : L"remove", source.c_str(),
                 m_machine.systemDirectory.c_str(), hr);
    }
    return ok;
}

HRESULT CInstaller::CopyOneFile(const std::wstring& source, const std::wstring& destination, bool keep, bool install)
{
    // Without a system directory there is nowhere to copy to or remove from.
    if (destination.empty())
        return LogError(HResultFromWin32(ERROR_PATH_NOT_FOUND), L"CInstaller::CopyFileW", 194);
    HRESULT hr = S_OK;
    if (install)
    {
        if (!::CopyFileW(source.c_str(), destination.c_str(), keep ? TRUE : FALSE))
        {
            DWORD error = GetLastError();
            hr = keep && error == ERROR_FILE_EXISTS ? S_OK : HResultFromWin32(static_cast<LONG>(error));
        }
    }
    else if (!keep && !DeleteFileW(destination.c_str()))
        hr = LastErrorHResult();
    return LogError(hr, L"CInstaller::CopyFileW", 194);
}

bool CInstaller::RegisterModule(bool registering)
{
    std::wstring program = GetProgramPath();
    BeginStep(program);
    HRESULT hr = RegisterModuleParts(registering);
    CountStep();
    WriteLog(L"%s %s(0x%08x)", registering ? L"register" : L"unregister", program.c_str(), hr);
    return SUCCEEDED(hr);
}

// The server's classes, then, when all of them succeeded, the program's own
// type library. The classes have no component categories to register.
static HRESULT RegisterServerClasses(const std::wstring& program, bool registering)
{
    size_t count = 0;
    const ServerClassRegistration* classes = GetServerClasses(count);
    HRESULT hr = S_OK;
    for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i)
        hr = UpdateServerClassRegistry(classes[i], registering, program);
    return SUCCEEDED(hr) ? RegisterResourceTypeLib(program, L"", registering) : hr;
}

// Every part runs whatever the earlier ones gave; the step fails with the
// first failing part.
HRESULT CInstaller::RegisterModuleParts(bool registering)
{
    const wchar_t* const name = L"CInstaller::RegisterModule";
    std::wstring program = GetProgramPath();
    HRESULT result = S_OK;
    if (registering)
    {
        KeepFirstFailure(result, LogError(ApplyProgramScript(true), name, 209));
        KeepFirstFailure(result, LogError(RegisterResourceTypeLib(program, L"\\2", true), name, 211));
        KeepFirstFailure(result, LogError(RegisterResourceTypeLib(program, L"\\3", true), name, 213));
        KeepFirstFailure(result, LogError(RegisterServerClasses(program, true), name, 215));
        return result;
    }
    KeepFirstFailure(result, LogError(ApplyProgramScript(true), name, 220));
    KeepFirstFailure(result, LogError(ApplyProgramScript(false), name, 222));
    KeepFirstFailure(result, LogError(RegisterResourceTypeLib(program, L"\\2", false), name, 224));
    KeepFirstFailure(result, LogError(RegisterResourceTypeLib(program, L"\\3", false), name, 226));
    KeepFirstFailure(result, LogError(RegisterServerClasses(program, false), name, 228));
    return result;
}

bool CInstaller::InstallPackage(bool install)
{
    bool ok = true;
    for (const VersionedEntry& package : kPackages)
    {
        if (IsExcluded(package.beforeVistaOnly))
            continue;
        std::wstring path = FindFile(L"%s", package.path);
        if (!FileExists(path))
            continue;
        BeginStep(path);
        HRESULT hr = install ? RunCommand(L"\"%s\" /quiet", path.c_str()) : S_OK;
        if (!EndStep(hr, L"CInstaller::InstallPackage", 267))
            ok = false;
        WriteLog(L"%s %s(0x%08x)", install ? L"install" : L"uninstall", path.c_str(), hr);
    }
    return ok;
}

bool CInstaller::InstallDriver(bool install)
{
    bool ok = true;
    for (const VersionedEntry& driver : kDrivers)
    {
        if (IsExcluded(driver.beforeVistaOnly))
            continue;
        std::wstring path = FindFile(L"%s", driver.path);
        BeginStep(path);
        HRESULT hr = InstallDriver(path, install);
        if (!EndStep(hr, L"CInstaller::InstallDriver", 316))
            ok = false;
        WriteLog(L"%s %s(0x%08x)", install ? L"install" : L"uninstall", path.c_str(), hr);
    }
    if (install)
    {
        // Let Windows match the new packages to the attached devices.
        DEVINST root = 0;
        if (CM_Locate_DevNodeW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS)
            CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS | CM_REENUMERATE_RETRY_INSTALLATION);
    }
    return ok;
}

HRESULT CInstaller::InstallDriver(const std::wstring& infPath, bool install)
{
    const wchar_t* valueName = PathFindFileNameW(infPath.c_str());
    if (!install)
    {
        CRegKey key;
        HRESULT hr =
            HResultFromWin32(RegOpenKeyExW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, 0, KEY_READ, key.Receive()));
        RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 400);
        wchar_t oemName[MAX_PATH + 1] = {};
        DWORD type = 0;
        DWORD size = MAX_PATH * sizeof(wchar_t);
        hr = HResultFromWin32(
            RegQueryValueExW(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(oemName), &size));
        // A text of at most MAX_PATH characters that carries its terminator.
        if (SUCCEEDED(hr) && ((type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(wchar_t) ||
                              size % sizeof(wchar_t) || oemName[size / sizeof(wchar_t) - 1] != L'\0'))
            hr = HResultFromWin32(ERROR_INVALID_DATA);
        RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 407);
        hr = SetupUninstallOEMInfW(oemName, SUOI_FORCEDELETE, nullptr) ? S_OK : LastErrorHResult();
        return LogError(hr, L"CInstaller::InstallDriver", 410);
    }

    InstallDriver(infPath, false);
    wchar_t oemPath[MAX_PATH] = {};
    wchar_t* oemName = nullptr;
    HRESULT hr = SetupCopyOEMInfW(infPath.c_str(), nullptr, SPOST_PATH, 0, oemPath, MAX_PATH, nullptr, &oemName)
                     ? S_OK
                     : LastErrorHResult();
    RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 353);
    CRegKey key;
    hr = CreateMachineKey(key);
    RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 357);
    if (!oemName || !*oemName)
        hr = HResultFromWin32(ERROR_INVALID_DATA);
    else
        hr = HResultFromWin32(RegSetValueExW(key.Get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(oemName),
                                             static_cast<DWORD>((wcslen(oemName) + 1) * sizeof(wchar_t))));
    RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 361);
    if (infPath.find(L"qcser.inf") != std::wstring::npos)
        return LogError(InitializeSetting(), L"CInstaller::InstallDriver", 368);
    if (infPath.find(L"android_winusb.inf") != std::wstring::npos)
        return AddAndroidVendor();
    return S_OK;
}

// Appends the phones' vendor id to the Android debug bridge's vendor list in
// the user's profile.
HRESULT CInstaller::AddAndroidVendor()
{
    CHandle token;
    HRESULT hr = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Receive()) ? S_OK : LastErrorHResult();
    RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 379);
    wchar_t profile[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    hr = GetUserProfileDirectoryW(token.Get(), profile, &length) ? S_OK : LastErrorHResult();
    RETURN_IF_FAILED(hr, L"CInstaller::InstallDriver", 382);
    RunCommand(L"cmd.exe /c mkdir \"%s\\.android\"", profile);
    hr = RunCommand(L"cmd.exe /c echo 0x%04X >>\"%s\\.android\\adb_usb.ini\"", kPhoneUsbVendorId, profile);
    return LogError(hr, L"CInstaller::InstallDriver", 387);
}

bool CInstaller::RegisterServer(bool registering)
{
    bool ok = true;
    for (const wchar_t* name : kQpstComponents)
    {
        std::wstring path = FindFile(L"Qualcomm\\QPST\\%s", name);
        if (!FileExists(path))
        {
            // Without this component there is no complete QPST: the program's
            // own engine serves instead. SHRegSetUSValueW needs the key to exist.
            CRegKey key;
            DWORD one = 1;
            HRESULT hr = CreateMachineKey(key);
            if (SUCCEEDED(hr))
                hr = HResultFromWin32(SHRegSetUSValueW(KESTRUP_MACHINE_KEY, L"NoQPST", REG_DWORD, &one, sizeof(one),
                                                       SHREGSET_FORCE_HKLM));
            if (FAILED(LogError(hr, L"CInstaller::RegisterServer", 442)))
                ok = false;
            continue;
        }
        BeginStep(path);
        HRESULT hr;
        // Only the file's own name decides: a folder may hold ".exe" too.
        if (wcsstr(PathFindFileNameW(path.c_str()), L".exe"))
            hr = RunCommand(L"\"%s\" %s", path.c_str(), registering ? L"/RegServer" : L"/UnregServer");
        else
            hr = RunCommand(L"regsvr32.exe %s /s \"%s\"", registering ? L"" : L"/u", path.c_str());
        if (!EndStep(hr, L"CInstaller::RegisterServer", 442))
            ok = false;
        WriteLog(L"%s %s(0x%08x)", registering ? L"register" : L"unregister", path.c_str(), hr);
    }
    return ok;
}

HRESULT CInstaller::SaveInstallStamp()
{
    CRegKey key;
    HRESULT hr = CreateMachineKey(key);
    if (FAILED(hr))
        return hr;
    std::wstring program = GetProgramPath();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    // The stamp keeps a path of at most MAX_PATH characters.
    if (program.size() >= MAX_PATH)
        program.clear();
    if (program.empty() || !GetFileAttributesExW(program.c_str(), GetFileExInfoStandard, &data))
        return program.empty() ? HResultFromWin32(ERROR_FILENAME_EXCED_RANGE) : LastErrorHResult();
    hr = HResultFromWin32(RegSetValueExW(key.Get(), L"ExeFile", 0, REG_SZ,
                                         reinterpret_cast<const BYTE*>(program.c_str()),
                                         static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t))));
    if (SUCCEEDED(hr))
        hr = HResultFromWin32(RegSetValueExW(key.Get(), L"ExeStamp", 0, REG_BINARY,
                                             reinterpret_cast<const BYTE*>(&data.ftLastWriteTime), sizeof(FILETIME)));
    return hr;
}

bool CInstaller::IsInstalled()
{
    CRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KESTRUP_MACHINE_KEY, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    std::wstring program = GetProgramPath();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (program.empty() || program.size() >= MAX_PATH ||
        !GetFileAttributesExW(program.c_str(), GetFileExInfoStandard, &data))
        return false;
    wchar_t stored[MAX_PATH + 1] = {};
    DWORD type = 0;
    DWORD size = MAX_PATH * sizeof(wchar_t);
    if (RegQueryValueExW(key.Get(), L"ExeFile", nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || lstrcmpiW(stored, program.c_str()) != 0)
        return false;
    FILETIME stamp = {};
    size = sizeof(stamp);
    return RegQueryValueExW(key.Get(), L"ExeStamp", nullptr, &type, reinterpret_cast<BYTE*>(&stamp), &size) ==
               ERROR_SUCCESS &&
           type == REG_BINARY && size == sizeof(stamp) && CompareFileTime(&stamp, &data.ftLastWriteTime) == 0;
}
