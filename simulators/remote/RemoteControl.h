// Driving the program's main window from another process, as a controlling
// program does: WM_COPYDATA 5025 sets the image-folder text, 5026 and 5027
// act as Refresh and Flash, and the program posts 5028 back for every
// finished serial-port row (wParam the port number, lParam 1 on success).
#pragma once
#include <windows.h>

#include "platform/Handles.h"

#include <functional>
#include <string>
#include <vector>

namespace Remote
{
constexpr ULONG_PTR kSearchPathData = 5025;
constexpr UINT kRefresh = 5026;
constexpr UINT kFlash = 5027;
constexpr UINT kFlashResult = 5028;

struct Result
{
    unsigned port = 0;
    bool success = false;
    ULONGLONG tick = 0; // GetTickCount64 when it arrived
};

// The controller's own hidden window, on the thread that makes it; results
// arrive while that thread pumps messages (Pump).
class CController
{
public:
    CController();
    ~CController();
    CController(const CController&) = delete;
    CController& operator=(const CController&) = delete;

    HWND Window() const { return m_window.Get(); }
    // Each sent and waited for, at most timeoutMs; false when the main
    // window did not take it.
    bool SetImageFolder(HWND main, const std::wstring& folder, DWORD timeoutMs = 30000);
    bool Refresh(HWND main, DWORD timeoutMs = 30000);
    bool Flash(HWND main, DWORD timeoutMs = 30000);
    // Pumps this thread's messages until done() holds or timeoutMs passed;
    // true when done() held.
    bool Pump(DWORD timeoutMs, const std::function<bool()>& done);
    // Every result received so far, in order.
    const std::vector<Result>& Results() const { return m_results; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    CUniqueWindow m_window;
    std::vector<Result> m_results;
};

// The top-level dialog window of the process, waited for at most timeoutMs;
// null when none appeared.
HWND FindMainWindow(DWORD processId, DWORD timeoutMs);

// The text of the program's log file in `folder` ("Kestrup-*.log", the
// newest); empty when there is none yet.
std::string ReadLog(const std::wstring& folder);

// What the log tells of one job: its lines ("<device>\t<seconds>\t<text>"),
// the highest seconds among them, and whether an error was logged on its
// thread under `errorName`.
struct JobLog
{
    std::vector<std::string> texts;
    double seconds = 0;
    bool error = false;
};
JobLog ReadJobLog(const std::string& log, const std::wstring& device, const std::string& errorName);
} // namespace Remote
