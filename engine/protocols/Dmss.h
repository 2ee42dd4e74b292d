// The DMSS download protocol: loads an Intel HEX flash programmer into the
// memory of a phone in emergency download mode and starts it. Packets go in
// HDLC frames; multi-byte fields are big-endian.
#pragma once
#include <windows.h>

#include "engine/StatusReport.h"

namespace Dmss
{
enum Command : BYTE
{
    kAck = 0x02,
    kGo = 0x05,
    kParametersRequest = 0x07,
    kParametersReply = 0x08,
    kWrite = 0x0F,
};

constexpr DWORD kParametersReplyLength = 8;
constexpr DWORD kWriteHeaderLength = 7;
constexpr DWORD kGoLength = 5;
// Write packets between two status texts.
constexpr DWORD kPacketsPerStatus = 40;
} // namespace Dmss

HRESULT DownloadFlashProgrammerDMSS(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink);
