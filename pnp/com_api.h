// The COM entry points the WMI client goes through. The agent uses the system's
// own functions (com_api::system()); a test can hand the client a table of its
// own to make any one step fail and count how often COM is left again.
#pragma once

#include <windows.h>
#include <objbase.h>

struct com_api {
    HRESULT(WINAPI* co_initialize_ex)(LPVOID reserved, DWORD co_init);
    HRESULT(WINAPI* co_initialize_security)(PSECURITY_DESCRIPTOR sd, LONG auth_svc_count,
                                            SOLE_AUTHENTICATION_SERVICE* auth_svc, void* reserved1,
                                            DWORD authn_level, DWORD imp_level, void* auth_list,
                                            DWORD capabilities, void* reserved3);
    HRESULT(WINAPI* co_create_instance)(REFCLSID clsid, LPUNKNOWN outer, DWORD cls_context, REFIID iid,
                                        LPVOID* object);
    HRESULT(WINAPI* co_set_proxy_blanket)(IUnknown* proxy, DWORD authn_svc, DWORD authz_svc,
                                          OLECHAR* server_principal_name, DWORD authn_level, DWORD imp_level,
                                          RPC_AUTH_IDENTITY_HANDLE auth_info, DWORD capabilities);
    void(WINAPI* co_uninitialize)();

    // CoInitializeEx, CoInitializeSecurity, CoCreateInstance, CoSetProxyBlanket, CoUninitialize.
    static const com_api& system();
};
