// Drawing models under a real GL context in the classic (fixed-function) look: textures,
// sphere maps, culling per material, the state left behind, and textures shared by
// materials on release.
#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdlib>

#include "common/GLContext.h"
#include "render/TextureUpload.h"
#include "platform/GLProcs.h"
#include "model/test_pmd_fixtures.h"

using namespace modeltest;

namespace {

constexpr int kSize = 64;

class DrawModel : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        if (HasFatalFailure()) return;
        if (!ensureGLContext(kSize, kSize)) GTEST_SKIP() << "no X display";
        if (!p_glActiveTextureARB || !p_glClientActiveTextureARB) GTEST_SKIP() << "no multitexturing";
        FakeTextures::uninstall();  // real textures from here on
        setModelLook(ModelLook::Classic);
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glDisable(GL_LIGHTING);
        glDisable(GL_DEPTH_TEST);
        glDisable(GL_BLEND);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
        glClearColor(0, 0, 1, 1);
        glClear(GL_COLOR_BUFFER_BIT);
    }

    void TearDown() override {
        setModelLook(ModelLook::Toon);
        ModelTest::TearDown();
    }

    // The rest pose: skinning would copy the rest geometry unchanged.
    void skinAtRest() {
        std::memcpy(model.skin.positions.data(), model.positions.data(), 3 * sizeof(float) * model.vertexCount);
        std::memcpy(model.skin.normals.data(), model.normals.data(), 3 * sizeof(float) * model.vertexCount);
    }

    void load(const std::vector<uint8_t>& bytes) {
        std::string error;
        ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;
        skinAtRest();
    }
};

::testing::AssertionResult near(Pixel p, int r, int g, int b, int tolerance = 3) {
    if (std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << int(p.r) << ", " << int(p.g) << ", " << int(p.b)
                                         << "), expected (" << r << ", " << g << ", " << b << ")";
}

const Pixel left() { return readBackPixel(kSize / 4, kSize / 2); }
const Pixel right() { return readBackPixel(3 * kSize / 4, kSize / 2); }

TEST_F(DrawModel, TexturedMaterialsAppearWhereTheyAreDrawn) {
    writeSolidBMP("red.bmp", 4, 4, 255, 0, 0);
    writeSolidBMP("green.bmp", 4, 4, 0, 255, 0);
    ModelDesc d = twoQuadModel();
    d.materials[0].pmdTexture = "red.bmp";
    d.materials[1].pmdTexture = "green.bmp";
    load(writePMD(d));
    ASSERT_NE(model.textures.materials[0].texture, -1);
    glColor4f(1, 1, 1, 1);
    drawModel(model);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_TRUE(near(left(), 255, 0, 0));
    EXPECT_TRUE(near(right(), 0, 255, 0));

    // Lit: the material colours reach the picture (ambient light only, white texture).
    writeSolidBMP("white.bmp", 4, 4, 255, 255, 255);
    d.materials[0].pmdTexture = "white.bmp";
    d.materials[0].ambient[0] = 1.0f;
    d.materials[0].ambient[1] = 0.0f;
    d.materials[0].ambient[2] = 0.0f;
    d.materials[0].diffuse[0] = d.materials[0].diffuse[1] = d.materials[0].diffuse[2] = 0.0f;
    load(writePMD(d));
    const float ambient[4] = {1, 1, 1, 1};
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
    glEnable(GL_LIGHTING);
    glClear(GL_COLOR_BUFFER_BIT);
    drawModel(model);
    glDisable(GL_LIGHTING);
    EXPECT_TRUE(near(left(), 255, 0, 0));
}

TEST_F(DrawModel, SphereMapsMultiplyOrAdd) {
    writeSolidBMP("grey.bmp", 4, 4, 128, 128, 128);
    writeSolidBMP("glow.bmp", 4, 4, 0, 64, 0);
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"grey.bmp", "glow.bmp"};
    d.materials[0].sphereTexture = 0;
    d.materials[0].sphereMode = 1;
    d.materials[1].sphereTexture = 1;
    d.materials[1].sphereMode = 2;
    load(writePMX(d));
    ASSERT_NE(model.textures.materials[1].sphere, -1);
    glColor4f(0.5f, 0.5f, 0.5f, 1);
    drawModel(model);
    EXPECT_TRUE(near(left(), 64, 64, 64));
    EXPECT_TRUE(near(right(), 128, 192, 128));
}

