// The entry point of every GoogleTest program of the project, in place of GoogleTest's own:
// the same run, ended through EndThisProcess so that the result reaches CTest under Wine.

#include <gtest/gtest.h>

#include "tests/support/EndThisProcess.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    EndThisProcess(static_cast<UINT>(RUN_ALL_TESTS()));
}
