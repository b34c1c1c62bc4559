// The usage texts, written straight to standard error.
#pragma once

// The short text always; with `full` also the parameters text, the extended text
// when `extended`, and the samples.
void _display_usage(bool extended, bool full);
