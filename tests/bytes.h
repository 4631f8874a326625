#pragma once

// Files and names as bytes: QFile's names are decoded text, which cannot hold bytes that are not
// UTF-8, so these go through the system calls and reach the disk unchanged.

#include <QByteArray>
#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace jf::test {

inline QByteArray qb(const std::string& text)
{
    return QByteArray::fromStdString(text);
}

inline std::string_view view(const QByteArray& bytes)
{
    return {bytes.constData(), std::size_t(bytes.size())};
}

inline bool writeBytes(const QByteArray& path, const QByteArray& data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = fd >= 0 && ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return fd >= 0 && ::close(fd) == 0 && written;
}

inline QByteArray readBytes(const QByteArray& path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    char block[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, block, sizeof block)) > 0;)
        data.append(block, n);
    if (fd >= 0)
        ::close(fd);
    return data;
}

// The normal form that the format check gives a source: CR LF line ends, "#IND" as "0".
inline QByteArray normalForm(QByteArray bytes)
{
    return bytes.replace("\r\n", "\n").replace('\r', '\n').replace("\n", "\r\n").replace("#IND", "0");
}

// Every name in a folder, hidden ones included, sorted.
inline QList<QByteArray> rawEntries(const QByteArray& folder)
{
    QList<QByteArray> names;
    if (DIR* dir = ::opendir(folder.constData())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names << QByteArray(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace jf::test
