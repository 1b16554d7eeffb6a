// What the user is told about loading a model.
#pragma once

#include "base/LoadResult.h"

// Shows what loading a model met, in order: each warning with a section in a message box
// captioned with it, each without one as a line on standard error; then a refusal as
// "FILE: REASON" on standard error.
void reportModelLoad(const LoadResult& result);
