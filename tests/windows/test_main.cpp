// Wide entry point: narrow argv arrives in the ANSI code page, which cannot
// carry every path or test name.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t** argv)
{
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
