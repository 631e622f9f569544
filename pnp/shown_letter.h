// A drive letter from the plug-in as log lines show it. The plug-in may send a
// string of any length and content: one bad call must not cost kilobytes of
// log, and nothing in it may break the line.
#pragma once

#include <cstddef>

// At most this many characters of a drive letter go into a log line.
constexpr size_t kLetterLogChars = 8;

// A drive letter as the monitor's and the inventory's log lines show it:
// printable ASCII as it is, any other unit (control characters, surrogates,
// non-ASCII) as "?", so that nothing in it can break the line. A letter that is cut or changed is followed
// by its length in characters: "\\?\Volu... (49 chars)". Allocates nothing, so
// it serves the out-of-memory line too.
class shown_letter {
public:
    explicit shown_letter(const wchar_t* letter);
    const wchar_t* c_str() const { return _text; }

private:
    void append(const wchar_t* text, size_t& n);
    // The prefix, "... (", at most 20 digits and " chars)".
    wchar_t _text[kLetterLogChars + 40];
};
