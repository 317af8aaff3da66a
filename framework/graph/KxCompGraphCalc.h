#pragma once

#include "KxGraphCalc.h"

#include <memory>
#include <QHash>

class CompCalc2;

// The transfer curve of a compressor for a QML canvas: output level against
// input level, both in decibels on linear axes. The view sets the four
// parameters and the ranges, then asks for the path.
//
// Lives in the user-interface thread. Parameters that are not finite numbers
// are refused; the path is empty while either axis is unusable.
class KxCompGraphCalc : public KxGraphCalc
{
    Q_OBJECT
    Q_PROPERTY(double inputMin READ graphXMin WRITE setGraphXMin NOTIFY graphXMinChanged)
    Q_PROPERTY(double inputMax READ graphXMax WRITE setGraphXMax NOTIFY graphXMaxChanged)
    Q_PROPERTY(double outputMin READ graphYMin WRITE setGraphYMin NOTIFY graphYMinChanged)
    Q_PROPERTY(double outputMax READ graphYMax WRITE setGraphYMax NOTIFY graphYMaxChanged)

public:
    // A fixed underlying type: QML may hand in any integer.
    enum ParamType : int { Threshold = 0, Ratio = 1, Knee = 2, Gain = 3, NumberOfParamTypes = 4 };
    Q_ENUM(ParamType)

    explicit KxCompGraphCalc(QObject* parent = nullptr);
    ~KxCompGraphCalc() override;

    Q_INVOKABLE double canvasXFromInput(double input) const { return canvasXFromGraphXVal(input); }
    Q_INVOKABLE double canvasYFromOutput(double output) const { return canvasYFromGraphYVal(output); }
    Q_INVOKABLE double inputFromCanvasX(double canvasX) const { return graphXValFromCanvasX(canvasX); }
    Q_INVOKABLE double outputFromCanvasY(double canvasY) const { return graphYValFromCanvasY(canvasY); }

    // Stores a parameter (the ratio factor is clamped to 0 ... 1 when the
    // path is made). False for an unknown type or a value that is not a
    // finite number, with nothing changed.
    Q_INVOKABLE bool setCompParam(ParamType paramType, double value);

    // One point (a QPointF in canvas coordinates) per canvas pixel of the
    // horizontal axis, left to right.
    Q_INVOKABLE QVariantList generateGraphPath() const;

private:
    QHash<ParamType, double> m_params;
    std::unique_ptr<CompCalc2> m_calc;
};
