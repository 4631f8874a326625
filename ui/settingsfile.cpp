#include "ui/settingsfile.h"

#include "engine/version.h"

#include <QVariant>

#include <cmath>

namespace jf {

namespace {
constexpr float kMaxTwips = 100000.0f;
} // namespace

QSettings openSettingsFile()
{
    const QString name = QString::fromUtf8(kApplicationName);
    return QSettings(name, name);
}

std::optional<float> storedTwips(const QSettings& settings, const QString& key)
{
    const QVariant stored = settings.value(key);
    if (!stored.isValid())
        return std::nullopt;
    bool ok = false;
    const float value = stored.toString().trimmed().toFloat(&ok);
    if (!ok || !std::isfinite(value) || std::fabs(value) > kMaxTwips)
        return std::nullopt;
    return value;
}

} // namespace jf
