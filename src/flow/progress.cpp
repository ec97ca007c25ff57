#include "flow/progress.h"

namespace Progress {

namespace {
constexpr double kDownloadShare = 90.0; // percent of the bar the download fills
constexpr double kCreepStep = 2.0;
constexpr double kCreepCeiling = 990.0;
} // namespace

std::optional<qint64> downloadPercent(qint64 written, qint64 expected)
{
    if (expected <= 0)
        return std::nullopt;
    // A server that sends more than it announced cannot push it past 90 %.
    return qBound<qint64>(0,
                          static_cast<qint64>(double(written) / double(expected) * kDownloadShare),
                          qint64(kDownloadShare));
}

double crept(double value)
{
    return value < kCreepCeiling ? value + kCreepStep : value;
}

} // namespace Progress
