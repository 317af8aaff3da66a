// Figures, not tests: the time to compute a 1000-point summed equaliser
// curve of 16 sections (designs included), and of the calculator's summed
// canvas path over a 999-pixel canvas (1000 points) with six busy bands.
// Each figure is the best and the median of `rounds` runs; the machine is
// shared, so the best is the one to compare with the target (< 1 ms).
//
//   bench_eq [rounds]   (default 2000)
#include "EQGraphCalculator.h"
#include "KxEQGraphCalc.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointF>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using EQGraph::Calculator;
using EQGraph::Section;

namespace {

struct Band
{
    int shape;
    int musical;
    double frequency;
    double gain;
    double q;
};

// A busy sixteen-section equaliser: pass filters, shelves, classic and
// musical bells.
const Band kBands[16] = {
    {Calculator::HighPass2nd, 3, 40, 1, 0.541196},
    {Calculator::HighPass2nd, 3, 40, 1, 1.306563},
    {Calculator::LowShelf, 0, 120, 4, 0.7},
    {Calculator::Peaking, 3, 200, -3, 1.4},
    {Calculator::Peaking, 0, 320, 2.5, 2},
    {Calculator::Peaking, 1, 500, -6, 4},
    {Calculator::Peaking, 2, 800, 3, 1},
    {Calculator::Peaking, 3, 1250, -2, 0.8},
    {Calculator::BandPass, 3, 1600, -1, 8},
    {Calculator::Peaking, 0, 2500, 4, 3},
    {Calculator::Peaking, 1, 3150, -4.5, 2},
    {Calculator::Peaking, 2, 5000, 2, 0.5},
    {Calculator::HighShelf, 1, 8000, -3, 1},
    {Calculator::Peaking, 3, 10000, 1.5, 6},
    {Calculator::LowPass2nd, 3, 18000, 1, 0.707106},
    {Calculator::LowPass1st, 3, 19000, 1, 0.707106},
};

struct Figure
{
    double bestUs;
    double medianUs;
};

template <typename F> Figure measure(int rounds, F&& run)
{
    std::vector<double> us;
    us.reserve(rounds);
    QElapsedTimer timer;
    for (int i = 0; i < rounds; ++i) {
        timer.start();
        run();
        us.push_back(timer.nsecsElapsed() / 1000.0);
    }
    std::sort(us.begin(), us.end());
    return {us.front(), us[us.size() / 2]};
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    constexpr double fs = 48000.0;
    const QList<double> freqs = KxEQGraphCalc::generateFrequencyList(1000);

    // Sections designed and summed at every point, as a curve is drawn.
    volatile double sink = 0.0;
    QList<double> curve(freqs.size());
    const Figure sections = measure(rounds, [&] {
        Section s[16];
        for (int b = 0; b < 16; ++b) {
            s[b] = Calculator::calEQCoef(fs, kBands[b].q, kBands[b].gain, kBands[b].frequency, kBands[b].shape,
                                         kBands[b].musical);
        }
        for (int k = 0; k < freqs.size(); ++k) {
            curve[k] = Calculator::sectionsGainDbAtPhi(s, 16, Calculator::phiOf(freqs[k], fs));
        }
        sink = sink + curve[500];
    });

    // The calculator's summed path: six bands, eight sections, canvas points
    // as QVariants.
    KxEQGraphCalc calc;
    calc.setGraphXMax(20000.0);
    calc.setGraphXMin(20.0);
    calc.setGraphYMax(30.0);
    calc.setGraphYMin(-30.0);
    calc.setCanvasWidth(999.0);
    calc.setCanvasHeight(400.0);
    calc.setSamplingRate(KxEQGraphCalc::Rate48000Hz);
    const int types[6] = {KxEQGraphCalc::HPF_24dBSlope, KxEQGraphCalc::HPF_18dBSlope, KxEQGraphCalc::LowShelf,
                          KxEQGraphCalc::PEQ,           KxEQGraphCalc::HighShelf,     KxEQGraphCalc::PEQ};
    for (int b = 0; b < 6; ++b) {
        calc.setBandOnOff(b, true);
        calc.setBandFilterType(b, types[b]);
        calc.setBandFilterParam(b, KxEQGraphCalc::F, 50.0 * (b + 1) * (b + 1));
        calc.setBandFilterParam(b, KxEQGraphCalc::G, b % 2 ? 4.0 : -3.0);
        calc.setBandFilterParam(b, KxEQGraphCalc::Q, 1.0 + b);
    }
    int points = 0;
    const Figure path = measure(rounds, [&] {
        const QVariantList p = calc.generateGraphPath(KxEQGraphCalc::BandAll);
        points = static_cast<int>(p.size());
        sink = sink + p.last().toPointF().y();
    });

    std::printf("curve: 1000 points, 16 sections (designs included): best %.1f us, median %.1f us (target < 1000 us: "
                "%s)\n",
                sections.bestUs, sections.medianUs, sections.bestUs < 1000.0 ? "met" : "MISSED");
    std::printf("path:  %d points, BandAll of 6 bands (8 sections), QVariant points: best %.1f us, median %.1f us\n",
                points, path.bestUs, path.medianUs);
    std::printf("rounds: %d\n", rounds);
    return 0;
}
