import QtQuick
import com.halvorn.kxframework 1.0

// A compressor's transfer curve, -60 to 0 dB in and out.
GraphFrame {
    id: curve

    property real threshold: 0
    property real ratio: 0
    property real knee: 0
    property real gain: 0

    onThresholdChanged: repaint()
    onRatioChanged: repaint()
    onKneeChanged: repaint()
    onGainChanged: repaint()

    calc: KxCompGraphCalc {
        inputMin: -60
        inputMax: 0
        outputMin: -60
        outputMax: 0
    }
    xInterval: 20
    yInterval: 20
    path: function () {
        calc.setCompParam(KxCompGraphCalc.Threshold, curve.threshold)
        calc.setCompParam(KxCompGraphCalc.Ratio, curve.ratio)
        calc.setCompParam(KxCompGraphCalc.Knee, curve.knee)
        calc.setCompParam(KxCompGraphCalc.Gain, curve.gain)
        return calc.generateGraphPath()
    }
}
