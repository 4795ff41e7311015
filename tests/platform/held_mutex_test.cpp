// The creation mutexes that the library bindings share with other programs:
// taken when nobody or a trusted account made them, never waited on when
// another owner did, and never waited on past the bound or the caller's stop;
// whatever the name holds, the creation goes on under the process's own lock
// unless the stop came first.
#include "CClock.h"
#include "CCreationLock.h"
#include "CHeldNamedMutex.h"
#include "CTrustedOwner.h"
#include "Handles.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {
// Each case runs in a process of its own, side by side with the others: a name of its own.
std::string g_name;

CUniqueLocal Descriptor(const std::wstring& sddl) {
    CUniqueLocal descriptor;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.Put(), nullptr);
    return descriptor;
}

CUniqueLocal Sid(const wchar_t* text) {
    CUniqueLocal sid;
    ConvertStringSidToSidW(text, sid.Put());
    return sid;
}
}  // namespace

// Who may own what the service trusts, on descriptors as the system returns
// them: a log folder or file (trusted) and a creation mutex found there already
// (waited on).
TEST(TrustedOwner, TheSystemTheAdministratorsAndTheProcessUserOnly) {
    CUniqueLocal user = Sid(L"S-1-5-21-1-2-3-1000");
    struct Case {
        const wchar_t* sddl;
        bool trusted;
        bool waited;
        const char* what;
    } cases[] = {
        {L"O:SYD:(A;;GA;;;WD)", true, true, "SYSTEM"},
        {L"O:BAD:(A;;GA;;;WD)", true, true, "Administrators"},
        {L"O:S-1-5-21-1-2-3-1000", true, true, "the process's own user"},
        {L"O:S-1-5-21-1-2-3-1001D:(A;;GA;;;SY)", false, false, "another user"},
        {L"O:BUD:(A;;GA;;;SY)", false, false, "Users"},
        {L"O:WD", false, false, "Everyone"},
        {L"O:AU", false, false, "Authenticated Users"},
        {L"O:AN", false, false, "Anonymous"},
        {L"O:LS", false, false, "LocalService"},
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", false, false, "TrustedInstaller"},
        // Windows gives every object an owner; a system that keeps none runs everything as one account.
        {L"D:(A;;GA;;;SY)", false, true, "no owner at all"},
    };
    for (const Case& c : cases) {
        CUniqueLocal descriptor = Descriptor(c.sddl);
        ASSERT_TRUE(descriptor) << c.what;
        EXPECT_EQ(CTrustedOwner::IsTrustedOwnerOf(descriptor.Get(), user.Get()), c.trusted) << c.what;
        EXPECT_EQ(CHeldNamedMutex::MayWaitOn(descriptor.Get(), user.Get()), c.waited) << c.what;
    }
    EXPECT_TRUE(CTrustedOwner::IsTrustedOwnerOf(Descriptor(L"O:SY").Get(), nullptr));
    EXPECT_FALSE(CTrustedOwner::IsTrustedOwnerOf(Descriptor(L"O:S-1-5-21-1-2-3-1000").Get(), nullptr));
    EXPECT_FALSE(CTrustedOwner::IsTrustedOwnerOf(nullptr, user.Get()));
    EXPECT_FALSE(CHeldNamedMutex::MayWaitOn(nullptr, user.Get()));
    EXPECT_EQ(CTrustedOwner::OwnerText(Descriptor(L"O:BU").Get()), L"S-1-5-32-545");
    EXPECT_EQ(CTrustedOwner::OwnerText(Descriptor(L"D:(A;;GA;;;SY)").Get()), L"?");
}

