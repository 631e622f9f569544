// Drive letters made safe and short for a log line.
#include "pnp/shown_letter.h"

#include <cwchar>

shown_letter::shown_letter(const wchar_t* letter) {
    const size_t length = wcslen(letter);
    bool changed = length > kLetterLogChars;
    size_t n = 0;
    for (; n < length && n < kLetterLogChars; ++n) {
        const bool printable = letter[n] >= 0x20 && letter[n] < 0x7F;
        _text[n] = printable ? letter[n] : L'?';
        changed = changed || !printable;
    }
    _text[n] = L'\0';
    if (changed) {
        append(length > kLetterLogChars ? L"... (" : L" (", n);
        wchar_t digits[24];
        size_t count = 0;
        for (size_t rest = length; count == 0 || rest != 0; rest /= 10) {
            digits[count++] = static_cast<wchar_t>(L'0' + rest % 10);
        }
        while (count != 0) {
            _text[n++] = digits[--count];
        }
        append(L" chars)", n);
    }
}

void shown_letter::append(const wchar_t* text, size_t& n) {
    while (*text != L'\0') {
        _text[n++] = *text++;
    }
    _text[n] = L'\0';
}
