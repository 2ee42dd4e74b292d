// UFS provision files: read whole and checked before any of them goes to a
// phone, for provisioning often cannot be undone.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Reads the provision file at `path` and gives one element text per `ufs`
// element (without regard to case), in document order: "<ufs ", then each
// attribute but "desc" (without regard to case) as its local name, "=\"", its
// value with XmlEscaped, "\" ", and at the end " />". It fails, with
// `elements` left empty, on the file's first fault: the faults of
// CEntryReader::Next (a document that is not whole or not well-formed, a
// control character, an attribute named twice), no `ufs` element at all
// (0x80070490, element not found), or an element text that the thread's
// code page does not hold exactly (0x80070459).
HRESULT ReadProvisionFile(const wchar_t* path, std::vector<std::wstring>& elements);
