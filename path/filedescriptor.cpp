#include "filedescriptor.h"

#include "resolver.h"
#include "text/casemap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace jf {

namespace {

std::string storedPart(std::string_view text)
{
    return toUpperText(trimBlanks(text));
}

// 1-based position of the first occurrence of `c`, 0 when absent.
std::size_t findFirst(std::string_view text, char c)
{
    const std::size_t at = text.find(c);
    return at == std::string_view::npos ? 0 : at + 1;
}

} // namespace

FileDescriptor::FileDescriptor(PathStyle style) : m_style(style)
{
    Clear();
}

bool FileDescriptor::isEmpty() const
{
    return FileName().empty();
}

void FileDescriptor::PathSet(std::optional<std::string_view> cpdrv, std::optional<std::string_view> cpdir,
                             std::optional<std::string_view> cpfil, std::optional<std::string_view> cpfsf,
                             std::optional<std::string_view> cpext)
{
    if (cpdrv)
        setDrive(*cpdrv);
    if (cpdir)
        setDirectory(*cpdir);
    if (cpfil)
        setFile(*cpfil);
    if (cpfsf)
        setFileS(*cpfsf);
    if (cpext)
        setExtension(*cpext);
}

void FileDescriptor::Clear()
{
    m_drive.clear();
    m_directory.clear();
    m_file.clear();
    m_fileS.clear();
    m_extension.clear();
    iFile = 0;
}

std::error_code FileDescriptor::Delete() const
{
    const std::string onDisk = regularFileOnDisk();
    if (onDisk.empty())
        return {};
    if (unlink(onDisk.c_str()) != 0)
        return std::error_code(errno, std::generic_category());
    return {};
}

void FileDescriptor::setDirectory(std::string_view cpDirectory)
{
    m_directory = storedPart(cpDirectory);
}

void FileDescriptor::setDrive(std::string_view cpDrive)
{
    m_drive = storedPart(cpDrive);
}

bool FileDescriptor::isFile() const
{
    return !regularFileOnDisk().empty();
}

void FileDescriptor::setExtension(std::string_view cpExtension)
{
    m_extension = storedPart(cpExtension);
}

void FileDescriptor::setFile(std::string_view cpFile)
{
    m_file = storedPart(cpFile);
}

std::string FileDescriptor::FileName() const
{
    std::string name = m_file + m_fileS;
    if (!m_extension.empty()) {
        name += '.';
        name += m_extension;
    }
    return name;
}

void FileDescriptor::setFileS(std::string_view cpFileS)
{
    m_fileS = storedPart(cpFileS);
}

bool FileDescriptor::isPath() const
{
    if (m_style != PathStyle::Posix)
        return false;
    try {
        const ResolvedPath resolved = resolveOnDisk(Path());
        struct stat info;
        return resolved.exists && stat(resolved.path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    } catch (...) {
        return false;
    }
}

std::string FileDescriptor::Path() const
{
    const std::string name = FileName();
    std::string path = m_drive + m_directory;
    if (!name.empty()) {
        path += separator();
        path += name;
    }
    return path;
}

std::uint64_t FileDescriptor::Size(std::error_code* error) const
{
    if (error)
        error->clear();
    const std::string onDisk = regularFileOnDisk();
    if (onDisk.empty())
        return 0;
    struct stat info;
    if (stat(onDisk.c_str(), &info) != 0) {
        if (error)
            *error = std::error_code(errno, std::generic_category());
        return 0;
    }
    return static_cast<std::uint64_t>(info.st_size);
}

void FileDescriptor::Split(std::string_view cpPath)
{
    Clear();
    const std::string_view p = cpPath;
    const char sep = separator();
    const std::string sepText(1, sep);

    // Positions are 1-based with 0 for absent, so a position found is also the length of the text up to
    // and including that character.
    const std::size_t c = m_style == PathStyle::DriveLetter ? findFirst(p, ':') : 0;
    const std::size_t b1 = findFirst(p, sep);
    const std::size_t b2 = FindLast(0, p, sepText);
    std::size_t d = FindLast(0, p, ".");
    // A dot in a folder or drive name does not start the file's extension: "C:\my.dir\cube" is the
    // folder CUBE inside MY.DIR, not a file. Ignoring such a dot also keeps every length below positive.
    if ((b2 > 0 && d < b2) || (b2 == 0 && c > 0 && d < c))
        d = 0;

    if (c > 0)
        setDrive(p.substr(0, c));
    if (b1 > 0 && b2 > 0 && b1 != b2)
        setDirectory(p.substr(b1 - 1, b2 - b1));
    if (b2 > 0) {
        if (d > 0)
            setFile(p.substr(b2, d - b2 - 1));
        else
            setDirectory(Directory() + sep + std::string(p.substr(b2)));
    } else if (c > 0) {
        if (d > 0)
            setFile(p.substr(c, d - c - 1));
        else
            setDirectory(Directory() + sep + std::string(p.substr(c)));
    }
    if (d > 0)
        setExtension(p.substr(d));
    if (c == 0 && b1 == 0 && b2 == 0)
        setFile(d == 0 ? p : p.substr(0, d - 1));
}

std::size_t FileDescriptor::FindLast(std::size_t endOffset, std::string_view text, std::string_view find)
{
    const std::size_t length = text.size();
    if (text.empty() || find.empty() || find.size() > length)
        return 0;
    if (endOffset == 0)
        endOffset = 1;
    if (endOffset >= length)
        endOffset = length;
    for (std::size_t position = length - endOffset + 1; position >= 1; --position) {
        if (text.substr(position - 1, find.size()) == find)
            return position;
    }
    return 0;
}

std::string FileDescriptor::regularFileOnDisk() const
{
    if (m_style != PathStyle::Posix)
        return {};
    try {
        if (FileName().empty())
            return {};
        ResolvedPath resolved = resolveOnDisk(Path());
        struct stat info;
        // stat follows symbolic links; only the mode is looked at, so a FIFO or device is never opened.
        if (!resolved.exists || stat(resolved.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            return {};
        return std::move(resolved.path);
    } catch (...) {
        return {};
    }
}

} // namespace jf
