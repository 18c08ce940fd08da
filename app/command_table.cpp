#include "app/command_table.hpp"

#include "app/commands.hpp"

const Command commands[7] = {
    {"version", version_handler},         {"upgrade", upgrade_handler},
    {"read_raw", read_raw_handler},       {"decompose_hdr", decompose_hdr_handler},
    {"tonemap_hdr", tonemap_hdr_handler}, {"decompose_ldr", decompose_ldr_handler},
    {"tonemap_ldr", tonemap_ldr_handler},
};
