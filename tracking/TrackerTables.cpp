#include "tracking/TrackerTables.h"

TrackerTables g_trackerTables;
