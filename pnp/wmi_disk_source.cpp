// The disk facts from the system: WQL results walked with a bound, and the device name converter.
#include "pnp/wmi_disk_source.h"

#include "log/log.h"
#include "nameconv/name_converter.h"

namespace {

class wbem_object : public wmi_object {
public:
    explicit wbem_object(IWbemClassObject* object) : _object(object) {}
    HRESULT get(const wchar_t* name, VARIANT* value) override {
        return _object->Get(name, 0, value, nullptr, nullptr);
    }

private:
    IWbemClassObject* _object;
};

}  // namespace

bool wmi_disk_source::initialize() { return _wmi.initialize(); }

bool walk_wmi_result(IEnumWbemClassObject* result, long timeout_ms, const disk_source::object_visitor& visit) {
    for (;;) {
        com_ptr<IWbemClassObject> object;
        ULONG returned = 0;
        const HRESULT hres = result->Next(timeout_ms, 1, object.put(), &returned);
        if (hres == WBEM_S_TIMEDOUT) {
            log_write_fmt(log_category_general, log_level_error, "walk_wmi_result",
                          "no result object within %ld ms.", timeout_ms);
            return false;
        }
        if (returned == 0 || !object) {
            return true;
        }
        wbem_object row(object.get());
        visit(row);
    }
}

bool wmi_disk_source::for_each_object(const wchar_t* wql, const object_visitor& visit) {
    com_ptr<IEnumWbemClassObject> enumerator;
    if (!_wmi.query(wql, enumerator.put())) {
        return false;
    }
    return walk_wmi_result(enumerator.get(), kWmiObjectTimeoutMs, visit);
}

bool wmi_disk_source::reload_device_names() { return nc_reload(); }

bool wmi_disk_source::device_name(const wchar_t* drive_letter, std::wstring& device_name) {
    return tu_name_conv_drive_to_device(drive_letter, device_name);
}
