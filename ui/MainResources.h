// Resource ids of the main window: its dialog, menu, accelerators, icon,
// strings and commands.
#pragma once
#include "services/InstallerResources.h" // IDD_MAIN_DIALOG
#include "services/ProcessStrings.h"     // IDS_REBOOT_DRIVER_SIGNATURE

#define IDR_MAINFRAME 100 // accelerators and icon
#define IDR_OPTIONS_MENU 202

#define IDS_COLUMN_INDEX 130
#define IDS_COLUMN_DEVICE 131
#define IDS_COLUMN_PROGRESS 132
#define IDS_COLUMN_TIME 133
#define IDS_COLUMN_STATUS 134

#define IDS_ERROR_PREFIX 150
#define IDS_PROMPT_BUSY 151
#define IDS_PROMPT_REFRESH 152
#define IDS_PROMPT_SELECT 153
#define IDS_PROMPT_FLASH 154
#define IDS_BROWSE_TITLE 160

#define IDC_BROWSE 1001
#define IDC_SEARCH_PATH 1002
#define IDC_REFRESH 1003
#define IDC_FLASH 1004
#define IDC_DEVICE_LIST 1005
#define IDC_STATUS_BAR 1006

#define ID_OPTIONS_ADVANCED 32777
#define ID_OPEN_LOG 32778
#define ID_READ_ME 32779
#define ID_FLASH_ALL 32780
#define ID_FLASH_ALL_EXCEPT_STORAGE 32781
#define ID_FLASH_ALL_EXCEPT_DATA_STORAGE 32782
#define ID_PANE_TIME 32783
#define ID_APP_HELP 57670
