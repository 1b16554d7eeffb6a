// Local time with milliseconds, and short sleeps.
#pragma once

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;
};

LocalTime localTimeNow();
void sleepOneMillisecond();
