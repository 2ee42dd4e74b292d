// The shell's folder picker, kept out of the main window's file so that the
// window does not compile the shell's object headers.
#pragma once
#include <windows.h>
#include <string>

// Lets the operator pick a file-system folder, opened on start when it is not
// empty; the picked folder's path, or an empty text when nothing was picked.
std::wstring PickFolder(HWND owner, const std::wstring& title, const std::wstring& start);
