#include "tests/pnp/fake_disk_source.h"

#include <cwctype>

const wchar_t* const fake_disk_source::logical_query =
    L"SELECT Antecedent, Dependent FROM Win32_LogicalDiskToPartition";
const wchar_t* const fake_disk_source::partitions_query = L"SELECT DeviceID, DiskIndex FROM Win32_DiskPartition";
const wchar_t* const fake_disk_source::drives_query =
    L"SELECT Index, PNPDeviceID, SerialNumber FROM Win32_DiskDrive";

fake_value fake_value::text_of(const std::wstring& t) {
    fake_value v;
    v.vt = VT_BSTR;
    v.text = t;
    return v;
}
fake_value fake_value::i4(int32_t n) {
    fake_value v;
    v.vt = VT_I4;
    v.number = n;
    return v;
}
fake_value fake_value::ui4(uint32_t n) {
    fake_value v;
    v.vt = VT_UI4;
    v.number = static_cast<int32_t>(n);
    return v;
}
fake_value fake_value::null_value() {
    fake_value v;
    v.vt = VT_NULL;
    return v;
}
fake_value fake_value::empty_value() { return fake_value(); }
fake_value fake_value::null_string() {
    fake_value v;
    v.vt = VT_BSTR;
    v.null_bstr = true;
    return v;
}
fake_value fake_value::failing(HRESULT hres) {
    fake_value v;
    v.get_result = hres;
    return v;
}

namespace {

class fake_wmi_object : public wmi_object {
public:
    explicit fake_wmi_object(const fake_object& object) : _object(object) {}
    HRESULT get(const wchar_t* name, VARIANT* value) override {
        const auto it = _object.find(name);
        if (it == _object.end()) {
            return WBEM_E_NOT_FOUND_VALUE;
        }
        const fake_value& v = it->second;
        if (FAILED(v.get_result)) {
            return v.get_result;
        }
        VariantInit(value);
        value->vt = v.vt;
        if (v.vt == VT_BSTR) {
            value->bstrVal = v.null_bstr ? nullptr : SysAllocString(v.text.c_str());
        } else if (v.vt == VT_I4) {
            value->lVal = v.number;
        } else if (v.vt == VT_UI4) {
            value->ulVal = static_cast<ULONG>(v.number);
        }
        return S_OK;
    }

    static constexpr HRESULT WBEM_E_NOT_FOUND_VALUE = static_cast<HRESULT>(0x80041002);

private:
    const fake_object& _object;
};

}  // namespace

bool fake_disk_source::for_each_object(const wchar_t* wql, const object_visitor& visit) {
    ++queries;
    if (failing_queries.count(wql) != 0) {
        return false;
    }
    const auto it = _results.find(wql);
    if (it != _results.end()) {
        for (const auto& object : it->second) {
            fake_wmi_object row(object);
            visit(row);
        }
    }
    return true;
}

bool fake_disk_source::reload_device_names() {
    ++reloads;
    return reload_result;
}

bool fake_disk_source::device_name(const wchar_t* drive_letter, std::wstring& device_name) {
    if (drive_letter == nullptr || drive_letter[0] == L'\0') {
        return false;
    }
    const auto it = device_names.find(static_cast<wchar_t>(std::towupper(drive_letter[0])));
    if (it == device_names.end()) {
        return false;
    }
    device_name = it->second;
    return true;
}

void fake_disk_source::add_logical(const std::wstring& partition, const std::wstring& logical_disk) {
    add_object(logical_query,
               {{L"Antecedent",
                 fake_value::text_of(L"\\\\VM\\ROOT\\CIMV2:Win32_DiskPartition.DeviceId=\"" + partition + L"\"")},
                {L"Dependent",
                 fake_value::text_of(L"\\\\VM\\ROOT\\CIMV2:Win32_LogicalDisk.DeviceId=\"" + logical_disk + L"\"")}});
}

void fake_disk_source::add_partition(const std::wstring& device_id, int32_t disk_index) {
    add_object(partitions_query,
               {{L"DeviceID", fake_value::text_of(device_id)}, {L"DiskIndex", fake_value::i4(disk_index)}});
}

void fake_disk_source::add_drive(int32_t index, const std::wstring& pnp_device_id,
                                 const std::wstring& serial_number) {
    add_object(drives_query, {{L"Index", fake_value::i4(index)},
                              {L"PNPDeviceID", fake_value::text_of(pnp_device_id)},
                              {L"SerialNumber", fake_value::text_of(serial_number)}});
}

void fake_disk_source::add_object(const wchar_t* query, const fake_object& object) {
    _results[query].push_back(object);
}

void fake_disk_source::clear_rows() { _results.clear(); }
