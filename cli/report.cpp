#include "cli/report.h"

#include "text/number.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace jf::cli {

namespace {

std::string formatted(double value)
{
    char buffer[kPrintedNumberMax];
    const char* const end = printNumber(value, buffer);
    const char* const begin = buffer + (buffer[0] == ' ' ? 1 : 0);
    return std::string(begin, end - 1);
}

// Paths are bytes; JSON holds text. Bytes that are not UTF-8 become U+FFFD.
QString text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

const char* statusName(FileStatus status)
{
    switch (status) {
    case FileStatus::Done:
        return "done";
    case FileStatus::Failed:
        return "failed";
    case FileStatus::Cancelled:
        return "cancelled";
    case FileStatus::NotStarted:
        break;
    }
    return "not started";
}

std::string summaryLine(const FileResult& result)
{
    const RunSummary& s = result.summary;
    std::string line = s.destination + ": " + std::to_string(s.vertices) + " vertices and " +
                       std::to_string(s.normals) + " normals noised, " + std::to_string(s.quadsSplit) +
                       " quads split; amplitude " + formatted(s.noiseScale);
    if (s.noiseScale == 0.0)
        line += s.intensity == 0.0 ? " (the intensity reads as 0)" : " (the smallest extent of the box is 0)";
    line += ", day " + std::to_string(s.daySeed);
    if (s.scanCancelled)
        line += "; the scan was cancelled";
    if (s.noiseCancelled)
        line += "; cancelled, the destination holds the lines written so far";
    char time[32];
    std::snprintf(time, sizeof time, "; %.2f s", result.seconds);
    return line + time;
}

std::string keptSourceLine(const FileResult& result)
{
    return result.keptReason.empty() ? std::string()
                                     : "The source was left as it is: " + result.keptReason + ".";
}

QByteArray jsonLine(const FileResult& result)
{
    const bool ran = result.kind == CommandOutcome::Kind::Done;
    const RunSummary& s = result.summary;
    const auto count = [ran](std::uint64_t value) { return ran ? QJsonValue(qint64(value)) : QJsonValue(); };
    const auto number = [ran](double value) { return ran ? QJsonValue(value) : QJsonValue(); };
    QJsonObject object{
        {"source", text(result.file.source)},
        {"destination", text(ran ? s.destination : result.file.destination)},
        {"status", statusName(result.status)},
        {"error", result.status == FileStatus::Failed ? QJsonValue(text(result.error)) : QJsonValue()},
        {"vertices", count(s.vertices)},
        {"normals", count(s.normals)},
        {"quadsSplit", count(s.quadsSplit)},
        {"smallestExtent", number(s.smallestExtent)},
        {"intensity", number(s.intensity)},
        {"amplitude", number(s.noiseScale)},
        {"day", ran ? QJsonValue(s.daySeed) : QJsonValue()},
        {"seconds", result.seconds},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace jf::cli
