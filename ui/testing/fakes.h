#pragma once

// Stand-ins for the window program's services, for tests: each records what it was asked and
// answers as the test says, in one shared log so tests can check the order of what happened.

#include "ui/registry.h"
#include "ui/services.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>

namespace jf::testing {

class FakeFileDialog : public FileDialog
{
public:
    explicit FakeFileDialog(QStringList& log) : m_log(log) {}

    std::optional<QString> choose(QWidget*, const Setup& setup) override
    {
        setups.append(setup);
        m_log.append(QStringLiteral("dialog"));
        if (answers.empty())
            return std::nullopt;
        std::optional<QString> answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::deque<std::optional<QString>> answers; // nothing: the user cancels
    QList<Setup> setups;

private:
    QStringList& m_log;
};

class FakeMessageBoxes : public MessageBoxes
{
public:
    struct Shown
    {
        QString title;
        QString text;
        Buttons buttons;
        QWidget* focus; // the focus widget of the owner's window while the box is up
    };
    explicit FakeMessageBoxes(QStringList& log) : m_log(log) {}

    bool show(QWidget* owner, const QString& title, const QString& text, Buttons buttons) override
    {
        shown.append({title, text, buttons, owner != nullptr ? owner->window()->focusWidget() : nullptr});
        m_log.append(QStringLiteral("message"));
        if (onShow)
            onShow();
        return answer;
    }

    QList<Shown> shown;
    bool answer = true;
    std::function<void()> onShow;

private:
    QStringList& m_log;
};

// A registry holding the values a test puts into it. Open and close are counted, so a test can see
// that every key that was opened (or whose opening was tried) is closed again.
class FakeRegistry : public Registry
{
public:
    struct Value
    {
        std::uint32_t type;
        QByteArray data;
    };
    explicit FakeRegistry(QStringList& log) : m_log(log) {}

    void set(const QByteArray& key, const QByteArray& name, Value value)
    {
        m_keys[key.toUpper()][name.toUpper()] = std::move(value);
    }
    void addKey(const QByteArray& key) { m_keys[key.toUpper()]; }

    // A text value as the registry stores it, with its terminating NUL.
    static Value text(const QByteArray& value) { return {kRegSz, value + '\0'}; }

    long openKey(RegistryKey root, const QByteArray& subKey, std::uint32_t, std::uint32_t,
                 RegistryKey* key) override
    {
        ++openAttempts;
        *key = 0;
        const auto found = m_keys.find(subKey.toUpper());
        if (root != kHKeyLocalMachine || found == m_keys.end())
            return kErrorFileNotFound;
        m_handles.append(found->first);
        *key = RegistryKey(m_handles.size());
        return kErrorSuccess;
    }
    long queryValue(RegistryKey key, const QByteArray& valueName, std::uint32_t* type, unsigned char* data,
                    std::uint32_t* size) override
    {
        if (key == 0 || key > RegistryKey(m_handles.size()))
            return kErrorFileNotFound;
        const std::map<QByteArray, Value>& values = m_keys.at(m_handles[qsizetype(key - 1)]);
        const auto found = values.find(valueName.toUpper());
        if (found == values.end())
            return kErrorFileNotFound;
        const Value& value = found->second;
        const auto needed = std::uint32_t(value.data.size());
        if (needed > *size) {
            *size = needed;
            return kErrorMoreData;
        }
        std::memcpy(data, value.data.constData(), needed);
        *type = value.type;
        *size = needed;
        return kErrorSuccess;
    }
    long closeKey(RegistryKey) override
    {
        ++closes;
        return kErrorSuccess;
    }

    int openAttempts = 0;
    int closes = 0;

private:
    QStringList& m_log;
    std::map<QByteArray, std::map<QByteArray, Value>> m_keys;
    QList<QByteArray> m_handles;
};

class FakeSystemTools : public SystemTools
{
public:
    explicit FakeSystemTools(QStringList& log) : m_log(log) {}

    bool startProgram(const QString& path) override
    {
        started.append(path);
        m_log.append(QStringLiteral("start"));
        return startSucceeds;
    }
    void beep() override { m_log.append(QStringLiteral("beep")); }

    QStringList started;
    bool startSucceeds = true;

private:
    QStringList& m_log;
};

struct Fakes
{
    QStringList log;
    FakeFileDialog dialog{log};
    FakeMessageBoxes messages{log};
    FakeRegistry registry{log};
    FakeSystemTools tools{log};

    UiServices services() { return {dialog, messages, registry, tools}; }
};

} // namespace jf::testing
