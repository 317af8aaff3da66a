import QtQuick

// A graph with grid lines and scale labels from a calculator's scale lines
// and one curve from its path, on a white square with margins for labels.
Rectangle {
    id: frame

    // A KxCompGraphCalc or KxEQGraphCalc; the frame sets its canvas size.
    property QtObject calc
    // Scale-line intervals: a number, or an array of leading digits for a
    // logarithmic axis.
    property var xInterval: 10
    property var yInterval: 10
    property bool xUnitPrefix: false
    property bool yPlus: false
    // Returns the curve's points; called on every paint.
    property var path: function () { return [] }
    property color curveColor: "#0000ff"
    property bool painted: false
    // Bumped on every scale change, so that bindings to scale lines follow.
    property int scaleVersion: 0
    readonly property int margin: 40

    function repaint() {
        plot.requestPaint()
    }

    width: 440
    height: 440
    color: "white"

    Binding { target: frame.calc; property: "canvasWidth"; value: plot.width }
    Binding { target: frame.calc; property: "canvasHeight"; value: plot.height }
    Connections {
        target: frame.calc
        function onGraphScaleChanged() {
            frame.scaleVersion++
            plot.requestPaint()
        }
    }

    Canvas {
        id: plot
        x: frame.margin
        y: frame.margin
        width: frame.width - 2 * frame.margin
        height: frame.height - 2 * frame.margin

        onPaint: {
            const ctx = getContext("2d")
            ctx.fillStyle = "white"
            ctx.fillRect(0, 0, width, height)

            // Grid lines on pixel centres, so that they stay one pixel wide.
            ctx.strokeStyle = "#c0c0c0"
            ctx.lineWidth = 1
            for (const line of frame.calc.xScaleLines(frame.xInterval)) {
                ctx.beginPath()
                ctx.moveTo(Math.round(line.pos) + 0.5, 0)
                ctx.lineTo(Math.round(line.pos) + 0.5, height)
                ctx.stroke()
            }
            for (const line of frame.calc.yScaleLines(frame.yInterval)) {
                ctx.beginPath()
                ctx.moveTo(0, Math.round(line.pos) + 0.5)
                ctx.lineTo(width, Math.round(line.pos) + 0.5)
                ctx.stroke()
            }

            const points = frame.path()
            ctx.strokeStyle = frame.curveColor
            ctx.lineWidth = 2
            ctx.beginPath()
            for (let i = 0; i < points.length; ++i) {
                if (i === 0)
                    ctx.moveTo(points[i].x, points[i].y)
                else
                    ctx.lineTo(points[i].x, points[i].y)
            }
            ctx.stroke()
        }
        onPainted: frame.painted = true
    }

    Repeater {
        model: {
            frame.scaleVersion
            // Nothing to place before the calculator knows its canvas.
            if (frame.calc.canvasWidth <= 0)
                return []
            return frame.calc.xScaleLines(frame.xInterval, true, false, frame.xUnitPrefix)
        }
        Text {
            objectName: "xLabel"
            x: frame.margin + modelData.pos - width / 2
            y: frame.height - frame.margin + 4
            text: modelData.label
        }
    }
    Repeater {
        model: {
            frame.scaleVersion
            if (frame.calc.canvasHeight <= 0)
                return []
            return frame.calc.yScaleLines(frame.yInterval, true, frame.yPlus)
        }
        Text {
            objectName: "yLabel"
            x: frame.margin - width - 4
            y: frame.margin + modelData.pos - height / 2
            text: modelData.label
        }
    }
}
