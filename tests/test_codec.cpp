#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "resident_memory.hpp"
#include "server/flash_types.hpp"
#include "socket_pair.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

/// Bytes that a view writes straight from memory.
constexpr unsigned char viewed_bytes[] = {0x01, 0x02};

/// Reads one value of type T from the socket, as a handler would.
template <typename T>
void read_one(tcp::socket& socket) {
    T value;
    socket >> value;
}

class CodecTest : public ::testing::Test, public SocketPair {
protected:
    // Puts raw bytes on the wire for far to read.
    void send(const Bytes& bytes) { boost::asio::write(near, boost::asio::buffer(bytes)); }

    // True once far's reader has taken every byte sent so far, within timeout.
    bool all_bytes_taken_within(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int unread = -1;
            if (ioctl(far.native_handle(), FIONREAD, &unread) == 0 && unread == 0 && !near_has_unsent())
                return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // True while bytes that near sent have not reached far's side.
    bool near_has_unsent() {
        int queued = 0;
        return ioctl(near.native_handle(), TIOCOUTQ, &queued) != 0 || queued != 0;
    }
};

TEST_F(CodecTest, WritersPutExactlyTheseBytesOnTheWire) {
    const std::vector<std::pair<std::function<void(tcp::socket&)>, Bytes>> cases = {
        {[](tcp::socket& s) { s << 1; }, {0x04, 0x01, 0x00, 0x00, 0x00}},
        {[](tcp::socket& s) { s << -2; }, {0x04, 0xFE, 0xFF, 0xFF, 0xFF}},
        {[](tcp::socket& s) { s << 1.0; }, {0x05, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {[](tcp::socket& s) { s << 0.1f; }, {0x05, 0, 0, 0, 0xA0, 0x99, 0x99, 0xB9, 0x3F}},
        {[](tcp::socket& s) { s << 1.0L; }, {0x05, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
        {[](tcp::socket& s) { s << true << false; }, {0x03, 0x02}},
        {[](tcp::socket& s) { s << std::string("abc"); }, {0x06, 0x03, 0, 0, 0, 0x61, 0x62, 0x63}},
        {[](tcp::socket& s) { s << std::string(); }, {0x06, 0, 0, 0, 0}},
        {[](tcp::socket& s) { s << "abc"; }, {0x06, 0x03, 0, 0, 0, 0x61, 0x62, 0x63}},
        {[](tcp::socket& s) {
             s << Bytes{1, 2};
         },
         {0x0C, 0x02, 0, 0, 0, 0x01, 0x02}},
        {[](tcp::socket& s) { s << Bytes(); }, {0x0C, 0, 0, 0, 0}},
        {[](tcp::socket& s) {
             s << ByteArrayView{viewed_bytes, 2};
         },
         {0x0C, 0x02, 0, 0, 0, 0x01, 0x02}},
        {[](tcp::socket& s) {
             s << ByteArrayView{nullptr, 0};
         },
         {0x0C, 0, 0, 0, 0}},
        {[](tcp::socket& s) { s << short{-1}; }, {0x04, 0xFF, 0xFF, 0xFF, 0xFF}},
        {[](tcp::socket& s) { s << static_cast<unsigned short>(65535); }, {0x04, 0xFF, 0xFF, 0, 0}},
        {[](tcp::socket& s) { s << 4294967295u; }, {0x04, 0xFF, 0xFF, 0xFF, 0xFF}},
        {[](tcp::socket& s) { s << -2L << 7UL; }, {0x04, 0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x07, 0, 0, 0}},
    };
    Bytes expected;
    for (const auto& [write, bytes] : cases) {
        write(near);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(sent(), expected);
}

TEST_F(CodecTest, ByteArrayInPiecesIsTheByteArrayWrittenWhole) {
    const Bytes whole = {1, 2, 3, 4, 5};
    {
        ByteArrayPieces pieces(near, whole.size());
        pieces.write(whole.data(), 2);
        pieces.write(whole.data() + 2, 0);
        pieces.write(whole.data() + 2, 3);
        EXPECT_EQ(pieces.left(), 0u);
    }
    ByteArrayPieces empty(near, 0);
    near << whole;
    Bytes expected = {0x0C, 5, 0, 0, 0, 1, 2, 3, 4, 5, 0x0C, 0, 0, 0, 0};
    expected.insert(expected.end(), {0x0C, 5, 0, 0, 0, 1, 2, 3, 4, 5});
    EXPECT_EQ(sent(), expected);
}

TEST_F(CodecTest, PieceBeyondTheByteArraysCountIsRefusedUnwritten) {
    const Bytes bytes = {1, 2, 3};
    ByteArrayPieces pieces(near, 2);
    pieces.write(bytes.data(), 1);
    EXPECT_THROW(pieces.write(bytes.data() + 1, 2), std::length_error);
    EXPECT_EQ(pieces.left(), 1u);
    EXPECT_EQ(sent(), (Bytes{0x0C, 2, 0, 0, 0, 1}));
}

TEST_F(CodecTest, TextWithZeroByteTravelsWholeAsStringButIsCutAsCharPointer) {
    const std::string text("a\0b", 3);
    near << text << text.c_str();
    EXPECT_EQ(sent(), (Bytes{0x06, 3, 0, 0, 0, 'a', 0, 'b', 0x06, 1, 0, 0, 0, 'a'}));
}

TEST_F(CodecTest, NullTextIsRefusedBeforeAnythingIsWritten) {
    const char* null_text = nullptr;
    EXPECT_THROW(near << null_text, std::logic_error);
    EXPECT_TRUE(sent().empty());
}

TEST_F(CodecTest, NumbersConvertToTheDestinationType) {
    send({0x05, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x07, 0x40,    // 2.9
          0x05, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x07, 0xC0,    // -2.9
          0x05, 0,    0,    0,    0,    0,    0,    0xE0, 0x41,    // 2147483648.0
          0x05, 0,    0,    0xE0, 0xFF, 0xFF, 0xFF, 0xEF, 0x41,    // 4294967295.0
          0x04, 0x70, 0x11, 0x01, 0x00,                            // 70000
          0x04, 0x70, 0x11, 0x01, 0x00,                            // 70000
          0x04, 0xFF, 0xFF, 0xFF, 0xFF,                            // -1
          0x04, 0xFF, 0xFF, 0xFF, 0xFF,                            // -1
          0x04, 0xFF, 0xFF, 0xFF, 0x7F,                            // 2147483647
          0x04, 0xFE, 0xFF, 0xFF, 0xFF,                            // -2
          0x04, 0x07, 0,    0,    0,                               // 7
          0x05, 0,    0,    0,    0,    0,    0,    0xF8, 0x7F});  // NaN
    int i_pos = 0, i_neg = 0, from_nan = -1;
    unsigned int u_half = 0, u_max = 0, u_minus_one = 0;
    short s_wrapped = 0;
    unsigned short us_wrapped = 0, us_minus_one = 0;
    float f_rounded = 0;
    double d_from_integer = 0;
    long double ld_from_integer = 0;
    far >> i_pos >> i_neg >> u_half >> u_max >> s_wrapped >> us_wrapped >> us_minus_one >> u_minus_one >>
        f_rounded >> d_from_integer >> ld_from_integer >> from_nan;
    EXPECT_EQ(i_pos, 2);
    EXPECT_EQ(i_neg, -2);
    EXPECT_EQ(u_half, 2147483648u);
    EXPECT_EQ(u_max, 4294967295u);
    EXPECT_EQ(s_wrapped, 4464);
    EXPECT_EQ(us_wrapped, 4464);
    EXPECT_EQ(us_minus_one, 65535);
    EXPECT_EQ(u_minus_one, 4294967295u);
    EXPECT_EQ(f_rounded, 2147483648.0f);
    EXPECT_EQ(d_from_integer, -2.0);
    EXPECT_EQ(ld_from_integer, 7.0L);
    EXPECT_EQ(from_nan, 0);
}

TEST_F(CodecTest, UnsignedIntegerWrittenReadsBackSignedOrUnsigned) {
    near << 4294967295u << 4294967295u;
    near.shutdown(tcp::socket::shutdown_send);
    int as_signed = 0;
    unsigned int as_unsigned = 0;
    far >> as_signed >> as_unsigned;
    EXPECT_EQ(as_signed, -1);
    EXPECT_EQ(as_unsigned, 4294967295u);
}

TEST_F(CodecTest, ValuesRoundTrip) {
    const Bytes big(3 * 1024 * 1024 + 7, 0x5A);  // crosses the reader's chunks
    std::thread writer([&] {
        near << true << -123456 << 3.25 << std::string("text") << big;
        near.shutdown(tcp::socket::shutdown_send);
    });
    bool flag = false;
    int integer = 0;
    double number = 0;
    std::string text;
    Bytes array;
    far >> flag >> integer >> number >> text >> array;
    writer.join();
    EXPECT_TRUE(flag);
    EXPECT_EQ(integer, -123456);
    EXPECT_EQ(number, 3.25);
    EXPECT_EQ(text, "text");
    EXPECT_EQ(array, big);
}

TEST_F(CodecTest, NullReadsAsEmptyStringAndEmptyByteArray) {
    send({0x01, 0x01});
    std::string text = "old";
    Bytes array{9, 9};
    far >> text >> array;
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(array.empty());
}

TEST_F(CodecTest, ByteArrayHoldsExactlyTheBytesReadWhateverItHeldBefore) {
    send({0x0C, 0x02, 0, 0, 0, 0x01, 0x02});
    Bytes array(10, 0xEE);
    far >> array;
    EXPECT_EQ(array, (Bytes{0x01, 0x02}));
}

// A refused marker is the only byte consumed: the value after it is still intact.
TEST_F(CodecTest, WrongMarkerIsRefusedWithItsKindConsumingOnlyTheMarker) {
    const std::vector<std::pair<unsigned char, void (*)(tcp::socket&)>> cases = {
        {0x01, read_one<bool>},   {0x04, read_one<bool>},  {0x01, read_one<int>},
        {0x02, read_one<double>}, {0x06, read_one<Bytes>}, {0x0C, read_one<std::string>},
        {0x07, read_one<float>},
    };
    const char* const texts[] = {"boolean type expected", "boolean type expected",    "number type expected",
                                 "number type expected",  "byte array type expected", "string type expected",
                                 "number type expected"};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        send({cases[i].first, 0x04, 0x2A, 0, 0, 0});
        try {
            cases[i].second(far);
            ADD_FAILURE() << "marker " << int{cases[i].first} << " accepted";
        } catch (const std::invalid_argument& refusal) {
            EXPECT_STREQ(refusal.what(), texts[i]);
        }
        int next = 0;
        far >> next;
        EXPECT_EQ(next, 42) << "case " << i;
    }
}

// A count seen ahead leaves every byte for the reader; a null value may be the last byte sent.
TEST_F(CodecTest, ByteArraySizeIsSeenWithoutReadingTheValue) {
    send({0x0C, 0x02, 0, 0, 0, 0x01, 0x02});
    EXPECT_EQ(peek_byte_array_size(far), std::optional<std::size_t>(2));
    Bytes array;
    far >> array;
    EXPECT_EQ(array, (Bytes{0x01, 0x02}));

    send({0x01});
    EXPECT_EQ(peek_byte_array_size(far), std::optional<std::size_t>(0));
    far >> array;
    EXPECT_TRUE(array.empty());

    send({0x04, 0x2A, 0, 0, 0});
    EXPECT_EQ(peek_byte_array_size(far), std::nullopt) << "another type";
    int next = 0;
    far >> next;
    EXPECT_EQ(next, 42);

    send({0x0C, 0xFF, 0xFF});
    near.shutdown(tcp::socket::shutdown_send);
    EXPECT_EQ(peek_byte_array_size(far), std::nullopt) << "a count cut short";
}

TEST_F(CodecTest, StreamEndingInsideAStringRaisesAndKeepsTheOldValue) {
    send({0x06, 0x03, 0, 0, 0, 0x61, 0x62});
    near.shutdown(tcp::socket::shutdown_send);
    std::string text = "old";
    EXPECT_THROW(far >> text, boost::system::system_error);
    EXPECT_EQ(text, "old");
}

// The largest count, announced and never met: the reader waits for bytes without committing memory
// or reserving address space for them, and fails cleanly when the stream ends.
TEST_F(CodecTest, HugeAnnouncedByteArrayCommitsNoLargeStorage) {
    const long before = resident_kib(getpid());
    std::thread reader([this] {
        Bytes array;
        EXPECT_THROW(far >> array, boost::system::system_error);
        EXPECT_LE(array.capacity(), std::size_t{1} << 20) << "not even address space beyond one chunk";
    });
    send({0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3});
    ASSERT_TRUE(all_bytes_taken_within(std::chrono::seconds(10))) << "the reader never took the bytes";
    const long during = resident_kib(getpid());
    near.shutdown(tcp::socket::shutdown_send);
    reader.join();
    EXPECT_LT(during - before, 64 * 1024) << "KiB resident before " << before << ", while waiting " << during;
}

}  // namespace
