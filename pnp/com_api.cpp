// The COM calls WmiClient makes, as the system provides them.
#include "pnp/com_api.h"

namespace {

void WINAPI system_co_uninitialize() { CoUninitialize(); }

}  // namespace

const com_api& com_api::system() {
    static const com_api api = {
        &CoInitializeEx, &CoInitializeSecurity, &CoCreateInstance, &CoSetProxyBlanket, &system_co_uninitialize,
    };
    return api;
}
