// Resource ids of the installer (Installer.rc) and of the program's
// resources that it uses.
#pragma once

#define IDR_KESTRUP_REGISTRY 100
#define IDD_MAIN_DIALOG 110
#define IDS_INSTALL_BACKEND 170
#define IDS_UNINSTALL_BACKEND 171
#define IDR_PROGRESS_ANIMATION 201
