#include "render/ModelTextures.h"

#include <string>

#include "platform/GLProcs.h"
#include "platform/Text.h"
#include "render/ToonTexture.h"

namespace {

// Selects the texture unit (0 or 1) new textures are bound on, when multitexturing is there.
void selectTextureUnit(int unit) {
    if (p_glActiveTextureARB) p_glActiveTextureARB(unit == 0 ? GL_TEXTURE0_ARB : GL_TEXTURE1_ARB);
}

void addToonProblems(std::vector<TextureProblem>& out, uint32_t material, std::vector<LoadProblem>& lines) {
    for (LoadProblem& p : lines) out.push_back({material, true, std::move(p)});
    lines.clear();
}

void makePmdTextures(ModelTextures& t, const ModelData& model, std::vector<TextureProblem>& problems) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        if (m.textureIndex >= 0) names.push_back(model.textureNames[m.textureIndex]);
        if (m.sphereIndex >= 0) names.push_back(model.textureNames[m.sphereIndex]);
    }
    prefetchTextures(names);
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        MaterialTextures& mt = t.materials[i];
        if (m.textureIndex >= 0) {
            selectTextureUnit(0);
            mt.texture = acquireTexture(t.colourTextures, model.textureNames[m.textureIndex].c_str());
        }
        if (m.sphereIndex >= 0) {
            mt.sphereMode = m.sphereMode;
            selectTextureUnit(1);
            mt.sphere = acquireTexture(t.sphereTextures, model.textureNames[m.sphereIndex].c_str());
        }
    }
    selectTextureUnit(0);
    std::vector<LoadProblem> lines;
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        if (m.toonIndex < 0) continue;
        t.materials[i].toon = acquireToonTexture(t.toonTextures, model.textureNames[m.toonIndex].c_str(), &lines);
        addToonProblems(problems, i, lines);
    }
}

void makePmxTextures(ModelTextures& t, const ModelData& model, std::vector<TextureProblem>& problems) {
    prefetchTextures(model.textureNames);
    // A name that fails is told once; later materials naming it go without it quietly.
    std::vector<bool> failed(model.textureNameCount(), false);
    auto acquireNamed = [&](TextureCache& cache, int32_t index, uint32_t material) -> int32_t {
        const char* name = failed[index] ? "" : model.textureNames[index].c_str();
        if (!*name) return -1;
        const int32_t glName = acquireTexture(cache, name);
        if (glName == -1) {
            problems.push_back({material, false, LoadProblem{cp932ToUtf8(name), {}, "Texture Read Error"}});
            failed[index] = true;
        }
        return glName;
    };
    std::vector<LoadProblem> lines;
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        MaterialTextures& mt = t.materials[i];
        if (m.textureIndex >= 0) {
            selectTextureUnit(0);
            mt.texture = acquireNamed(t.colourTextures, m.textureIndex, i);
        }
        if (m.sphereIndex >= 0) {
            selectTextureUnit(1);
            mt.sphere = acquireNamed(t.sphereTextures, m.sphereIndex, i);
            if (mt.sphere != -1) mt.sphereMode = m.sphereMode;
        }
        if (m.toonIndex >= 0) {
            selectTextureUnit(0);
            mt.toon = acquireToonTexture(t.toonTextures, failed[m.toonIndex] ? "" : model.textureNames[m.toonIndex].c_str(),
                                         &lines);
        } else if (m.sharedToon >= 0) {
            selectTextureUnit(0);
            mt.toon = acquireToonTexture(t.toonTextures, sharedToonName(m.sharedToon).c_str(), &lines);
        }
        addToonProblems(problems, i, lines);
    }
    selectTextureUnit(0);
}

}  // namespace

std::vector<TextureProblem> makeModelTextures(ModelTextures& textures, const ModelData& model) {
    std::vector<TextureProblem> problems;
    textures.materials.assign(model.materialCount(), MaterialTextures{});
    if (model.format == 0) {
        makePmdTextures(textures, model, problems);
    } else {
        makePmxTextures(textures, model, problems);
    }
    return problems;
}

void releaseModelTextures(ModelTextures& t) {
    for (const MaterialTextures& m : t.materials) {
        if (m.texture != -1) releaseTexture(static_cast<uint32_t>(m.texture), t.colourTextures);
        if (m.sphere != -1) releaseTexture(static_cast<uint32_t>(m.sphere), t.sphereTextures);
        if (m.toon != -1) releaseTexture(static_cast<uint32_t>(m.toon), t.toonTextures);
    }
    t.materials.clear();
}

void clearModelTextures(ModelTextures& t) {
    releaseModelTextures(t);
    clearTextureCache(t.toonTextures);
    clearTextureCache(t.sphereTextures);
    clearTextureCache(t.colourTextures);
}
