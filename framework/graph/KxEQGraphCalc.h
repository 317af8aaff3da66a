#pragma once

#include "EQGraphCalculator.h"
#include "KxGraphCalc.h"

#include <QHash>
#include <QList>
#include <QVariant>
#include <vector>

// Magnitude response of a parametric equaliser for a QML canvas: one curve
// per band and the summed curve of bands 1 to 6, as lists of canvas points,
// frequency on a logarithmic horizontal axis, gain (dB) on a linear vertical
// one. Each band becomes one or more biquad sections (EQGraph::Calculator)
// whose gains are evaluated in closed form.
//
// Lives in the user-interface thread. Setters emit nothing: the view asks for
// a new path after changing parameters. Out-of-range ids are logged and
// change nothing. Every point handed out is finite: gains are held within
// +-kPathGainLimitDb, so a band whose design failed (minus infinity dB) lies
// far below any sensible graph instead of at an undefined position.
class KxEQGraphCalc : public KxGraphCalc
{
    Q_OBJECT
    Q_PROPERTY(double freqMin READ graphXMin WRITE setGraphXMin NOTIFY graphXMinChanged)
    Q_PROPERTY(double freqMax READ graphXMax WRITE setGraphXMax NOTIFY graphXMaxChanged)
    Q_PROPERTY(double gainMin READ graphYMin WRITE setGraphYMin NOTIFY graphYMinChanged)
    Q_PROPERTY(double gainMax READ graphYMax WRITE setGraphYMax NOTIFY graphYMaxChanged)
    Q_PROPERTY(QVariantList bandIds READ bandIds NOTIFY bandIdsChanged)

public:
    enum BandID : int {
        InvalidBandID = -1,
        Band1 = 0,
        Band2,
        Band3,
        Band4,
        Band5,
        Band6,
        Band7,
        Band8,
        Band9,
        Band10,
        BandAll,
        NumberOfBandIDs
    };
    Q_ENUM(BandID)

    enum FilterType : int {
        InvalidFilterType = -1,
        PEQ = 0,
        BandPass,
        LowShelf,
        HighShelf,
        HPF_6dBSlope,
        HPF_12dBSlope,
        HPF_18dBSlope,
        HPF_24dBSlope,
        LPF_6dBSlope,
        LPF_12dBSlope,
        FilterNone,
        NumberOfFilterTypes
    };
    Q_ENUM(FilterType)

    enum ParamType : int { InvalidParamType = -1, F = 0, G, Q, NumberOfParamTypes };
    Q_ENUM(ParamType)

    enum SamplingRate : int {
        InvalidSamplingRate = -1,
        Rate44100Hz = 0,
        Rate48000Hz,
        Rate88200Hz,
        Rate96000Hz,
        NumberOfSamplingRates
    };
    Q_ENUM(SamplingRate)

    enum MusicalType : int { InvalidSMusicalType = -1, Precise = 0, Aggressive, Smooth, Legacy, NumberOfMusicalTypes };
    Q_ENUM(MusicalType)

    static constexpr double kPathGainLimitDb = 1000.0;

    explicit KxEQGraphCalc(QObject* parent = nullptr);
    ~KxEQGraphCalc() override;

    QVariantList bandIds() const { return m_bandIds; }

    Q_INVOKABLE double canvasXFromFreq(double freq) const { return canvasXFromGraphXVal(freq); }
    Q_INVOKABLE double canvasYFromGain(double gain) const { return canvasYFromGraphYVal(gain); }
    Q_INVOKABLE double freqFromCanvasX(double canvasX) const { return graphXValFromCanvasX(canvasX); }
    Q_INVOKABLE double gainFromCanvasY(double canvasY) const { return graphYValFromCanvasY(canvasY); }

    // Band 1 to 10 or BandAll. False (logged) for any other id.
    Q_INVOKABLE bool setBandOnOff(int bandId, bool isBandOn);
    // Band 1 to 10; BandAll and other ids are logged and refused. Types from
    // FilterNone up, and negative ones, draw nothing (0 dB).
    Q_INVOKABLE bool setBandFilterType(int bandId, int filterType);
    // Band 1 to 10, parameter F, G or Q; the value is stored unchecked (the
    // design copes with any value). Other ids are logged and refused.
    Q_INVOKABLE bool setBandFilterParam(int bandId, int paramType, double paramVal);
    // An index outside the enumeration counts as 96 kHz.
    Q_INVOKABLE void setSamplingRate(int samplingRate);
    // A type outside Precise ... Legacy counts as Legacy.
    Q_INVOKABLE void setMusicalType(int musicalType);

    // The curve of band 1 to 6, or the sum of those for BandAll: one point
    // (QPointF, canvas coordinates) per canvas pixel, at frequencies of a
    // logarithmic sweep from 20 Hz to 20 kHz. Empty for other ids and while
    // the horizontal axis is unusable.
    Q_INVOKABLE QVariantList generateGraphPath(int bandId) const;

    // n frequencies: 20 Hz to 20 kHz logarithmically; all 0 for n <= 2.
    static QList<double> generateFrequencyList(int n);
    // Gain (dB) of one band at each frequency: the sum of its sections'
    // gains; 0 for a band that is off or unknown.
    QList<double> generateGainList(int bandId, const QList<double>& freqs) const;

Q_SIGNALS:
    void bandIdsChanged();

private:
    // The band's sections, when it is on, appended in their order.
    void appendSections(int bandId, std::vector<EQGraph::Section>& sections) const;
    // The summed gain of the sections at each frequency.
    QList<double> gainsOf(const std::vector<EQGraph::Section>& sections, const QList<double>& freqs) const;
    double samplingRateHz() const;
    int effectiveMusicalType() const;

    QVariantList m_bandIds;
    QHash<int, bool> m_onOff;
    QHash<int, int> m_filterTypes;
    QHash<int, QHash<int, double>> m_params;
    int m_samplingRate = Rate44100Hz;
    int m_musicalType = Legacy;
};
