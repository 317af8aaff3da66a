import QtQuick
import com.halvorn.kxframework 1.0

// A compressor's transfer curve with its grid and scale labels, drawn from
// the calculator's path and scale lines the way a view would draw them.
Rectangle {
    id: root

    property real threshold: 0
    property real ratio: 0
    property real knee: 0
    property real gain: 0
    property bool painted: false
    // Bumped on every scale change, so that bindings to scale lines follow.
    property int scaleVersion: 0
    readonly property int margin: 40

    width: 440
    height: 440
    color: "white"

    KxCompGraphCalc {
        id: calc
        inputMin: -60
        inputMax: 0
        outputMin: -60
        outputMax: 0
        canvasWidth: plot.width
        canvasHeight: plot.height
        onGraphScaleChanged: {
            root.scaleVersion++
            plot.requestPaint()
        }
    }

    Canvas {
        id: plot
        objectName: "plot"
        x: root.margin
        y: root.margin
        width: root.width - 2 * root.margin
        height: root.height - 2 * root.margin

        onPaint: {
            const ctx = getContext("2d")
            ctx.fillStyle = "white"
            ctx.fillRect(0, 0, width, height)

            // Grid lines on pixel centres, so that they stay one pixel wide.
            ctx.strokeStyle = "#c0c0c0"
            ctx.lineWidth = 1
            for (const line of calc.xScaleLines(20)) {
                ctx.beginPath()
                ctx.moveTo(Math.round(line.pos) + 0.5, 0)
                ctx.lineTo(Math.round(line.pos) + 0.5, height)
                ctx.stroke()
            }
            for (const line of calc.yScaleLines(20)) {
                ctx.beginPath()
                ctx.moveTo(0, Math.round(line.pos) + 0.5)
                ctx.lineTo(width, Math.round(line.pos) + 0.5)
                ctx.stroke()
            }

            calc.setCompParam(KxCompGraphCalc.Threshold, root.threshold)
            calc.setCompParam(KxCompGraphCalc.Ratio, root.ratio)
            calc.setCompParam(KxCompGraphCalc.Knee, root.knee)
            calc.setCompParam(KxCompGraphCalc.Gain, root.gain)
            const points = calc.generateGraphPath()
            ctx.strokeStyle = "#0000ff"
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
        onPainted: root.painted = true
    }

    Repeater {
        model: {
            root.scaleVersion
            return calc.xScaleLines(20, true, false)
        }
        Text {
            objectName: "xLabel"
            x: root.margin + modelData.pos - width / 2
            y: root.height - root.margin + 4
            text: modelData.label
        }
    }
    Repeater {
        model: {
            root.scaleVersion
            return calc.yScaleLines(20, true, false)
        }
        Text {
            objectName: "yLabel"
            x: root.margin - width - 4
            y: root.margin + modelData.pos - height / 2
            text: modelData.label
        }
    }
}
