import QtQuick
import com.halvorn.kxframework 1.0

// The summed curve of an equaliser's bands 1 to 6, 20 Hz to 20 kHz and
// -24 to +24 dB.
GraphFrame {
    id: curve

    // One entry per switched-on band: { band, type, f, g, q }.
    property var bands: []
    property int samplingRate: KxEQGraphCalc.Rate48000Hz
    property int musicalType: KxEQGraphCalc.Legacy

    onBandsChanged: repaint()
    onSamplingRateChanged: repaint()
    onMusicalTypeChanged: repaint()

    calc: KxEQGraphCalc {
        freqMin: 20
        freqMax: 20000
        gainMin: -24
        gainMax: 24
    }
    xInterval: [1, 2, 5]
    xUnitPrefix: true
    yInterval: 12
    yPlus: true
    path: function () {
        calc.setSamplingRate(curve.samplingRate)
        calc.setMusicalType(curve.musicalType)
        for (let id = KxEQGraphCalc.Band1; id <= KxEQGraphCalc.Band10; ++id)
            calc.setBandOnOff(id, false)
        for (const b of curve.bands) {
            calc.setBandOnOff(b.band, true)
            calc.setBandFilterType(b.band, b.type)
            calc.setBandFilterParam(b.band, KxEQGraphCalc.F, b.f)
            calc.setBandFilterParam(b.band, KxEQGraphCalc.G, b.g)
            calc.setBandFilterParam(b.band, KxEQGraphCalc.Q, b.q)
        }
        return calc.generateGraphPath(KxEQGraphCalc.BandAll)
    }
}