TEST_F(DrawModel, TranslucentMaterialsAreDoubleSided) {
    ModelDesc d = twoQuadModel();
    // Wind both quads clockwise: seen from the front they are back faces.
    for (std::size_t i = 0; i < d.indices.size(); i += 3) std::swap(d.indices[i + 1], d.indices[i + 2]);
    d.materials[0].diffuse[3] = 0.5f;
    load(writePMD(d));
    ASSERT_EQ(model.materials[0].drawFlags & 0x01, 0x01);
    glCullFace(GL_BACK);
    glFrontFace(GL_CCW);
    glColor4f(1, 1, 0, 1);
    drawModel(model);
    EXPECT_TRUE(near(left(), 255, 255, 0));   // translucent: drawn although it faces away
    EXPECT_TRUE(near(right(), 0, 0, 255));    // opaque: culled, the background shows
    // Translucent materials are drawn last: culling is left as the translucent one set it.
    EXPECT_FALSE(glIsEnabled(GL_CULL_FACE));
}

TEST_F(DrawModel, LeavesUnitZeroActiveAndArraysOff) {
    writeSolidBMP("red.bmp", 4, 4, 255, 0, 0);
    ModelDesc d = twoQuadModel();
    d.materials[0].pmdTexture = "red.bmp*red.sph";
    writeSolidBMP("red.sph", 4, 4, 255, 0, 0);
    for (int materials : {2, 0}) {
        d.materials.resize(materials);
        if (materials == 0) d.morphs.clear();
        load(writePMD(d));
        drawModel(model);
        EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        GLint active = 0, clientActive = 0;
        glGetIntegerv(GL_ACTIVE_TEXTURE, &active);
        glGetIntegerv(GL_CLIENT_ACTIVE_TEXTURE, &clientActive);
        EXPECT_EQ(active, GL_TEXTURE0);
        EXPECT_EQ(clientActive, GL_TEXTURE0);
        EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY));
        EXPECT_FALSE(glIsEnabled(GL_NORMAL_ARRAY));
        for (GLenum unit : {GL_TEXTURE1, GL_TEXTURE0}) {
            p_glActiveTextureARB(unit);
            p_glClientActiveTextureARB(unit);
            EXPECT_FALSE(glIsEnabled(GL_TEXTURE_COORD_ARRAY)) << materials << " materials, unit " << unit;
            EXPECT_FALSE(glIsEnabled(GL_TEXTURE_GEN_S)) << materials << " materials, unit " << unit;
            EXPECT_FALSE(glIsEnabled(GL_TEXTURE_GEN_T)) << materials << " materials, unit " << unit;
        }
        p_glActiveTextureARB(GL_TEXTURE1);
        EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
        p_glActiveTextureARB(GL_TEXTURE0);
    }
    // No model: nothing is drawn and nothing fails.
    releaseModel(model);
    glClear(GL_COLOR_BUFFER_BIT);
    drawModel(model);
    drawModelGeometry(model);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    EXPECT_TRUE(near(left(), 0, 0, 255));
}

TEST_F(DrawModel, GeometryCoversEveryTriangleWithoutTouchingTextures) {
    writeSolidBMP("red.bmp", 4, 4, 255, 0, 0);
    ModelDesc d = twoQuadModel();
    d.materials[0].indexCount = 3;  // materials cover only half the triangles
    d.materials[1].indexCount = 0;
    load(writePMD(d));
    glDisable(GL_TEXTURE_2D);
    glColor4f(0, 1, 0, 1);
    drawModelGeometry(model);
    EXPECT_FALSE(glIsEnabled(GL_TEXTURE_2D));
    EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY));
    EXPECT_TRUE(near(left(), 0, 255, 0));
    EXPECT_TRUE(near(right(), 0, 255, 0));
}

int deletions = 0;
void countingDelete(uint32_t name, void*) {
    ++deletions;
    deleteTextureGL(name);
}

TEST_F(DrawModel, SharedTextureGoesWithTheLastRelease) {
    writeSolidBMP("red.bmp", 4, 4, 255, 0, 0);
    ModelDesc d = twoQuadModel();
    d.materials[0].pmdTexture = "red.bmp";
    d.materials[1].pmdTexture = "red.bmp";
    load(writePMD(d));
    const int32_t name = model.textures.materials[0].texture;
    ASSERT_NE(name, -1);
    ASSERT_EQ(model.textures.materials[1].texture, name);
    EXPECT_TRUE(glIsTexture(static_cast<GLuint>(name)));
    deletions = 0;
    setTextureDeleter(countingDelete, nullptr);

    // The first material gives its reference back: the second still draws with it.
    releaseTexture(static_cast<uint32_t>(name), model.textures.colourTextures);
    model.textures.materials[0].texture = -1;
    EXPECT_EQ(deletions, 0);
    EXPECT_TRUE(glIsTexture(static_cast<GLuint>(name)));

    releaseModel(model);
    EXPECT_EQ(deletions, 1);
    EXPECT_FALSE(glIsTexture(static_cast<GLuint>(name)));
    EXPECT_TRUE(model.textures.colourTextures.empty());
    setTextureDeleter(nullptr, nullptr);
}

}  // namespace
