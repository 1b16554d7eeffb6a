// The toon look under a real GL context: shading through the ramp, outlines, the
// materials' own flags, the order of translucent materials, mipmaps, and the classic
// fallback when shaders are refused.
#include <GL/gl.h>
#include <GL/glext.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "animation/MorphBlend.h"
#include "common/GLContext.h"
#include "image/ImageDecoders.h"
#include "render/TextureUpload.h"
#include "render/ToonShader.h"
#include "render/ToonTexture.h"
#include "platform/GLProcs.h"
#include "model/test_pmd_fixtures.h"

using namespace modeltest;

namespace {

constexpr int kSize = 64;
constexpr float kRadius = 0.8f;

// A ramp 1 texel wide, its top half one grey and its bottom half another.
void writeTwoStepRamp(const std::string& path, uint8_t lit, uint8_t shade) {
    const int h = 256;
    std::vector<uint8_t> out(54 + 4 * h, 0);
    auto put = [&out](std::size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put(2, static_cast<uint32_t>(out.size()), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, 1, 4);
    put(22, h, 4);
    put(26, 1, 2);
    put(28, 24, 2);
    for (int row = 0; row < h; ++row) {  // bottom row first
        const uint8_t v = row < h / 2 ? shade : lit;
        for (int k = 0; k < 3; ++k) out[54 + 4 * row + k] = v;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
}

// A sphere of radius kRadius at the origin, wound clockwise seen from outside as
// character files are, one PMX material over all of it.
ModelDesc sphereModel() {
    ModelDesc m;
    m.name = "sphere";
    const int rings = 24, segments = 32;
    for (int r = 0; r <= rings; ++r) {
        const float theta = static_cast<float>(M_PI) * r / rings;
        for (int s = 0; s <= segments; ++s) {
            const float phi = 2.0f * static_cast<float>(M_PI) * s / segments;
            VertexDesc v;
            v.normal[0] = std::sin(theta) * std::cos(phi);
            v.normal[1] = std::cos(theta);
            v.normal[2] = std::sin(theta) * std::sin(phi);
            for (int k = 0; k < 3; ++k) v.position[k] = kRadius * v.normal[k];
            v.skinType = 0;
            v.bones[0] = 0;
            m.vertices.push_back(v);
        }
    }
    for (int r = 0; r < rings; ++r) {
        for (int s = 0; s < segments; ++s) {
            const uint32_t a = r * (segments + 1) + s, b = a + segments + 1;
            for (uint32_t i : {a, b, a + 1, a + 1, b, b + 1}) m.indices.push_back(i);
        }
    }
    MaterialDesc mat;
    mat.diffuse[0] = mat.diffuse[1] = mat.diffuse[2] = 0.5f;
    mat.ambient[0] = mat.ambient[1] = mat.ambient[2] = 0.0f;
    mat.specular[0] = mat.specular[1] = mat.specular[2] = 0.0f;
    mat.shininess = 0.0f;
    mat.flags = 0x02;
    mat.indexCount = static_cast<uint32_t>(m.indices.size());
    m.materials.push_back(mat);
    BoneDesc root;
    root.name = "root";
    m.bones.push_back(root);
    return m;
}

bool isBackground(Pixel p) { return p.r == 0 && p.g == 0 && p.b == 255; }

class ToonLook : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        if (HasFatalFailure()) return;
        if (!ensureGLContext(kSize, kSize)) GTEST_SKIP() << "no X display";
        if (!p_glActiveTextureARB || !p_glClientActiveTextureARB) GTEST_SKIP() << "no multitexturing";
        FakeTextures::uninstall();
        setModelLook(ModelLook::Toon);
        resetToonShaders();
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(-1, 1, -1, 1, -2, 2);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glEnable(GL_DEPTH_TEST);
        glDisable(GL_BLEND);
        glDisable(GL_ALPHA_TEST);
        glCullFace(GL_FRONT);  // as the viewer culls the clockwise-wound characters
        // Light from the right, no ambient light: the shade depends on the ramp alone.
        const float zero[4] = {0, 0, 0, 1}, white[4] = {1, 1, 1, 1}, fromRight[4] = {1, 0, 0, 0};
        glLightModelfv(GL_LIGHT_MODEL_AMBIENT, zero);
        glLightfv(GL_LIGHT0, GL_AMBIENT, zero);
        glLightfv(GL_LIGHT0, GL_DIFFUSE, white);
        glLightfv(GL_LIGHT0, GL_SPECULAR, zero);
        glLightfv(GL_LIGHT0, GL_POSITION, fromRight);
        glEnable(GL_LIGHT0);
        glEnable(GL_LIGHTING);
        glEnable(GL_NORMALIZE);
        clear();
    }
    void TearDown() override {
        unsetenv("PAVONIX_NO_SHADERS");
        resetToonShaders();
        setModelLook(ModelLook::Toon);
        glDisable(GL_LIGHTING);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_CULL_FACE);
        ModelTest::TearDown();
    }

