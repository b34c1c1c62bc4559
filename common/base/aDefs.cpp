#include "aDefs.h"

namespace {
struct ModelName {
    int model;
    const char* name;
};

const ModelName MODEL_NAMES[] = {
    {4, "Quillet"},   {5, "Pavlorn"},   {13, "Drennic"}, {14, "Sorvane"}, {15, "Talmery"}, {16, "Vesprin"},
    {17, "Bristane"}, {18, "Quorrel"},  {19, "Hallvex"}, {20, "Ostrane"}, {21, "Pellion"}, {22, "Feldrix"},
    {23, "Garnelt"},  {24, "Yarrowen"}, {25, "Zenthor"}, {26, "Krowle"},
};
}  // namespace

const char* aDefs_GetModelName(int model) {
    for (const auto& row : MODEL_NAMES)
        if (row.model == model) return row.name;
    return "Unknown";
}
