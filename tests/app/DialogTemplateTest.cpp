// Dialog 102 and the other resources, as the program carries them.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Dialog.h"
#include "res/resource.h"
#include "version.h"

namespace {

class PlainDialog : public CDialog {
public:
    PlainDialog() : CDialog(IDD_POSCOLLECTOR_DIALOG) {}
};

struct ExpectedControl {
    int id;
    const char* className;
    const char* text;
    int x, y, cx, cy;
    DWORD style; // the bits that must be set
    DWORD absent; // bits that must be clear
};

const DWORD kComboType = 0x3; // CBS_SIMPLE | CBS_DROPDOWN | CBS_DROPDOWNLIST

// In template order; statics carry no id.
const ExpectedControl kControls[] = {
    {IDC_STATIC, "Static", "Comm Port", 10, 13, 42, 10, SS_LEFT, 0},
    {IDC_STATIC, "Static", "Baud Rate", 10, 28, 42, 10, SS_LEFT, 0},
    {IDC_STATIC, "Static", "Data Bits", 10, 43, 42, 10, SS_LEFT, 0},
    {IDC_STATIC, "Static", "Parity", 10, 58, 42, 10, SS_LEFT, 0},
    {IDC_STATIC, "Static", "Stop Bits", 10, 73, 42, 10, SS_LEFT, 0},
    {IDC_COMMPORT, "ComboBox", "", 54, 10, 55, 55, CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
    {IDC_BAUDRATE, "ComboBox", "", 54, 25, 55, 50, CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
    {IDC_DATABITS, "ComboBox", "", 54, 40, 55, 50, CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
    {IDC_PARITY, "ComboBox", "", 54, 55, 55, 60, CBS_DROPDOWN | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
    {IDC_STOPBITS, "ComboBox", "", 54, 70, 55, 55, CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP, 0},
    {IDC_STATIC, "Static", "File", 123, 13, 12, 10, SS_LEFT, 0},
    {IDC_RUNATSTARTUP, "Button", "Run Collector At Startup", 123, 55, 100, 10, BS_AUTOCHECKBOX | WS_TABSTOP, 0},
    {IDC_RUN, "Button", "Run", 123, 70, 49, 15, BS_PUSHBUTTON | WS_TABSTOP, WS_DISABLED},
    {IDC_STOP, "Button", "Stop", 179, 70, 50, 15, BS_PUSHBUTTON | WS_TABSTOP, WS_DISABLED},
    {IDC_DATAFILE, "Edit", "", 140, 12, 65, 12, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, 0},
    {IDC_BROWSE, "Button", "...", 209, 12, 20, 12, BS_PUSHBUTTON | WS_TABSTOP, 0},
    {IDC_PROGRESS, "msctls_progress32", "", 0, 86, 230, 10, WS_BORDER | PBS_SMOOTH, 0},
};

// Pixels of a template rectangle: the dialog manager maps the origin and the size each
// on its own, so the far edge is mapped x plus mapped width.
RECT DialogUnits(HWND dlg, int x, int y, int cx, int cy)
{
    RECT r = {x, y, cx, cy};
    MapDialogRect(dlg, &r);
    return RECT{r.left, r.top, r.left + r.right, r.top + r.bottom};
}

RECT ClientRectOf(HWND dlg, HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string ClassOf(HWND hwnd)
{
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof(name));
    return name;
}

std::string TextOf(HWND hwnd)
{
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof(text));
    return text;
}

class DialogTemplate : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dlg.Create()) << "error " << GetLastError(); }
    PlainDialog dlg;
};

TEST_F(DialogTemplate, FrameHasTheCaptionStylesSizeAndFont)
{
    HWND h = dlg.GetSafeHwnd();
    EXPECT_EQ(TextOf(h), "Orvane POS Collector");
    DWORD style = static_cast<DWORD>(GetWindowLongPtrA(h, GWL_STYLE));
    for (DWORD bit : {DWORD(WS_POPUP), DWORD(WS_VISIBLE), DWORD(WS_CAPTION), DWORD(WS_SYSMENU), DWORD(WS_MINIMIZEBOX),
                      DWORD(DS_MODALFRAME)})
        EXPECT_EQ(style & bit, bit) << std::hex << bit;
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0u);
    EXPECT_EQ(style & WS_THICKFRAME, 0u);
    DWORD exStyle = static_cast<DWORD>(GetWindowLongPtrA(h, GWL_EXSTYLE));
    EXPECT_EQ(exStyle & WS_EX_APPWINDOW, DWORD(WS_EX_APPWINDOW));

    RECT client;
    GetClientRect(h, &client);
    RECT expected = DialogUnits(h, 0, 0, 230, 95);
    EXPECT_EQ(client.right, expected.right);
    EXPECT_EQ(client.bottom, expected.bottom);

