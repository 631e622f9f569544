// The table of the policy values the agent reads (the templates describe
// exactly these).
#include "app/agent_policy.h"

const wchar_t kAgentPolicyKey[] = L"SOFTWARE\\Policies\\Talvern\\Agent";

namespace {
const policy_value_spec kValues[] = {
    {L"LogLevel", REG_DWORD, 0, 3, [](agent_policy& policy, DWORD value) { policy.log_level = value; }},
    {L"LogFile", REG_DWORD, 0, 1, [](agent_policy& policy, DWORD value) { policy.log_file = value != 0; }},
    {L"EventLog", REG_DWORD, 0, 1, [](agent_policy& policy, DWORD value) { policy.event_log = value != 0; }},
    {L"UpdateUrl", REG_SZ, 0, 0, nullptr},
};
}  // namespace

const policy_value_spec* agent_policy_values(size_t& count) {
    count = sizeof(kValues) / sizeof(kValues[0]);
    return kValues;
}