    void clear() {
        glClearColor(0, 0, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    }
    void skinAtRest() {
        std::memcpy(model.skin.positions.data(), model.positions.data(), 3 * sizeof(float) * model.vertexCount);
        std::memcpy(model.skin.normals.data(), model.normals.data(), 3 * sizeof(float) * model.vertexCount);
    }
    void load(const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;
        skinAtRest();
    }
    bool shadersAvailable() {
        if (activeModelLook() == ModelLook::Toon) return true;
        return false;
    }

    // Distinct colours among the pixels the model covers, with their counts.
    std::map<uint32_t, int> coveredShades() {
        std::map<uint32_t, int> shades;
        const std::vector<uint8_t> px = readBackBuffer(0, 0, kSize, kSize);
        for (std::size_t i = 0; i < px.size(); i += 4) {
            const Pixel p{px[i], px[i + 1], px[i + 2], px[i + 3]};
            if (!isBackground(p)) ++shades[(uint32_t(p.r) << 16) | (uint32_t(p.g) << 8) | p.b];
        }
        return shades;
    }
};

TEST_F(ToonLook, TwoStepRampGivesExactlyTwoShades) {
    writeTwoStepRamp("ramp.bmp", 255, 100);
    ModelDesc d = sphereModel();
    d.textures = {"ramp.bmp"};
    d.materials[0].sharedToon = 0;
    d.materials[0].toon = 0;
    load(writePMX(d));
    ASSERT_NE(model.textures.materials[0].toon, -1);
    if (!shadersAvailable()) GTEST_SKIP() << "the context runs no shaders";
    drawModel(model);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    // Base colour 0.5 (diffuse 0.5 x white light) times 1.0 or 100/255 of the ramp.
    const std::map<uint32_t, int> shades = coveredShades();
    ASSERT_EQ(shades.size(), 2u);
    for (const auto& [colour, count] : shades) {
        const int v = colour & 0xFF;
        EXPECT_TRUE(std::abs(v - 128) <= 2 || std::abs(v - 50) <= 2) << v;
        EXPECT_GT(count, 300) << v;  // each shade covers about half the disc
    }
    // Lit side on the right, shade on the left.
    EXPECT_GT(readBackPixel(3 * kSize / 4, kSize / 2).r, readBackPixel(kSize / 4, kSize / 2).r);

    // The classic look shades the same sphere smoothly: many levels, not two.
    setModelLook(ModelLook::Classic);
    clear();
    drawModel(model);
    EXPECT_GT(coveredShades().size(), 10u);
}

// A material morph's texture tint changes the drawn texel in the toon look and, through
// the material colour, in the classic look; the rest frame draws the texture as it is.
TEST_F(ToonLook, MaterialMorphTintsReachBothLooks) {
    writeTwoStepRamp("white.bmp", 255, 255);
    ModelDesc d = sphereModel();
    d.textures = {"white.bmp"};
    d.materials[0].texture = 0;
    MorphDesc tint;
    tint.name = "red";
    tint.type = 8;
    tint.offsets.resize(1);
    tint.offsets[0].index = 0;
    tint.offsets[0].textureTint[1] = tint.offsets[0].textureTint[2] = 0.0f;  // keep only red
    d.morphs = {tint};
    load(writePMX(d));
    ASSERT_NE(model.textures.materials[0].texture, -1);
    ASSERT_NE(model.morphKinds, nullptr);
    const int x = 3 * kSize / 4, y = kSize / 2;  // on the lit side
    for (ModelLook look : {ModelLook::Toon, ModelLook::Classic}) {
        setModelLook(look);
        if (look == ModelLook::Toon && !shadersAvailable()) continue;
        resetMorphKinds(model);
        addMorphWeight(*model.morphKinds, 0, 1.0f);
        applyMorphWeights(model);
        clear();
        drawModel(model);
        const Pixel tinted = readBackPixel(x, y);
        resetMorphKinds(model);
        clear();
        drawModel(model);
        const Pixel plain = readBackPixel(x, y);
        const char* name = look == ModelLook::Toon ? "toon" : "classic";
        EXPECT_GT(tinted.r, 40) << name;
        EXPECT_LT(tinted.g, 8) << name;
        EXPECT_LT(tinted.b, 8) << name;
        EXPECT_GT(plain.g, 40) << name;
        EXPECT_NEAR(plain.r, tinted.r, 3) << name;
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    // The classic look leaves unit 0 texturing as its last material set it, for the
    // caller to change; later tests draw untextured.
    p_glActiveTextureARB(GL_TEXTURE0_ARB);
    glDisable(GL_TEXTURE_2D);
}

TEST_F(ToonLook, OutlineLiesAlongTheSilhouetteOnly) {
    ModelDesc d = sphereModel();
    d.materials[0].flags = 0x02 | 0x10;
    d.materials[0].edgeColour[0] = 1.0f;
    d.materials[0].edgeColour[1] = d.materials[0].edgeColour[2] = 0.0f;
    d.materials[0].edgeSize = 3.0f;  // 3.6 pixels
    // Surface in green: light from the viewer.
    d.materials[0].diffuse[0] = d.materials[0].diffuse[2] = 0.0f;
    const float fromViewer[4] = {0, 0, 1, 0};
    glLightfv(GL_LIGHT0, GL_POSITION, fromViewer);
    load(writePMX(d));
    ASSERT_FALSE(model.edgeScales.empty());
    EXPECT_FLOAT_EQ(model.materials[0].edgeSize, 3.0f);
    if (!shadersAvailable()) GTEST_SKIP() << "the context runs no shaders";
    drawModel(model);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    const std::vector<uint8_t> px = readBackBuffer(0, 0, kSize, kSize);
    const float centre = kSize / 2.0f, radiusPx = kRadius * kSize / 2.0f;
    int rim = 0, rimRed = 0, insideRed = 0, farRed = 0;
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const uint8_t* p = &px[4 * (y * kSize + x)];
            const bool red = p[0] > 200 && p[1] < 40 && p[2] < 40;
            const float r = std::hypot(x + 0.5f - centre, y + 0.5f - centre);
            if (r < radiusPx - 2.0f) insideRed += red;
            if (r > radiusPx + 5.0f) farRed += red;
            if (r > radiusPx + 0.7f && r < radiusPx + 2.5f) {
                ++rim;
                rimRed += red;
            }
        }
    }
    EXPECT_EQ(insideRed, 0);
    EXPECT_EQ(farRed, 0);
    EXPECT_GT(rim, 100);
    EXPECT_GT(rimRed, rim * 9 / 10) << rimRed << " of " << rim;

