// Resource ids of the list control's images and cursors (the program's
// resource script and the tests' scripts include the files under these ids).
#pragma once

#define IDB_LISTITEMS 4001
#define IDC_LIST_DIVIDER 4002
#define IDC_LIST_HAND 4003
