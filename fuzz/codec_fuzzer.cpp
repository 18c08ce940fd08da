// Feeds arbitrary bytes to a server connection: the command name read, the dispatch, and a handler
// that reads a sequence of typed values (its kinds chosen by the input's first bytes) and writes
// each value back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/loopback_connection.hpp"
#include "server/flash_server.hpp"
#include "server/flash_types.hpp"

namespace {

/// The kinds of values that the "values" command reads, chosen per input.
std::vector<std::uint8_t> value_kinds;

/// Reads one value of type T and writes it back.
template <typename T>
void echo(tcp::socket& socket) {
    T value;
    socket >> value;
    socket << value;
}

void echo_values(socket_ptr socket) {
    tcp::socket& s = *socket;
    for (const std::uint8_t kind : value_kinds) {
        switch (kind % 7) {
            case 0: echo<bool>(s); break;
            case 1: echo<int>(s); break;
            case 2: echo<unsigned short>(s); break;
            case 3: echo<double>(s); break;
            case 4: echo<float>(s); break;
            case 5: echo<std::string>(s); break;
            default: echo<std::vector<unsigned char>>(s); break;
        }
    }
}

FlashServer& server() {
    static const std::shared_ptr<FlashServer> instance = [] {
        auto created = std::make_shared<FlashServer>(0);
        created->add_allowed_domain("localhost");
        created->add_handler("values", echo_values);
        created->set_default_handler([](socket_ptr, std::string) {});
        return created;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t kinds = std::min<std::size_t>(data[0] % 17, size - 1);
    value_kinds.assign(data + 1, data + 1 + kinds);
    LoopbackConnection connection(data + 1 + kinds, size - 1 - kinds);
    server().respond(connection.service_side());
    return 0;
}
