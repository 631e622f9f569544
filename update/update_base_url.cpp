#include "update/update_base_url.h"

#ifndef TALVERN_UPDATE_BASE_URL
#error "TALVERN_UPDATE_BASE_URL must be defined by the build"
#endif

namespace {
std::string& test_base_url() {
    static std::string url;
    return url;
}
}  // namespace

std::string talvern_update_base_url() {
    return test_base_url().empty() ? std::string(TALVERN_UPDATE_BASE_URL) : test_base_url();
}

void set_update_base_url_for_test(const std::string& base_url) { test_base_url() = base_url; }
