#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace jf {

// The two ways of writing a path that a descriptor understands. DriveLetter: a colon ends the drive
// and backslashes separate folders. Posix: "/" separates folders, there is no drive, and a colon is
// an ordinary character. Native is the style of the platform the program runs on.
enum class PathStyle { DriveLetter, Posix, Native = Posix };

// A file path taken apart into drive, directory, base name, name suffix and extension, each kept
// trimmed of blanks and in upper case, and rebuilt on demand. Texts are bytes, UTF-8 where valid.
//
// Split, the part accessors, FileName and Path never touch the file system. isFile, isPath, Size and
// Delete do, in the Posix style only: they map the upper-case path to the names on disk through
// resolveOnDisk() (resolver.h), because the file system distinguishes letter case and the parts do
// not. In the DriveLetter style they report that nothing exists.
class FileDescriptor
{
public:
    explicit FileDescriptor(PathStyle style = PathStyle::Native);

    // The number of the file that the descriptor's user opened on Path (a POSIX file descriptor);
    // the descriptor itself never opens, reads or closes it. Clear() and Split() reset it to 0.
    int iFile = 0;

    PathStyle style() const { return m_style; }
    char separator() const { return m_style == PathStyle::Posix ? '/' : '\\'; }

    bool isEmpty() const;
    void PathSet(std::optional<std::string_view> cpdrv = {}, std::optional<std::string_view> cpdir = {},
                 std::optional<std::string_view> cpfil = {}, std::optional<std::string_view> cpfsf = {},
                 std::optional<std::string_view> cpext = {});
    void Clear();
    // Removes the file if isFile() is true; returns the failure of the removal, if any.
    [[nodiscard]] std::error_code Delete() const;

    const std::string& Directory() const { return m_directory; }
    void setDirectory(std::string_view cpDirectory);
    const std::string& Drive() const { return m_drive; }
    void setDrive(std::string_view cpDrive);
    bool isFile() const;
    const std::string& Extension() const { return m_extension; }
    void setExtension(std::string_view cpExtension);
    const std::string& File() const { return m_file; }
    void setFile(std::string_view cpFile);
    std::string FileName() const;
    void setFileS(std::string_view cpFileS);
    const std::string& FileS() const { return m_fileS; }
    bool isPath() const;
    std::string Path() const;
    // The length in bytes of the file if isFile() is true, else 0. A failing length query is
    // reported through `error` when given.
    std::uint64_t Size(std::error_code* error = nullptr) const;
    // Clears the descriptor and fills the parts from cpPath: the drive up to the first colon (DriveLetter
    // style only), the directory from the first separator up to the last, the base name up to the last
    // dot and the extension after it. A path whose last level has no dot is read as a directory, that
    // level included; so is a path whose only dots lie in a folder or drive name. Text before the first
    // separator that is not a drive is dropped. Works on texts of any length and never fails.
    void Split(std::string_view cpPath);

private:
    // The 1-based position of the last occurrence of `find` in `text` that starts at or before
    // position text.size() - endOffset + 1 (endOffset taken between 1 and text.size()); 0 when there
    // is none.
    static std::size_t FindLast(std::size_t endOffset, std::string_view text, std::string_view find);
    // The on-disk path of the descriptor's file when it is a regular file (symbolic links followed),
    // else an empty text. Never throws.
    std::string regularFileOnDisk() const;

    PathStyle m_style;
    std::string m_drive;
    std::string m_directory;
    std::string m_file;
    std::string m_fileS;
    std::string m_extension;
};

} // namespace jf
