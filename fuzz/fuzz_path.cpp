// FileDescriptor::Split in both path styles. The first input byte picks the style; the rest is the
// path. Split never touches the file system, so neither does this target.

#include "fuzzsupport.h"
#include "path/filedescriptor.h"
#include "text/casemap.h"

using namespace jf;
using namespace jf::fuzz;

namespace {

void checkPart(const std::string& part, const std::string& input)
{
    FUZZ_CHECK_MSG(trimBlanks(part) == part, printable(input) + " -> [" + printable(part) + "]");
    FUZZ_CHECK_MSG(toUpperText(part) == part, printable(input) + " -> [" + printable(part) + "]");
    // Upper-casing may lengthen a UTF-8 text threefold at most.
    FUZZ_CHECK(part.size() <= 3 * input.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return 0;
    const PathStyle style = (bytes[0] & 1) ? PathStyle::DriveLetter : PathStyle::Posix;
    const std::string input(reinterpret_cast<const char*>(bytes) + 1, size - 1);

    FileDescriptor fresh(style);
    fresh.iFile = 12;
    fresh.Split(input);
    FUZZ_CHECK(fresh.iFile == 0);
    for (const std::string* part :
         {&fresh.Drive(), &fresh.Directory(), &fresh.File(), &fresh.FileS(), &fresh.Extension()})
        checkPart(*part, input);
    const char separator = fresh.separator();
    if (style == PathStyle::Posix) {
        FUZZ_CHECK(fresh.Drive().empty());
    } else if (!fresh.Drive().empty()) {
        FUZZ_CHECK(fresh.Drive().back() == ':' && fresh.Drive().find(':') == fresh.Drive().size() - 1);
    }
    FUZZ_CHECK_MSG(fresh.Directory().empty() || fresh.Directory().front() == separator, printable(input));
    FUZZ_CHECK(fresh.File().find(separator) == std::string::npos);
    FUZZ_CHECK(fresh.Extension().find(separator) == std::string::npos);
    FUZZ_CHECK(fresh.FileS().empty());

    const std::string path = fresh.Path();
    const std::string name = fresh.FileName();
    if (!name.empty())
        FUZZ_CHECK(path.size() > name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0);
    FUZZ_CHECK(fresh.isEmpty() == name.empty());
    // Path is its parts with at most a separator and a dot between them (each part is bounded by
    // checkPart). A drive-letter path whose colon follows a separator ("\\a:") gives the text
    // before the colon to both the drive and the folder: the whole may pass three times the input.
    FUZZ_CHECK(path.size() <= fresh.Drive().size() + fresh.Directory().size() + fresh.File().size() +
                                  fresh.Extension().size() + 2);

    // A descriptor that held other parts and a file number comes out of Split the same as a new one.
    FileDescriptor used(style);
    used.PathSet("Q:", "\\OLD/DIR", "NAME", "_N", "EXT");
    used.iFile = 7;
    used.Split(input);
    FUZZ_CHECK(used.Drive() == fresh.Drive() && used.Directory() == fresh.Directory() &&
               used.File() == fresh.File() && used.FileS() == fresh.FileS() &&
               used.Extension() == fresh.Extension() && used.iFile == 0);

    // The rebuilt path splits without fault too, and a suffix goes where the Convert command puts it.
    FileDescriptor again(style);
    again.Split(path);
    again.setFileS("_n");
    (void)again.Path();
    return 0;
}
