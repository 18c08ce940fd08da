#pragma once

class FlashServer;

/// The path by which the program was started (the first element of main's argument vector); set
/// first in main, never changed.
extern const char* argv0;

/// The server of the port being served; set by main right after each server is constructed, before
/// it starts. Null when no server stands.
extern FlashServer* current_server;
