#include "CSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {
const char kBios[] = "HARDWARE\\DESCRIPTION\\System\\BIOS";

class SystemIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBios, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override {
        testsupport::DeleteValue(kBios, "BIOSVersion");
        testsupport::DeleteValue(kBios, "BaseBoardProduct");
    }
};
}  // namespace

TEST_F(SystemIdentity, CutRules) {
    struct Case {
        const char* biosVersion;   // null: value missing
        const char* boardProduct;  // null: value missing
        const char* biosId;
        const char* machineType;
    } cases[] = {
        {"Q47XV Ver. 01.02.03", "7KQA000US", "Q47XV", "7KQA"},
        {"Q48", "7K", "Q48", "7K"},
        {"", "", "", ""},
        {nullptr, nullptr, "", ""},
    };
    for (const Case& c : cases) {
        TearDown();
        if (c.biosVersion) {
            ASSERT_TRUE(testsupport::SetString(kBios, "BIOSVersion", c.biosVersion));
        }
        if (c.boardProduct) {
            ASSERT_TRUE(testsupport::SetString(kBios, "BaseBoardProduct", c.boardProduct));
        }
        CSystem system;
        std::string id;
        std::string type;
        system.GetBIOSID(id);
        system.GetSystemModel(type);
        EXPECT_EQ(id, c.biosId);
        EXPECT_EQ(type, c.machineType);
    }
}

TEST_F(SystemIdentity, ValueLongerThan259CharactersReadsAsEmpty) {
    ASSERT_TRUE(testsupport::SetString(kBios, "BaseBoardProduct", std::string(260, 'B')));
    ASSERT_TRUE(testsupport::SetString(kBios, "BIOSVersion", std::string(259, 'b')));
    {
        CSystem fits;
        std::string id;
        fits.GetBIOSID(id);
        EXPECT_EQ(id, "bbbbb") << "259 characters and the terminator fit";
    }
    ASSERT_TRUE(testsupport::SetString(kBios, "BIOSVersion", "Q47XV" + std::string(255, 'x')));
    CSystem system;
    std::string type;
    system.GetSystemModel(type);
    EXPECT_EQ(type, "") << "261 bytes with the terminator do not fit";
    std::string id;
    system.GetBIOSID(id);
    EXPECT_EQ(id, "") << "261 bytes with the terminator";
}

TEST_F(SystemIdentity, ASecondCallAnswersFromTheField) {
    ASSERT_TRUE(testsupport::SetString(kBios, "BIOSVersion", "Q47XV-first"));
    CSystem system;
    std::string id;
    system.GetBIOSID(id);
    ASSERT_EQ(id, "Q47XV");
    ASSERT_TRUE(testsupport::SetString(kBios, "BIOSVersion", "Z99ZZ-second"));
    system.GetBIOSID(id);
    EXPECT_EQ(id, "Q47XV");
    // The buffer form cuts the same field to 4 characters, for later calls too.
    EXPECT_STREQ(system.GetBIOSIDBuffer(), "Q47X");
    system.GetBIOSID(id);
    EXPECT_EQ(id, "Q47X");
    EXPECT_TRUE(system.IsWindows7OrGreater());
}
