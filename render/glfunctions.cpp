#include "render/glfunctions.h"

#include <cstdlib>
#include <cstring>

namespace jf::gl {

namespace {

template <typename F>
bool resolve(const GlProcLoader& getProcAddress, const char* name, F& slot)
{
    void* p = getProcAddress(name);
    // Function and object pointers share a representation on every platform with OpenGL.
    slot = reinterpret_cast<F>(p);
    return p != nullptr;
}

} // namespace

std::optional<std::string> Functions::load(const GlProcLoader& getProcAddress)
{
    if (!getProcAddress)
        return std::string("no way to look up OpenGL functions was given");
    const char* missing = nullptr;
    auto need = [&](const char* name, auto& slot) {
        if (!resolve(getProcAddress, name, slot) && !missing)
            missing = name;
    };
    need("glGetString", GetString);
    need("glGetError", GetError);
    need("glViewport", Viewport);
    need("glScissor", Scissor);
    need("glEnable", Enable);
    need("glDisable", Disable);
    need("glClearColor", ClearColor);
    need("glClearDepth", ClearDepth);
    need("glClear", Clear);
    need("glDepthFunc", DepthFunc);
    need("glDepthMask", DepthMask);
    need("glPointSize", PointSize);
    need("glDrawArrays", DrawArrays);
    need("glGenBuffers", GenBuffers);
    need("glDeleteBuffers", DeleteBuffers);
    need("glBindBuffer", BindBuffer);
    need("glBufferData", BufferData);
    need("glCreateShader", CreateShader);
    need("glDeleteShader", DeleteShader);
    need("glShaderSource", ShaderSource);
    need("glCompileShader", CompileShader);
    need("glGetShaderiv", GetShaderiv);
    need("glGetShaderInfoLog", GetShaderInfoLog);
    need("glCreateProgram", CreateProgram);
    need("glDeleteProgram", DeleteProgram);
    need("glAttachShader", AttachShader);
    need("glBindAttribLocation", BindAttribLocation);
    need("glLinkProgram", LinkProgram);
    need("glGetProgramiv", GetProgramiv);
    need("glGetProgramInfoLog", GetProgramInfoLog);
    need("glUseProgram", UseProgram);
    need("glGetUniformLocation", GetUniformLocation);
    need("glUniformMatrix4fv", UniformMatrix4fv);
    need("glUniform4f", Uniform4f);
    need("glUniform1i", Uniform1i);
    need("glEnableVertexAttribArray", EnableVertexAttribArray);
    need("glDisableVertexAttribArray", DisableVertexAttribArray);
    need("glVertexAttribPointer", VertexAttribPointer);
    if (missing) {
        *this = Functions{};
        return std::string("the OpenGL function ") + missing + " is missing";
    }
    return std::nullopt;
}

std::optional<std::pair<int, int>> parseDesktopVersion(const char* text)
{
    if (!text || std::strncmp(text, "OpenGL ES", 9) == 0)
        return std::nullopt;
    char* end = nullptr;
    const long major = std::strtol(text, &end, 10);
    if (end == text || *end != '.')
        return std::nullopt;
    const char* minorText = end + 1;
    const long minor = std::strtol(minorText, &end, 10);
    if (end == minorText || major < 0 || major > 1000 || minor < 0 || minor > 1000)
        return std::nullopt;
    return std::pair{static_cast<int>(major), static_cast<int>(minor)};
}

} // namespace jf::gl
