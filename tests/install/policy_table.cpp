// policy_table: prints the policy values the agent reads, from the agent's own
// table (agent_policy_values()), as JSON lines for the check of the Group Policy
// templates (policy_templates_test.py):
//
//   {"key":"SOFTWARE\\Policies\\Talvern\\Agent"}
//   {"name":"LogLevel","type":4,"min":0,"max":3}      (type: the REG_* number)
//   ...
#include "app/agent_policy.h"
#include "base/json_string.h"
#include "base/text.h"

#include <cstdio>

int wmain() {
    std::printf("{\"key\":\"%s\"}\n", json_escape_string(wide_to_utf8(kAgentPolicyKey)).c_str());
    size_t count = 0;
    const policy_value_spec* values = agent_policy_values(count);
    for (size_t i = 0; i < count; ++i) {
        std::printf("{\"name\":\"%s\",\"type\":%lu,\"min\":%lu,\"max\":%lu}\n",
                    json_escape_string(wide_to_utf8(values[i].name)).c_str(),
                    static_cast<unsigned long>(values[i].type), static_cast<unsigned long>(values[i].min),
                    static_cast<unsigned long>(values[i].max));
    }
    return 0;
}
