#include <string>

#include <gtest/gtest.h>

#include "app/log.hpp"

namespace {

/// Each byte of text as \xNN, the form an escaped byte takes in the log.
std::string hex_escaped(const std::string& text) {
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char byte : text) {
        const auto value = static_cast<unsigned char>(byte);
        escaped += std::string("\\x") + hex_digits[value >> 4] + hex_digits[value & 0x0F];
    }
    return escaped;
}

TEST(ClientTextInLog, PrintableTextStaysAsItIs) {
    // ASCII, then U+00A0, U+00E9, U+2027, U+202A, U+20AC, U+FFFD and U+1F600: printable neighbours
    // of the code points that are escaped, in every length of sequence.
    const std::string printable =
        "tonemap_ldr <policy-file-request/> \\x41 ~!"
        "\xC2\xA0\xC3\xA9\xE2\x80\xA7\xE2\x80\xAA\xE2\x82\xAC\xEF\xBF\xBD\xF0\x9F\x98\x80";
    EXPECT_EQ(escape_client_text(printable), printable);
    EXPECT_EQ(escape_client_text(""), "");
}

TEST(ClientTextInLog, EveryControlByteAndDeleteBecomeHexEscapes) {
    std::string controls;
    for (int byte = 0; byte < 0x20; ++byte) controls += static_cast<char>(byte);
    controls += '\x7F';
    EXPECT_EQ(escape_client_text(controls), hex_escaped(controls));
    EXPECT_EQ(escape_client_text("x\nINFO: Server started on port 4999\r\x1B[2J"),
              "x\\x0AINFO: Server started on port 4999\\x0D\\x1B[2J");
}

TEST(ClientTextInLog, EightBitAndUnicodeControlsAndLineSeparatorsBecomeHexEscapes) {
    // Raw C1 bytes, which an 8-bit terminal takes as controls (0x9B opens a control sequence).
    EXPECT_EQ(escape_client_text("a\x85"
                                 "b\x9B"
                                 "2J"),
              "a\\x85b\\x9B2J");
    // U+0080 and U+009F, the ends of C1, and U+0085 and U+009B inside it, as UTF-8.
    EXPECT_EQ(escape_client_text("\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F"),
              "\\xC2\\x80\\xC2\\x85\\xC2\\x9B\\xC2\\x9F");
    // U+2028 and U+2029, the line and paragraph separators.
    EXPECT_EQ(escape_client_text("x\xE2\x80\xA8y\xE2\x80\xA9z"), "x\\xE2\\x80\\xA8y\\xE2\\x80\\xA9z");
}

TEST(ClientTextInLog, EveryByteOfInvalidUtf8BecomesAHexEscape) {
    const std::string invalid[] = {
        "\xFF",              // never a UTF-8 byte
        "\xC0\xAF",          // overlong "/"
        "\xE0\x80\xAF",      // overlong "/" in three bytes
        "\xF0\x80\x80\xAF",  // overlong "/" in four bytes
        "\xED\xA0\x80",      // a surrogate, U+D800
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "\x80",              // a continuation byte alone
        "\xE2\x80",          // a sequence cut short by the end
    };
    for (const std::string& bytes : invalid)
        EXPECT_EQ(escape_client_text("a" + bytes + "b"), "a" + hex_escaped(bytes) + "b")
            << hex_escaped(bytes);
    // A broken sequence does not swallow the valid one that follows it.
    EXPECT_EQ(escape_client_text("\xE2\x80"
                                 "\xC3\xA9"),
              "\\xE2\\x80\xC3\xA9");
}

}  // namespace
