#include <gtest/gtest.h>

#include "TestSupport.h"

TEST(Smoke, BuildFolderIsVisibleFromWine) {
    EXPECT_NE(GetFileAttributesW(testsupport::BuildPathW(L"wine-exec").c_str()), INVALID_FILE_ATTRIBUTES);
}
