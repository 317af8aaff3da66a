#pragma once

#include <QMetaType>

// One compressor setting as the graph tests tabulate it: threshold (dB),
// ratio factor (the share of the overshoot removed), knee width (dB) and
// make-up gain (dB).
struct CompParams
{
    double threshold;
    double ratio;
    double knee;
    double gain;
};

Q_DECLARE_METATYPE(CompParams)
