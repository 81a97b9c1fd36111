#include "capture/CaptureFilePath.h"

#include <gtest/gtest.h>

TEST(CaptureFilePathTest, DeviceNamespacePathsAreDevices)
{
    for (const char* path : {"\\\\.\\PhysicalDrive0", "\\\\.\\COM7", "//./COM7", "\\\\.\\C:\\pos\\capture.txt", "\\\\.",
                             "\\\\?\\GLOBALROOT\\Device\\Harddisk0\\DR0", "\\\\?\\COM7", "\\\\?\\",
                             "\\\\?\\UNC\\server\\share\\capture.txt", "\\??\\PhysicalDrive0", "//?/Volume{1}"})
        EXPECT_TRUE(IsDevicePath(path)) << path;
}

TEST(CaptureFilePathTest, ReservedDeviceNamesAreDevicesWithOrWithoutDirectoryOrExtension)
{
    for (const char* path : {"CON", "nul", "Aux", "PRN", "CONIN$", "conout$", "COM1", "com9", "LPT1", "LPT9",
                             "NUL.txt", "C:\\logs\\com1.log", "Z:\\a\\b\\LPT9.capture.txt", "aux .txt", "NUL   ",
                             "C:NUL", "C:\\pos\\con:stream", "..\\prn", "COM\xB9", "lpt\xB3.txt", "\\\\?\\C:\\pos\\nul",
                             "pos/com3.txt"})
        EXPECT_TRUE(IsDevicePath(path)) << path;
}

TEST(CaptureFilePathTest, OrdinaryFilePathsAreNot)
{
    for (const char* path : {"C:\\pos\\capture.txt", "capture.txt", "\\\\?\\C:\\pos\\capture.txt",
                             "\\\\server\\share\\capture.txt", "C:\\COM10.txt", "C:\\COM0", "C:\\console.log",
                             "C:\\CON\\capture.txt", "C:\\pos\\NULL", "LPT", "C:\\com1x.txt", "D:\\.nul", ""})
        EXPECT_FALSE(IsDevicePath(path)) << path;
}
