#include "KxEQGraphCalc.h"

#include "EQGraphCalculator.h"
#include "Logger.h"

#include <algorithm>
#include <cmath>
#include <QPointF>

using EQGraph::Calculator;
using EQGraph::Section;

namespace {

constexpr int kBandCount = 10; // Band1 ... Band10
constexpr int kSummedBandCount = 6; // BandAll sums Band1 ... Band6
constexpr double kInitialFrequency = 100.0;
constexpr double kInitialGain = 20.0;
constexpr double kInitialQ = 1.0;

// Butterworth pole qs of orders 2 and 4, six decimals in single precision.
constexpr double kButterworthQ2 = static_cast<double>(0.707106f);
constexpr double kButterworthQ4Low = static_cast<double>(0.541196f);
constexpr double kButterworthQ4High = static_cast<double>(1.306563f);

constexpr double kSamplingRates[] = {44100.0, 48000.0, 88200.0, 96000.0};

// Why a filter setting of `bandId` is refused (empty when it is not): the
// caller logs it, so that the log names the setter. `known` tells whether the
// band has an entry in the setter's table.
QString filterBandRefusal(int bandId, bool known)
{
    if (bandId == KxEQGraphCalc::BandAll)
        return QStringLiteral("CPP setBandFilterType() : BandAll doesn't have filter");
    if (bandId < KxEQGraphCalc::Band1 || bandId > KxEQGraphCalc::BandAll)
        return QStringLiteral("CPP setBandFilterType() : unknown band ID");
    if (!known)
        return QStringLiteral("CPP setBandFilterType() : no filter type on QHash at bandId(%1)").arg(bandId);
    return QString();
}

struct SectionRecipe
{
    double q; // < 0: the band's Q
    double gain; // NaN: the band's G
    int shape;
};

// The sections a filter type is made of (at most two).
int sectionsOf(int filterType, SectionRecipe (&out)[2])
{
    constexpr double band = -1.0;
    const double bandGain = std::nan("");
    switch (filterType) {
    case KxEQGraphCalc::PEQ:
        out[0] = {band, bandGain, Calculator::Peaking};
        return 1;
    case KxEQGraphCalc::BandPass:
        out[0] = {band, bandGain, Calculator::BandPass};
        return 1;
    case KxEQGraphCalc::LowShelf:
        out[0] = {band, bandGain, Calculator::LowShelf};
        return 1;
    case KxEQGraphCalc::HighShelf:
        out[0] = {band, bandGain, Calculator::HighShelf};
        return 1;
    case KxEQGraphCalc::HPF_6dBSlope:
        out[0] = {kButterworthQ2, 1.0, Calculator::HighPass1st};
        return 1;
    case KxEQGraphCalc::HPF_12dBSlope:
        out[0] = {kButterworthQ2, 1.0, Calculator::HighPass2nd};
        return 1;
    case KxEQGraphCalc::HPF_18dBSlope:
        out[0] = {kButterworthQ2, 1.0, Calculator::HighPass1st};
        out[1] = {1.0, 1.0, Calculator::HighPass2nd};
        return 2;
    case KxEQGraphCalc::HPF_24dBSlope:
        out[0] = {kButterworthQ4Low, 1.0, Calculator::HighPass2nd};
        out[1] = {kButterworthQ4High, 1.0, Calculator::HighPass2nd};
        return 2;
    case KxEQGraphCalc::LPF_6dBSlope:
        out[0] = {kButterworthQ2, 1.0, Calculator::LowPass1st};
        return 1;
    case KxEQGraphCalc::LPF_12dBSlope:
        out[0] = {kButterworthQ2, 1.0, Calculator::LowPass2nd};
        return 1;
    default:
        return 0; // FilterNone and anything unknown: 0 dB
    }
}

// Holds a gain to a finite value; a NaN (a zero and a pole meeting at one
// frequency) counts as the zero.
double pathGain(double gain)
{
    if (std::isnan(gain)) {
        return -KxEQGraphCalc::kPathGainLimitDb;
    }
    return std::clamp(gain, -KxEQGraphCalc::kPathGainLimitDb, KxEQGraphCalc::kPathGainLimitDb);
}

} // namespace

KxEQGraphCalc::KxEQGraphCalc(QObject* parent)
    : KxGraphCalc(parent)
{
    for (int band = Band1; band < kBandCount; ++band) {
        m_bandIds.append(band);
        m_onOff.insert(band, false);
        m_filterTypes.insert(band, FilterNone);
        m_params.insert(band, {{F, kInitialFrequency}, {G, kInitialGain}, {Q, kInitialQ}});
    }
    m_onOff.insert(BandAll, false);
    setXMapType(KxGraphCalc::Logarithmic);
    setYMapType(KxGraphCalc::Linear);
}

KxEQGraphCalc::~KxEQGraphCalc() = default;

bool KxEQGraphCalc::setBandOnOff(int bandId, bool isBandOn)
{
    if (bandId < Band1 || bandId > BandAll) {
        CORVANE_LOG("CPP setBandOnOff() : unknown band ID");
        return false;
    }
    const auto it = m_onOff.find(bandId);
    if (it == m_onOff.end()) {
        CORVANE_LOG(QStringLiteral("CPP setBandOnOff() : no on/off QHash on bandId(%1)").arg(bandId));
        return false;
    }
    *it = isBandOn;
    return true;
}

