#include "render/ModelDraw.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdlib>

#include "model/MorphKinds.h"
#include "render/Texture.h"
#include "render/TextureUpload.h"
#include "render/ToonShader.h"
#include "platform/GLProcs.h"

namespace {

// Multitexturing may be missing; then only unit 0 exists and sphere maps are not drawn.
bool haveUnit1() { return p_glActiveTextureARB && p_glClientActiveTextureARB; }

void selectUnit(GLenum unit) {
    if (!haveUnit1()) return;
    p_glActiveTextureARB(unit);
    p_glClientActiveTextureARB(unit);
}

void setSphereGeneration(bool on) {
    if (on) {
        glEnable(GL_TEXTURE_GEN_S);
        glEnable(GL_TEXTURE_GEN_T);
    } else {
        glDisable(GL_TEXTURE_GEN_S);
        glDisable(GL_TEXTURE_GEN_T);
    }
}

void setSphereGenerationMode() {
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
}

// Width of an outline of edge size 1 and vertex factor 1, in pixels of a 480-line window.
constexpr float kOutlinePixels = 1.2f;

ModelLook g_look = ModelLook::Toon;

// Semi-transparent materials go after the opaque ones; a texture with translucent
// pixels makes its material one of them.
bool isTranslucent(const Material& m, const MaterialTextures& t) {
    return m.diffuse[3] < 1.0f || textureHasAlpha(t.texture);
}

bool castsShadow(const ModelData& model, const Material& m) {
    return model.format == 0 || (m.drawFlags & materialflag::kGroundShadow) != 0;
}

bool hasOutline(const Material& m) {
    return (m.drawFlags & materialflag::kEdge) && m.edgeSize > 0.0f && m.edgeColour[3] > 0.0f;
}

// The PMX 2.1 point and line flags draw the same triangles as corners or edges. The
// vertex-colour flag needs the first additional UV as colour, which is not kept; such
// materials draw with their material colour.
GLint polygonModeFor(const ModelData& model, const Material& m, GLint base) {
    if (model.format != 1 || base != GL_FILL) return base;
    if (m.drawFlags & materialflag::kPoints) return GL_POINT;
    if (m.drawFlags & materialflag::kLines) return GL_LINE;
    return base;
}

// textureTint (fixed-function look only, null when none): the texture unit multiplies the
// lit colour by the texel, so scaling the diffuse and ambient colours scales the texel's
// share alike. What a tint adds, and the sphere and toon tints, need the shader look.
void setMaterialLighting(const Material& m, const float* textureTint = nullptr) {
    if (textureTint) {
        float diffuse[4], ambient[4];
        for (int k = 0; k < 4; ++k) {
            diffuse[k] = m.diffuse[k] * textureTint[k];
            ambient[k] = k < 3 ? m.ambient[k] * textureTint[k] : m.ambient[k];
        }
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
        glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, ambient);
    } else {
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, m.diffuse);
        glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, m.ambient);
    }
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, m.specular);
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, m.shininess);
    if (m.drawFlags & materialflag::kDoubleSided) {
        glDisable(GL_CULL_FACE);
    } else {
        glEnable(GL_CULL_FACE);
    }
}

void bindClassicTextures(const MaterialTextures& m, bool multitexture) {
    if (multitexture) p_glActiveTextureARB(GL_TEXTURE0_ARB);
    if (m.texture != -1) {
        glEnable(GL_TEXTURE_2D);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.texture));
        setSphereGeneration(false);
    } else {
        glDisable(GL_TEXTURE_2D);
    }

    if (multitexture) {
        p_glActiveTextureARB(GL_TEXTURE1_ARB);
        if (m.sphere == -1) {
            glDisable(GL_TEXTURE_2D);
            glTexEnvi(GL_TEXTURE_ENV, GL_COMBINE_RGB, GL_REPLACE);
        } else {
            glEnable(GL_TEXTURE_2D);
            glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.sphere));
            setSphereGeneration(true);
            glTexEnvi(GL_TEXTURE_ENV, GL_COMBINE_RGB, m.sphereMode == 2 ? GL_ADD : GL_MODULATE);
        }
        p_glActiveTextureARB(GL_TEXTURE0_ARB);
    }
}

