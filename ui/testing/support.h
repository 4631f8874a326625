#pragma once

// Helpers shared by the window program's tests: isolated settings, files, and the same conversion
// run by the engine alone, to compare the window's output with.

#include "engine/command.h"
#include "engine/host.h"
#include "text/casemap.h"
#include "ui/frmmain1.h"
#include "ui/frmsplash.h"
#include "ui/frmstatus.h"
#include "ui/testing/fakes.h"

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

#include <functional>
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

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

inline DayClock fixedDay()
{
    return [] { return 46000.25; };
}

// The options as plain values, for the engine run alone.
struct PlainOptions : ConversionOptions
{
    std::string source, destination, intensity = "0.1";
    int algorithm = White;
    int x = Checked, y = Checked, z = Checked, normals = Unchecked, split = Unchecked;

    std::string sourceText() const override { return source; }
    std::string destinationText() const override { return destination; }
    void setDestinationText(std::string_view text) override { destination = std::string(text); }
    std::string intensityText() const override { return intensity; }
    int algorithmIndex() const override { return algorithm; }
    int xValue() const override { return x; }
    int yValue() const override { return y; }
    int zValue() const override { return z; }
    int normalsValue() const override { return normals; }
    int splitValue() const override { return split; }
};

// No window: nothing shown, nothing asked, every question answered OK.
struct Windowless : StatusView, EventLoop, CommandPrompts
{
    void setCaption(std::string_view) override {}
    std::string label() const override { return {}; }
    void setLabel(std::string_view) override {}
    void setMin(float) override {}
    void setMax(float) override {}
    void setValue(float) override {}
    void show() override {}
    void hide() override {}
    void yield() override {}
    void problem(std::string_view message) override { qWarning("%.*s", int(message.size()), message.data()); }
    bool confirm(std::string_view) override { return true; }
    void focusSource() override {}
    void focusDestination() override {}
};

// What the engine alone makes of `mesh` in `folder`, on the tests' fixed day.
inline QByteArray directOutput(const QByteArray& mesh, const QString& folder, PlainOptions options = {})
{
    const QString destination = folder + QStringLiteral("/cube_n.obj");
    QFile::remove(destination);
    writeFile(folder + QStringLiteral("/Cube.obj"), mesh);
    options.source = QFile::encodeName(folder + QStringLiteral("/Cube.obj")).toStdString();
    options.destination = QFile::encodeName(destination).toStdString();
    Windowless none;
    runConvertCommand(EngineHost{options, none, none, fixedDay()}, none);
    return readFile(destination);
}

} // namespace jf::testing
