#pragma once

// The engine fakes with hooks for the reliability tests: act when a phase ends, when the progress
// passes a point, or at a chosen yield of a chosen phase.

#include "../enginefakes.h"

#include <functional>
#include <string>

namespace jf::test {

inline const std::string kCheckLabel = "Checking OBJ file format ...";
inline const std::string kScanLabel = "scan for extents ...";
inline const std::string kNoiseLabel = "adding noise to verticies ...";

struct HookedStatus : FakeStatus
{
    std::function<void(int)> onHide; // with the 1-based number of the hide
    std::function<void(float)> onValue;
    int hidden = 0;
    void setValue(float v) override
    {
        FakeStatus::setValue(v);
        if (onValue)
            onValue(v);
    }
    void hide() override
    {
        FakeStatus::hide();
        if (onHide)
            onHide(++hidden);
    }
};

struct HookedRig
{
    FakeOptions options;
    HookedStatus status;
    FakeEvents events;
    EngineHost host{options, status, events, [] { return 45000.0; }};

    HookedRig() { status.recordValues = false; }

    // Runs `action` once, at the `n`-th yield of the phase whose label is `label`.
    void at(const std::string& label, long n, std::function<void()> action)
    {
        events.onYield = [this, label, n, action, phase = std::string(), count = 0L](long) mutable {
            if (status.labelText != phase) {
                phase = status.labelText;
                count = 0;
            }
            if (++count == n && phase == label)
                action();
        };
    }
};

} // namespace jf::test
