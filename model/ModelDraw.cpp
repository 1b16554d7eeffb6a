#include "model/ModelDraw.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdlib>

#include "model/Texture.h"
#include "physics/RigidBody.h"
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

template <typename T>
void freeAndNull(T*& p) {
    std::free(p);
    p = nullptr;
}

}  // namespace

void drawModel(const cModel& model) {
    if (!model.positions) return;
    const bool multitexture = haveUnit1();

    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, model.skinnedPositions);
    glNormalPointer(GL_FLOAT, 0, model.skinnedNormals);

    // Unit 1 combines the sphere map with the lit, textured colour of unit 0.
    if (multitexture) {
        selectUnit(GL_TEXTURE1_ARB);
        glEnableClientState(GL_TEXTURE_COORD_ARRAY);
        glTexCoordPointer(2, GL_FLOAT, 0, model.texCoords);
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_COMBINE);
        glTexEnvi(GL_TEXTURE_ENV, GL_SOURCE0_RGB, GL_TEXTURE);
        glTexEnvi(GL_TEXTURE_ENV, GL_OPERAND0_RGB, GL_SRC_COLOR);
        glTexEnvi(GL_TEXTURE_ENV, GL_SOURCE1_RGB, GL_PREVIOUS);
        glTexEnvi(GL_TEXTURE_ENV, GL_OPERAND1_RGB, GL_SRC_COLOR);
        setSphereGenerationMode();
        selectUnit(GL_TEXTURE0_ARB);
    }
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, 0, model.texCoords);
    setSphereGenerationMode();

    glDisable(GL_CULL_FACE);
    const uint32_t* indices = model.indices;
    for (uint32_t i = 0; i < model.materialCount; ++i) {
        const Material& m = model.materials[i];
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, m.diffuse);
        glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, m.ambient);
        glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, m.specular);
        glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, m.shininess);
        if (m.drawFlags & 0x01) {
            glDisable(GL_CULL_FACE);
        } else {
            glEnable(GL_CULL_FACE);
        }

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
            if (m.sphereTexture == -1) {
                glDisable(GL_TEXTURE_2D);
                glTexEnvi(GL_TEXTURE_ENV, GL_COMBINE_RGB, GL_REPLACE);
            } else {
                glEnable(GL_TEXTURE_2D);
                glBindTexture(GL_TEXTURE_2D, static_cast<GLuint>(m.sphereTexture));
                setSphereGeneration(true);
                glTexEnvi(GL_TEXTURE_ENV, GL_COMBINE_RGB, m.sphereMode == 2 ? GL_ADD : GL_MODULATE);
            }
            p_glActiveTextureARB(GL_TEXTURE0_ARB);
        }

        if (m.indexCount > 0) glDrawElements(GL_TRIANGLES, m.indexCount, GL_UNSIGNED_INT, indices);
        indices += m.indexCount;
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

void drawModelGeometry(const cModel& model) {
    if (!model.positions) return;
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(3, GL_FLOAT, 0, model.skinnedPositions);
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(model.indexCount), GL_UNSIGNED_INT, model.indices);
    glDisableClientState(GL_VERTEX_ARRAY);
}

void releaseModel(cModel& model) {
    freeAndNull(model.positions);
    freeAndNull(model.restPositions);
    freeAndNull(model.normals);
    freeAndNull(model.texCoords);
    freeAndNull(model.skins);
    freeAndNull(model.skinnedPositions);
    freeAndNull(model.skinnedNormals);
    freeAndNull(model.indices);
    freeAndNull(model.textureNames);
    freeAndNull(model.sdefVertices);
    freeAndNull(model.sdefBoneRotations);
    model.sdefCount = 0;

    if (model.materials) {
        for (uint32_t i = 0; i < model.materialCount; ++i) {
            const Material& m = model.materials[i];
            if (m.texture != -1) releaseTexture(static_cast<uint32_t>(m.texture), model.colourTextures);
            if (m.sphereTexture != -1) releaseTexture(static_cast<uint32_t>(m.sphereTexture), model.sphereTextures);
        }
        freeAndNull(model.materials);
    }

    delete[] model.bones;
    model.bones = nullptr;
    model.headBone = nullptr;
    model.firstDeformBone = nullptr;
    model.firstAfterPhysicsBone = nullptr;
    delete[] model.ikChains;
    model.ikChains = nullptr;
    delete[] model.morphs;
    model.morphs = nullptr;

    // Joints hold their two bodies, so they go first.
    delete[] model.joints;
    model.joints = nullptr;
    model.jointCount = 0;
    delete[] model.rigidBodies;
    model.rigidBodies = nullptr;
    model.rigidBodyCount = 0;

    model.vertexCount = 0;
    model.indexCount = 0;
    model.textureNameCount = 0;
    model.materialCount = 0;
    model.boneCount = 0;
    model.ikCount = 0;
    model.morphCount = 0;
}

void destroyModel(cModel& model) {
    releaseModel(model);
    std::free(model.motion.boneTargets);
    std::free(model.motion.faceTargets);
    std::free(model.motion.ikTargets);
    model.motion.boneTargets = nullptr;
    model.motion.faceTargets = nullptr;
    model.motion.ikTargets = nullptr;
    model.motion.boneTargetCount = 0;
    model.motion.faceTargetCount = 0;
    model.motion.ikTargetCount = 0;
    model.motion.motionData = nullptr;
    clearTextureCache(model.sphereTextures);
    clearTextureCache(model.colourTextures);
}