    // No outline in a pass that asks for none, on vertices whose factor is 0, or
    // without the flag.
    for (int variant = 0; variant < 3; ++variant) {
        clear();
        if (variant == 0) {
            drawModel(model, false);
        } else if (variant == 1) {
            for (uint32_t i = 0; i < model.vertexCount; ++i) model.edgeScales[i] = 0.0f;
            drawModel(model);
        } else {
            model.materials[0].drawFlags &= static_cast<uint8_t>(~0x10);
            for (uint32_t i = 0; i < model.vertexCount; ++i) model.edgeScales[i] = 1.0f;
            drawModel(model);
        }
        const std::vector<uint8_t> again = readBackBuffer(0, 0, kSize, kSize);
        int red = 0;
        for (std::size_t i = 0; i < again.size(); i += 4) red += again[i] > 200 && again[i + 1] < 40;
        EXPECT_EQ(red, 0) << "variant " << variant;
    }
    GLint cull = 0;
    glGetIntegerv(GL_CULL_FACE_MODE, &cull);
    EXPECT_EQ(cull, GL_FRONT);  // the caller's choice survives the hull
}

TEST_F(ToonLook, MaterialsWithoutGroundShadowFlagCastNone) {
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    ModelDesc d = twoQuadModelPMX();
    d.materials[0].flags = 0x02;
    d.materials[1].flags = 0x00;
    load(writePMX(d));
    glColor4f(1, 1, 1, 1);
    drawModelGeometry(model);
    EXPECT_EQ(readBackPixel(kSize / 4, kSize / 2).r, 255);
    EXPECT_TRUE(isBackground(readBackPixel(3 * kSize / 4, kSize / 2)));

    // Through the stencil as the viewer's shadow pass marks it.
    clear();
    model.materials[0].drawFlags = 0x00;
    model.materials[1].drawFlags = 0x02;
    glEnable(GL_STENCIL_TEST);
    glStencilFunc(GL_ALWAYS, 1, ~0u);
    glStencilOp(GL_REPLACE, GL_REPLACE, GL_REPLACE);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    drawModelGeometry(model);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glDisable(GL_STENCIL_TEST);
    GLubyte stencil[2] = {9, 9};
    glReadPixels(kSize / 4, kSize / 2, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &stencil[0]);
    glReadPixels(3 * kSize / 4, kSize / 2, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &stencil[1]);
    EXPECT_EQ(stencil[0], 0);
    EXPECT_EQ(stencil[1], 1);

    // PMD materials have no such flag: all of them cast.
    clear();
    load(writePMD(twoQuadModel()));
    drawModelGeometry(model);
    EXPECT_EQ(readBackPixel(kSize / 4, kSize / 2).r, 255);
    EXPECT_EQ(readBackPixel(3 * kSize / 4, kSize / 2).r, 255);
}

