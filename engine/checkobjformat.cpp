#include "engine/convert.h"
#include "engine/earliersource.h"
#include "engine/extentsscan.h"
#include "engine/normalform.h"
#include "engine/phase.h"
#include "engine/phasefiles.h"
#include "engine/pipeline.h"
#include "engine/replacementfile.h"
#include "engine/wholelinesreader.h"
#include "path/filedescriptor.h"

#include <cstdlib>
#include <future>
#include <unistd.h>

namespace jf {

namespace {

// The check's step: progress, the cancel test and the yield come once per this many bytes, the
// last step taking up to one byte more.
constexpr std::int64_t kStepBytes = 4096;

class FormatCheck
{
public:
    FormatCheck(const EngineHost& host, PhaseFiles& files, PhaseSteps& phase, CheckResult& result)
        : m_host(host), m_files(files), m_phase(phase), m_result(result)
    {
    }

    // Finds the file to rewrite, past any link; false, with the reason in the result, when the
    // source is to stay as it is whatever its form.
    bool mayReplace();
    // Reads the source in the phase's steps and writes the copy from the first line whose normal
    // form differs. False when the check ends here: cancelled, kept, or in normal form already.
    bool copyInNormalForm();
    // Puts the complete copy in the source's place and hands the replaced source over to the
    // conversion; a Cancel while the disk takes the copy leaves the source as it was.
    void replaceSource();

private:
    // The copy's part of a run of whole lines; false when the copy may not be made.
    bool write(const ChunkText& text);
    // Ends the check as cancelled: the copy goes, the source stays as it was.
    void cancel();
    std::int64_t length() const { return static_cast<std::int64_t>(m_files.sourceInfo.st_size); }

    const EngineHost& m_host;
    PhaseFiles& m_files;
    PhaseSteps& m_phase;
    CheckResult& m_result;
    std::string m_target;
    std::uint64_t m_readTo = 0; // the 1-based offset after the last byte read
    ReplacementFile m_copy;
    // Ended before `m_files` closes the descriptor it reads.
    std::unique_ptr<ExtentsScan> m_extents;
};

bool FormatCheck::mayReplace()
{
    m_target = m_files.sourcePath;
    if (char* real = ::realpath(m_files.sourcePath.c_str(), nullptr)) {
        m_target = real;
        std::free(real);
    }
    m_result.keptReason = reasonToKeep(m_files.sourceInfo, m_target);
    if (!m_result.keptReason.empty())
        return false;
    removeStaleCopies(m_target);
    return true;
}

bool FormatCheck::copyInNormalForm()
{
    m_phase.begin(static_cast<std::uint64_t>(length()), "Checking OBJ file format ...");
    WholeLinesReader reader(m_files.sourceFd.get(), m_files.sourcePath, checkReadBytes(m_host.blockBytes));
    ChunkText text;
    std::int64_t step = 0; // the file offset where the next step starts
    while (reader.fill(text)) {
        // The steps that start in these lines come before their bytes are handled.
        const auto end = static_cast<std::int64_t>(text.fileOffset + text.size());
        while (step < end) {
            if (!m_phase.step(static_cast<std::uint64_t>(step) + 1)) {
                cancel();
                return false;
            }
            const std::int64_t remaining = length() - step;
            step += remaining - 1 > kStepBytes ? kStepBytes : (remaining > 0 ? remaining : kStepBytes);
        }
        if (!write(text))
            return false;
    }
    m_readTo = reader.position();
    return m_copy.created();
}

bool FormatCheck::write(const ChunkText& text)
{
    const char* begin = text.data();
    const char* const end = begin + text.size();
    if (!m_copy.created()) {
        begin = firstChangedLine(begin, end);
        if (begin == end)
            return true;
        if (!m_copy.create(m_target, m_files.sourceInfo.st_mode, m_host.blockBytes, m_host.startHelper)) {
            m_result.keptReason = "the source file's folder may not be written";
            return false;
        }
        m_copy.out().serveWhileWaiting(m_host.events);
        // From here the check waits for the disk, which leaves time for the first pass.
        if (m_host.workers > 0 || (m_host.workers < 0 && defaultWorkers() > 0))
            m_extents = std::make_unique<ExtentsScan>(m_files.sourceFd.get(), m_files.sourcePath,
                                                      m_host.chunkBytes, m_host.startHelper);
        m_copy.copyPrefix(m_files.sourceFd.get(),
                          text.fileOffset + static_cast<std::uint64_t>(begin - text.data()),
                          m_files.sourcePath);
    }
    writeNormalForm(begin, end, [this](std::string_view piece) { m_copy.out().append(piece); });
    return true;
}

void FormatCheck::cancel()
{
    m_result.cancelled = true;
    // A second descriptor keeps the copy alive past its close, so that its pages are freed on a
    // helper thread and the next phase starts at once.
    if (const int held = m_copy.created() ? ::dup(m_copy.out().fd()) : -1; held >= 0)
        m_result.dropping = std::async(std::launch::async, [held] {
                                [[maybe_unused]] const int ignored = ::ftruncate(held, 0);
                                ::close(held);
                            }).share();
}

void FormatCheck::replaceSource()
{
    const struct stat& info = m_files.sourceInfo;
    struct stat now
    {
    };
    if (m_readTo - 1 != static_cast<std::uint64_t>(length()) || ::stat(m_target.c_str(), &now) != 0 ||
        !sameFileState(info, now))
        throw changedWhileChecked(m_files.sourcePath);
    const std::optional<struct stat> copyInfo = m_copy.replaceTarget(info, m_files.sourcePath, m_host.events);
    if (!copyInfo)
        return cancel();
    m_result.rewritten = true;
    auto earlier = std::make_shared<EarlierSource>();
    earlier->fd = std::move(m_files.sourceFd);
    earlier->info = info;
    earlier->replacementDevice = copyInfo->st_dev;
    earlier->replacementInode = copyInfo->st_ino;
    earlier->extents = std::move(m_extents);
    m_files.source->iFile = 0;
    m_result.earlier = std::move(earlier);
}

} // namespace

CheckResult CheckObjFormat(const EngineHost& host)
{
    CheckResult result;
    PhaseSteps phase(host.status, host.events);
    result.error = failureOf(
        [&] {
            // The conversion that follows creates the destination: a folder that is missing stops
            // the command here, before the source is touched.
            PhaseFiles files = openPhaseFiles(host.options);
            if (!host.rewriteSource)
                return;
            FormatCheck check(host, files, phase, result);
            if (check.mayReplace() && check.copyInNormalForm())
                check.replaceSource();
        },
        "There is not enough memory for the format check.");
    return result;
}

} // namespace jf
