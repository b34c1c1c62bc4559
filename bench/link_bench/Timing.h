// Clocks the benchmark reads.
#pragma once

double processCpuSeconds();