// Two quads at the same place, the translucent one first in the file and nearer the
// viewer: drawn in file order the opaque one behind would fail the depth test where
// the translucent one already wrote depth, leaving only the translucent colour.
TEST_F(ToonLook, TranslucentMaterialsAreDrawnAfterOpaqueOnes) {
    glDisable(GL_LIGHTING);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    ModelDesc d = twoQuadModelPMX();
    // Both quads over the left half; quad 0 (translucent red) in front of quad 1 (green).
    for (int q = 0; q < 2; ++q) {
        for (int k = 0; k < 4; ++k) {
            VertexDesc& v = d.vertices[4 * q + k];
            v.position[0] = v.position[0] - (q == 1 ? 1.0f : 0.0f);
            v.position[2] = q == 0 ? 0.5f : 0.0f;
            v.normal[0] = v.normal[1] = 0;
            v.normal[2] = 1;
        }
    }
    d.materials[0].diffuse[0] = 1;
    d.materials[0].diffuse[1] = d.materials[0].diffuse[2] = 0;
    d.materials[0].diffuse[3] = 0.5f;
    d.materials[1].diffuse[0] = d.materials[1].diffuse[2] = 0;
    d.materials[1].diffuse[1] = 1;
    for (auto& m : d.materials) {
        m.ambient[0] = m.ambient[1] = m.ambient[2] = 0;
        m.flags = 0x01 | 0x02;
    }
    const float fromViewer[4] = {0, 0, 1, 0};
    glLightfv(GL_LIGHT0, GL_POSITION, fromViewer);
    load(writePMX(d));
    for (ModelLook look : {ModelLook::Toon, ModelLook::Classic}) {
        setModelLook(look);
        glEnable(GL_LIGHTING);
        clear();
        drawModel(model);
        const Pixel p = readBackPixel(kSize / 4, kSize / 2);
        // Half red over green.
        EXPECT_NEAR(p.r, 128, 4) << (look == ModelLook::Toon ? "toon" : "classic");
        EXPECT_NEAR(p.g, 128, 4) << (look == ModelLook::Toon ? "toon" : "classic");
    }
}

