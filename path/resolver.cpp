#include "resolver.h"

#include "text/casemap.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace jf {

namespace {

struct DirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};

bool nameExists(const std::string& path)
{
    struct stat info;
    // lstat: the question is whether the name is there, not whether a link leads anywhere.
    return lstat(path.c_str(), &info) == 0;
}

// The entry of `folder` (empty for the current folder, else ending in a separator) that stands for
// `component`, or nothing when the folder has none.
std::optional<std::string> findEntry(const std::string& folder, std::string_view component)
{
    // A NUL byte would cut the name short at the system call and match a different entry.
    if (component.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string exact = folder;
    exact.append(component);
    if (nameExists(exact))
        return std::string(component);
    if (component == "." || component == "..")
        return std::nullopt;

    const std::unique_ptr<DIR, DirCloser> dir(opendir(folder.empty() ? "." : folder.c_str()));
    if (!dir)
        return std::nullopt;
    const std::string wantedUpper = toUpperText(component);
    const std::string wantedLower = toLowerText(component);
    std::optional<std::string> best;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (toUpperText(name) != wantedUpper)
            continue;
        if (name == wantedLower)
            return std::string(name);
        // readdir's order is the file system's; the byte order makes the choice the same everywhere.
        if (!best || name < *best)
            best = std::string(name);
    }
    return best;
}

} // namespace

ResolvedPath resolveOnDisk(std::string_view path)
{
    ResolvedPath result;
    result.path.reserve(path.size());
    bool mapping = true;
    std::size_t i = 0;
    while (i < path.size()) {
        if (path[i] == '/') {
            result.path.push_back('/');
            ++i;
            continue;
        }
        const std::size_t end = std::min(path.find('/', i), path.size());
        const std::string_view component = path.substr(i, end - i);
        ++result.componentCount;
        std::optional<std::string> entry;
        if (mapping)
            entry = findEntry(result.path, component);
        if (entry) {
            result.path += *entry;
            ++result.foundCount;
        } else {
            mapping = false;
            result.path += component;
        }
        i = end;
    }
    result.exists = !path.empty() && result.foundCount == result.componentCount;
    return result;
}

std::string pathForNewFile(std::string_view path, bool* folderExists)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        if (folderExists)
            *folderExists = true;
        return toLowerText(path);
    }
    ResolvedPath folder = resolveOnDisk(path.substr(0, slash + 1));
    if (folderExists)
        *folderExists = folder.exists;
    folder.path += toLowerText(path.substr(slash + 1));
    return std::move(folder.path);
}

} // namespace jf
