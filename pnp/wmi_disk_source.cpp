#include "pnp/wmi_disk_source.h"

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

bool wmi_disk_source::for_each_object(const wchar_t* wql, const object_visitor& visit) {
    com_ptr<IEnumWbemClassObject> enumerator;
    if (!_wmi.query(wql, enumerator.put())) {
        return false;
    }
    for (;;) {
        com_ptr<IWbemClassObject> object;
        ULONG returned = 0;
        // An error that comes without an object ends the walk like the end of
        // the result.
        enumerator->Next(WBEM_INFINITE, 1, object.put(), &returned);
        if (returned == 0 || !object) {
            break;
        }
        wbem_object row(object.get());
        visit(row);
    }
    return true;
}

bool wmi_disk_source::reload_device_names() { return nc_reload(); }

bool wmi_disk_source::device_name(const wchar_t* drive_letter, std::wstring& device_name) {
    return tu_name_conv_drive_to_device(drive_letter, device_name);
}
