// Registry scripts: the text form in which the program describes the keys
// and values that registering it creates and unregistering it removes.
//
//     HKCR
//     {
//         NoRemove AppID
//         {
//             '%APPID%' = s 'Kestrup'
//             'Kestrup.EXE' { val AppID = s '%APPID%' }
//         }
//     }
//
// Roots: HKCR, HKCU, HKLM, HKU (or their HKEY_ names). A key is a name,
// optionally preceded by NoRemove (never deleted), ForceRemove (deleted with
// its subkeys before it is made, and on unregistering) or Delete (deleted on
// registering), optionally followed by "= s 'text'" or "= d number" for its
// default value and by a block of subkeys and "val name = s|d value" values.
// Names and texts are bare words or quoted with ' (doubled inside); %NAME%
// is replaced from the caller's list and %% stands for %.
#pragma once
#include <windows.h>
#include <string>
#include <utility>
#include <vector>

using RegistryReplacements = std::vector<std::pair<std::wstring, std::wstring>>;

// Registering makes every key and value of the script; unregistering removes
// the values and every key that is not NoRemove and is left without subkeys
// (ForceRemove keys with all they hold). The script is checked whole before
// anything is changed: a syntax error or an unknown replacement gives
// 0x8007000D. Otherwise the first registry failure ends the run and is
// returned; on unregistering a key or value that is already gone is no failure.
HRESULT ApplyRegistryScript(const std::wstring& script, bool registering, const RegistryReplacements& replacements);

// The 8-bit text of resource `id` of type "REGISTRY" in `module`.
HRESULT LoadRegistryScript(HMODULE module, UINT id, std::wstring& script);
