#pragma once

#include "server/socket_ptr.hpp"

/// A command name and the function that serves it.
struct Command {
    const char* name;
    void (*handler)(socket_ptr);
};

/// Every command the service answers, in the order of registration.
extern const Command commands[7];