namespace {
// A thread that takes the mutex of the name and keeps it until released, or
// ends holding it, which leaves it abandoned.
class CHolder {
public:
    explicit CHolder(bool abandon = false) {
        CUniqueHandle taken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_release.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        m_thread = std::thread([this, abandon, &taken] {
            HANDLE mutex = CreateMutexA(nullptr, FALSE, g_name.c_str());
            WaitForSingleObject(mutex, INFINITE);
            SetEvent(taken.Get());
            if (!abandon) {
                WaitForSingleObject(m_release.Get(), INFINITE);
                ReleaseMutex(mutex);
            }
            m_mutex.Reset(mutex);
        });
        WaitForSingleObject(taken.Get(), 10000);
        if (abandon) m_thread.join();
    }
    ~CHolder() {
        SetEvent(m_release.Get());
        if (m_thread.joinable()) m_thread.join();
    }

private:
    CUniqueHandle m_release;
    CUniqueHandle m_mutex;
    std::thread m_thread;
};

struct Found {
    const char* name;
    // Makes the name as another program may have; returns what keeps it, or
    // false where this system refuses the set-up.
    std::function<bool(CUniqueHandle& kept, std::unique_ptr<CHolder>& holder)> prepare;
    bool stopFirst;  // the calling thread's stop is set before it takes the mutex
    CHeldNamedMutex::Outcome outcome;
    std::string describe;  // "@" stands for the name
    // A creation under it goes on (whenever the stop has not come first), with this line.
    std::string creation;
};

void PrintTo(const Found& c, std::ostream* out) { *out << c.name; }

bool Made(CUniqueHandle& kept, const wchar_t* sddl) {
    CUniqueLocal descriptor = Descriptor(sddl);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    kept.Reset(CreateMutexA(&attributes, FALSE, g_name.c_str()));
    return kept.IsValid();
}

const Found kFound[] = {
    {"NoneThereItIsCreatedAndHeld", [](CUniqueHandle&, std::unique_ptr<CHolder>&) { return true; }, false,
     CHeldNamedMutex::Outcome::Held, "", ""},
    {"MadeByTheProcessUserAndFreeItIsHeld",
     [](CUniqueHandle& kept, std::unique_ptr<CHolder>&) {
         kept.Reset(CreateMutexA(nullptr, FALSE, g_name.c_str()));
         return kept.IsValid();
     },
     false, CHeldNamedMutex::Outcome::Held, "", ""},
    {"LeftAbandonedItIsHeld",
     [](CUniqueHandle& kept, std::unique_ptr<CHolder>& holder) {
         kept.Reset(CreateMutexA(nullptr, FALSE, g_name.c_str()));
         holder = std::make_unique<CHolder>(true);
         return kept.IsValid();
     },
     false, CHeldNamedMutex::Outcome::Held, "", ""},
    // Windows lets no one give an object another owner without privileges the test lacks.
    {"MadeByUsersItIsNotWaitedOn", [](CUniqueHandle& kept, std::unique_ptr<CHolder>&) { return Made(kept, L"O:BUD:(A;;GA;;;WD)"); },
     false, CHeldNamedMutex::Outcome::ForeignOwner,
     "@ exists with the owner S-1-5-32-545, not waited on",
     "@ exists with the owner S-1-5-32-545, not waited on, created without it"},
    {"AnEventOfTheNameCannotBeWaitedOn",
     [](CUniqueHandle& kept, std::unique_ptr<CHolder>&) {
         kept.Reset(CreateEventA(nullptr, TRUE, FALSE, g_name.c_str()));
         return kept.IsValid();
     },
     false, CHeldNamedMutex::Outcome::Unobtainable, "@ can be neither created nor opened, error 6",
     "@ can be neither created nor opened, error 6, created without it"},
    {"HeldByATrustedOwnerItIsWaitedOnForTheBound",
     [](CUniqueHandle&, std::unique_ptr<CHolder>& holder) {
         holder = std::make_unique<CHolder>();
         return true;
     },
     false, CHeldNamedMutex::Outcome::TimedOut, "@ not given within 300 ms",
     "@ not given within 300 ms, created without it"},
    {"HeldAndTheStopComesFirst",
     [](CUniqueHandle&, std::unique_ptr<CHolder>& holder) {
         holder = std::make_unique<CHolder>();
         return true;
     },
     true, CHeldNamedMutex::Outcome::Stopped, "Stop requested, @ not waited for", "Stop requested, @ not waited for"},
};

class HeldNamedMutex : public ::testing::TestWithParam<Found> {};
}  // namespace

