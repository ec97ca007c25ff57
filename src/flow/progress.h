#pragma once

#include <QtGlobal>

#include <optional>

// The bar's arithmetic, in per-mille: the download fills it to 90 %, the installation creeps
// on from there towards 99 %, and success fills it.
namespace Progress {

inline constexpr double kInstallStart = 900.0;
inline constexpr double kFull = 1000.0;

// The whole percent of the bar a download of `written` of `expected` bytes fills, truncated and
// never past 90 %; nothing while the size is unknown.
std::optional<qint64> downloadPercent(qint64 written, qint64 expected);

// The bar one creep step on from `value`: two per-mille a step, up to 99 %.
double crept(double value);

} // namespace Progress
