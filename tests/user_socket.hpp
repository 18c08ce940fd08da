#pragma once

#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/types.h>

/// The user that tests take as "another user of this machine": nobody.
constexpr uid_t other_user = 65534;

/// A new TCP socket of that family which belongs to user: the kernel gives a socket the filesystem
/// uid of the thread that creates it, and only that thread's is changed, only for the call. Needs
/// root for another user; -1 when the socket cannot be made as that user.
inline int socket_of_user(uid_t user, int family = AF_INET) {
    const uid_t previous = static_cast<uid_t>(::setfsuid(user));
    // setfsuid reports no failure; asking again tells whether the change was made.
    const bool switched = static_cast<uid_t>(::setfsuid(user)) == user;
    const int descriptor = switched ? ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP) : -1;
    ::setfsuid(previous);
    return descriptor;
}
