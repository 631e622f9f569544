// The agent's connection to WMI: enters the multithreaded COM apartment, connects
// to ROOT\CIMV2 on the local machine and runs WQL queries for the disk inventory.
#pragma once

#include "pnp/com_api.h"
#include "base/com_holders.h"

#include <wbemidl.h>

class WmiClient {
public:
    WmiClient();
    // A client whose COM calls go through api (which must outlive the client).
    explicit WmiClient(const com_api& api);
    ~WmiClient();
    WmiClient(const WmiClient&) = delete;
    WmiClient& operator=(const WmiClient&) = delete;

    // Enters COM on the calling thread, sets the process's COM security and
    // connects to ROOT\CIMV2. On failure the thread's COM state is as it was.
    bool initialize();

    // Runs a WQL query; on success *result holds one reference to the result
    // enumerator, which the caller releases.
    bool query(const wchar_t* text, IEnumWbemClassObject** result);

    bool initialized() const { return _initialized; }

private:
    bool _initialized = false;
    com_ptr<IWbemLocator> _locator;
    com_ptr<IWbemServices> _svc;
    const com_api& _api;
};
