#include "app/SceneLight.h"

#include <algorithm>

namespace {

constexpr float kFixedModelAmbient = 0.2f;  // OpenGL's default global ambient
constexpr float kFixedShadowGrey = 0.2f;
constexpr float kShadowOpacity = 0.5f;

}  // namespace

SceneLight sceneLightFor(const RoomLight* estimate) {
    SceneLight light{};
    for (int c = 0; c < 3; ++c) {
        const float scale = estimate ? std::max(estimate->paper[c], 0.0f) / kFixedLightLevel : 1.0f;
        light.diffuse[c] = light.ambient[c] = light.specular[c] = kFixedLightLevel * scale;
        light.modelAmbient[c] = kFixedModelAmbient * scale;
        float grey = kFixedShadowGrey * scale;
        // The quad leaves half of the paper and adds half of grey; at least the ink.
        if (estimate) grey = std::max(grey, 2.0f * estimate->black[c] - estimate->paper[c]);
        light.shadow[c] = std::clamp(grey, 0.0f, 1.0f);
    }
    light.diffuse[3] = light.ambient[3] = light.specular[3] = light.modelAmbient[3] = 1.0f;
    light.shadow[3] = kShadowOpacity;
    return light;
}
