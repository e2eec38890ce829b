#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

// The SDK's threads are never joined: when the last test ends, some may still
// be at work on what the tests asked for. The program ends without running
// the exit handlers, as an app's process that is simply ended would, so none
// of them pulls a library's state from under those threads (the server
// double's HTTP library starts OpenSSL with an exit handler when it loads).
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    std::_Exit(result);
}
