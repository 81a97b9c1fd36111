#include "capture/CaptureFile.h"
#include "capture/CaptureFilePath.h"
#include "platform/Handle.h"
#include "support/TestEnv.h"

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

namespace {

// The Linux path of a Windows path under Wine; empty elsewhere.
std::string UnixPathOf(const std::string& windowsPath)
{
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnix) return std::string();
    wchar_t wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH)) return std::string();
    char* unixPath = toUnix(wide);
    if (!unixPath) return std::string();
    std::string result(unixPath);
    HeapFree(GetProcessHeap(), 0, unixPath);
    return result;
}

// A link at linkPath leading to target (which need not exist); Wine keeps links as Linux
// symbolic links, and a Linux link to a folder stands for a junction there.
bool MakeLink(const std::string& linkPath, const std::string& target)
{
    // The link's folder exists, the link does not: take the folder's path and add the name.
    const size_t slash = linkPath.find_last_of('\\');
    const std::string folder = UnixPathOf(linkPath.substr(0, slash));
    const std::string to = UnixPathOf(target);
    if (folder.empty() || to.empty()) return false;
    return testenv::RunShell("ln -s '" + to + "' '" + folder + "/" + linkPath.substr(slash + 1) + "'");
}

std::string Contents(const std::string& path) { return testenv::ReadFileBytes(path); }

// Folders of the link test, and everything in them, gone however the test ends.
struct FoldersGone {
    std::vector<std::string> folders;
    ~FoldersGone()
    {
        for (const std::string& f : folders) testenv::RunShell("rm -rf '" + UnixPathOf(f) + "'");
    }
};

} // namespace

TEST(CaptureFilePathTest, LinksIntoASystemFolderAreRefusedAndNothingIsCreatedOrEmptiedThere)
{
    if (UnixPathOf("C:\\").empty()) GTEST_SKIP() << "makes its links as Linux links under Wine";
    const std::string pid = std::to_string(GetCurrentProcessId());
    // A folder below the system folder, so that only the link's target says where it is.
    const std::string target = Folder(GetSystemDirectoryA) + "\\LinkTarget." + pid;
    const std::string allowed = testenv::ScratchDir() + "\\allowed." + pid;
    const std::string links = testenv::ScratchDir() + "\\links." + pid;
    FoldersGone gone{{target, allowed, links}};
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(allowed.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(links.c_str(), nullptr));
    {
        CHandle kept(CreateFileA((target + "\\kept.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(kept, "kept", 4, &n, nullptr));
    }
    struct Case {
        std::string link, target, captureFile; // the link made, where it leads, the capture file given
        std::string landsAt;                    // where the file would really be
        bool refused;
    };
    const Case cases[] = {
        // A folder link, checked before the open: nothing is made there.
        {links + "\\toSystem", target, links + "\\toSystem\\capture.txt", target + "\\capture.txt", true},
        // A file link to a file that exists there: opened, found out, left as it was.
        {links + "\\kept.txt", target + "\\kept.txt", links + "\\kept.txt", target + "\\kept.txt", true},
        // A file link to a file not there yet.
        {links + "\\new.txt", target + "\\new.txt", links + "\\new.txt", target + "\\new.txt", true},
        // A link into an ordinary folder is an ordinary path.
        {links + "\\toAllowed", allowed, links + "\\toAllowed\\capture.txt", allowed + "\\capture.txt",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.captureFile);
        ASSERT_TRUE(MakeLink(c.link, c.target));
        const bool existed = testenv::FileExists(c.landsAt);
        const std::string before = Contents(c.landsAt);
        for (bool fresh : {true, false}) {
            CCaptureFile file(4096);
            const bool opened = fresh ? file.Create(c.captureFile.c_str()) : file.Continue(c.captureFile.c_str());
            EXPECT_EQ(opened, !c.refused) << (fresh ? "Create" : "Continue");
            if (opened) {
                EXPECT_EQ(file.Append("x", 1), CCaptureFile::Put::Written);
                continue;
            }
            EXPECT_EQ(testenv::FileExists(c.landsAt), existed);
            EXPECT_EQ(Contents(c.landsAt), before);
        }
        // Created afresh, then continued.
        if (!c.refused) {
            EXPECT_EQ(Contents(c.landsAt), "xx");
        }
    }
}
