#include "render/ToonShader.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <cstdlib>
#include <cstring>

#include "model/MorphKinds.h"
#include "platform/GLProcs.h"

namespace {

const char* const kSurfaceVertex = R"(#version 120
varying vec3 vNormal;
varying vec3 vEye;
varying vec2 vUV;
void main() {
    vec4 eye = gl_ModelViewMatrix * gl_Vertex;
    vEye = eye.xyz;
    vNormal = gl_NormalMatrix * gl_Normal;
    vUV = gl_MultiTexCoord0.xy;
    gl_Position = gl_ProjectionMatrix * eye;
}
)";

// The ramp is read down its height by how far the surface turns from the light: its
// top row is the lit side, its bottom row the side in shadow.
const char* const kSurfaceFragment = R"(#version 120
uniform sampler2D uTexture;
uniform sampler2D uSphere;
uniform sampler2D uRamp;
uniform int uHasTexture;
uniform int uSphereMode;
uniform int uHasRamp;
uniform vec4 uTextureMul, uTextureAdd, uSphereMul, uSphereAdd, uToonMul, uToonAdd;
varying vec3 vNormal;
varying vec3 vEye;
varying vec2 vUV;
void main() {
    vec3 n = normalize(vNormal);
    vec4 lp = gl_LightSource[0].position;
    vec3 l = normalize(lp.xyz - vEye * lp.w);
    float facing = dot(n, l);
    vec3 colour = gl_FrontMaterial.ambient.rgb * (gl_LightModel.ambient.rgb + gl_LightSource[0].ambient.rgb)
                + gl_FrontMaterial.diffuse.rgb * gl_LightSource[0].diffuse.rgb;
    colour = clamp(colour, 0.0, 1.0);
    float alpha = gl_FrontMaterial.diffuse.a;
    if (uHasTexture != 0) {
        vec4 t = clamp(texture2D(uTexture, vUV) * uTextureMul + uTextureAdd, 0.0, 1.0);
        colour *= t.rgb;
        alpha *= t.a;
    }
    if (uSphereMode != 0) {
        vec3 u = normalize(vEye);
        vec3 r = u - 2.0 * n * dot(n, u);
        float m = 2.0 * sqrt(r.x * r.x + r.y * r.y + (r.z + 1.0) * (r.z + 1.0));
        vec3 s = texture2D(uSphere, vec2(r.x / m + 0.5, r.y / m + 0.5)).rgb * uSphereMul.rgb + uSphereAdd.rgb;
        s = clamp(s, 0.0, 1.0);
        colour = uSphereMode == 2 ? colour + s : colour * s;
    }
    if (uHasRamp != 0) {
        vec3 ramp = texture2D(uRamp, vec2(0.5, clamp(0.5 - 0.5 * facing, 0.0, 1.0))).rgb;
        colour *= clamp(ramp * uToonMul.rgb + uToonAdd.rgb, 0.0, 1.0);
    }
    if (facing > 0.0 && gl_FrontMaterial.shininess > 0.0) {
        vec3 h = normalize(l - normalize(vEye));
        colour += gl_FrontMaterial.specular.rgb * gl_LightSource[0].specular.rgb *
                  pow(max(dot(n, h), 0.0), gl_FrontMaterial.shininess);
    }
    gl_FragColor = vec4(clamp(colour, 0.0, 1.0), alpha);
}
)";

// The hull moves out in screen space, so its width is the same in pixels however far
// the character stands from the camera.
const char* const kOutlineVertex = R"(#version 120
attribute float aEdge;
uniform float uWidth;
uniform vec2 uPixelToClip;
void main() {
    vec4 clip = gl_ModelViewProjectionMatrix * gl_Vertex;
    vec2 direction = (gl_ProjectionMatrix * vec4(gl_NormalMatrix * gl_Normal, 0.0)).xy;
    float span = length(direction);
    if (span > 1e-6) clip.xy += direction / span * uPixelToClip * (uWidth * aEdge) * clip.w;
    gl_Position = clip;
}
)";

const char* const kOutlineFragment = R"(#version 120
uniform vec4 uColour;
void main() { gl_FragColor = uColour; }
)";

struct Programs {
    bool tried = false;
    bool ready = false;
    std::string report;  // why a program failed to build, until takeToonShaderReport
    GLuint surface = 0, outline = 0;
    GLint hasTexture = -1, sphereMode = -1, hasRamp = -1;
    GLint tints[6] = {-1, -1, -1, -1, -1, -1};  // texture, sphere, toon: mul then add
    GLint width = -1, pixelToClip = -1, colour = -1;
    float pixelsPerEdgeUnit = 1.0f;
};
Programs g_programs;

bool refusedByEnvironment() {
    const char* v = std::getenv("PAVONIX_NO_SHADERS");
    return v && *v && std::strcmp(v, "0") != 0;
}

// The driver's log of a program that failed, in the words the program prints.
void addReport(std::string& report, const char* what, const char* failure, const char* log) {
    report += std::string("pavonix: the ") + what + " shader does not " + failure +
              ", so the classic look is used:\n" + log + "\n";
}

GLuint compile(GLenum kind, const char* source, const char* what, std::string& report) {
    const GLuint shader = p_glCreateShader(kind);
    if (!shader) return 0;
    p_glShaderSource(shader, 1, &source, nullptr);
    p_glCompileShader(shader);
    GLint ok = GL_FALSE;
    p_glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok) return shader;
    char log[2048] = {};
    p_glGetShaderInfoLog(shader, sizeof log - 1, nullptr, log);
    addReport(report, what, "compile", log);
    p_glDeleteShader(shader);
    return 0;
}

