#pragma once

#include <cstdint>
#include <QList>

// Maps values of one graph axis to canvas positions and back, linearly or on
// a base-10 logarithmic scale, and slices the axis into tick values.
//
// A plain value object owned by its graph calculator; not thread-safe, use it
// from one thread. Nothing throws. Every refused setting is logged and shows in
// hasInvalidMapSetting(); the previous range, length and type (and so the
// coefficients) stay. Results are always finite: where a value has no canvas
// position (no type set, a logarithm of a value not above 0, an unusable scale)
// map() and remap() give 0, and every slicing gives an empty list while the map
// is unusable.
class GraphAxisMap
{
public:
    enum MapType : int32_t { Linear = 0, Logarithmic = 1, NotSet = 2 };

    // More points than this from one slicing call is refused (empty list).
    static constexpr int kMaxSlices = 1 << 20;

    // type 0 or 1, with positions counted from the far end when reversed.
    // Anything else is refused and leaves the map unusable. True when accepted.
    bool updateMapType(int32_t type, bool reversed);
    // Refused (false) when bottom > top or either is not a finite number.
    bool updateAxisRange(double bottom, double top);
    // Refused (false) when negative or not a finite number.
    bool updateCanvasLen(double length);

    double map(double value) const;
    double remap(double position) const;

    // True when the map cannot be used; logs the first reason found.
    bool hasInvalidMapSetting() const;

    // The multiples of step inside the range, ascending. Empty for a step
    // not above 0.
    QList<double> sliceAxisRange(double step) const;
    // The values d x 10^k inside the range whose leading digit d is one of
    // `digits`, ascending.
    QList<double> logSliceAxisRange(const QList<int>& digits) const;
    // The axis values at canvas positions 0, step, 2 step, ... up to the
    // canvas length. Empty for a step not above 0.
    QList<double> sliceAxisRangeInCanvas(double step) const;

    double rangeBottom() const { return m_rangeBottom; }
    double rangeTop() const { return m_rangeTop; }
    double canvasLen() const { return m_canvasLen; }
    int32_t mapType() const { return m_mapType; }
    bool isReversed() const { return m_reversed; }
    bool isCanvasValid() const { return m_canvasValid; }

private:
    void updateCoefficients();

    double m_rangeBottom = 0.0;
    double m_rangeTop = 0.0;
    double m_canvasLen = 0.0;
    int32_t m_mapType = NotSet;
    bool m_reversed = false;
    double m_coefficient = 0.0;
    double m_offset = 0.0;
    bool m_rangeValid = false;
    bool m_canvasValid = false;
    bool m_mapTypeValid = false;
};
