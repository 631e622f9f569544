// The service simulator against the agent object of this process: it attaches
// to this process, creates the channel, and prints each delivered record as one
// JSON line, in order; bad arguments give the usage text and exit code 2.
#include "app/service_channel_seam.h"
#include "app/talvern_tray.h"
#include "tests/app/debugged_process.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using ::testing::HasSubstr;

namespace {

std::wstring simulator(const std::wstring& options) {
    return L"\"" + bin_dir() + L"\\service_simulator.exe\" " + options;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

pnp_info* record(uint64_t time, uint8_t event, const wchar_t* drive, const wchar_t* id, const wchar_t* serial,
                 const wchar_t* device) {
    pnp_info* info = new pnp_info();
    info->time = time;
    info->event_type = event;
    info->drive_letter = drive;
    info->pnp_device_id = id;
    info->serial_number = serial;
    info->device_name = device;
    return info;
}

TEST(ServiceSimulator, PrintsEachRecordAsOneJsonLineInOrder) {
    set_service_connect_retry_for_test(50, 400);
    DebuggedProcess sim(
        simulator(L"--attach " + std::to_wstring(GetCurrentProcessId()) + L" --exit-after-records 3 --timeout-ms 60000"));
    {
        TalvernTray tray;
        ASSERT_TRUE(tray.start()) << sim.stderr_text();
        // 2025-12-06 17:14:34.123 UTC, and then the FILETIME epoch itself.
        const uint64_t when = 134095148741230000ull;
        ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, record(when, 1, L"E:", L"USBSTOR\\DISK&VEN_X", L"AB12",
                                                            L"\\Device\\HarddiskVolume3")));
        ASSERT_TRUE(TalvernTray::on_pnp_event(&tray, record(0, 0, L"F:", L"", L"", L"")));
        ASSERT_TRUE(TalvernTray::on_pnp_event(
            &tray, record(when + 10000, 255, L"G:", L"q\"uote\ttab", L"\u00e9\u20ac\xD83D\xDDB4", L"x")));
        DWORD code = 1;
        ASSERT_TRUE(sim.wait(60000, code));
        EXPECT_EQ(0u, code) << sim.stderr_text();
        tray.stop();
    }
    reset_service_connect_retry_for_test();

    const std::vector<std::string> lines = lines_of(sim.stdout_text());
    ASSERT_EQ(3u, lines.size()) << sim.stdout_text();
    EXPECT_EQ("{\"seq\":1,\"time\":134095148741230000,\"time_text\":\"2025-12-06T17:14:34.123Z\",\"event\":1,"
              "\"drive_letter\":\"E:\",\"pnp_device_id\":\"USBSTOR\\\\DISK&VEN_X\",\"serial_number\":\"AB12\","
              "\"device_name\":\"\\\\Device\\\\HarddiskVolume3\",\"length\":119}",
              lines[0]);
    EXPECT_EQ("{\"seq\":2,\"time\":0,\"time_text\":\"1601-01-01T00:00:00.000Z\",\"event\":0,\"drive_letter\":\"F:\","
              "\"pnp_device_id\":\"\",\"serial_number\":\"\",\"device_name\":\"\",\"length\":29}",
              lines[1]);
    EXPECT_THAT(lines[2], HasSubstr("\"seq\":3,"));
    EXPECT_THAT(lines[2], HasSubstr("\"event\":255,"));
    EXPECT_THAT(lines[2], HasSubstr("\"pnp_device_id\":\"q\\\"uote\\ttab\""));
    EXPECT_THAT(lines[2], HasSubstr("\"serial_number\":\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x96\xB4\""));
}

TEST(ServiceSimulator, BadArgumentsPrintTheUsage) {
    for (const wchar_t* args : {L"", L"--start", L"--attach 12 --no-such-option", L"--attach x",
                                L"--attach 12 --objects request,nothing", L"--attach 1 --start a.exe",
                                L"--attach 12 --section-size 4095"}) {
        DebuggedProcess sim(simulator(args));
        DWORD code = 0;
        ASSERT_TRUE(sim.wait(30000, code));
        EXPECT_EQ(2u, code) << "arguments: " << std::string(args, args + wcslen(args));
        EXPECT_THAT(sim.stderr_text(), HasSubstr("usage: service_simulator"));
    }
    DebuggedProcess help(simulator(L"--help"));
    DWORD code = 1;
    ASSERT_TRUE(help.wait(30000, code));
    EXPECT_EQ(0u, code);
    EXPECT_THAT(help.stdout_text(), HasSubstr("--close-after-records"));
}

}  // namespace
