// Shared definitions of the link core: path separator and model names.
#pragma once

#define aDIR_PATH_SEP "/"

// The model's name, or "Unknown" for a number not in the table.
const char* aDefs_GetModelName(int model);
