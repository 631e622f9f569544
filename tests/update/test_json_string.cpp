// json_escape_string: text that can sit between the quotes of a JSON string.
#include <gtest/gtest.h>

#include "update/json_string.h"

TEST(JsonEscapeString, GuidAndPlainTextAreUnchanged) {
    EXPECT_EQ("{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}", json_escape_string("{8C1D6A52-3F7E-4B90-A1C4-2E5D9F0B7A36}"));
    EXPECT_EQ("", json_escape_string(""));
    EXPECT_EQ("caf\xe9 /x'", json_escape_string("caf\xe9 /x'"));  // ANSI bytes stay as they are
}

TEST(JsonEscapeString, QuoteBackslashAndControlCharactersAreEscaped) {
    EXPECT_EQ("a\\\"b\\\\c", json_escape_string("a\"b\\c"));
    EXPECT_EQ("\\n\\r\\t\\b\\f", json_escape_string("\n\r\t\b\f"));
    EXPECT_EQ("x\\u0001\\u001fy", json_escape_string("x\x01\x1fy"));
    EXPECT_EQ("\\u0000", json_escape_string(std::string(1, '\0')));
}
