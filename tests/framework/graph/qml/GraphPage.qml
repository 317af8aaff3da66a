import QtQuick

// The two graph calculators side by side: a compressor and an equaliser.
Row {
    property alias compressor: compressor
    property alias eq: eq

    CompressorCurve {
        id: compressor
    }
    EqCurve {
        id: eq
        curveColor: "#0000ff"
    }
}
