// pavonix-make-demo: writes the demo character "Pavo" (PMD, PMX 2.0 with UTF-16 text and
// PMX 2.1 with UTF-8 text), its textures, its dance and an example default_face.txt.
// Everything is computed, so the same program always writes the same bytes.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "animation/VmdWriter.h"
#include "make_demo/ImageWriters.h"
#include "make_demo/PavoAssets.h"
#include "make_demo/PavoModel.h"
#include "make_demo/PavoMorphs.h"
#include "make_toon/ToonRamps.h"
#include "model/ModelWriter.h"
#include "platform/Text.h"

namespace {

// PMX places rigid bodies in model space; the description holds them relative to their
// bones, as PMD does.
void bodiesToModelSpace(modelwriter::ModelDesc& m) {
    for (auto& body : m.rigidBodies) {
        if (body.bone < 0) continue;
        const float* at = m.bones[static_cast<size_t>(body.bone)].position;
        for (int k = 0; k < 3; ++k) body.position[k] += at[k];
    }
}

// The PMX form: vertex morphs with offsets from the rest position, no base morph (the PMD
// form names places in the base morph instead), material and group morphs besides, legs
// skinned to D bones, and rigid bodies in model space.
modelwriter::ModelDesc asPMX(modelwriter::ModelDesc m, float version, uint8_t encoding) {
    const modelwriter::MorphDesc base = m.morphs.front();
    std::vector<modelwriter::MorphDesc> morphs;
    for (size_t i = 1; i < m.morphs.size(); ++i) {
        modelwriter::MorphDesc d = m.morphs[i];
        d.type = 1;
        for (auto& o : d.offsets) o.index = base.offsets[static_cast<size_t>(o.index)].index;
        morphs.push_back(d);
    }
    m.morphs = morphs;
    demo::addExpressionMorphs(m);
    for (auto& chain : m.ikChains) chain.limit *= 4.0f;  // PMX stores the angle itself
    demo::addDeformLegBones(m);
    bodiesToModelSpace(m);
    m.pmx.version = version;
    m.pmx.textEncoding = encoding;
    return m;
}

bool save(const std::string& path, bool ok) {
    if (!ok) std::fprintf(stderr, "pavonix-make-demo: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || argv[1][0] == '-'))) {
        std::fprintf(stderr, "usage: pavonix-make-demo [OUTPUT_FOLDER]   (default Data/demo)\n");
        return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    const std::string dir = argc == 2 ? argv[1] : "Data/demo";
    mkdir(dir.c_str(), 0755);
    const std::string p = dir + "/";

    demo::PavoBuilder builder;
    const modelwriter::ModelDesc pavo = builder.build();

    bool ok = true;
    ok &= save(p + "pavo.pmd", modelwriter::saveFile(p + "pavo.pmd", modelwriter::writePMD(pavo)));
    ok &= save(p + "pavo.pmx", modelwriter::saveFile(p + "pavo.pmx", modelwriter::writePMX(asPMX(pavo, 2.0f, 0))));
    ok &= save(p + "pavo21.pmx",
               modelwriter::saveFile(p + "pavo21.pmx", modelwriter::writePMX(asPMX(pavo, 2.1f, 1))));

    ok &= save(p + "body.png", demo::writePNG(p + "body.png", demo::bodyTexture()));
    ok &= save(p + "face.bmp", demo::writeBMP(p + "face.bmp", demo::faceTexture()));
    ok &= save(p + "belly.jpg", demo::writeJPEG(p + "belly.jpg", demo::bellyTexture()));
    ok &= save(p + "crest.tga", demo::writeTGA(p + "crest.tga", demo::crestTexture()));
    ok &= save(p + "tail.dds", demo::writeDDS(p + "tail.dds", demo::tailTexture()));
    ok &= save(p + "shine.sph", demo::writeBMP(p + "shine.sph", demo::shineSphere()));
    ok &= save(p + "glow.spa", demo::writeBMP(p + "glow.spa", demo::glowSphere()));
    // Pavo's own ramp: a crisp step into a cool lavender shade, deeper at the far side.
    const toon::RampSpec pavoRamp = {{1, 1, 1}, {0.78f, 0.76f, 0.92f}, 0.47f, 0.04f, {0.62f, 0.60f, 0.80f}, 0.80f};
    ok &= save(p + "pavo_toon.bmp", demo::writeBMP(p + "pavo_toon.bmp", toon::makeRamp(pavoRamp)));

    demo::DanceKeys dance = demo::pavoDance();
    demo::addExpressionKeys(dance);
    for (auto& k : dance.bones) k.name = utf8ToCp932(k.name);
    for (auto& k : dance.faces) k.name = utf8ToCp932(k.name);
    std::string vmdProblem;
    const bool vmdWritten =
        writeVMDFile((p + "dance.vmd").c_str(), dance.bones, dance.faces, utf8ToCp932("Pavo"), &vmdProblem);
    if (!vmdWritten) std::fprintf(stderr, "%s\n", vmdProblem.c_str());
    ok &= save(p + "dance.vmd", vmdWritten);

    // An example default_face.txt: faces listed here stay on from frame 0 of every
    // motion. Copy it next to where you start pavonix to use it.
    const std::string faces = utf8ToCp932("笑い\n");
    ok &= save(p + "default_face.txt",
               demo::writeBytes(p + "default_face.txt", std::vector<uint8_t>(faces.begin(), faces.end())));

    if (!ok) return 1;
    std::printf("pavonix-make-demo: wrote Pavo (%zu vertices, %zu bones, %zu morphs, %zu rigid bodies) into %s\n",
                pavo.vertices.size(), pavo.bones.size(), pavo.morphs.size(), pavo.rigidBodies.size(), dir.c_str());
    return 0;
}
