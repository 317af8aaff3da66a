#pragma once

#include <memory>
#include <QObject>
#include <QVariant>

class GraphAxisMap;

// Base of the graph calculators that QML views use to draw curves on a
// canvas: one axis map per direction, the graph range and canvas size as
// properties, and scale lines (tick positions with labels) for the grid.
// The vertical axis runs upwards on a canvas whose y grows downwards.
//
// Lives in the user-interface thread. Refused settings are logged, keep the
// previous scale, and make slicing and paths empty until they are valid
// again; positions and values handed out are always finite.
class KxGraphCalc : public QObject
{
    Q_OBJECT
    Q_PROPERTY(double graphXMin READ graphXMin WRITE setGraphXMin NOTIFY graphXMinChanged)
    Q_PROPERTY(double graphXMax READ graphXMax WRITE setGraphXMax NOTIFY graphXMaxChanged)
    Q_PROPERTY(double graphYMin READ graphYMin WRITE setGraphYMin NOTIFY graphYMinChanged)
    Q_PROPERTY(double graphYMax READ graphYMax WRITE setGraphYMax NOTIFY graphYMaxChanged)
    Q_PROPERTY(double canvasWidth READ canvasWidth WRITE setCanvasWidth NOTIFY canvasWidthChanged)
    Q_PROPERTY(double canvasHeight READ canvasHeight WRITE setCanvasHeight NOTIFY canvasHeightChanged)
    Q_PROPERTY(MapType xMapType READ xMapType WRITE setXMapType NOTIFY graphScaleChanged)
    Q_PROPERTY(MapType yMapType READ yMapType WRITE setYMapType NOTIFY graphScaleChanged)

public:
    // A fixed underlying type: QML may hand in any integer.
    enum MapType : int { Linear = 0, Logarithmic = 1, NotSet = 2 };
    Q_ENUM(MapType)

    explicit KxGraphCalc(QObject* parent = nullptr);
    ~KxGraphCalc() override;

    double graphXMin() const { return m_graphXMin; }
    double graphXMax() const { return m_graphXMax; }
    double graphYMin() const { return m_graphYMin; }
    double graphYMax() const { return m_graphYMax; }
    void setGraphXMin(double value);
    void setGraphXMax(double value);
    void setGraphYMin(double value);
    void setGraphYMax(double value);

    double canvasWidth() const;
    double canvasHeight() const;
    void setCanvasWidth(double width);
    void setCanvasHeight(double height);

    MapType xMapType() const;
    MapType yMapType() const;
    // Types other than Linear and Logarithmic are logged and ignored.
    void setXMapType(MapType type);
    void setYMapType(MapType type);

    // Scale lines of one axis: a list of maps {"pos": canvas position,
    // "label": text}. `interval` is a number (ticks at its multiples) or a
    // script array of leading digits 1 to 9 (ticks at d x 10^k, for a
    // logarithmic axis); anything else gives an empty list.
    Q_INVOKABLE QVariantList xScaleLines(const QVariant& interval, bool dispMinus = true, bool dispPlus = true,
                                         bool useUnitPrefix = false) const;
    Q_INVOKABLE QVariantList yScaleLines(const QVariant& interval, bool dispMinus = true, bool dispPlus = true,
                                         bool useUnitPrefix = false) const;

    // A tick label: |value| with 6 significant digits, or cut to an integer
    // of the largest fitting unit (M, k, m, u, n, p) with useUnitPrefix;
    // then "-" for a negative value with dispMinus, "+" for a positive one
    // with dispPlus.
    static QString makeLabel(double value, bool dispMinus, bool dispPlus, bool useUnitPrefix);

Q_SIGNALS:
    void graphScaleChanged();
    void canvasWidthChanged();
    void canvasHeightChanged();
    void graphXMinChanged();
    void graphXMaxChanged();
    void graphYMaxChanged();
    void graphYMinChanged();

protected:
    double canvasXFromGraphXVal(double value) const;
    double canvasYFromGraphYVal(double value) const;
    double graphXValFromCanvasX(double position) const;
    double graphYValFromCanvasY(double position) const;
    // One graph x value per canvas pixel, from the left edge to the right;
    // empty while the horizontal axis is unusable.
    QList<double> plotXPositions() const;
    // True (with a log line) when an axis cannot be used to draw.
    bool hasInvalidXAxis() const;
    bool hasInvalidYAxis() const;

private:
    QVariantList scaleLines(const QVariant& interval, const GraphAxisMap& map, bool dispMinus, bool dispPlus,
                            bool useUnitPrefix) const;

    double m_graphXMin = 0.0;
    double m_graphXMax = 0.0;
    double m_graphYMin = 0.0;
    double m_graphYMax = 0.0;
    std::unique_ptr<GraphAxisMap> m_xMap;
    std::unique_ptr<GraphAxisMap> m_yMap;
};
