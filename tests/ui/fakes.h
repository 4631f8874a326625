#pragma once

// Stand-ins for the window program's services, for tests: each records what it was asked and
// answers as the test says; the message boxes and tools share one log, to show the order. The
// registry is the program's own, looking in the folders a test gives it.

#include "ui/registry.h"
#include "ui/services.h"

#include <QList>
#include <QStringList>
#include <QWidget>

#include <deque>
#include <optional>

namespace jf::testing {

struct FakeFileDialog : FileDialog
{
    std::deque<std::optional<QString>> answers; // none left: the user cancels
    QList<Setup> setups;

    std::optional<QString> choose(QWidget*, const Setup& setup) override
    {
        setups.append(setup);
        const std::optional<QString> answer = answers.empty() ? std::nullopt : answers.front();
        if (!answers.empty())
            answers.pop_front();
        return answer;
    }
};

struct FakeMessageBoxes : MessageBoxes
{
    struct Shown
    {
        QString title, text;
        Buttons buttons;
        QWidget* focus; // the focus widget of the owner's window while the box is up
    };
    explicit FakeMessageBoxes(QStringList& sharedLog) : log(sharedLog) {}

    bool show(QWidget* owner, const QString& title, const QString& text, Buttons buttons) override
    {
        shown.append({title, text, buttons, owner != nullptr ? owner->window()->focusWidget() : nullptr});
        log.append(QStringLiteral("message"));
        return answer;
    }

    QStringList& log;
    QList<Shown> shown;
    bool answer = true;
};

struct FakeSystemTools : SystemTools
{
    explicit FakeSystemTools(QStringList& sharedLog) : log(sharedLog) {}

    bool startProgram(const QString& path) override
    {
        started.append(path);
        log.append(QStringLiteral("start"));
        return true;
    }
    void beep() override { log.append(QStringLiteral("beep")); }

    QStringList& log;
    QStringList started;
};

struct Fakes
{
    // Where the registry finds the system-information tool; none: on PATH, as the program does.
    explicit Fakes(const QStringList& toolFolders = {}) : registry(toolFolders) {}

    QStringList log;
    FakeFileDialog dialog;
    FakeMessageBoxes messages{log};
    StandInRegistry registry;
    FakeSystemTools tools{log};

    UiServices services() { return {dialog, messages, registry, tools}; }
};

} // namespace jf::testing
