#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <string_view>

namespace jf {

// The program-wide cancel flag: 0 is false, -1 true. The status window's Cancel sets it (and the
// command line's interrupt handler); each phase clears it at its start and tests it once per step.
constexpr std::int16_t kFalse = 0;
constexpr std::int16_t kTrue = -1;
extern std::atomic<std::int16_t> CancelRequested;
static_assert(std::atomic<std::int16_t>::is_always_lock_free, "CancelRequested is set from signal handlers");

// Check box values as the window holds them; only Checked counts as true.
enum CheckValue : int { Unchecked = 0, Checked = 1, Grayed = 2 };

// The noise shape: the selected index of the algorithm list. Any other index gives no noise.
enum NoiseAlgorithm : int { White = 0, Squared = 1, Cubic = 2 };

// The user's choices, read from the front end at the moment each is used; the engine keeps no copy.
// Texts are bytes, UTF-8 where valid.
class ConversionOptions
{
public:
    virtual ~ConversionOptions() = default;
    virtual std::string sourceText() const = 0;      // txtSource
    virtual std::string destinationText() const = 0; // txtDestination
    // The Convert command writes the completed destination back before the engine runs.
    virtual void setDestinationText(std::string_view text) = 0;
    virtual std::string intensityText() const = 0; // txtIntensity
    virtual int algorithmIndex() const = 0;        // cmbAlgorithm, -1 for no selection
    virtual int xValue() const = 0;                // chkX, a CheckValue
    virtual int yValue() const = 0;                // chkY
    virtual int zValue() const = 0;                // chkZ
    virtual int normalsValue() const = 0;          // chkNormals
    virtual int splitValue() const = 0;            // chkSplit
};

// The status window as the engine drives it. setValue() is called once per chunk of records, so an
// implementation should only store the value and repaint at its own pace.
class StatusView
{
public:
    virtual ~StatusView() = default;
    virtual void setCaption(std::string_view caption) = 0;
    virtual std::string label() const = 0;
    virtual void setLabel(std::string_view text) = 0; // Label1
    virtual void setMin(float value) = 0;             // ProgressBar1
    virtual void setMax(float value) = 0;
    virtual void setValue(float value) = 0;
    virtual void show() = 0; // without blocking, owned by the main window
    virtual void hide() = 0;
};

// How long a wait for the disk goes on before the waiting thread serves the window again.
constexpr std::chrono::milliseconds kServeSlice{5};

// The event-loop yield. Called once per chunk of records; an implementation may serve its events
// only every few milliseconds.
class EventLoop
{
public:
    virtual ~EventLoop() = default;
    virtual void yield() = 0;
    // Called every few milliseconds while the engine waits for the disk between records (putting
    // a normalised copy of a large source on the disk takes a while), so that the window
    // stays served; by default the same as a yield.
    virtual void serveWhileWaiting() { yield(); }
    // True when the whole command is to stop (the command line's Ctrl-C): no further phase starts.
    virtual bool interrupted() const { return false; }
};

// The message boxes and focus moves of the Convert command.
class CommandPrompts
{
public:
    virtual ~CommandPrompts() = default;
    // A message box titled "Problem" with the OK button only.
    virtual void problem(std::string_view message) = 0;
    // A message box titled "Problem" with OK and Cancel; true for OK.
    virtual bool confirm(std::string_view message) = 0;
    virtual void focusSource() = 0;      // txtSource
    virtual void focusDestination() = 0; // txtDestination
};

// The present local date and time as an OLE Automation date: days since 30 December 1899 plus the
// time of day as a fraction. Tests and the command line's --day replace it.
using DayClock = std::function<double()>;
double systemOleDate();

// The run's day number: the OLE date rounded to the nearest whole number, a half to the even one.
std::int32_t DaySeed(const DayClock& clock);

// How many bytes of whole lines each pass reads at a time. A chunk is one step of the pass: the
// progress shown, the cancel test and the yield come before it, and its records are handled with the
// options as they stand after that yield, which is the only place where the window can change them.
// A chunk is small enough that a Cancel or a changed option acts at once to the user.
constexpr std::size_t kPassChunkBytes = 256 * 1024;

// Runs `work` on a thread beside the caller's. The engine waits for every piece of work it started
// to end before it returns.
using HelperStart = std::function<void(std::function<void()> work)>;

// Starts `work` through `start`, or on a thread of its own where `start` is empty. The future is
// ready once the work has ended and holds what it threw. Only the thread of its own is waited for
// when the future is destroyed; work started through `start` is not, so whoever starts work waits
// for it before what the work uses goes.
std::future<void> startWork(const HelperStart& start, std::function<void()> work);

// Everything a run reaches outside itself.
struct EngineHost
{
    ConversionOptions& options;
    StatusView& status;
    EventLoop& events;
    DayClock clock = systemOleDate;
    // When false the format check leaves the source as it is; the conversion's output is the same.
    bool rewriteSource = true;
    // Threads that help to read numbers and format records, beside the one that runs the run;
    // negative: one where the machine has a second core. The output does not depend on it.
    int workers = -1;
    // Tests make it small, so that chunks meet everywhere. Where the options stay as they are, the
    // output does not depend on it.
    std::size_t chunkBytes = kPassChunkBytes;
    // How the helpers above start, and every other thread of a run (the writers of files, the scan
    // beside the format check, the waits for the disk); empty: each on a thread of its own, started
    // when needed. The fuzz target hands in threads that it starts once, since starting one costs
    // more than a small run.
    HelperStart startHelper = {};
    // The size of the blocks in which the format check reads the source and output files are written,
    // rounded up to whole disk blocks; 0 for sizes that suit a disk (1 and 2 MiB). Tests make it small,
    // so that a small mesh crosses blocks, and a small run does not pay for megabytes it never uses.
    // The output does not depend on it.
    std::size_t blockBytes = 0;
};

} // namespace jf
