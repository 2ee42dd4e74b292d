// String ids of the offer to restart Windows (Process.rc).
#pragma once

#define IDS_REBOOT_CAPTION 180
#define IDS_REBOOT_DRIVER_SIGNATURE 181
