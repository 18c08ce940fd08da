#include <string>

#include <gtest/gtest.h>

#include "app/log.hpp"

namespace {

TEST(ClientTextInLog, PrintableTextStaysAsItIs) {
    const std::string printable = "tonemap_ldr <policy-file-request/> \\x41 ~!\x80\xFF";
    EXPECT_EQ(escape_client_text(printable), printable);
    EXPECT_EQ(escape_client_text(""), "");
}

TEST(ClientTextInLog, EveryControlByteAndDeleteBecomeHexEscapes) {
    std::string controls;
    for (int byte = 0; byte < 0x20; ++byte) controls += static_cast<char>(byte);
    controls += '\x7F';
    std::string expected;
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    for (const char byte : controls) {
        const auto value = static_cast<unsigned char>(byte);
        expected += std::string("\\x") + hex_digits[value >> 4] + hex_digits[value & 0x0F];
    }
    EXPECT_EQ(escape_client_text(controls), expected);
    EXPECT_EQ(escape_client_text("x\nINFO: Server started on port 4999\r\x1B[2J"),
              "x\\x0AINFO: Server started on port 4999\\x0D\\x1B[2J");
}

}  // namespace
