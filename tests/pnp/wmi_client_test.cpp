// WmiClient: the set-up steps, their exact failure lines, the one CoUninitialize
// per failed step after the first, RPC_E_TOO_LATE, queries against Wine's WMI and
// the apartment rules.
#include "pnp/wmi_client.h"

#include "log/log.h"
#include "tests/pnp/pnp_test_support.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

// Which step of initialize the fake COM table makes fail, and with what.
enum class fail_step { none, initialize_ex, security, create_instance, connect_server, proxy_blanket };

struct fake_com_state {
    fail_step step = fail_step::none;
    HRESULT result = S_OK;
    int initialize_calls = 0;
    int uninitialize_calls = 0;
    int security_calls = 0;
    LONG locator_refs = 0;  // references held on the fake locator
};

fake_com_state g_com;

// A locator whose ConnectServer fails; counts its references.
class failing_locator : public IWbemLocator {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_IWbemLocator) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++g_com.locator_refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--g_com.locator_refs); }
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR, const BSTR, const BSTR, const BSTR, LONG, const BSTR,
                                            IWbemContext*, IWbemServices** services) override {
        *services = nullptr;
        return g_com.result;
    }
};

failing_locator g_failing_locator;

HRESULT WINAPI fake_initialize_ex(LPVOID reserved, DWORD mode) {
    ++g_com.initialize_calls;
    if (g_com.step == fail_step::initialize_ex) {
        return g_com.result;
    }
    return CoInitializeEx(reserved, mode);
}

HRESULT WINAPI fake_initialize_security(PSECURITY_DESCRIPTOR sd, LONG count, SOLE_AUTHENTICATION_SERVICE* services,
                                        void* reserved1, DWORD authn_level, DWORD imp_level, void* auth_list,
                                        DWORD capabilities, void* reserved3) {
    ++g_com.security_calls;
    if (g_com.step == fail_step::security) {
        return g_com.result;
    }
    return CoInitializeSecurity(sd, count, services, reserved1, authn_level, imp_level, auth_list, capabilities,
                                reserved3);
}

HRESULT WINAPI fake_create_instance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object) {
    if (g_com.step == fail_step::create_instance) {
        *object = nullptr;
        return g_com.result;
    }
    if (g_com.step == fail_step::connect_server) {
        g_failing_locator.AddRef();
        *object = static_cast<IWbemLocator*>(&g_failing_locator);
        return S_OK;
    }
    return CoCreateInstance(clsid, outer, context, iid, object);
}

HRESULT WINAPI fake_proxy_blanket(IUnknown* proxy, DWORD authn, DWORD authz, OLECHAR* principal, DWORD authn_level,
                                  DWORD imp_level, RPC_AUTH_IDENTITY_HANDLE identity, DWORD capabilities) {
    if (g_com.step == fail_step::proxy_blanket) {
        return g_com.result;
    }
    return CoSetProxyBlanket(proxy, authn, authz, principal, authn_level, imp_level, identity, capabilities);
}

void WINAPI fake_uninitialize() {
    ++g_com.uninitialize_calls;
    CoUninitialize();
}

const com_api fake_api = {&fake_initialize_ex, &fake_initialize_security, &fake_create_instance,
                          &fake_proxy_blanket, &fake_uninitialize};

std::string hres_text(HRESULT hres) { return std::to_string(static_cast<unsigned>(hres)); }

// Every case runs on a thread of its own, so the test's main thread keeps its
// own COM state; the thread leaves COM exactly as often as it entered it.
template <class F>
void on_fresh_thread(F body) {
    std::thread worker(body);
    worker.join();
}

class WmiClientSteps : public testing::Test {
protected:
    void SetUp() override { g_com = fake_com_state(); }
};