    HFONT font = reinterpret_cast<HFONT>(SendMessageA(h, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTA lf = {};
    ASSERT_NE(GetObjectA(font, sizeof(lf), &lf), 0);
    EXPECT_STREQ(lf.lfFaceName, "Tahoma");
    HDC dc = GetDC(h);
    int points = MulDiv(-lf.lfHeight, 72, GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(h, dc);
    EXPECT_EQ(points, 8);
}

TEST_F(DialogTemplate, EveryControlHasItsClassIdTextStyleAndPlace)
{
    HWND h = dlg.GetSafeHwnd();
    std::vector<HWND> children;
    for (HWND c = GetWindow(h, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) children.push_back(c);
    ASSERT_EQ(children.size(), sizeof(kControls) / sizeof(kControls[0]));

    for (size_t i = 0; i < children.size(); ++i) {
        const ExpectedControl& expected = kControls[i];
        HWND c = children[i];
        SCOPED_TRACE(std::string("control ") + std::to_string(i) + " " + expected.text + " id " + std::to_string(expected.id));
        EXPECT_EQ(GetDlgCtrlID(c), expected.id);
        EXPECT_EQ(ClassOf(c), expected.className);
        EXPECT_EQ(TextOf(c), expected.text);
        DWORD style = static_cast<DWORD>(GetWindowLongPtrA(c, GWL_STYLE));
        EXPECT_EQ(style & expected.absent, 0u);
        EXPECT_EQ(style & WS_VISIBLE, DWORD(WS_VISIBLE));

        // In pixels, as the dialog manager placed it. A combo box's window is as high as
        // its edit field; its template height (checked below) is that of the open list.
        RECT want = DialogUnits(h, expected.x, expected.y, expected.cx, expected.cy);
        RECT got = ClientRectOf(h, c);
        EXPECT_EQ(got.left, want.left);
        EXPECT_EQ(got.top, want.top);
        EXPECT_EQ(got.right, want.right);
        if (std::string(expected.className) != "ComboBox") {
            EXPECT_EQ(got.bottom, want.bottom);
        }
    }
    EXPECT_EQ(GetDlgItem(h, IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(h, IDCANCEL), nullptr);
}

// Reads DLGTEMPLATEEX as the resource compiler wrote it.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* p) : m_p(p) {}
    WORD Word() { WORD w; memcpy(&w, m_p, 2); m_p += 2; return w; }
    DWORD Dword() { DWORD d; memcpy(&d, m_p, 4); m_p += 4; return d; }
    // A string or an ordinal (0xFFFF, n): the ordinal comes back as "#n".
    std::string SzOrOrd()
    {
        WORD first = Word();
        if (first == 0xFFFF) return "#" + std::to_string(Word());
        std::string out;
        for (WORD c = first; c != 0; c = Word()) out += static_cast<char>(c);
        return out;
    }
    void AlignDword()
    {
        uintptr_t offset = (reinterpret_cast<uintptr_t>(m_p) - reinterpret_cast<uintptr_t>(m_start)) % 4;
        if (offset) m_p += 4 - offset;
    }
    void SetStart(const BYTE* start) { m_start = start; }
    void Skip(size_t n) { m_p += n; }

private:
    const BYTE* m_p;
    const BYTE* m_start = nullptr;
};

TEST(DialogTemplateResource, HoldsTheFrameAndEveryControlExactly)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(IDD_POSCOLLECTOR_DIALOG), MAKEINTRESOURCEA(5)); // RT_DIALOG
    ASSERT_NE(res, nullptr);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, res)));
    TemplateReader r(data);
    r.SetStart(data);
    ASSERT_EQ(r.Word(), 1);      // dlgVer
    ASSERT_EQ(r.Word(), 0xFFFF); // DLGTEMPLATEEX
    r.Dword();                   // help id
    EXPECT_EQ(r.Dword(), DWORD(WS_EX_APPWINDOW));
    DWORD style = r.Dword();
    EXPECT_EQ(style, DWORD(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                           WS_MINIMIZEBOX));
    WORD count = r.Word();
    ASSERT_EQ(count, sizeof(kControls) / sizeof(kControls[0]));
    EXPECT_EQ(r.Word(), 0);
    EXPECT_EQ(r.Word(), 0);
    EXPECT_EQ(r.Word(), 230);
    EXPECT_EQ(r.Word(), 95);
    EXPECT_EQ(r.SzOrOrd(), "");  // no menu
    EXPECT_EQ(r.SzOrOrd(), "");  // the dialog class
    EXPECT_EQ(r.SzOrOrd(), "Orvane POS Collector");
    EXPECT_EQ(r.Word(), 8);      // points
    r.Word();                    // weight
    r.Skip(2);                   // italic, charset
    EXPECT_EQ(r.SzOrOrd(), "Tahoma");

    // The classes as ordinals of the predefined ones, or by name.
    auto ordinalOf = [](const std::string& cls) -> std::string {
        if (cls == "Button") return "#128";
        if (cls == "Edit") return "#129";
        if (cls == "Static") return "#130";
        if (cls == "ComboBox") return "#133";
        return cls;
    };
    for (const ExpectedControl& expected : kControls) {
        SCOPED_TRACE(std::string(expected.text) + " id " + std::to_string(expected.id));
        r.AlignDword();
        r.Dword(); // help id
        EXPECT_EQ(r.Dword(), 0u);
        DWORD itemStyle = r.Dword();
        EXPECT_EQ(itemStyle & expected.style, expected.style);
        EXPECT_EQ(itemStyle & (WS_CHILD | WS_VISIBLE), DWORD(WS_CHILD | WS_VISIBLE));
        EXPECT_EQ(itemStyle & expected.absent, 0u);
        EXPECT_EQ(static_cast<short>(r.Word()), expected.x);
        EXPECT_EQ(static_cast<short>(r.Word()), expected.y);
        EXPECT_EQ(static_cast<short>(r.Word()), expected.cx);
        EXPECT_EQ(static_cast<short>(r.Word()), expected.cy);
        EXPECT_EQ(static_cast<int>(r.Dword()), expected.id);
        std::string cls = r.SzOrOrd();
        EXPECT_TRUE(cls == ordinalOf(expected.className) || lstrcmpiA(cls.c_str(), expected.className) == 0) << cls;
        if (std::string(expected.className) == "ComboBox") {
            EXPECT_EQ(itemStyle & kComboType, expected.style & kComboType);
        }
        EXPECT_EQ(r.SzOrOrd(), expected.text);
        r.Skip(r.Word()); // creation data
    }
}

