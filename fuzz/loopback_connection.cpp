#include "fuzz/loopback_connection.hpp"

#include <array>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

using boost::asio::ip::tcp;

namespace {

/// The listening side shared by every input of one fuzzing process.
tcp::acceptor& shared_acceptor(boost::asio::io_context& io) {
    static tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return acceptor;
}

boost::asio::io_context& acceptor_context() {
    static boost::asio::io_context io;
    return io;
}

}  // namespace

LoopbackConnection::LoopbackConnection(const std::uint8_t* data, std::size_t size)
    : client_(io_), service_(std::make_shared<tcp::socket>(acceptor_context())) {
    tcp::acceptor& acceptor = shared_acceptor(acceptor_context());
    // libFuzzer's own signals can interrupt the connect; that is the harness's affair, not a fault.
    boost::system::error_code error;
    do {
        client_.close(error);
        client_.connect(acceptor.local_endpoint(), error);
    } while (error == boost::asio::error::interrupted);
    if (error) throw boost::system::system_error(error, "connect");
    // An interrupted attempt may have got through all the same and still waits in the backlog, its
    // client closed: accepted in place of ours, it would leave our client unread and its reader
    // waiting for ever. The accepted peer must be our client.
    const tcp::endpoint client_end = client_.local_endpoint();
    for (;;) {
        acceptor.accept(*service_);
        if (service_->remote_endpoint(error) == client_end && !error) break;
        service_->close(error);
    }
    // The input is at most a few kilobytes, which the socket buffers hold whole.
    boost::asio::write(client_, boost::asio::buffer(data, size));
    client_.shutdown(tcp::socket::shutdown_send);
    drain_ = std::thread([this] {
        std::array<char, 65536> sink;
        boost::system::error_code error;
        while (!error) client_.read_some(boost::asio::buffer(sink), error);
    });
}

LoopbackConnection::~LoopbackConnection() {
    boost::system::error_code ignored;
    service_->shutdown(tcp::socket::shutdown_both, ignored);
    service_->close(ignored);
    drain_.join();
}