// The shared files with a face and a translucent hair-shadow overlay over it. With the
// overlay moved first in the file, drawing in file order would write its depth before
// the face and hide the face wherever the overlay is faint; drawn opaque-first, the
// picture is the same whichever comes first in the file.
TEST_F(ToonLook, RealAlphaFilesShowTheOpaqueFaceThroughTheFringe) {
    const std::string dir = std::string(PAVONIX_TESTDATA_DIR) + "/pmx/unity-mmd-loader/GeneratedPmx";
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) GTEST_SKIP() << "no real test data";
    ASSERT_EQ(chdir(dir.c_str()), 0);
    for (const char* name : {"mmd-png-hair-shadow-alpha-morph-blend.pmx", "mmd-tga-hair-shadow-overlay-alpha-blend.pmx"}) {
        SCOPED_TRACE(name);
        std::string error;
        ASSERT_TRUE(loadModelFile(model, (dir + "/" + name).c_str(), nullptr, &error)) << error;
        skinAtRest();
        ASSERT_EQ(model.materialCount(), 2u);
        ASSERT_EQ(model.materials[0].indexCount, model.materials[1].indexCount);
        ASSERT_FALSE(model.materials[0].diffuse[3] < 1.0f || textureHasAlpha(model.textures.materials[0].texture));
        ASSERT_TRUE(model.materials[1].diffuse[3] < 1.0f || textureHasAlpha(model.textures.materials[1].texture));

        float lo[3] = {1e9f, 1e9f, 1e9f}, hi[3] = {-1e9f, -1e9f, -1e9f};
        for (uint32_t v = 0; v < model.vertexCount; ++v) {
            for (int k = 0; k < 3; ++k) {
                lo[k] = std::min(lo[k], model.positions[3 * v + k]);
                hi[k] = std::max(hi[k], model.positions[3 * v + k]);
            }
        }
        const float span = std::max(hi[0] - lo[0], hi[1] - lo[1]) * 0.6f + 1e-3f;
        const float cx = (lo[0] + hi[0]) / 2, cy = (lo[1] + hi[1]) / 2;
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(cx - span, cx + span, cy - span, cy + span, -100, 100);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glScalef(1, 1, -1);  // the viewer's mirrored z
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glEnable(GL_ALPHA_TEST);
        glAlphaFunc(GL_GREATER, 0.05f);
        auto picture = [this]() {
            clear();
            drawModel(model);
            return readBackBuffer(0, 0, kSize, kSize);
        };
        auto differing = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
            int n = 0;
            for (std::size_t i = 0; i < a.size(); i += 4)
                n += std::abs(a[i] - b[i]) + std::abs(a[i + 1] - b[i + 1]) + std::abs(a[i + 2] - b[i + 2]) > 6;
            return n;
        };
        auto swapMaterials = [this]() {
            std::swap(model.materials[0], model.materials[1]);
            std::swap(model.textures.materials[0], model.textures.materials[1]);
            const std::size_t half = static_cast<std::size_t>(model.materials[0].indexCount);
            std::swap_ranges(model.indices.data(), model.indices.data() + half, model.indices.data() + half);
        };
        for (ModelLook look : {ModelLook::Toon, ModelLook::Classic}) {
            SCOPED_TRACE(look == ModelLook::Toon ? "toon" : "classic");
            setModelLook(look);
            const std::vector<uint8_t> fileOrder = picture();
            // The overlay really covers part of the face: hiding it changes the picture.
            const float alpha = model.materials[1].diffuse[3];
            model.materials[1].diffuse[3] = 0.0f;
            const std::vector<uint8_t> faceOnly = picture();
            model.materials[1].diffuse[3] = alpha;
            EXPECT_GT(differing(fileOrder, faceOnly), 20);
            swapMaterials();
            EXPECT_EQ(differing(picture(), fileOrder), 0);
            swapMaterials();
        }
        glDisable(GL_ALPHA_TEST);
    }
}