struct IconDirEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};

TEST(Resources, IconGroup128Holds16And32PixelImagesIn24BitColour)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(IDR_MAINFRAME), MAKEINTRESOURCEA(14)); // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    ASSERT_NE(data, nullptr);
    WORD count = *reinterpret_cast<const WORD*>(data + 4);
    ASSERT_EQ(count, 2);
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        IconDirEntry e;
        memcpy(&e, data + 6 + i * 14, 14);
        sizes.push_back(e.width);
        EXPECT_EQ(e.width, e.height);
        EXPECT_EQ(e.bitCount, 24);
        // The image itself: a DIB header of that size and depth.
        HRSRC image = FindResourceA(module, MAKEINTRESOURCEA(e.id), MAKEINTRESOURCEA(3)); // RT_ICON
        ASSERT_NE(image, nullptr);
        const BITMAPINFOHEADER* bih = static_cast<const BITMAPINFOHEADER*>(LockResource(LoadResource(module, image)));
        EXPECT_EQ(bih->biWidth, e.width);
        EXPECT_EQ(bih->biBitCount, 24);
    }
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (std::vector<int>{16, 32}));
    EXPECT_NE(LoadIconA(module, MAKEINTRESOURCEA(IDR_MAINFRAME)), nullptr);
}

std::string VersionString(const std::vector<BYTE>& block, const char* name)
{
    char* value = nullptr;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value) return "";
    return value;
}

TEST(Resources, VersionRecordNamesTheProductAndItsVersion)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    // The numbers and the texts come from one definition of the version.
    const DWORD ms = (COLLECTOR_VERSION_MAJOR << 16) | COLLECTOR_VERSION_MINOR;
    const DWORD ls = (COLLECTOR_VERSION_PATCH << 16) | COLLECTOR_VERSION_TWEAK;
    EXPECT_EQ(fixed->dwFileVersionMS, ms);
    EXPECT_EQ(fixed->dwFileVersionLS, ls);
    EXPECT_EQ(fixed->dwProductVersionMS, ms);
    EXPECT_EQ(fixed->dwProductVersionLS, ls);
    EXPECT_EQ(VersionString(block, "FileVersion"), COLLECTOR_VERSION_TEXT);
    EXPECT_EQ(VersionString(block, "ProductVersion"), COLLECTOR_VERSION_TEXT);
    EXPECT_EQ(VersionString(block, "FileDescription"), "POS Collector");
    EXPECT_EQ(VersionString(block, "ProductName"), "POS Collector");
    EXPECT_EQ(VersionString(block, "Comments"), "POS Collector");
}

TEST(Resources, ManifestAsksForCommonControls6AndTheCallersRights)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24)); // RT_MANIFEST
    ASSERT_NE(res, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, res)));
    std::string manifest(text, SizeofResource(module, res));
    EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
    EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

} // namespace
