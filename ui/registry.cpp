#include "ui/registry.h"

#include <QFile>
#include <QStandardPaths>

#include <cstring>

namespace jf {

namespace {

enum StandInKey : RegistryKey { kNoKey = 0, kMsInfoKey = 1, kToolsLocationKey = 2 };

} // namespace

const QStringList StandInRegistry::kSystemInfoTools = {
    QStringLiteral("hardinfo2"),
    QStringLiteral("hardinfo"),
    QStringLiteral("kinfocenter"),
    QStringLiteral("gnome-system-monitor"),
};

StandInRegistry::StandInRegistry(QStringList folders) : m_folders(std::move(folders)) {}

long StandInRegistry::openKey(RegistryKey root, const QByteArray& subKey, std::uint32_t, std::uint32_t,
                              RegistryKey* key)
{
    *key = kNoKey;
    if (root != kHKeyLocalMachine)
        return kErrorFileNotFound;
    // Registry names ignore letter case.
    const QByteArray name = subKey.toUpper();
    if (name == "SOFTWARE\\MICROSOFT\\SHARED TOOLS\\MSINFO")
        *key = kMsInfoKey;
    else if (name == "SOFTWARE\\MICROSOFT\\SHARED TOOLS LOCATION")
        *key = kToolsLocationKey;
    return *key == kNoKey ? kErrorFileNotFound : kErrorSuccess;
}

long StandInRegistry::queryValue(RegistryKey key, const QByteArray& valueName, std::uint32_t* type,
                                 unsigned char* data, std::uint32_t* size)
{
    if (key != kMsInfoKey || valueName.toUpper() != "PATH")
        return kErrorFileNotFound;
    const QByteArray tool = findTool();
    if (tool.isEmpty())
        return kErrorFileNotFound;
    const auto needed = static_cast<std::uint32_t>(tool.size() + 1); // with its terminating NUL
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    std::memcpy(data, tool.constData(), needed);
    *type = kRegSz;
    *size = needed;
    return kErrorSuccess;
}

long StandInRegistry::closeKey(RegistryKey)
{
    return kErrorSuccess;
}

QByteArray StandInRegistry::findTool() const
{
    for (const QString& name : kSystemInfoTools) {
        const QString path = QStandardPaths::findExecutable(name, m_folders);
        if (!path.isEmpty())
            return QFile::encodeName(path);
    }
    return {};
}

} // namespace jf
