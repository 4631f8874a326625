#pragma once

#include <QByteArray>
#include <QStringList>

#include <cstdint>

namespace jf {

// The system registry as the About box reads it, call for call: open a key, query a value into a
// caller's buffer, close the key. Names are in the system's 8-bit encoding.
using RegistryKey = std::uintptr_t;
constexpr RegistryKey kHKeyLocalMachine = 0x80000002;
// Standard read rights with query value, set value, create sub-key, enumerate sub-keys, notify and
// create link.
constexpr std::uint32_t kKeyAllAccess = 0x2003F;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorMoreData = 234;

class Registry
{
public:
    virtual ~Registry() = default;
    // kErrorSuccess and the key's handle in *key, or an error code.
    virtual long openKey(RegistryKey root, const QByteArray& subKey, std::uint32_t options,
                         std::uint32_t access, RegistryKey* key) = 0;
    // On entry *size is the buffer's size. kErrorSuccess with the value's type and bytes stored, its
    // size in *size; kErrorMoreData when the value does not fit, with the size it needs; else an error.
    virtual long queryValue(RegistryKey key, const QByteArray& valueName, std::uint32_t* type,
                            unsigned char* data, std::uint32_t* size) = 0;
    virtual long closeKey(RegistryKey key) = 0;
};

// Linux has no registry. This one holds the single value the About box looks for first, the path of
// the system-information tool, which it finds as the first of kSystemInfoTools on the search path;
// the second look-up's key exists and holds nothing.
class StandInRegistry : public Registry
{
public:
    static const QStringList kSystemInfoTools;

    // Looks in `folders`, or in the folders of PATH when none are given.
    explicit StandInRegistry(QStringList folders = {});

    long openKey(RegistryKey root, const QByteArray& subKey, std::uint32_t options, std::uint32_t access,
                 RegistryKey* key) override;
    long queryValue(RegistryKey key, const QByteArray& valueName, std::uint32_t* type, unsigned char* data,
                    std::uint32_t* size) override;
    long closeKey(RegistryKey key) override;

private:
    QByteArray findTool() const;

    QStringList m_folders;
};

} // namespace jf
