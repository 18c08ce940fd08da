#pragma once

#include <string>

#include "server/socket_ptr.hpp"

/// "version": logs the command and answers the product's name, version and build string.
void version_handler(socket_ptr socket);

/// Fallback for every command name without a handler: logs the name, answers nothing.
void default_handler(socket_ptr socket, std::string name);

/// "read_raw": decodes the camera raw file a client sends and answers the full image, a reduced
/// copy and its 8-bit preview.
void read_raw_handler(socket_ptr socket);

/// "upgrade": replaces the program's executable with the bytes that a local client of the service's
/// own user sends and restarts it; one upgrade at a time.
void upgrade_handler(socket_ptr socket);

/// True for addresses of this machine's loopback interface: 127.0.0.0/8, ::1 and their IPv4-mapped form.
bool is_loopback(const boost::asio::ip::address& address);

/// "tonemap_ldr": tone-maps an ARGB image and answers the 8-bit result as ARGB and as JPEG.
void tonemap_ldr_handler(socket_ptr socket);

/// "tonemap_hdr": tone-maps a float RGB image and answers the 8-bit result as ARGB and as JPEG.
void tonemap_hdr_handler(socket_ptr socket);

/// "decompose_ldr": answers the Lab colour image, six layers, constraints and mean of an ARGB image.
void decompose_ldr_handler(socket_ptr socket);

/// "decompose_hdr": answers the colour ratios, six layers, constraints and mean of a float RGB image.
void decompose_hdr_handler(socket_ptr socket);
