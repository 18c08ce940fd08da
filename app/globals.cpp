#include "app/globals.hpp"

const char* argv0 = nullptr;
FlashServer* current_server = nullptr;