TEST_F(WmiClientSteps, EachFailingStepLogsItsLineAndLeavesComOnce) {
    struct failure_case {
        fail_step step;
        HRESULT result;
        const char* line;
        int uninitialize_calls;  // the one failing CoInitializeEx entered nothing
    };
    const HRESULT denied = E_ACCESSDENIED;
    const failure_case cases[] = {
        {fail_step::initialize_ex, E_OUTOFMEMORY, "CoInitializeEx() failed. hres=", 0},
        {fail_step::security, denied, "CoInitializeSeciruty() failed. hres=", 1},
        {fail_step::create_instance, REGDB_E_CLASSNOTREG, "CoCreateInstance() failed. hres=", 1},
        {fail_step::connect_server, static_cast<HRESULT>(0x8004100E), "_locator->ConnectServer() failed. hres=", 1},
        {fail_step::proxy_blanket, denied, "CoSetProxyBlanket() failed. hres=", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        g_com = fake_com_state();
        g_com.step = c.step;
        g_com.result = c.result;
        LogCapture log(log_level_debug);
        on_fresh_thread([&] {
            {
                WmiClient client(fake_api);
                EXPECT_FALSE(client.initialize());
                EXPECT_FALSE(client.initialized());
                EXPECT_EQ(c.uninitialize_calls, g_com.uninitialize_calls);
            }
            // The destructor of a client that never connected leaves COM alone.
            EXPECT_EQ(c.uninitialize_calls, g_com.uninitialize_calls);
            // The thread's COM state is as before: a new MTA entry works.
            EXPECT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
            CoUninitialize();
        });
        sync_log(log);
        EXPECT_EQ(1u, log.count(std::string("[EROR] ") + c.line + hres_text(c.result)));
        EXPECT_EQ(0, g_com.locator_refs);  // a failed ConnectServer released the locator
    }
}

TEST_F(WmiClientSteps, ConnectedLineComesBeforeAFailingProxyBlanket) {
    g_com.step = fail_step::proxy_blanket;
    g_com.result = E_ACCESSDENIED;
    LogCapture log(log_level_debug);
    on_fresh_thread([] {
        WmiClient client(fake_api);
        EXPECT_FALSE(client.initialize());
    });
    sync_log(log);
    const auto messages = log.messages();
    const auto connected = std::find(messages.begin(), messages.end(),
                                     "[DEBG] Connected to ROOT\\CIMV2 WMI name space.");
    const auto failed = std::find(messages.begin(), messages.end(),
                                  "[EROR] CoSetProxyBlanket() failed. hres=" + hres_text(E_ACCESSDENIED));
    ASSERT_NE(messages.end(), connected);
    ASSERT_NE(messages.end(), failed);
    EXPECT_LT(connected - messages.begin(), failed - messages.begin());
}

TEST_F(WmiClientSteps, SecurityAlreadySetIsNoFailure) {
    g_com.step = fail_step::security;
    g_com.result = RPC_E_TOO_LATE;
    LogCapture log(log_level_debug);
    on_fresh_thread([] {
        {
            WmiClient client(fake_api);
            EXPECT_TRUE(client.initialize());
            EXPECT_TRUE(client.initialized());
            EXPECT_EQ(0, g_com.uninitialize_calls);
        }
        EXPECT_EQ(1, g_com.uninitialize_calls);  // the destructor leaves COM once
    });
    sync_log(log);
    EXPECT_EQ(1, g_com.security_calls);
    EXPECT_EQ(0u, log.count("[EROR] CoInitializeSeciruty() failed. hres=" + hres_text(RPC_E_TOO_LATE)));
}

TEST_F(WmiClientSteps, SecondInitializeDoesNotEnterComAgain) {
    on_fresh_thread([] {
        {
            WmiClient client(fake_api);
            ASSERT_TRUE(client.initialize());
            EXPECT_TRUE(client.initialize());
            EXPECT_EQ(1, g_com.initialize_calls);
        }
        EXPECT_EQ(1, g_com.uninitialize_calls);
    });
}

TEST(WmiClient, QueryOnUninitialisedClientFailsSilently) {
    g_com = fake_com_state();
    LogCapture log(log_level_debug);
    {
        WmiClient client(fake_api);
        IEnumWbemClassObject* result = nullptr;
        EXPECT_FALSE(client.query(L"SELECT DeviceID FROM Win32_DiskPartition", &result));
        EXPECT_EQ(nullptr, result);
    }
    sync_log(log);
    EXPECT_EQ(0, g_com.initialize_calls);
    EXPECT_EQ(0, g_com.uninitialize_calls);
    EXPECT_EQ(1u, log.messages().size());  // only the sync marker
}

TEST(WmiClient, InitializeInSingleThreadedApartmentFails) {
    LogCapture log(log_level_debug);
    on_fresh_thread([] {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        {
            WmiClient client;
            EXPECT_FALSE(client.initialize());
        }
        CoUninitialize();
    });
    sync_log(log);
    EXPECT_EQ(1u, log.count("[EROR] CoInitializeEx() failed. hres=" + hres_text(RPC_E_CHANGED_MODE)));
}

TEST(WmiClient, QueriesWineWmiAndWalksTheResult) {
    LogCapture log(log_level_debug);
    on_fresh_thread([] {
        // Already in the multithreaded apartment: still fine.
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        {
            WmiClient client;
            ASSERT_TRUE(client.initialize());
            com_ptr<IEnumWbemClassObject> result;
            ASSERT_TRUE(client.query(L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition", result.put()));
            int objects = 0;
            bool found_disk0 = false;
            for (;;) {
                com_ptr<IWbemClassObject> object;
                ULONG returned = 0;
                result->Next(WBEM_INFINITE, 1, object.put(), &returned);
                if (returned == 0) {
                    break;
                }
                ++objects;
                variant_holder id;
                ASSERT_EQ(S_OK, object->Get(L"DeviceID", 0, id.put(), nullptr, nullptr));
                ASSERT_EQ(VT_BSTR, id.get().vt);
                found_disk0 = found_disk0 || std::wstring(id.get().bstrVal) == L"Disk #0, Partition #0";
            }
            EXPECT_GE(objects, 1);
            EXPECT_TRUE(found_disk0);

            // A query WMI rejects.
            com_ptr<IEnumWbemClassObject> rejected;
            EXPECT_FALSE(client.query(L"SELEKT nothing", rejected.put()));
            EXPECT_FALSE(rejected);
        }
        CoUninitialize();
    });
    sync_log(log);
    EXPECT_EQ(1u, log.count("[DEBG] Connected to ROOT\\CIMV2 WMI name space."));
    size_t exec_failed = 0;
    for (const auto& m : log.messages()) {
        exec_failed += m.rfind("[EROR] _svc->ExecQuery() failed. hres=", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(1u, exec_failed);
}

}  // namespace
