#pragma once

// What the command line says about a file's run: the summary sentence for people, the JSON object
// for scripts.

#include "cli/filerun.h"

#include <QByteArray>

#include <string>

namespace jf::cli {

// "<destination>: N vertices and N normals noised, N quads split; amplitude A, day D; S s", with
// the reasons for an amplitude of 0 and the phases cancelled. Only for a run whose kind is Done.
std::string summaryLine(const FileResult& result);

// "The source was left as it is: <reason>." or empty.
std::string keptSourceLine(const FileResult& result);

// One line of JSON without its line end. The counts, extent, intensity, amplitude and day are null
// where the conversion did not run to its end or cancel; error is null unless the file failed.
QByteArray jsonLine(const FileResult& result);

// The status as the JSON and the batch's lines name it.
const char* statusName(FileStatus status);

} // namespace jf::cli