bool KxEQGraphCalc::setBandFilterType(int bandId, int filterType)
{
    const QString refusal = filterBandRefusal(bandId, m_filterTypes.contains(bandId));
    if (!refusal.isEmpty()) {
        CORVANE_LOG(refusal);
        return false;
    }
    m_filterTypes[bandId] = filterType;
    return true;
}

bool KxEQGraphCalc::setBandFilterParam(int bandId, int paramType, double paramVal)
{
    // The same words as for the filter type: the view reads them as one family.
    const QString refusal = filterBandRefusal(bandId, m_params.contains(bandId));
    if (!refusal.isEmpty()) {
        CORVANE_LOG(refusal);
        return false;
    }
    const auto it = m_params.find(bandId);
    if (paramType < F || paramType >= NumberOfParamTypes) {
        CORVANE_LOG(QStringLiteral("CPP setBandFilterParam() : unknown param type(%1)").arg(paramType));
        return false;
    }
    it->insert(paramType, paramVal);
    return true;
}

void KxEQGraphCalc::setSamplingRate(int samplingRate)
{
    m_samplingRate = samplingRate;
}

void KxEQGraphCalc::setMusicalType(int musicalType)
{
    m_musicalType = musicalType;
}

double KxEQGraphCalc::samplingRateHz() const
{
    if (m_samplingRate >= Rate44100Hz && m_samplingRate < NumberOfSamplingRates) {
        return kSamplingRates[m_samplingRate];
    }
    return kSamplingRates[Rate96000Hz];
}

int KxEQGraphCalc::effectiveMusicalType() const
{
    return m_musicalType >= Precise && m_musicalType < NumberOfMusicalTypes ? m_musicalType : Legacy;
}

QList<double> KxEQGraphCalc::generateFrequencyList(int n)
{
    QList<double> freqs(std::max(n, 0), 0.0);
    if (n <= 2) {
        return freqs;
    }
    // The exponent is a single-precision value: part of what the sweep is.
    const float exponent = 1.0f / static_cast<float>(n - 1);
    const double ratio = std::pow(1000.0, static_cast<double>(exponent));
    freqs[0] = 20.0;
    for (int i = 1; i < n - 1; ++i) {
        freqs[i] = freqs[i - 1] * ratio;
    }
    freqs[n - 1] = 20000.0;
    return freqs;
}

void KxEQGraphCalc::appendSections(int bandId, std::vector<Section>& sections) const
{
    if (!m_onOff.value(bandId, false)) {
        return;
    }
    SectionRecipe recipes[2];
    const int count = sectionsOf(m_filterTypes.value(bandId, FilterNone), recipes);
    const QHash<int, double> params = m_params.value(bandId);
    const double frequency = params.value(F, kInitialFrequency);
    for (int i = 0; i < count; ++i) {
        const double q = recipes[i].q < 0.0 ? params.value(Q, kInitialQ) : recipes[i].q;
        const double gain = std::isnan(recipes[i].gain) ? params.value(G, kInitialGain) : recipes[i].gain;
        sections.push_back(
            Calculator::calEQCoef(samplingRateHz(), q, gain, frequency, recipes[i].shape, effectiveMusicalType()));
    }
}

QList<double> KxEQGraphCalc::gainsOf(const std::vector<Section>& sections, const QList<double>& freqs) const
{
    QList<double> gains(freqs.size(), 0.0);
    if (sections.empty()) {
        return gains;
    }
    const double fs = samplingRateHz();
    for (int k = 0; k < freqs.size(); ++k) {
        gains[k] = Calculator::sectionsGainDbAtPhi(sections.data(), sections.size(), Calculator::phiOf(freqs[k], fs));
    }
    return gains;
}

QList<double> KxEQGraphCalc::generateGainList(int bandId, const QList<double>& freqs) const
{
    std::vector<Section> sections;
    appendSections(bandId, sections);
    return gainsOf(sections, freqs);
}

QVariantList KxEQGraphCalc::generateGraphPath(int bandId) const
{
    const bool single = bandId >= Band1 && bandId < kSummedBandCount;
    if (!single && bandId != BandAll) {
        return {};
    }
    const QList<double> freqs = generateFrequencyList(static_cast<int>(plotXPositions().size()));
    // The sum of bands 1 to 6 is the curve of all their sections together.
    std::vector<Section> sections;
    if (single) {
        appendSections(bandId, sections);
    } else {
        for (int band = Band1; band < kSummedBandCount; ++band) {
            appendSections(band, sections);
        }
    }
    const QList<double> gains = gainsOf(sections, freqs);

    QVariantList path;
    path.reserve(freqs.size());
    for (int k = 0; k < freqs.size(); ++k) {
        path.append(QPointF(canvasXFromGraphXVal(freqs[k]), canvasYFromGraphYVal(pathGain(gains[k]))));
    }
    return path;
}
