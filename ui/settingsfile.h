#pragma once

// The program's settings file, which the main window and the preview both keep their places in.

#include <QSettings>
#include <QString>

#include <optional>

namespace jf {

// The settings file, opened afresh: QSettings caches, so each reader sees the latest writes.
QSettings openSettingsFile();

// A stored position or size in twips, or nothing when it is absent or not a usable number (one
// further out than about 70 inches is taken for garbage: no screen reaches it).
std::optional<float> storedTwips(const QSettings& settings, const QString& key);

} // namespace jf
