// Local time for output file names, and the short sleep of the capture loop.

#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

LocalTime localTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t seconds = now.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    // A leap second (60) is folded into 59 so names keep their usual form.
    t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

void sleepOneMillisecond() {
    timespec remaining{0, 1000000};
    // A signal cuts the sleep short; finish what is left of the millisecond.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