// The shader samples the units whatever their enables; only the bindings matter.
void bindToonTextures(const MaterialTextures& m) {
    const bool sphere = m.sphere != -1 && m.sphereMode != 0;
    if (m.texture != -1) {
        p_glActiveTextureARB(GL_TEXTURE0_ARB);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.texture));
    }
    if (sphere) {
        p_glActiveTextureARB(GL_TEXTURE1_ARB);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.sphere));
    }
    if (m.toon != -1) {
        p_glActiveTextureARB(GL_TEXTURE2_ARB);
        glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.toon));
        // A ramp is read at one column and must neither wrap its ends into each other
        // nor blur between mip levels where the shading turns quickly.
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    }
    p_glActiveTextureARB(GL_TEXTURE0_ARB);
    setToonSurfaceInputs(m.texture != -1, sphere ? m.sphereMode : 0, m.toon != -1);
}

// The hull: faces turned away from the camera, pushed out along their normals, drawn
// in the edge colour; the model's own surface hides all of it but a rim.
void drawOutlines(const ModelData& model) {
    if (model.edgeScales.empty()) return;
    bool any = false;
    for (uint32_t i = 0; i < model.materialCount() && !any; ++i) any = hasOutline(model.materials[i]);
    if (!any) return;

    GLint cullMode = GL_BACK;
    glGetIntegerv(GL_CULL_FACE_MODE, &cullMode);
    glEnable(GL_CULL_FACE);
    glCullFace(cullMode == GL_FRONT ? GL_BACK : GL_FRONT);
    useOutline(kOutlinePixels);
    p_glEnableVertexAttribArray(kOutlineEdgeAttribute);
    p_glVertexAttribPointer(kOutlineEdgeAttribute, 1, GL_FLOAT, GL_FALSE, 0, model.edgeScales.data());
    const uint32_t* indices = model.indices.data();
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        if (hasOutline(m) && m.indexCount > 0) {
            setOutlineMaterial(m.edgeColour, m.edgeSize);
            glDrawElements(GL_TRIANGLES, m.indexCount, GL_UNSIGNED_INT, indices);
        }
        indices += m.indexCount;
    }
    p_glDisableVertexAttribArray(kOutlineEdgeAttribute);
    glCullFace(static_cast<GLenum>(cullMode));
}

}  // namespace

void setModelLook(ModelLook look) { g_look = look; }

ModelLook requestedModelLook() { return g_look; }

ModelLook activeModelLook() {
    if (g_look == ModelLook::Toon && haveUnit1() && toonShadersReady()) return ModelLook::Toon;
    return ModelLook::Classic;
}

