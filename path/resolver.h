#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace jf {

// Maps a path whose letter case may differ from the names on disk (a descriptor's upper-case Path,
// or a lower-cased path shown to the user) to the names that exist on disk.
//
// The path is taken component by component from the root, or from the current folder when it is
// relative; "." and ".." are kept as they stand. A component that exists under exactly its own name
// is taken as it is. Otherwise the folder is listed and the entries equal to it ignoring letter case
// are the candidates; of several, the one whose name is the component's all-lower-case form wins,
// else the first in byte order. The first component that matches nothing ends the mapping: it and
// the components after it are kept as given. Separators are kept as they stand, repeated and
// trailing ones included. An empty path names nothing. Wildcard characters are ordinary characters.
struct ResolvedPath
{
    std::string path;           // the mapped path (absolute if the given one was)
    bool exists = false;        // every component was found
    std::size_t foundCount = 0; // how many leading components were found
    std::size_t componentCount = 0;
};

ResolvedPath resolveOnDisk(std::string_view path);

// The path under which a new file of that name is created: the folder part mapped by resolveOnDisk,
// then the file name in lower case. `folderExists` tells whether that folder was found.
std::string pathForNewFile(std::string_view path, bool* folderExists = nullptr);

} // namespace jf
