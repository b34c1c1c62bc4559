// The command-line parser: option table, word matching and the handling of each option.
#pragma once

#include <cstdint>

#include "Parameters.h"
#include "UpdaterDisplayInterface.h"

enum { ARG_NONE = 0, ARG_SEPARATE = 1 };

struct SOption {
    int id;  // 0 help, 1 command, 2 parameter; -1 ends the table
    const char* text;
    int argType;
};

extern const SOption g_rgOptions[];

// Fills `params` from the command line, reporting each bad argument through
// `display` as it is met. Returns 0 on success or when a help option ends the
// parse, 1 when an argument of -d, -r, -t, -b or -o, or -Y, was refused.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters& params);

// The value of a text made only of hexadecimal (resp. decimal) digits; the empty
// text, any other text and a value above 0xFFFFFFFF give 0.
uint32_t _get_hex_arg(const char* text);
uint32_t _get_int_arg(const char* text);