void drawModel(const ModelData& model, const ModelTextures& textures, const float* skinnedPositions,
               const float* skinnedNormals, bool outlines) {
    if (model.positions.empty()) return;
    // A material the textures were not made for draws untextured.
    const MaterialTextures untextured;
    auto texturesOf = [&](uint32_t i) -> const MaterialTextures& {
        return i < textures.materials.size() ? textures.materials[i] : untextured;
    };
    const bool multitexture = haveUnit1();
    const bool toon = activeModelLook() == ModelLook::Toon;

    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, skinnedPositions);
    glNormalPointer(GL_FLOAT, 0, skinnedNormals);

    // Unit 1 combines the sphere map with the lit, textured colour of unit 0.
    if (multitexture) {
        selectUnit(GL_TEXTURE1_ARB);
        glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        glTexCoordPointer(2, GL_FLOAT, 0, model.texCoords.data());
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_COMBINE);
        glTexEnvi(GL_TEXTURE_ENV, GL_SOURCE0_RGB, GL_TEXTURE);
        glTexEnvi(GL_TEXTURE_ENV, GL_OPERAND0_RGB, GL_SRC_COLOR);
        glTexEnvi(GL_TEXTURE_ENV, GL_SOURCE1_RGB, GL_PREVIOUS);
        glTexEnvi(GL_TEXTURE_ENV, GL_OPERAND1_RGB, GL_SRC_COLOR);
        setSphereGenerationMode();
        selectUnit(GL_TEXTURE0_ARB);
    }
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, 0, model.texCoords.data());
    setSphereGenerationMode();

    GLint polygonModes[2] = {GL_FILL, GL_FILL};
    glGetIntegerv(GL_POLYGON_MODE, polygonModes);
    GLint polygonMode = polygonModes[0];
    if (toon) useToonSurface();

    // Tints that material morphs set, one per material; none for models without them.
    const MaterialTint* tints = model.morphKinds && model.morphKinds->tints.size() == model.materialCount()
                                    ? model.morphKinds->tints.data()
                                    : nullptr;
    glDisable(GL_CULL_FACE);
    for (int pass = 0; pass < 2; ++pass) {
        const bool translucentPass = pass == 1;
        const uint32_t* indices = model.indices.data();
        for (uint32_t i = 0; i < model.materialCount(); ++i) {
            const Material& m = model.materials[i];
            const MaterialTextures& t = texturesOf(i);
            const uint32_t* first = indices;
            indices += m.indexCount;
            if (isTranslucent(m, t) != translucentPass) continue;
            const MaterialTint* tint = tints ? &tints[i] : nullptr;
            setMaterialLighting(m, !toon && tint && t.texture != -1 ? tint->textureMul : nullptr);
            if (toon) {
                bindToonTextures(t);
                setToonSurfaceTints(tint);
            } else {
                bindClassicTextures(t, multitexture);
            }
            const GLint mode = polygonModeFor(model, m, polygonModes[0]);
            if (mode != polygonMode) {
                glPolygonMode(GL_FRONT_AND_BACK, static_cast<GLenum>(mode));
                polygonMode = mode;
            }
            if (m.indexCount > 0) glDrawElements(GL_TRIANGLES, m.indexCount, GL_UNSIGNED_INT, first);
        }
    }
    if (polygonMode != polygonModes[0]) glPolygonMode(GL_FRONT_AND_BACK, static_cast<GLenum>(polygonModes[0]));

    if (toon) {
        if (outlines) drawOutlines(model);
        stopShading();
        p_glActiveTextureARB(GL_TEXTURE2_ARB);
        glBindTexture(GL_TEXTURE_2D, 0);
        p_glActiveTextureARB(GL_TEXTURE0_ARB);
    }

    if (multitexture) {
        selectUnit(GL_TEXTURE1_ARB);
        setSphereGeneration(false);
        glDisable(GL_TEXTURE_2D);
        glDisableClientState(GL_TEXTURE_COORD_ARRAY);
        selectUnit(GL_TEXTURE0_ARB);
    }
    setSphereGeneration(false);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
}

void drawModelGeometry(const ModelData& model, const float* skinnedPositions) {
    if (model.positions.empty()) return;
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, skinnedPositions);
    if (model.format == 0) {
        glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(model.indexCount()), GL_UNSIGNED_INT, model.indices.data());
        glDisableClientState(GL_VERTEX_ARRAY);
        return;
    }
    // Runs of shadow-casting materials go in one call each.
    const uint32_t* indices = model.indices.data();
    const uint32_t* runStart = indices;
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        if (!castsShadow(model, m)) {
            if (indices > runStart) glDrawElements(GL_TRIANGLES, GLsizei(indices - runStart), GL_UNSIGNED_INT, runStart);
            runStart = indices + m.indexCount;
        }
        indices += m.indexCount;
    }
    if (indices > runStart) glDrawElements(GL_TRIANGLES, GLsizei(indices - runStart), GL_UNSIGNED_INT, runStart);
    glDisableClientState(GL_VERTEX_ARRAY);
}
