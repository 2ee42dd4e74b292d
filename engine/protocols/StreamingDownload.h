// The streaming download protocol, spoken by the flash programmer that DMSS
// or Sahara started: writes a mini kernel boot image to the start of the
// eMMC user partition and restarts the phone into it. Packets go in HDLC
// frames; multi-byte fields are little-endian.
#pragma once
#include <windows.h>

#include "engine/StatusReport.h"

namespace Streaming
{
enum Command : BYTE
{
    kHello = 0x01,
    kHelloReply = 0x02,
    kStreamWrite = 0x07,
    kBlockWritten = 0x08,
    kReset = 0x0B,
    kResetReply = 0x0C,
    kClose = 0x15,
    kCloseReply = 0x16,
    kSecurityMode = 0x17,
    kSecurityModeReply = 0x18,
    kOpenMultiImage = 0x1B,
    kOpenMultiImageReply = 0x1C,
};

constexpr char kHostMagic[] = "QCOM fast download protocol host";
constexpr char kTargetMagic[] = "QCOM fast download protocol targ";
constexpr DWORD kMagicLength = 32;
constexpr BYTE kProtocolVersion = 0x03;
constexpr BYTE kCompatibleVersion = 0x03;
constexpr BYTE kFeatureBits = 0x09;
constexpr DWORD kHelloLength = 36;
constexpr DWORD kHelloReplyCapacity = 1068;
constexpr DWORD kBlockSizeOffset = 35;
constexpr BYTE kTrustedMode = 0x01;
constexpr BYTE kEmmcUserPartition = 0x21;
constexpr DWORD kStreamWriteHeaderLength = 5;
constexpr DWORD kBlockWrittenLength = 5;
constexpr int kHelloAttempts = 61;
// Blocks between two status texts.
constexpr DWORD kBlocksPerStatus = 40;
} // namespace Streaming

HRESULT DownloadMiniKernel(const wchar_t* port, const wchar_t* bootImage, IQStatusReport* sink);
