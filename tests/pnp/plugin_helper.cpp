// TalvernPHelper.dll, a library the helper-importing test plug-in links against: it gives the event byte that
// plug-in reports from Start. Built twice under the one name: the copy beside the plug-in, and an impostor (its byte
// set by TEST_HELPER_EVENT) that the test puts in the current directory and on PATH.
#include <cstdint>

#ifndef TEST_HELPER_EVENT
#define TEST_HELPER_EVENT 7
#endif

extern "C" __declspec(dllexport) uint8_t HelperEvent() { return TEST_HELPER_EVENT; }
