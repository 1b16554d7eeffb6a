#include "app/imgproc/CaptureSchedule.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDefaultFps = 30.0;

}  // namespace

void CaptureSchedule::start(double fps, double nowMs)
{
    fps_ = fps > 0.0 ? fps : kDefaultFps;
    startMs_ = nowMs;
}

// Periods counted by multiplying with the rate, not dividing by a rounded period, so a
// time on a period boundary lands on it exactly.
double CaptureSchedule::periodsAt(double nowMs) const { return (nowMs - startMs_) * fps_ / 1000.0; }

long CaptureSchedule::framesDue(double nowMs) const
{
    const double periods = periodsAt(nowMs);
    return periods <= 0.0 ? 1 : static_cast<long>(std::floor(periods + 1e-9)) + 1;
}

long CaptureSchedule::framesAtEnd(double nowMs) const { return std::max(1L, std::lround(periodsAt(nowMs))); }

int CaptureSchedule::delayToNextTick(double nowMs) const
{
    const double next = startMs_ + static_cast<double>(framesDue(nowMs)) * 1000.0 / fps_;
    return std::max(0, static_cast<int>(std::ceil(next - nowMs - 1e-9)));
}
