// What the dispatcher and disk-drive job tests share: a scratch folder with
// the co-installer's device table and file-backed disks, and reading a job's
// lines back from the log file.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jobs/DeviceReport.h"
#include "tests/jobs/JobTestSupport.h"
#include "tests/fixtures/ListedDisks.h"

// Number of log-file lines that end with exactly `text` after the thread id.
size_t CountPlainLogLines(const std::string& text);

class DispatchTest : public ListedDiskTest
{
protected:
    DispatchTest() : ListedDiskTest(L"dispatch") {}

    // A disk of `sectors` zero sectors, listed by the co-installer.
    std::wstring AddDisk(unsigned index, const std::wstring& name, ULONGLONG sectors)
    {
        return MakeDisk(name, sectors * 512, {}, index);
    }
};
