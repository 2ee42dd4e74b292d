// Sahara: the boot code of a phone in emergency download mode says hello and
// then asks the host for pieces of the flash programmer until it can start
// it. Packets go raw on the serial port, little-endian 32-bit fields, each
// beginning with its command id and its length.
#pragma once
#include <windows.h>

#include "engine/StatusReport.h"

namespace Sahara
{
enum Command : ULONG
{
    kHello = 0x01,
    kHelloResponse = 0x02,
    kReadData = 0x03,
    kEndImageTransfer = 0x04,
    kDone = 0x05,
    kDoneResponse = 0x06,
    kSwitchMode = 0x0C,
    kReadData64 = 0x12,
};

enum Mode : ULONG
{
    kModeImageTransfer = 0,
    kModeCommand = 3,
};

constexpr ULONG kHelloLength = 48;
constexpr ULONG kHelloResponseLength = 48;
constexpr ULONG kReadDataLength = 20;
constexpr ULONG kReadData64Length = 32;
constexpr ULONG kEndImageTransferLength = 16;
constexpr ULONG kDoneLength = 8;
constexpr ULONG kDoneResponseLength = 12;
constexpr ULONG kSwitchModeLength = 12;
constexpr ULONG kCommandReplyLength = 8;
constexpr ULONG kHelloResponseVersion = 2;
constexpr ULONG kHelloResponseMinimumVersion = 1;

// A read request that reaches past the end of the programmer file.
constexpr HRESULT kReadPastEnd = static_cast<HRESULT>(0x8000000B); // E_BOUNDS
} // namespace Sahara

// Answers the phone's hello on port and serves its read requests from the
// programmer file until it ends the transfer. With waitForHello the phone
// must be heard saying hello (it has just restarted); without it, a phone
// already past its hello is brought back through command mode. A phone that
// keeps asking far beyond the programmer's size is stopped with 0x800700EA,
// one that keeps asking far beyond the time it takes with 0x800705B4.
HRESULT DownloadFlashProgrammerSahara(const wchar_t* port, const wchar_t* programmer, IQStatusReport* sink,
                                      BOOL waitForHello);