TEST_P(HeldNamedMutex, TakesWhatItMayAndWaitsNoLongerThanItShould) {
    const Found& c = GetParam();
    g_name = std::string("TarvoHeldMutexTest.") + c.name;
    auto named = [](std::string text) {
        if (size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, g_name);
        return text;
    };
    CUniqueHandle kept;
    std::unique_ptr<CHolder> holder;
    if (!c.prepare(kept, holder)) GTEST_SKIP() << "this system refuses the set-up, error " << GetLastError();
    CUniqueHandle stop(CreateEventW(nullptr, TRUE, c.stopFirst, nullptr));
    CClock::CThreadStopScope scope(stop.Get());
    // Once a taker is done: given back, free for the next one, not left abandoned.
    auto givenBack = [&](bool held) {
        if (!held || !kept) return;
        EXPECT_EQ(WaitForSingleObject(kept.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
        ReleaseMutex(kept.Get());
    };

    auto start = std::chrono::steady_clock::now();
    bool heldHere = false;
    {
        // A bound of 300 ms: what a holder that keeps it costs the caller.
        CHeldNamedMutex mutex(g_name.c_str(), 300);
        EXPECT_EQ(mutex.GetOutcome(), c.outcome);
        EXPECT_EQ(mutex.IsHeld(), c.outcome == CHeldNamedMutex::Outcome::Held);
        EXPECT_EQ(mutex.Describe(), named(c.describe));
        heldHere = mutex.IsHeld();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (c.outcome == CHeldNamedMutex::Outcome::TimedOut) {
        EXPECT_GE(took, std::chrono::milliseconds(250));
    }
    EXPECT_LT(took, std::chrono::seconds(3));
    givenBack(heldHere);

    // A creation under the name: the same wait, and it goes on unless the stop came first.
    CCreationLock lock(g_name.c_str());
    start = std::chrono::steady_clock::now();
    {
        CCreationLock::CScope creating(lock, 300);
        EXPECT_EQ(creating.MayCreate(), !c.stopFirst);
        EXPECT_EQ(creating.Describe(), named(c.creation));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    givenBack(heldHere);
}

INSTANTIATE_TEST_SUITE_P(Found, HeldNamedMutex, ::testing::ValuesIn(kFound),
                         [](const ::testing::TestParamInfo<Found>& info) { return std::string(info.param.name); });

// Two threads of the process create under one lock: the second waits for the
// first, no longer than twice the bound, and no longer than its own stop;
// once the first is done it goes on.
TEST(CreationLock, OneCreationAtATimeInTheProcess) {
    CCreationLock lock("TarvoHeldMutexTest.OneAtATime");
    CUniqueHandle inside(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CUniqueHandle leave(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread first([&] {
        CCreationLock::CScope creating(lock, 300);
        EXPECT_TRUE(creating.MayCreate());
        SetEvent(inside.Get());
        WaitForSingleObject(leave.Get(), 10000);
    });
    ASSERT_EQ(WaitForSingleObject(inside.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    {
        CUniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));
        CClock::CThreadStopScope scope(stop.Get());
        CCreationLock::CScope stopped(lock, 300);
        EXPECT_FALSE(stopped.MayCreate());
        EXPECT_EQ(stopped.Describe(), "Stop requested, the creation under TarvoHeldMutexTest.OneAtATime not waited for");
    }
    {
        const auto start = std::chrono::steady_clock::now();
        CCreationLock::CScope waited(lock, 300);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
        EXPECT_FALSE(waited.MayCreate());
        EXPECT_EQ(waited.Describe(),
                  "The creation under TarvoHeldMutexTest.OneAtATime in another thread not ended within 600 ms");
    }
    SetEvent(leave.Get());
    first.join();
    CCreationLock::CScope after(lock, 300);
    EXPECT_TRUE(after.MayCreate());
    EXPECT_EQ(after.Describe(), "");
}
