#pragma once

// An OpenGL context that needs no display server: Mesa's surfaceless EGL platform, drawing into a
// framebuffer object of its own. The command line renders its pictures with it, on a machine
// without a screen as on a desktop, through the same renderer as the window's views.

#include <QImage>

#include <memory>
#include <string>

namespace jf {

class OffscreenContext
{
public:
    ~OffscreenContext();
    OffscreenContext(const OffscreenContext&) = delete;
    OffscreenContext& operator=(const OffscreenContext&) = delete;

    // A desktop OpenGL context (2.1 or later, compatibility profile) made current on the calling
    // thread, with a colour and depth framebuffer of `width` x `height` bound. Null where none can
    // be had; `error` then says why, in words for the user.
    static std::unique_ptr<OffscreenContext> create(int width, int height, std::string& error);

    // The address of an OpenGL function of this context, for the renderer's loader.
    static void* procAddress(const char* name);

    int width() const { return m_width; }
    int height() const { return m_height; }

    // What has been drawn into the framebuffer, top row first.
    QImage grab() const;

private:
    OffscreenContext() = default;
    struct Egl;
    std::unique_ptr<Egl> m_egl;
    int m_width = 0;
    int m_height = 0;
};

} // namespace jf
