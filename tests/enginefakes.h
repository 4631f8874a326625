#pragma once

// Stand-ins for the window that the engine tests and the engine fuzz target drive the engine
// through: options that a test can change at any yield, a status view that records what the engine
// did to it, and an event loop that runs a test's action at a chosen yield.

#include "engine/command.h"
#include "engine/host.h"

#include <functional>
#include <string>
#include <vector>

#ifdef QT_CORE_LIB // the tests' helpers on Qt types; the fuzz target goes without Qt
#include <QFile>
#include <QList>
#endif

namespace jf::test {

inline const std::string kCheckLabel = "Checking OBJ file format ...";
inline const std::string kScanLabel = "scan for extents ...";
inline const std::string kNoiseLabel = "adding noise to verticies ...";

struct FakeOptions : ConversionOptions
{
    std::string source, destination, intensity = "0.1";
    int algorithm = White;
    int x = Checked, y = Checked, z = Checked;
    int normals = Unchecked, split = Unchecked;

    std::string sourceText() const override { return source; }
    std::string destinationText() const override { return destination; }
    void setDestinationText(std::string_view text) override { destination = text; }
    std::string intensityText() const override { return intensity; }
    int algorithmIndex() const override { return algorithm; }
    int xValue() const override { return x; }
    int yValue() const override { return y; }
    int zValue() const override { return z; }
    int normalsValue() const override { return normals; }
    int splitValue() const override { return split; }
};

struct FakeStatus : StatusView
{
    std::string caption, labelText;
    std::vector<std::string> labels; // every label set, in order
    float min = 0, max = 0;
    std::vector<float> values; // every value set since the last show(), if recordValues
    int shows = 0, hides = 0;
    bool visible = false, recordValues = true;
    std::function<void(int)> onHide; // with the 1-based number of the hide
    std::function<void(float)> onValue;

    void setCaption(std::string_view text) override { caption = text; }
    std::string label() const override { return labelText; }
    void setLabel(std::string_view text) override { labels.emplace_back(labelText = text); }
    void setMin(float v) override { min = v; }
    void setMax(float v) override { max = v; }
    void setValue(float v) override
    {
        if (recordValues)
            values.push_back(v);
        if (onValue)
            onValue(v);
    }
    void show() override { ++shows, visible = true, values.clear(); }
    void hide() override
    {
        visible = false;
        if (++hides; onHide)
            onHide(hides);
    }
};

struct FakeEvents : EventLoop
{
    long yields = 0;
    std::function<void(long)> onYield; // at every yield, with its 1-based number
    bool stop = false;

    void yield() override
    {
        if (++yields; onYield)
            onYield(yields);
    }
    long servings = 0;
    std::function<void()> onServe;

    // Not a yield: how often the engine waits on the disk depends on the disk's speed.
    void serveWhileWaiting() override
    {
        if (++servings; onServe)
            onServe();
    }
    bool interrupted() const override { return stop; }
};

// Presses Cancel as the status window's button does.
inline void pressCancel(StatusView& status)
{
    status.setLabel(status.label() + "cancel");
    CancelRequested.store(kTrue);
}

struct FakePrompts : CommandPrompts
{
    std::vector<std::string> problems, questions, focus;
    bool answer = true;

    void problem(std::string_view message) override { problems.emplace_back(message); }
    bool confirm(std::string_view message) override { return questions.emplace_back(message), answer; }
    void focusSource() override { focus.emplace_back("txtSource"); }
    void focusDestination() override { focus.emplace_back("txtDestination"); }
};

// One engine set-up, as the window holds it.
struct Rig
{
    FakeOptions options;
    FakeStatus status;
    FakeEvents events;
    FakePrompts prompts;
    EngineHost host{options, status, events, [] { return 45000.0; }};

    void cancelAt(long yield)
    {
        events.onYield = [this, yield](long n) {
            if (n == yield)
                pressCancel(status);
        };
    }
    // Runs `action` once, at the `n`-th yield of the phase whose label is `label`.
    void at(const std::string& label, long n, std::function<void()> action)
    {
        events.onYield = [this, label, n, action, phase = std::string(), count = 0L](long) mutable {
            if (status.labelText != phase)
                phase = status.labelText, count = 0;
            if (++count == n && phase == label)
                action();
        };
    }
#ifdef QT_CORE_LIB
    void files(const QString& source, const QString& destination)
    {
        options.source = QFile::encodeName(source).toStdString();
        options.destination = QFile::encodeName(destination).toStdString();
    }
    // The Convert command on these files, as the window's button runs it.
    CommandOutcome command(const QString& source, const QString& destination)
    {
        files(source, destination);
        return runConvertCommand(host, prompts);
    }
#endif
};

#ifdef QT_CORE_LIB
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Splits output at its CR LF line ends; fails (returns an empty list) if any line end is another.
inline QList<QByteArray> crlfLines(const QByteArray& output)
{
    QList<QByteArray> lines = output.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (QByteArray& line : lines) {
        if (!line.endsWith('\r') || line.count('\r') != 1)
            return {};
        line.chop(1);
    }
    return lines;
}
#endif

} // namespace jf::test
