#include "preview/displaymodel.h"

namespace jf {

PreviewLoad loadPreviewMesh(const std::string& path, std::uint64_t,
                            const std::function<bool(std::uint64_t, std::uint64_t)>&)
{
    PreviewLoad load;
    load.error = path + ": the preview cannot read files yet";
    return load;
}

PreviewNoise noisePreviewMesh(const PreviewMesh& mesh, const PreviewSettings&)
{
    PreviewNoise noise;
    noise.positions = mesh.positions;
    return noise;
}

} // namespace jf
