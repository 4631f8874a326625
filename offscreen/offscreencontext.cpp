#include "offscreen/offscreencontext.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <cstdlib>
#include <string_view>

namespace jf {

namespace {

// Framebuffer objects are core since OpenGL 3.0 but not in the 1.1 that libGL exports by name.
constexpr GLenum kFramebuffer = 0x8D40;       // GL_FRAMEBUFFER
constexpr GLenum kRenderbuffer = 0x8D41;      // GL_RENDERBUFFER
constexpr GLenum kColorAttachment0 = 0x8CE0;  // GL_COLOR_ATTACHMENT0
constexpr GLenum kDepthAttachment = 0x8D00;   // GL_DEPTH_ATTACHMENT
constexpr GLenum kFramebufferComplete = 0x8CD5; // GL_FRAMEBUFFER_COMPLETE
constexpr GLenum kRgba8 = 0x8058;             // GL_RGBA8
constexpr GLenum kDepth24 = 0x81A6;           // GL_DEPTH_COMPONENT24

using GenFn = void (*)(GLsizei, GLuint*);
using BindFn = void (*)(GLenum, GLuint);
using StorageFn = void (*)(GLenum, GLenum, GLsizei, GLsizei);
using AttachFn = void (*)(GLenum, GLenum, GLenum, GLuint);
using StatusFn = GLenum (*)(GLenum);
using DeleteFn = void (*)(GLsizei, const GLuint*);

template <typename F>
F load(const char* name)
{
    return reinterpret_cast<F>(eglGetProcAddress(name));
}

} // namespace

struct OffscreenContext::Egl
{
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
    GLuint framebuffer = 0;
    GLuint buffers[2] = {0, 0};

    ~Egl()
    {
        if (context != EGL_NO_CONTEXT) {
            if (framebuffer) {
                load<DeleteFn>("glDeleteFramebuffers")(1, &framebuffer);
                load<DeleteFn>("glDeleteRenderbuffers")(2, buffers);
            }
            eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
            eglDestroyContext(display, context);
        }
        // The display is left initialised: terminating it unloads Mesa's driver, whose memory for
        // the process's life then looks leaked, and a display is the process's to keep anyway
        // (a second context reuses it).
    }
};

OffscreenContext::~OffscreenContext() = default;

void* OffscreenContext::procAddress(const char* name)
{
    return reinterpret_cast<void*>(eglGetProcAddress(name));
}

std::unique_ptr<OffscreenContext> OffscreenContext::create(int width, int height, std::string& error)
{
    std::unique_ptr<OffscreenContext> result(new OffscreenContext);
    result->m_egl = std::make_unique<Egl>();
    result->m_width = width;
    result->m_height = height;
    Egl& egl = *result->m_egl;

    // Tests set this to see the words a machine without a renderer shows.
    if (const char* off = std::getenv("JITTERFORM_NO_OPENGL"); off && *off) {
        error = "No OpenGL renderer can be had here (JITTERFORM_NO_OPENGL is set).";
        return nullptr;
    }
    const char* clientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    const auto getPlatformDisplay =
        load<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (!clientExtensions || !getPlatformDisplay ||
        std::string_view(clientExtensions).find("EGL_MESA_platform_surfaceless") == std::string_view::npos) {
        error = "No OpenGL renderer can be had here: EGL offers no surfaceless platform (Debian: "
                "apt-get install libegl1 libegl-mesa0 libgl1-mesa-dri).";
        return nullptr;
    }
    egl.display = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint major = 0;
    EGLint minor = 0;
    if (egl.display == EGL_NO_DISPLAY || !eglInitialize(egl.display, &major, &minor)) {
        egl.display = EGL_NO_DISPLAY;
        error = "No OpenGL renderer can be had here: EGL's surfaceless platform does not start.";
        return nullptr;
    }
    if (!eglBindAPI(EGL_OPENGL_API)) {
        error = "No OpenGL renderer can be had here: EGL offers no desktop OpenGL.";
        return nullptr;
    }
    const EGLint configAttributes[] = {EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT, EGL_NONE};
    EGLConfig config = nullptr;
    EGLint configs = 0;
    eglChooseConfig(egl.display, configAttributes, &config, 1, &configs);
    egl.context = eglCreateContext(egl.display, configs > 0 ? config : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT,
                                   nullptr);
    if (egl.context == EGL_NO_CONTEXT ||
        !eglMakeCurrent(egl.display, EGL_NO_SURFACE, EGL_NO_SURFACE, egl.context)) {
        error = "No OpenGL renderer can be had here: no OpenGL context without a surface.";
        return nullptr;
    }

    const auto genFramebuffers = load<GenFn>("glGenFramebuffers");
    const auto bindFramebuffer = load<BindFn>("glBindFramebuffer");
    const auto genRenderbuffers = load<GenFn>("glGenRenderbuffers");
    const auto bindRenderbuffer = load<BindFn>("glBindRenderbuffer");
    const auto renderbufferStorage = load<StorageFn>("glRenderbufferStorage");
    const auto attach = load<AttachFn>("glFramebufferRenderbuffer");
    const auto status = load<StatusFn>("glCheckFramebufferStatus");
    if (!genFramebuffers || !bindFramebuffer || !genRenderbuffers || !bindRenderbuffer ||
        !renderbufferStorage || !attach || !status) {
        error = "No OpenGL renderer can be had here: the context has no framebuffer objects.";
        return nullptr;
    }
    genFramebuffers(1, &egl.framebuffer);
    bindFramebuffer(kFramebuffer, egl.framebuffer);
    genRenderbuffers(2, egl.buffers);
    bindRenderbuffer(kRenderbuffer, egl.buffers[0]);
    renderbufferStorage(kRenderbuffer, kRgba8, width, height);
    attach(kFramebuffer, kColorAttachment0, kRenderbuffer, egl.buffers[0]);
    bindRenderbuffer(kRenderbuffer, egl.buffers[1]);
    renderbufferStorage(kRenderbuffer, kDepth24, width, height);
    attach(kFramebuffer, kDepthAttachment, kRenderbuffer, egl.buffers[1]);
    if (status(kFramebuffer) != kFramebufferComplete) {
        error = "No OpenGL renderer can be had here: a picture of " + std::to_string(width) + " x " +
                std::to_string(height) + " pixels does not fit its framebuffer.";
        return nullptr;
    }
    glViewport(0, 0, width, height);
    return result;
}

QImage OffscreenContext::grab() const
{
    QImage image(m_width, m_height, QImage::Format_RGBA8888);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, m_width, m_height, GL_RGBA, GL_UNSIGNED_BYTE, image.bits());
    // OpenGL's rows run bottom to top.
    return image.mirrored(false, true).convertToFormat(QImage::Format_RGB32);
}

} // namespace jf
