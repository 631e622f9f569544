// Makes a drive letter come and go in the running Wine session, the way Wine's
// own drive configuration does (see tools/wine_drive/wine_mount.h): the mount
// manager links the letter in the prefix's dosdevices/ to a Unix folder and
// publishes it to every process.
#pragma once

#include <string>

class wine_drive_link {
public:
    // A letter that is free now (searched from P: to Y:), or 0.
    static wchar_t free_letter();
    // Empty when drives can be made here; otherwise why not.
    static std::string unavailable_reason();

    explicit wine_drive_link(wchar_t letter) : _letter(letter) {}
    ~wine_drive_link() { remove(); }
    wine_drive_link(const wine_drive_link&) = delete;
    wine_drive_link& operator=(const wine_drive_link&) = delete;

    // Maps the letter to /tmp and waits (at most 20 s) until it is listed.
    bool create();
    // Removes the mapping and waits until the letter has no root any more.
    bool remove();

    std::wstring drive() const { return std::wstring(1, _letter) + L":"; }

private:
    wchar_t _letter;
    bool _created = false;
};
