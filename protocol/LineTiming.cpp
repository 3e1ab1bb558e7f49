#include "protocol/LineTiming.h"

#include "protocol/LineFormats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace protocol {

double Percentile(std::vector<double>& values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

LineTimingFigures MeasureLineTiming(const LineTimingInput& input)
{
    LineTimingFigures figures;
    figures.linesSent = input.linesSent;
    figures.longestWriteMs = static_cast<double>(input.longestWriteUs) / 1000.0;
    if (input.tickUs > 0) {
        const std::int64_t span = input.endUs - input.firstDeadlineUs;
        figures.ticksDue = span < 0 ? 0 : static_cast<std::size_t>(span / input.tickUs + 1);
        // Each line belongs to the last tick due before it started.
        std::set<std::int64_t> served;
        for (const std::int64_t start : input.startsUs) {
            if (start < input.firstDeadlineUs)
                continue;
            const std::int64_t tick = (start - input.firstDeadlineUs) / input.tickUs;
            if (start - (input.firstDeadlineUs + tick * input.tickUs) > input.tickUs / 4)
                ++figures.late;
            served.insert(tick);
        }
        figures.dropped = figures.ticksDue - std::min(figures.ticksDue, served.size());
        const double lineMs = LineMs(input.lineCharacters, input.bitsPerSecond, input.frameBits);
        if (lineMs * 1000.0 > static_cast<double>(input.tickUs))
            figures.lineTooLongMs = lineMs;
    }
    std::vector<double> spacing;
    for (std::size_t i = 1; i < input.startsUs.size(); ++i)
        spacing.push_back(static_cast<double>(input.startsUs[i] - input.startsUs[i - 1]) / 1000.0);
    if (!spacing.empty()) {
        figures.spacingMedianMs = Percentile(spacing, 0.5);
        figures.spacingP99Ms = Percentile(spacing, 0.99);
    }
    return figures;
}

std::string LineTimingSummary(const LineTimingFigures& f, const std::string& formatName)
{
    char text[256];
    std::snprintf(text, sizeof text, "Line: %zu %s sent, %zu %s due, %zu late, %zu dropped", f.linesSent,
                  f.linesSent == 1 ? "line" : "lines", f.ticksDue, f.ticksDue == 1 ? "tick" : "ticks", f.late,
                  f.dropped);
    std::string summary = text;
    if (f.spacingMedianMs) {
        std::snprintf(text, sizeof text, "; line starts %.1f ms apart (median), %.1f ms (99th percentile)",
                      *f.spacingMedianMs, *f.spacingP99Ms);
        summary += text;
    }
    std::snprintf(text, sizeof text, "; longest write %.1f ms", f.longestWriteMs);
    summary += text;
    if (f.lineTooLongMs) {
        std::snprintf(text, sizeof text, "; %s cannot fit a line in its tick: it takes %.1f ms", formatName.c_str(),
                      *f.lineTooLongMs);
        summary += text;
    }
    return summary;
}

} // namespace protocol