TEST_F(ToonLook, RefusedShadersFallBackToTheClassicLook) {
    setenv("PAVONIX_NO_SHADERS", "1", 1);
    resetToonShaders();
    EXPECT_EQ(requestedModelLook(), ModelLook::Toon);
    EXPECT_EQ(activeModelLook(), ModelLook::Classic);
    writeTwoStepRamp("ramp.bmp", 255, 100);
    ModelDesc d = sphereModel();
    d.textures = {"ramp.bmp"};
    d.materials[0].sharedToon = 0;
    d.materials[0].toon = 0;
    d.materials[0].flags = 0x02 | 0x10;
    d.materials[0].edgeColour[0] = 1.0f;
    load(writePMX(d));
    drawModel(model);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    // Smooth fixed-function shading, and no outline.
    const std::map<uint32_t, int> shades = coveredShades();
    EXPECT_GT(shades.size(), 10u);
    for (const auto& [colour, count] : shades) EXPECT_FALSE((colour >> 16) > 200 && ((colour >> 8) & 0xFF) < 40);
    GLint program = -1;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    EXPECT_EQ(program, 0);

    // Allowed again, the same context builds the programs.
    unsetenv("PAVONIX_NO_SHADERS");
    resetToonShaders();
    if (toonShadersReady()) {
        EXPECT_EQ(activeModelLook(), ModelLook::Toon);
        drawModel(model);
        glGetIntegerv(GL_CURRENT_PROGRAM, &program);
        EXPECT_EQ(program, 0);  // the fixed-function pipeline is back in use afterwards
    }
}

TEST_F(ToonLook, TexturesAreMipmappedSoDistantCheckersTurnGrey) {
    // 64x64 one-pixel checkers drawn on an 8x8-pixel quad: without mipmaps the samples
    // hit black or white; with them the picture is the average grey.
    DecodedImage checkers;
    ASSERT_TRUE(allocateImage(checkers, 64, 64));
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = &checkers.rgba[4 * (y * 64 + x)];
            p[0] = p[1] = p[2] = ((x + y) & 1) ? 255 : 0;
            p[3] = 255;
        }
    }
    const int32_t name = uploadTextureGL(checkers);
    ASSERT_NE(name, -1);
    EXPECT_FALSE(textureHasAlpha(name));
    GLint minFilter = 0, level1 = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &minFilter);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 1, GL_TEXTURE_WIDTH, &level1);
    EXPECT_EQ(minFilter, GL_LINEAR_MIPMAP_LINEAR);
    EXPECT_EQ(level1, 32);

    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex2f(-0.125f, -0.125f);
    glTexCoord2f(1, 0);
    glVertex2f(0.125f, -0.125f);
    glTexCoord2f(1, 1);
    glVertex2f(0.125f, 0.125f);
    glTexCoord2f(0, 1);
    glVertex2f(-0.125f, 0.125f);
    glEnd();
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glDisable(GL_TEXTURE_2D);
    for (int y = kSize / 2 - 2; y < kSize / 2 + 2; ++y) {
        for (int x = kSize / 2 - 2; x < kSize / 2 + 2; ++x) EXPECT_NEAR(readBackPixel(x, y).r, 128, 12);
    }
    deleteTextureGL(static_cast<uint32_t>(name));
    EXPECT_FALSE(textureHasAlpha(name));

    // Translucency is remembered per name.
    DecodedImage fringe;
    ASSERT_TRUE(allocateImage(fringe, 2, 2));
    for (std::size_t i = 0; i < fringe.rgba.size(); ++i) fringe.rgba[i] = 255;
    fringe.rgba[3] = 10;
    const int32_t second = uploadTextureGL(fringe);
    EXPECT_TRUE(textureHasAlpha(second));
    deleteTextureGL(static_cast<uint32_t>(second));
}

