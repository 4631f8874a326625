#pragma once

#include <string>

namespace jf {

// The application's version record reads 0.01.0008: major 0, minor 1, revision 8.
constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 1;
constexpr int kVersionRevision = 8;
constexpr const char* kApplicationName = "Jitterform";

// "Jitterform 0.1 build 8": the main window's caption and the command line's --version.
inline std::string versionCaption()
{
    return std::string(kApplicationName) + " " + std::to_string(kVersionMajor) + "." +
           std::to_string(kVersionMinor) + " build " + std::to_string(kVersionRevision);
}

} // namespace jf
