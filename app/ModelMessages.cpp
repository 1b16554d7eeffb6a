#include "app/ModelMessages.h"

#include <cstdio>

#include "model/ModelLoader.h"
#include "platform/HostUI.h"

void reportModelLoad(const LoadResult& result) {
    for (const LoadProblem& w : result.warnings()) {
        if (!w.section.empty()) {
            showMessage(w.section.c_str(), w.what.c_str());
        } else {
            std::fprintf(stderr, "%s\n", w.what.c_str());
        }
    }
    if (!result) {
        const LoadProblem& p = result.problem();
        std::fprintf(stderr, "%s: %s\n", p.file.empty() ? "model file" : p.file.c_str(), refusalText(p).c_str());
    }
}