// Which ramp a material gets: loading only, with fake texture names.
class ToonRamps : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        if (HasFatalFailure()) return;
        // Our default ramps, in a folder of their own beside the model's.
        ASSERT_EQ(std::system("mkdir -p defaults"), 0);
        for (int i = 0; i < kSharedToonCount; ++i) writeSolidBMP("defaults/" + sharedToonName(i), 1, 4, 200, 200, 200);
        setDefaultToonFolder(scratch + "/defaults");
    }
    void TearDown() override {
        setDefaultToonFolder("");
        ModelTest::TearDown();
    }
    // The file the cache loaded for a GL name.
    std::string fileOf(int32_t glName) {
        for (const TextureEntry& e : model.textures.toonTextures) {
            if (int32_t(e.glName) == glName) return e.fileName;
        }
        return "";
    }
};

TEST_F(ToonRamps, PmdNumbersNameTheToonListWithOurRampsAsFallback) {
    ModelDesc d = twoQuadModel();
    d.materials[0].pmdToon = 0;     // toon01.bmp: not in the model's folder
    d.materials[1].pmdToon = 0xFF;  // none
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(fileOf(model.textures.materials[0].toon), scratch + "/defaults/toon01.bmp");
    EXPECT_EQ(model.textures.materials[1].toon, -1);

    // The model's own file of that name wins, whatever its case.
    writeSolidBMP("Toon01.BMP", 1, 4, 10, 10, 10);
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(fileOf(model.textures.materials[0].toon), "toon01.bmp");

    // A name of the model's own list; a missing one that is not ours leaves none,
    // said on standard error with the name.
    writeSolidBMP("skin.bmp", 1, 4, 10, 10, 10);
    d.pmd.toonNameList = {"skin.bmp", "lost.bmp"};
    d.materials[1].pmdToon = 1;
    const std::string said = stderrOf([&] { ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error; });
    EXPECT_EQ(fileOf(model.textures.materials[0].toon), "skin.bmp");
    EXPECT_EQ(model.textures.materials[1].toon, -1);
    EXPECT_NE(said.find("lost.bmp"), std::string::npos) << said;

    // Without the toon-name section the numbers mean the shared ramps.
    d.pmd.toonNames = false;
    d.pmd.physics = false;
    d.rigidBodies.clear();
    d.joints.clear();
    d.materials[0].pmdToon = 2;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(fileOf(model.textures.materials[0].toon), scratch + "/defaults/toon03.bmp");
    // Two materials naming one ramp share it, and release gives it back.
    d.materials[1].pmdToon = 2;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(model.textures.materials[0].toon, model.textures.materials[1].toon);
    const int before = textures.deletions;
    releaseModel(model);
    EXPECT_EQ(textures.deletions, before + 1);
}

