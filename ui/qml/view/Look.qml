import QtQuick 2.15
import CorvaneViews 1.0

// The window's colours. In a light palette they are the fixed ones the
// window has always had; a dark desktop palette gets their dark matches,
// and a high-contrast desktop plain black and white with solid edges, so
// that every text reads on its background. The palette is the window's, as
// the style draws the popups' own controls (labels, the password field) in
// it: what is drawn here matches them.
QtObject {
    id: look

    // The palette the choice follows.
    property var palette
    readonly property bool dark: luminance(palette.window) < 0.5
    readonly property bool highContrast: DesktopLook.highContrast

    function luminance(colour) {
        return 0.2126 * colour.r + 0.7152 * colour.g + 0.0722 * colour.b
    }

    function pick(light, darkColour, contrastLight, contrastDark) {
        if (highContrast)
            return dark ? contrastDark : contrastLight
        return dark ? darkColour : light
    }

    readonly property color background: pick("#ffffff", "#1e1e1e", "#ffffff", "#000000")
    readonly property color text: pick("#000000", "#e6e6e6", "#000000", "#ffffff")
    readonly property color rowHover: pick("#eef8f7", "#27403d", "#eef8f7", "#003333")
    readonly property color checkHover: pick("#e5f3ff", "#223a52", "#e5f3ff", "#002244")
    readonly property color selectedRow: pick("#d4ecea", "#2f5c57", "#a8dcd6", "#005555")
    readonly property color link: pick("#1032ff", "#8fb0ff", "#0000c0", "#ffff00")
    readonly property color headerTop: pick("#FFFFFF", "#3a3a3a", "#FFFFFF", "#000000")
    readonly property color headerBottom: pick("#E0E0E0", "#2a2a2a", "#FFFFFF", "#000000")
    readonly property color headerEdge: pick("#CACACA", "#5a5a5a", "#000000", "#ffffff")
    readonly property color sortArrowOn: pick("#141414", "#f0f0f0", "#000000", "#ffffff")
    readonly property color sortArrowOff: pick("#A0A0A0", "#707070", "#767676", "#9a9a9a")
    readonly property color checkEdge: pick("#141414", "#d0d0d0", "#000000", "#ffffff")
    readonly property color checkEdgeOff: pick("#A0A0A0", "#707070", "#767676", "#9a9a9a")
    readonly property color popupBackground: pick("#ffffff", "#262626", "#ffffff", "#000000")
    readonly property color popupEdge: pick("#CACACA", "#5a5a5a", "#000000", "#ffffff")
    readonly property color buttonFace: pick("#141414", "#5c5c5c", "#000000", "#ffffff")
    readonly property color buttonFaceOff: pick("#6E6E6E", "#333333", "#6E6E6E", "#3a3a3a")
    readonly property color buttonText: pick("white", "white", "white", "black")
    readonly property color buttonTextOff: pick("white", "#b0b0b0", "white", "#ffffff")
    readonly property color cancelFace: pick("#FFFFFF", "#262626", "#FFFFFF", "#000000")
    readonly property color cancelText: pick("black", "#e6e6e6", "black", "white")
    readonly property color cancelEdge: pick("#141414", "#8a8a8a", "#000000", "#ffffff")
    // Headings of the login's key checks: plain, and the alarm red.
    readonly property color heading: pick("#202020", "#e6e6e6", "#000000", "#ffffff")
    readonly property color alarm: pick("#B00020", "#ff7a8a", "#a00000", "#ff8080")
}