GLuint link(const char* vertex, const char* fragment, const char* what, std::string& report) {
    const GLuint vs = compile(GL_VERTEX_SHADER, vertex, what, report);
    const GLuint fs = vs ? compile(GL_FRAGMENT_SHADER, fragment, what, report) : 0;
    GLuint program = 0;
    if (vs && fs) {
        program = p_glCreateProgram();
        p_glAttachShader(program, vs);
        p_glAttachShader(program, fs);
        p_glBindAttribLocation(program, kOutlineEdgeAttribute, "aEdge");
        p_glLinkProgram(program);
        GLint ok = GL_FALSE;
        p_glGetProgramiv(program, GL_LINK_STATUS, &ok);
        if (!ok) {
            char log[2048] = {};
            p_glGetProgramInfoLog(program, sizeof log - 1, nullptr, log);
            addReport(report, what, "link", log);
            p_glDeleteProgram(program);
            program = 0;
        }
    }
    // Attached shaders live on in the program; these names are not needed any more.
    if (vs) p_glDeleteShader(vs);
    if (fs) p_glDeleteShader(fs);
    return program;
}

bool build(Programs& p) {
    if (refusedByEnvironment()) return false;
    if (!loadGLShaderProcs()) return false;
    GLint units = 0;
    glGetIntegerv(GL_MAX_TEXTURE_IMAGE_UNITS, &units);
    if (units < 3) return false;
    p.surface = link(kSurfaceVertex, kSurfaceFragment, "toon surface", p.report);
    p.outline = p.surface ? link(kOutlineVertex, kOutlineFragment, "outline", p.report) : 0;
    if (!p.surface || !p.outline) {
        if (p.surface) p_glDeleteProgram(p.surface);
        p.surface = 0;
        return false;
    }
    p_glUseProgram(p.surface);
    p_glUniform1i(p_glGetUniformLocation(p.surface, "uTexture"), kToonUnitTexture);
    p_glUniform1i(p_glGetUniformLocation(p.surface, "uSphere"), kToonUnitSphere);
    p_glUniform1i(p_glGetUniformLocation(p.surface, "uRamp"), kToonUnitRamp);
    p.hasTexture = p_glGetUniformLocation(p.surface, "uHasTexture");
    p.sphereMode = p_glGetUniformLocation(p.surface, "uSphereMode");
    p.hasRamp = p_glGetUniformLocation(p.surface, "uHasRamp");
    const char* const tintNames[6] = {"uTextureMul", "uTextureAdd", "uSphereMul", "uSphereAdd", "uToonMul", "uToonAdd"};
    for (int k = 0; k < 6; ++k) p.tints[k] = p_glGetUniformLocation(p.surface, tintNames[k]);
    p.width = p_glGetUniformLocation(p.outline, "uWidth");
    p.pixelToClip = p_glGetUniformLocation(p.outline, "uPixelToClip");
    p.colour = p_glGetUniformLocation(p.outline, "uColour");
    p_glUseProgram(0);
    return glGetError() == GL_NO_ERROR;
}

}  // namespace

bool toonShadersReady() {
    if (!g_programs.tried) {
        g_programs.tried = true;
        g_programs.ready = build(g_programs);
    }
    return g_programs.ready;
}

std::string takeToonShaderReport() {
    std::string report;
    report.swap(g_programs.report);
    return report;
}

void resetToonShaders() { g_programs = Programs{}; }

void useToonSurface() { p_glUseProgram(g_programs.surface); }

void setToonSurfaceInputs(bool texture, uint8_t sphereMode, bool ramp) {
    p_glUniform1i(g_programs.hasTexture, texture ? 1 : 0);
    p_glUniform1i(g_programs.sphereMode, sphereMode);
    p_glUniform1i(g_programs.hasRamp, ramp ? 1 : 0);
}

void setToonSurfaceTints(const MaterialTint* tint) {
    static const float kOne[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    static const float kZero[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    const float* values[6] = {kOne, kZero, kOne, kZero, kOne, kZero};
    if (tint) {
        values[0] = tint->textureMul;
        values[1] = tint->textureAdd;
        values[2] = tint->sphereMul;
        values[3] = tint->sphereAdd;
        values[4] = tint->toonMul;
        values[5] = tint->toonAdd;
    }
    for (int k = 0; k < 6; ++k) p_glUniform4fv(g_programs.tints[k], 1, values[k]);
}

void useOutline(float pixelsPerEdgeUnit) {
    p_glUseProgram(g_programs.outline);
    GLint viewport[4] = {0, 0, 1, 1};
    glGetIntegerv(GL_VIEWPORT, viewport);
    const float w = viewport[2] > 0 ? float(viewport[2]) : 1.0f;
    const float h = viewport[3] > 0 ? float(viewport[3]) : 1.0f;
    p_glUniform2f(g_programs.pixelToClip, 2.0f / w, 2.0f / h);
    // Widths are chosen for a 480-line window and grow with larger ones.
    g_programs.pixelsPerEdgeUnit = pixelsPerEdgeUnit * (h > 480.0f ? h / 480.0f : 1.0f);
}

void setOutlineMaterial(const float colour[4], float edgeSize) {
    p_glUniform4fv(g_programs.colour, 1, colour);
    p_glUniform1f(g_programs.width, edgeSize * g_programs.pixelsPerEdgeUnit);
}

void stopShading() { p_glUseProgram(0); }
