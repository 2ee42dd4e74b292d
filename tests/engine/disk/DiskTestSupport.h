// What the disk-target tests share: a scratch folder with a file-backed disk
// that the co-installer stand-in lists, and a status sink that counts the
// references held on it.
#pragma once
#include "simulators/BuiltFiles.h"
#include "tests/fixtures/ListedDisks.h"
#include "simulators/phones/SimulatedPhone.h"
#include "tests/fixtures/StatusRecorder.h"

class DiskTest : public ListedDiskTest
{
protected:
    DiskTest() : ListedDiskTest(L"disk") {}

    CStatusRecorder sink;
};
