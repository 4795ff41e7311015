#include "CRegistryKey.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {
const char kKey[] = "SOFTWARE\\TarvoTest\\RegistryKey";

class RegistryKeyTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::DeleteTree(kKey); }
    void TearDown() override { testsupport::DeleteTree(kKey); }
};

std::string ReadStored(const char* name) {
    char buffer[300] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
        return "<missing>";
    return buffer;
}
}  // namespace

TEST_F(RegistryKeyTest, EmptyPathOrNameFailsEveryOperation) {
    CRegistryKey empty(HKEY_LOCAL_MACHINE, nullptr);
    EXPECT_EQ(empty.ReadDWORD("x", KEY_READ), 0xFFFFFFFFu);
    EXPECT_EQ(empty.ReadString("x", KEY_READ), nullptr);
    EXPECT_EQ(empty.KeyExists(KEY_READ), 0);
    EXPECT_EQ(empty.WriteString("x", "y", KEY_ALL_ACCESS), 0);
    EXPECT_EQ(empty.WriteDWORD("x", 1, KEY_ALL_ACCESS), 0);

    CRegistryKey key(HKEY_LOCAL_MACHINE, kKey);
    EXPECT_EQ(key.WriteDWORD(nullptr, 1, KEY_ALL_ACCESS), 0);
    EXPECT_EQ(key.WriteString("x", nullptr, KEY_ALL_ACCESS), 0);
    EXPECT_EQ(key.KeyExists(KEY_READ), 0) << "a failed write must not create the key";

    CRegistryKey noRoot;
    noRoot.SetSubKey(kKey);
    EXPECT_EQ(noRoot.ReadDWORD("x", KEY_READ), 0xFFFFFFFFu);
}

TEST_F(RegistryKeyTest, ReadDwordTakesRawBytesOfUpToFour) {
    ASSERT_TRUE(testsupport::SetDword(kKey, "dw", 0x12345678));
    ASSERT_TRUE(testsupport::SetDword(kKey, "ones", 0xFFFFFFFF));
    ASSERT_TRUE(testsupport::SetString(kKey, "one", "1"));
    ASSERT_TRUE(testsupport::SetBinary(kKey, "five", {1, 2, 3, 4, 5}));
    CRegistryKey key(HKEY_LOCAL_MACHINE, kKey);
    EXPECT_EQ(key.ReadDWORD("dw", KEY_READ), 0x12345678u);
    EXPECT_EQ(key.ReadDWORD("ones", KEY_READ), 0xFFFFFFFFu) << "indistinguishable from a failure";
    EXPECT_EQ(key.ReadDWORD("one", KEY_READ), 0x31u) << "text 1 and its terminator";
    EXPECT_EQ(key.ReadDWORD("five", KEY_READ), 0xFFFFFFFFu);
    EXPECT_EQ(key.ReadDWORD("missing", KEY_READ), 0xFFFFFFFFu);
    EXPECT_EQ(key.KeyExists(KEY_READ), 1);
}

TEST_F(RegistryKeyTest, ReadStringLimitAndOwnership) {
    ASSERT_TRUE(testsupport::SetString(kKey, "short", "abc"));
    ASSERT_TRUE(testsupport::SetString(kKey, "max", std::string(259, 'm')));
    ASSERT_TRUE(testsupport::SetString(kKey, "long", std::string(260, 'l')));
    CRegistryKey key(HKEY_LOCAL_MACHINE, kKey);
    char* text = key.ReadString("short", KEY_READ);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "abc");
    delete[] text;
    text = key.ReadString("max", KEY_READ);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string(259, 'm'));
    delete[] text;
    EXPECT_EQ(key.ReadString("long", KEY_READ), nullptr) << "261 bytes with the terminator";
    EXPECT_EQ(key.ReadString("missing", KEY_READ), nullptr);

    // Binary data without a terminator still comes back terminated.
    ASSERT_TRUE(testsupport::SetBinary(kKey, "raw", std::vector<BYTE>(260, 'r')));
    text = key.ReadString("raw", KEY_READ);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string(260, 'r'));
    delete[] text;
}

TEST_F(RegistryKeyTest, WritesCreateTheKeyAndSkipEqualValues) {
    CRegistryKey key(HKEY_LOCAL_MACHINE, kKey);
    EXPECT_EQ(key.WriteDWORD("dw", 7, KEY_ALL_ACCESS), 1);
    EXPECT_EQ(key.ReadDWORD("dw", KEY_READ), 7u);
    EXPECT_EQ(key.WriteDWORD("dw", 7, KEY_ALL_ACCESS), 1);

    EXPECT_EQ(key.WriteString("s", "ABCD", KEY_ALL_ACCESS), 1);
    EXPECT_EQ(key.WriteString("s", "AB", KEY_ALL_ACCESS), 1);
    EXPECT_EQ(ReadStored("s"), "ABCD") << "a stored value that begins with the new one counts as equal";
    EXPECT_EQ(key.WriteString("s", "XY", KEY_ALL_ACCESS), 1);
    EXPECT_EQ(ReadStored("s"), "XY");
    EXPECT_EQ(key.GetSubKey(), kKey);
}
