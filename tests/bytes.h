#pragma once

// Files and names as bytes: QFile's names are decoded text, which cannot hold bytes that are not
// UTF-8, so these go through the standard library's byte names and reach the disk unchanged.

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
    return out.write(data.constData(), data.size()) && out.flush();
}

inline QByteArray readBytes(const QByteArray& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    return qb(std::string(std::istreambuf_iterator<char>(in), {}));
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
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder.toStdString(), error))
        names << qb(entry.path().filename().native());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace jf::test
