#include "capture/CaptureFilePath.h"
#include "platform/Handle.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

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

namespace {

std::string Folder(UINT(WINAPI* call)(LPSTR, UINT))
{
    char buffer[MAX_PATH];
    UINT n = call(buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string();
}

std::string Env(const char* name)
{
    char buffer[MAX_PATH];
    DWORD n = GetEnvironmentVariableA(name, buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(buffer, n) : std::string();
}

// A folder of the test's own with an ordinary file and a system file in it.
class ScratchFolder {
public:
    ScratchFolder()
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path = std::string(temp) + "CaptureFilePathTest." + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(path.c_str(), nullptr);
        ordinaryFile = path + "\\capture.txt";
        systemFile = path + "\\pagefile.txt";
        CHandle(CreateFileA(ordinaryFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        CHandle(CreateFileA(systemFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_SYSTEM,
                            nullptr));
    }
    ~ScratchFolder()
    {
        SetFileAttributesA(systemFile.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(systemFile.c_str());
        DeleteFileA(ordinaryFile.c_str());
        RemoveDirectoryA(path.c_str());
    }
    std::string path, ordinaryFile, systemFile;
};

} // namespace

TEST(CaptureFilePathTest, SystemAndProgramFoldersExecutablesAndSystemFilesAreRefused)
{
    const std::string windows = Folder(GetWindowsDirectoryA);
    const std::string system = Folder(GetSystemDirectoryA);
    const std::string programFiles = Env("ProgramFiles");
    ASSERT_GT(windows.size(), 3u);
    ASSERT_GT(system.size(), 3u);
    ASSERT_GT(programFiles.size(), 3u);
    ScratchFolder scratch;
    ASSERT_EQ(GetFileAttributesA(scratch.systemFile.c_str()) & FILE_ATTRIBUTE_SYSTEM,
              static_cast<DWORD>(FILE_ATTRIBUTE_SYSTEM));
    char shortName[MAX_PATH] = "";
    GetShortPathNameA(programFiles.c_str(), shortName, MAX_PATH);

    std::string lowerWindows = windows, slashedWindows = windows;
    for (char& c : lowerWindows) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : slashedWindows)
        if (c == '\\') c = '/';

    std::vector<std::string> refused = {
        windows + "\\win.ini", windows, windows + "\\", lowerWindows + "\\Temp\\capture.txt",
        slashedWindows + "/capture.txt", "\\\\?\\" + windows + "\\capture.txt",
        windows.substr(0, 3) + "pos\\..\\" + windows.substr(3) + "\\capture.txt", system + "\\drivers\\etc\\hosts",
        programFiles + "\\Orvane\\capture.txt", std::string(shortName) + "\\capture.txt",
        scratch.path + "\\capture.exe", scratch.path + "\\capture.DLL", scratch.path + "\\capture.scr.",
        scratch.path + "\\capture.Ps1 ", scratch.path + "\\capture.bat::$DATA", scratch.path + "\\x.sys",
        scratch.path + "\\x.com", scratch.path + "\\x.cmd", scratch.path + "\\x.msi", scratch.systemFile, "COM1",
        "\\\\.\\PhysicalDrive0"};
    for (const char* name : {"ProgramFiles(x86)", "ProgramW6432"})
        if (!Env(name).empty()) refused.push_back(Env(name) + "\\capture.txt");
    if (!Folder(GetSystemWow64DirectoryA).empty()) refused.push_back(Folder(GetSystemWow64DirectoryA) + "\\x.txt");
    for (const std::string& path : refused) EXPECT_TRUE(IsRefusedCapturePath(path.c_str())) << path;

    // Look-alikes of the folders, and files that only resemble executables.
    const std::string notRefused[] = {windows + "2\\capture.txt",       windows + ".old\\capture.txt",
                                      programFiles + " Data\\capture.txt", scratch.ordinaryFile,
                                      scratch.path + "\\capture.exe.txt", scratch.path + "\\exe",
                                      scratch.path + "\\capture.comx",    "capture.txt"};
    for (const std::string& path : notRefused) EXPECT_FALSE(IsRefusedCapturePath(path.c_str())) << path;
}
