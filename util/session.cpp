// Logon session of a process.
#include "util/session.h"

#include "log/log.h"

bool get_session_id_by_pid(DWORD pid, DWORD& session_id) {
    DWORD id = 0;
    if (!ProcessIdToSessionId(pid, &id)) {
        log_write_fmt(log_category_general, log_level_error, "get_session_id_by_pid",
                      "ProcessIdToSessionId( pid = %u ) failed. gle = %u", pid, GetLastError());
        return false;
    }
    session_id = id;
    return true;
}
