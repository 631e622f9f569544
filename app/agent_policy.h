// Policy values an administrator sets for every agent of a machine, under
// HKLM\SOFTWARE\Policies\Talvern\Agent (Group Policy templates in
// packaging/admx/), read once at start. With no value set the agent behaves
// exactly as built; a value of the wrong type or out of range is ignored with
// one warning line that names it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The policy key under HKEY_LOCAL_MACHINE.
extern const wchar_t kAgentPolicyKey[];

// What the policy asks of this start.
struct agent_policy {
    uint32_t log_level;        // LogLevel: the log level (log_level_*)
    bool log_file = false;     // LogFile: the file sink in %LOCALAPPDATA%\Talvern\Logs
    bool event_log = true;     // EventLog: error and warning lines to the Application log
    std::string update_base_url;  // UpdateUrl: empty for the built-in one
    agent_policy();
};

// One value the agent reads: its name and registry type; for a REG_DWORD the
// range it accepts (both ends included) and where an accepted value goes.
struct policy_value_spec {
    const wchar_t* name;
    DWORD type;
    DWORD min;
    DWORD max;
    void (*store)(agent_policy& policy, DWORD value);  // REG_DWORD values only
};

// Every value the agent reads, in the order it reads them; count gets their number.
const policy_value_spec* agent_policy_values(size_t& count);

// Reads the values under root\key (HKLM and kAgentPolicyKey for the agent),
// logging one warning for each value it ignores.
agent_policy read_agent_policy(HKEY root = HKEY_LOCAL_MACHINE, const wchar_t* key = kAgentPolicyKey);

// Applies policy to the running log (level, Event Log sink, the file
// %LOCALAPPDATA%\Talvern\Logs\TalvernTray.log) and to the update request's
// base URL.
void apply_agent_policy(const agent_policy& policy, std::string& update_base_url);
