#pragma once

// The few OpenGL 2.1 entry points and constants the renderer uses, declared here rather than taken
// from a GL header, so that building the renderer needs no GL development files and linking it needs
// no GL library: the context's owner hands over a lookup function and nothing else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "render/meshrenderer.h"

namespace jf::gl {

using GLenum = unsigned int;
using GLuint = unsigned int;
using GLint = int;
using GLsizei = int;
using GLboolean = unsigned char;
using GLbitfield = unsigned int;
using GLfloat = float;
using GLchar = char;
using GLubyte = unsigned char;
using GLsizeiptr = std::ptrdiff_t;

inline constexpr GLenum kNoError = 0;
inline constexpr GLenum kVersion = 0x1F02;
inline constexpr GLenum kRenderer = 0x1F01;
inline constexpr GLenum kFloat = 0x1406;
inline constexpr GLenum kUnsignedByte = 0x1401;
inline constexpr GLenum kTriangles = 0x0004;
inline constexpr GLenum kPoints = 0x0000;
inline constexpr GLenum kArrayBuffer = 0x8892;
inline constexpr GLenum kStaticDraw = 0x88E4;
inline constexpr GLenum kVertexShader = 0x8B31;
inline constexpr GLenum kFragmentShader = 0x8B30;
inline constexpr GLenum kCompileStatus = 0x8B81;
inline constexpr GLenum kLinkStatus = 0x8B82;
inline constexpr GLenum kInfoLogLength = 0x8B84;
inline constexpr GLenum kDepthTest = 0x0B71;
inline constexpr GLenum kScissorTest = 0x0C11;
inline constexpr GLenum kCullFace = 0x0B44;
inline constexpr GLenum kBlend = 0x0BE2;
inline constexpr GLenum kLequal = 0x0203;
inline constexpr GLbitfield kColorBufferBit = 0x00004000;
inline constexpr GLbitfield kDepthBufferBit = 0x00000100;
inline constexpr GLenum kFalse = 0;
inline constexpr GLenum kTrue = 1;

// The entry points, filled by load(); all of them or none are usable.
struct Functions
{
    const GLubyte* (*GetString)(GLenum) = nullptr;
    GLenum (*GetError)() = nullptr;
    void (*Viewport)(GLint, GLint, GLsizei, GLsizei) = nullptr;
    void (*Scissor)(GLint, GLint, GLsizei, GLsizei) = nullptr;
    void (*Enable)(GLenum) = nullptr;
    void (*Disable)(GLenum) = nullptr;
    void (*ClearColor)(GLfloat, GLfloat, GLfloat, GLfloat) = nullptr;
    void (*ClearDepth)(double) = nullptr;
    void (*Clear)(GLbitfield) = nullptr;
    void (*DepthFunc)(GLenum) = nullptr;
    void (*DepthMask)(GLboolean) = nullptr;
    void (*PointSize)(GLfloat) = nullptr;
    void (*DrawArrays)(GLenum, GLint, GLsizei) = nullptr;
    void (*GenBuffers)(GLsizei, GLuint*) = nullptr;
    void (*DeleteBuffers)(GLsizei, const GLuint*) = nullptr;
    void (*BindBuffer)(GLenum, GLuint) = nullptr;
    void (*BufferData)(GLenum, GLsizeiptr, const void*, GLenum) = nullptr;
    GLuint (*CreateShader)(GLenum) = nullptr;
    void (*DeleteShader)(GLuint) = nullptr;
    void (*ShaderSource)(GLuint, GLsizei, const GLchar* const*, const GLint*) = nullptr;
    void (*CompileShader)(GLuint) = nullptr;
    void (*GetShaderiv)(GLuint, GLenum, GLint*) = nullptr;
    void (*GetShaderInfoLog)(GLuint, GLsizei, GLsizei*, GLchar*) = nullptr;
    GLuint (*CreateProgram)() = nullptr;
    void (*DeleteProgram)(GLuint) = nullptr;
    void (*AttachShader)(GLuint, GLuint) = nullptr;
    void (*BindAttribLocation)(GLuint, GLuint, const GLchar*) = nullptr;
    void (*LinkProgram)(GLuint) = nullptr;
    void (*GetProgramiv)(GLuint, GLenum, GLint*) = nullptr;
    void (*GetProgramInfoLog)(GLuint, GLsizei, GLsizei*, GLchar*) = nullptr;
    void (*UseProgram)(GLuint) = nullptr;
    GLint (*GetUniformLocation)(GLuint, const GLchar*) = nullptr;
    void (*UniformMatrix4fv)(GLint, GLsizei, GLboolean, const GLfloat*) = nullptr;
    void (*Uniform4f)(GLint, GLfloat, GLfloat, GLfloat, GLfloat) = nullptr;
    void (*Uniform1i)(GLint, GLint) = nullptr;
    void (*EnableVertexAttribArray)(GLuint) = nullptr;
    void (*DisableVertexAttribArray)(GLuint) = nullptr;
    void (*VertexAttribPointer)(GLuint, GLint, GLenum, GLboolean, GLsizei, const void*) = nullptr;

    // Looks every entry point up; on failure names the first one missing and leaves this unusable.
    std::optional<std::string> load(const GlProcLoader& getProcAddress);
};

// The major and minor number at the start of a GL_VERSION text, or nothing for an OpenGL ES
// context or a text that does not start with them.
std::optional<std::pair<int, int>> parseDesktopVersion(const char* text);

} // namespace jf::gl