TEST_F(ToonRamps, PmxSharedAndOwnToonsEdgesAndVertexFactors) {
    writeSolidBMP("mine.bmp", 1, 4, 10, 10, 10);
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"mine.bmp"};
    d.materials[0].sharedToon = 1;
    d.materials[0].toon = 3;
    d.materials[1].sharedToon = 0;
    d.materials[1].toon = 0;
    d.materials[1].flags = 0x10;
    const float edge[4] = {0.25f, 0.5f, 0.75f, 0.5f};
    std::memcpy(d.materials[1].edgeColour, edge, sizeof edge);
    d.materials[1].edgeSize = 2.5f;
    d.vertices[5].edgeScale = 0.25f;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_EQ(fileOf(model.textures.materials[0].toon), scratch + "/defaults/toon04.bmp");
    EXPECT_EQ(fileOf(model.textures.materials[1].toon), "mine.bmp");
    for (int k = 0; k < 4; ++k) EXPECT_FLOAT_EQ(model.materials[1].edgeColour[k], edge[k]);
    EXPECT_FLOAT_EQ(model.materials[1].edgeSize, 2.5f);
    EXPECT_FLOAT_EQ(model.edgeScales[5], 0.25f);
    EXPECT_FLOAT_EQ(model.edgeScales[4], 1.0f);

    // A shared number past the ten and an own index past the table mean none.
    d.materials[0].toon = 10;
    d.materials[1].toon = 5;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_EQ(model.textures.materials[0].toon, -1);
    EXPECT_EQ(model.textures.materials[1].toon, -1);
}

TEST_F(ToonRamps, PmdEdgesAreBlackOfSizeOneAndVerticesCanOptOut) {
    ModelDesc d = twoQuadModel();
    d.materials[0].flags = 0x10;
    std::string error;
    Layout layout;
    std::vector<uint8_t> bytes = writePMD(d, &layout);
    // The vertex record's last byte is its edge flag: 1 turns the outline off there.
    bytes[layout.vertices + 4 + 38 * 2 + 37] = 1;
    ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;
    EXPECT_FLOAT_EQ(model.materials[0].edgeSize, 1.0f);
    EXPECT_FLOAT_EQ(model.materials[0].edgeColour[3], 1.0f);
    EXPECT_FLOAT_EQ(model.materials[0].edgeColour[0], 0.0f);
    EXPECT_FLOAT_EQ(model.materials[1].edgeSize, 0.0f);
    EXPECT_FLOAT_EQ(model.edgeScales[2], 0.0f);
    EXPECT_FLOAT_EQ(model.edgeScales[1], 1.0f);
}

TEST(DecodeBMP32, AnAllZeroAlphaChannelMeansOpaque) {
    // 2x1, 32 bits: the fourth byte of every pixel 0 in one file, 0 and 128 in another.
    auto bmp = [](uint8_t a0, uint8_t a1) {
        std::vector<uint8_t> out(54 + 8, 0);
        out[0] = 'B';
        out[1] = 'M';
        out[10] = 54;
        out[14] = 40;
        out[18] = 2;
        out[22] = 1;
        out[26] = 1;
        out[28] = 32;
        const uint8_t px[8] = {10, 20, 30, a0, 40, 50, 60, a1};
        std::memcpy(&out[54], px, 8);
        return out;
    };
    DecodedImage image;
    std::vector<uint8_t> unused = bmp(0, 0);
    ASSERT_TRUE(decodeBMP(unused.data(), unused.size(), image));
    EXPECT_EQ(image.rgba[3], 255);
    EXPECT_EQ(image.rgba[7], 255);
    EXPECT_EQ(image.rgba[0], 30);  // red from the third byte
    std::vector<uint8_t> used = bmp(0, 128);
    ASSERT_TRUE(decodeBMP(used.data(), used.size(), image));
    EXPECT_EQ(image.rgba[3], 0);
    EXPECT_EQ(image.rgba[7], 128);
}

}  // namespace
