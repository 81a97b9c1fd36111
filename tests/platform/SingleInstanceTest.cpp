#include "platform/Handle.h"
#include "platform/SingleInstance.h"

#include <aclapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

std::string UniqueName(const char* what)
{
    return std::string("Local\\SingleInstanceTest.") + what + "." + std::to_string(GetCurrentProcessId());
}

} // namespace

TEST(SingleInstanceTest, TheNameIsHeldUntilItsHolderEnds)
{
    const std::string name = UniqueName("held");
    {
        CSingleInstance first;
        ASSERT_TRUE(first.Claim(name.c_str()));
        EXPECT_TRUE(first.Claim(name.c_str())) << "a holder claiming again";
        CSingleInstance second;
        EXPECT_FALSE(second.Claim(name.c_str()));
    }
    CSingleInstance later;
    EXPECT_TRUE(later.Claim(name.c_str()));
}

TEST(SingleInstanceTest, AnObjectOfAnotherTypeSquattingOnTheNameDoesNotStopAStart)
{
    struct Squatter {
        const char* kind;
        HANDLE (*create)(const char* name);
    };
    const Squatter squatters[] = {
        {"event", [](const char* n) { return CreateEventA(nullptr, TRUE, FALSE, n); }},
        {"semaphore", [](const char* n) { return CreateSemaphoreA(nullptr, 0, 1, n); }},
        {"section", [](const char* n) {
             return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, n);
         }},
    };
    for (const Squatter& s : squatters) {
        const std::string name = UniqueName(s.kind);
        CHandle squatter(s.create(name.c_str()));
        ASSERT_TRUE(squatter.IsValid()) << s.kind;
        CSingleInstance instance;
        EXPECT_TRUE(instance.Claim(name.c_str())) << s.kind;
    }
}

TEST(SingleInstanceTest, ALaterCopyWaitsForAHolderThatIsEnding)
{
    const std::string name = UniqueName("ending");
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Holder {
        std::string name;
        HANDLE release;
        CSingleInstance instance;
        std::atomic<bool> claimed{false};
    } holder{name, release, {}, {false}};
    struct Run {
        static DWORD WINAPI Thread(LPVOID p)
        {
            Holder* h = static_cast<Holder*>(p);
            h->claimed = h->instance.Claim(h->name.c_str());
            WaitForSingleObject(h->release, 10000);
            return 0;
        }
    };
    // The holder's thread ends without closing anything, as a process that exits does.
    CHandle thread(CreateThread(nullptr, 0, &Run::Thread, &holder, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    while (!holder.claimed && WaitForSingleObject(thread, 10) == WAIT_TIMEOUT) {
    }
    ASSERT_TRUE(holder.claimed);

    CSingleInstance later;
    EXPECT_FALSE(later.WaitAndClaim(name.c_str(), 100)) << "claimed while the holder still runs";
    SetEvent(release);
    EXPECT_TRUE(later.WaitAndClaim(name.c_str(), 5000));
    CloseHandle(release);
}

TEST(SingleInstanceTest, EveryAccountMayWaitOnAHeldNameAndDoNothingMore)
{
    // A copy started by another user or in another session must see the name held, and be
    // able to wait for its holder, without being able to take or change it.
    const std::string name = UniqueName("access");
    CSingleInstance holder;
    ASSERT_TRUE(holder.Claim(name.c_str()));
    CHandle probe(OpenMutexA(READ_CONTROL, FALSE, name.c_str()));
    ASSERT_TRUE(probe.IsValid());
    PACL dacl = nullptr;
    CLocalPtr<void> descriptor;
    ASSERT_EQ(GetSecurityInfo(probe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              descriptor.Receive()),
              DWORD(ERROR_SUCCESS));
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(ace->Mask, DWORD(SYNCHRONIZE | MUTEX_MODIFY_STATE));
    EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, WinWorldSid));
}
