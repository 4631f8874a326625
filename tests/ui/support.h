#pragma once

// Helpers shared by the window program's tests: a folder of their own with isolated settings, files,
// and the same conversion run by the engine alone (through the engine tests' stand-ins), to compare
// the window's output with.

#include "tests/enginefakes.h"
#include "tests/ui/fakes.h"
#include "text/casemap.h"
#include "ui/frmmain1.h"
#include "ui/frmsplash.h"
#include "ui/frmstatus.h"

// What most of the window's tests reach for, so that each names only what is its own.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <functional>
#include <numbers>
#include <memory>
#include <string>

namespace jf::testing {

// Every settings store the tests open lies in `folder`.
inline void isolateSettings(const QString& folder)
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, folder);
}

inline QSettings storedSettings()
{
    return QSettings(QStringLiteral("Jitterform"), QStringLiteral("Jitterform"));
}

using jf::test::readAll;
using jf::test::writeAll;

// The set-up the window's tests share, for a test class to derive from and call from its init():
// a folder of the test's own, which holds the settings and in which the registry looks for the
// system-information tool, and fresh stand-ins. False when the folder cannot be made.
class WindowTest : public QObject
{
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fakes> m_fakes;

    QString path(const QString& name) const { return m_dir->filePath(name); }
    bool fresh()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_fakes = std::make_unique<Fakes>(QStringList{m_dir->path()});
        isolateSettings(path(QStringLiteral("settings")));
        return m_dir->isValid();
    }
};

// The form as the About box shows it.
inline void asAbout(frmSplash& form)
{
    form.cmdOK->setVisible(true);
    form.cmdSysInfo->setVisible(true);
}

// How a user sees a path in the boxes: lower case.
inline QString lower(const QString& path)
{
    return QFile::decodeName(QByteArray::fromStdString(toLowerText(QFile::encodeName(path).toStdString())));
}

// A mesh of `vertices` distinct vertices with normals, texture coordinates, comments and quads, with
// LF line ends (so the format check has something to rewrite).
inline QByteArray meshText(int vertices)
{
    QByteArray text = "# made by the tests\nmtllib cube.mtl\no mesh\n";
    for (int i = 0; i < vertices; ++i) {
        text += "v " + QByteArray::number(i * 0.25 - 3.0, 'f', 4) + ' ' +
                QByteArray::number((i % 97) * 0.5, 'f', 3) + ' ' +
                QByteArray::number((i % 13) * 1.5 - 7.0, 'f', 3) + '\n';
        if (i % 4 == 3)
            text += "vn 0 " + QByteArray::number((i % 7) / 7.0, 'f', 4) + " 1\nvt 0.5 0.25\nf " +
                    QByteArray::number(i - 2) + ' ' + QByteArray::number(i - 1) + ' ' +
                    QByteArray::number(i) + ' ' + QByteArray::number(i + 1) + '\n';
    }
    return text;
}

// A unit sphere of quads, capped by triangle fans: a mesh whose shading shows any noise.
inline QByteArray sphereText(int rings, int segments)
{
    QByteArray text = "# sphere\nv 0 1 0\n";
    for (int r = 1; r < rings; ++r) {
        const double theta = std::numbers::pi * r / rings;
        for (int s = 0; s < segments; ++s) {
            const double phi = 2 * std::numbers::pi * s / segments;
            text += "v " + QByteArray::number(std::sin(theta) * std::cos(phi), 'f', 6) + ' ' +
                    QByteArray::number(std::cos(theta), 'f', 6) + ' ' +
                    QByteArray::number(std::sin(theta) * std::sin(phi), 'f', 6) + '\n';
        }
    }
    text += "v 0 -1 0\n";
    const auto at = [&](int r, int s) { return QByteArray::number(2 + (r - 1) * segments + s % segments); };
    const QByteArray bottom = QByteArray::number(2 + (rings - 1) * segments);
    for (int s = 0; s < segments; ++s) {
        text += "f 1 " + at(1, s + 1) + ' ' + at(1, s) + '\n';
        for (int r = 1; r + 1 < rings; ++r)
            text += "f " + at(r, s) + ' ' + at(r, s + 1) + ' ' + at(r + 1, s + 1) + ' ' + at(r + 1, s) + '\n';
        text += "f " + bottom + ' ' + at(rings - 1, s) + ' ' + at(rings - 1, s + 1) + '\n';
    }
    return text;
}

inline const QString kCheck = QStringLiteral("Checking OBJ file format ...");
inline const QString kScan = QStringLiteral("scan for extents ...");
inline const QString kNoise = QStringLiteral("adding noise to verticies ...");

// The phase the status window shows; empty when it is hidden.
inline QString phaseOf(const frmMain1& window)
{
    const frmStatus* status = window.status();
    return status != nullptr && status->isVisible() ? QString::fromStdString(status->label()) : QString();
}

// Presses Convert with `action` called each time the run serves its events.
inline void convertWith(frmMain1& window, const std::function<void()>& action)
{
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, action);
    timer.start(0);
    window.cmdConvert->click();
}

// The engine tests' day, so that a window's run and the engine's alone give the same noise.
inline DayClock fixedDay()
{
    return [] { return 45000.0; };
}

// What the engine alone makes of `mesh` in `folder`, on the tests' fixed day.
inline QByteArray directOutput(const QByteArray& mesh, const QString& folder, test::FakeOptions options = {})
{
    const QString source = folder + QStringLiteral("/Cube.obj"),
                  destination = folder + QStringLiteral("/cube_n.obj");
    QFile::remove(destination);
    writeAll(source, mesh);
    test::Rig rig;
    rig.options = options;
    rig.command(source, destination);
    for (const std::string& problem : rig.prompts.problems)
        qWarning("%s", problem.c_str());
    return readAll(destination);
}

} // namespace jf::testing
