#pragma once

// Stand-ins for the window program's services, for tests: each records what it was asked and
// answers as the test says; the message boxes and tools share one log, to show the order.

#include "ui/registry.h"
#include "ui/services.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QWidget>

#include <cstring>
#include <deque>
#include <map>
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

// Text values a test puts in, under keys and names in any letter case. Opens and closes are
// counted, so a test can see that every key opened (or tried) is closed again.
struct FakeRegistry : Registry
{
    std::map<QByteArray, std::map<QByteArray, QByteArray>> keys; // in upper case; values end in NUL
    QList<QByteArray> opened;                                    // key n is opened[n - 1]
    int openAttempts = 0, closes = 0;

    void addKey(const QByteArray& key) { keys[key.toUpper()]; }
    void setText(const QByteArray& key, const QByteArray& name, const QByteArray& text)
    {
        keys[key.toUpper()][name.toUpper()] = text + '\0';
    }

    long openKey(RegistryKey root, const QByteArray& subKey, std::uint32_t, std::uint32_t,
                 RegistryKey* key) override
    {
        ++openAttempts;
        const bool found = root == kHKeyLocalMachine && keys.contains(subKey.toUpper());
        if (found)
            opened.append(subKey.toUpper());
        *key = found ? RegistryKey(opened.size()) : 0;
        return found ? kErrorSuccess : kErrorFileNotFound;
    }
    long queryValue(RegistryKey key, const QByteArray& name, std::uint32_t* type, unsigned char* data,
                    std::uint32_t* size) override
    {
        if (key == 0 || key > RegistryKey(opened.size()))
            return kErrorFileNotFound;
        const auto& values = keys[opened[qsizetype(key) - 1]];
        const auto found = values.find(name.toUpper());
        if (found == values.end())
            return kErrorFileNotFound;
        const auto needed = std::uint32_t(found->second.size());
        const bool fits = needed <= *size;
        if (fits)
            std::memcpy(data, found->second.constData(), needed);
        *type = kRegSz;
        *size = needed;
        return fits ? kErrorSuccess : kErrorMoreData;
    }
    long closeKey(RegistryKey) override
    {
        ++closes;
        return kErrorSuccess;
    }
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
    QStringList log;
    FakeFileDialog dialog;
    FakeMessageBoxes messages{log};
    FakeRegistry registry;
    FakeSystemTools tools{log};

    UiServices services() { return {dialog, messages, registry, tools}; }
};

} // namespace jf::testing
