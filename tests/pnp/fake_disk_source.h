// A disk_source whose WMI objects, converter reload and device names are set by
// the test, so the disk inventory's conversions and joins can be checked with
// any rows, including ones Wine's WMI never gives.
#pragma once

#include "pnp/disk_source.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// One property of a fake object: a value, or a failing Get.
struct fake_value {
    VARTYPE vt = VT_EMPTY;
    std::wstring text;       // VT_BSTR
    int32_t number = 0;      // VT_I4 / VT_UI4
    bool null_bstr = false;  // VT_BSTR holding a null BSTR
    HRESULT get_result = S_OK;

    static fake_value text_of(const std::wstring& t);
    static fake_value i4(int32_t n);
    static fake_value ui4(uint32_t n);
    static fake_value null_value();
    static fake_value empty_value();
    static fake_value null_string();
    static fake_value failing(HRESULT hres);
};

using fake_object = std::map<std::wstring, fake_value>;

class fake_disk_source : public disk_source {
public:
    static const wchar_t* const logical_query;
    static const wchar_t* const partitions_query;
    static const wchar_t* const drives_query;

    bool initialize() override { return init_result; }
    bool for_each_object(const wchar_t* wql, const object_visitor& visit) override;
    bool reload_device_names() override;
    bool device_name(const wchar_t* drive_letter, std::wstring& device_name) override;

    // Rows as WMI would give them (object paths for the logical disk table).
    void add_logical(const std::wstring& partition, const std::wstring& logical_disk);
    void add_partition(const std::wstring& device_id, int32_t disk_index);
    void add_drive(int32_t index, const std::wstring& pnp_device_id, const std::wstring& serial_number);
    void add_object(const wchar_t* query, const fake_object& object);
    void clear_rows();

    bool init_result = true;
    bool reload_result = true;
    std::set<std::wstring> failing_queries;
    std::map<wchar_t, std::wstring> device_names;  // upper-case letter -> NT device name
    std::atomic<int> reloads{0};
    std::atomic<int> queries{0};

private:
    std::map<std::wstring, std::vector<fake_object>> _results;
};
