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
#include "tests/fixtures/ChildProcess.h"
#include "tests/fixtures/DeviceTable.h"
#include "tests/fixtures/FileBackedDisk.h"

// The texts that the job of `device` logged, oldest first.
std::vector<std::string> JobTexts(const std::wstring& device);
// Number of log-file lines that end with exactly `text` after the thread id.
size_t CountPlainLogLines(const std::string& text);

class DispatchTest : public ::testing::Test
{
protected:
    DispatchTest() : m_table(m_dir / L"devices.txt") {}

    void AddDevice(unsigned index, unsigned type, const std::wstring& name, std::vector<std::wstring> volumes = {})
    {
        SimDevice device;
        device.index = index;
        device.type = type;
        device.name = name;
        device.volumes = std::move(volumes);
        ASSERT_TRUE(m_table.Set(device));
    }

    // A disk of `sectors` zero sectors, listed by the co-installer as type 2.
    std::wstring AddDisk(unsigned index, const std::wstring& name, ULONGLONG sectors)
    {
        std::wstring file = m_dir / (L"disk" + std::to_wstring(index) + L".bin");
        EXPECT_TRUE(CreateDiskFile(file, sectors * 512));
        m_disks.AddDisk(name, file);
        AddDevice(index, 2, name);
        return file;
    }

    std::wstring Path(const std::wstring& name) const { return m_dir / name; }

    CTempDir m_dir{L"dispatch"};
    CDeviceTable m_table;
    CFileBackedDisk m_disks;
};
