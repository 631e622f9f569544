// Test entry for the update tests: libcurl is initialised around the whole run,
// as the agent's entry routine does.
#include <curl/curl.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    curl_global_init(CURL_GLOBAL_ALL);
    const int result = RUN_ALL_TESTS();
    curl_global_cleanup();
    return result;
}
