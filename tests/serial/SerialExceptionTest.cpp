#include "serial/SerialException.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string SystemText(DWORD code)
{
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT), reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string s = n ? std::string(text, n) : std::string();
    LocalFree(text);
    return s;
}

} // namespace

TEST(CSerialExceptionTest, KnownCodeGivesTheSystemText)
{
    CSerialException e(ERROR_FILE_NOT_FOUND);
    char buf[256];
    std::memset(buf, 'x', sizeof buf);
    unsigned help = 77;
    EXPECT_TRUE(e.GetErrorMessage(buf, sizeof buf, &help));
    EXPECT_EQ(help, 0u);
    std::string expected = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(std::string(buf), expected);
    // Windows: "The system cannot find the file specified."; Wine: "File not found."
    EXPECT_NE(std::string(buf).find("ile"), std::string::npos) << buf;
}

TEST(CSerialExceptionTest, MessageIsTruncatedToTheBuffer)
{
    CSerialException e(ERROR_FILE_NOT_FOUND);
    std::string full = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_GT(full.size(), 5u);

    char small[6];
    std::memset(small, 'x', sizeof small);
    EXPECT_TRUE(e.GetErrorMessage(small, sizeof small));
    EXPECT_EQ(std::string(small), full.substr(0, 5));

    char one[2] = {'x', 'y'};
    EXPECT_TRUE(e.GetErrorMessage(one, 1));
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], 'y') << "wrote past maxChars";
}

TEST(CSerialExceptionTest, UnknownCodeGivesEmptyTextAndFalse)
{
    CSerialException e(0x2FFFFFFF);
    char buf[64] = "previous";
    unsigned help = 5;
    EXPECT_FALSE(e.GetErrorMessage(buf, sizeof buf, &help));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(help, 0u);
}

TEST(ThrowSerialExceptionTest, ThrowsAHeapExceptionWithTheCodeOrTheLastError)
{
    bool caught = false;
    try {
        ThrowSerialException(ERROR_NOT_READY);
    } catch (CSerialException* e) {
        caught = true;
        EXPECT_EQ(e->m_dwError, static_cast<DWORD>(ERROR_NOT_READY));
        EXPECT_TRUE(e->IsKindOf(RUNTIME_CLASS(CException)));
        EXPECT_STREQ(e->GetRuntimeClass()->m_lpszClassName, "CSerialException");
        e->Delete();
    }
    EXPECT_TRUE(caught);

    caught = false;
    SetLastError(ERROR_BROKEN_PIPE);
    try {
        ThrowSerialException();
    } catch (CException* e) {
        caught = true;
        ASSERT_TRUE(e->IsKindOf(RUNTIME_CLASS(CSerialException)));
        EXPECT_EQ(static_cast<CSerialException*>(e)->m_dwError, static_cast<DWORD>(ERROR_BROKEN_PIPE));
        e->Delete();
    }
    EXPECT_TRUE(caught);
}
