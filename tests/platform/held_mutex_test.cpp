// The creation mutexes that the library bindings share with other programs:
// taken when nobody or a trusted account made them, never waited on when
// another owner did, and never waited on past the bound or the caller's stop.
#include "CClock.h"
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
     CHeldNamedMutex::Outcome::Held, ""},
    {"MadeByTheProcessUserAndFreeItIsHeld",
     [](CUniqueHandle& kept, std::unique_ptr<CHolder>&) {
         kept.Reset(CreateMutexA(nullptr, FALSE, g_name.c_str()));
         return kept.IsValid();
     },
     false, CHeldNamedMutex::Outcome::Held, ""},
    {"LeftAbandonedItIsHeld",
     [](CUniqueHandle& kept, std::unique_ptr<CHolder>& holder) {
         kept.Reset(CreateMutexA(nullptr, FALSE, g_name.c_str()));
         holder = std::make_unique<CHolder>(true);
         return kept.IsValid();
     },
     false, CHeldNamedMutex::Outcome::Held, ""},
    // Windows lets no one give an object another owner without privileges the test lacks.
    {"MadeByUsersItIsNotWaitedOn", [](CUniqueHandle& kept, std::unique_ptr<CHolder>&) { return Made(kept, L"O:BUD:(A;;GA;;;WD)"); },
     false, CHeldNamedMutex::Outcome::ForeignOwner,
     "@ exists with the owner S-1-5-32-545, not waited on"},
    {"HeldByATrustedOwnerItIsWaitedOnForTheBound",
     [](CUniqueHandle&, std::unique_ptr<CHolder>& holder) {
         holder = std::make_unique<CHolder>();
         return true;
     },
     false, CHeldNamedMutex::Outcome::TimedOut, "@ not given within 300 ms"},
    {"HeldAndTheStopComesFirst",
     [](CUniqueHandle&, std::unique_ptr<CHolder>& holder) {
         holder = std::make_unique<CHolder>();
         return true;
     },
     true, CHeldNamedMutex::Outcome::Stopped, "Stop requested, @ not waited for"},
};

class HeldNamedMutex : public ::testing::TestWithParam<Found> {};
}  // namespace

TEST_P(HeldNamedMutex, TakesWhatItMayAndWaitsNoLongerThanItShould) {
    const Found& c = GetParam();
    g_name = std::string("TarvoHeldMutexTest.") + c.name;
    std::string describe = c.describe;
    if (size_t at = describe.find('@'); at != std::string::npos) describe.replace(at, 1, g_name);
    CUniqueHandle kept;
    std::unique_ptr<CHolder> holder;
    if (!c.prepare(kept, holder)) GTEST_SKIP() << "this system refuses the set-up, error " << GetLastError();
    CUniqueHandle stop(CreateEventW(nullptr, TRUE, c.stopFirst, nullptr));
    CClock::CThreadStopScope scope(stop.Get());

    const auto start = std::chrono::steady_clock::now();
    bool heldHere = false;
    {
        // A bound of 300 ms: what a holder that keeps it costs the caller.
        CHeldNamedMutex mutex(g_name.c_str(), 300);
        EXPECT_EQ(mutex.GetOutcome(), c.outcome);
        EXPECT_EQ(mutex.IsHeld(), c.outcome == CHeldNamedMutex::Outcome::Held);
        EXPECT_EQ(mutex.Describe(), describe);
        heldHere = mutex.IsHeld();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    if (c.outcome == CHeldNamedMutex::Outcome::TimedOut) {
        EXPECT_GE(took, std::chrono::milliseconds(250));
    }
    EXPECT_LT(took, std::chrono::seconds(3));
    if (heldHere && kept) {
        // Given back: free for the next taker, not left abandoned.
        EXPECT_EQ(WaitForSingleObject(kept.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
        ReleaseMutex(kept.Get());
    }
}

INSTANTIATE_TEST_SUITE_P(Found, HeldNamedMutex, ::testing::ValuesIn(kFound),
                         [](const ::testing::TestParamInfo<Found>& info) { return std::string(info.param.name); });
