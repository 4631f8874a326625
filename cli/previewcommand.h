#pragma once

// `jitterform-cli --preview`: the preview window's Before/After picture of a source, rendered
// without a display server and written as a PNG. Converts nothing: the source is only read.

#include "cli/options.h"
#include "preview/displaymodel.h"

#include <string>

namespace jf {

struct PreviewRequest
{
    std::string source;  // absolute
    std::string picture; // the PNG to write
    int width = 1600;
    int height = 800;
    PreviewSettings settings;
    bool force = false; // replace an existing picture without asking
    bool quiet = false;
};

// What --preview and --size asked for; `picture` stays empty without --preview.
struct PreviewChoice
{
    std::string picture; // absolute
    int width = 1600;
    int height = 800;
};

// The options --preview FILE.png and --size WxH, read into `choice`, which must outlive the reading.
cli::OptionGroup previewOptions(PreviewChoice& choice);

// The request for a run of the command line's settings with `choice`.
PreviewRequest previewRequest(const cli::Settings& settings, const PreviewChoice& choice);

// Reads `size` as WIDTHxHEIGHT, each from 16 to 8192; false for any other text.
bool parsePictureSize(const std::string& text, int& width, int& height);

// Renders the picture and writes it in one step (a failed run leaves no partial file). Messages go
// to stderr. Returns the exit status: 0 written, 1 the source could not be read, no renderer could
// be had, or the picture could not be written.
int runPreviewCommand(const PreviewRequest& request);

} // namespace jf
