// FileDescriptor::Split in both path styles. The first input byte picks the style; the rest is the
// path. Split never touches the file system, so neither does this target.

#include "fuzzsupport.h"
#include "path/filedescriptor.h"
#include "text/casemap.h"

using namespace jf;
using namespace jf::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const PathStyle style = (bytes[0] & 1) ? PathStyle::DriveLetter : PathStyle::Posix;
    const std::string input(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    FileDescriptor fresh(style);
    fresh.Split(input);
    const char separator = fresh.separator();
    // Parts are held without surrounding blanks and in upper case, which lengthens UTF-8 threefold at most.
    for (const std::string* part : {&fresh.Drive(), &fresh.Directory(), &fresh.File(), &fresh.Extension()}) {
        const std::string shown = printable(input) + " -> [" + printable(*part) + "]";
        FUZZ_CHECK_MSG(trimBlanks(*part) == *part && toUpperText(*part) == *part, shown);
        FUZZ_CHECK_MSG(part->size() <= 3 * input.size(), shown);
    }
    const std::string& drive = fresh.Drive();
    FUZZ_CHECK(style == PathStyle::DriveLetter ? drive.empty() || drive.find(':') == drive.size() - 1
                                               : drive.empty());
    FUZZ_CHECK_MSG(fresh.Directory().empty() || fresh.Directory().front() == separator, printable(input));
    FUZZ_CHECK((fresh.File() + fresh.Extension()).find(separator) == std::string::npos &&
               fresh.FileS().empty());

    const std::string path = fresh.Path(), name = fresh.FileName();
    FUZZ_CHECK(name.empty() || (path.size() > name.size() && path.ends_with(name)));
    FUZZ_CHECK(fresh.isEmpty() == name.empty());
    // Path is its parts with at most a separator and a dot between them. (A drive-letter path whose
    // colon follows a separator, "\\a:", gives the text before the colon to the drive and the folder.)
    FUZZ_CHECK(path.size() <=
               drive.size() + fresh.Directory().size() + fresh.File().size() + fresh.Extension().size() + 2);

    // A descriptor that held other parts and a file number comes out of Split the same as a new one.
    FileDescriptor used(style);
    used.PathSet("Q:", "\\OLD/DIR", "NAME", "_N", "EXT");
    used.iFile = 7;
    used.Split(input);
    FUZZ_CHECK(used.Path() == path && used.FileS().empty() && used.iFile == 0);

    // The rebuilt path splits without fault too, and a suffix goes where the Convert command puts it.
    FileDescriptor again(style);
    again.Split(path);
    again.setFileS("_n");
    (void)again.Path();
    return 0;
}
