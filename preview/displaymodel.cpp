#include "preview/displaymodel.h"

#include "engine/fileio.h"
#include "engine/phase.h"
#include "preview/flathash.h"
#include "text/parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <thread>

namespace jf {

namespace {

using preview::FlatMap;
using preview::U64Traits;

constexpr std::uint32_t kNoVertex = 0xFFFFFFFFu;
// A vertex's place on the finest grid: 10 bits an axis, x highest.
constexpr int kGridBits = 10;
constexpr std::uint32_t kGridCells = 1u << kGridBits;
constexpr std::uint32_t kUncoded = 0xFFFFFFFFu;
// The most vertices whose cell is remembered for the faces that follow: 256 MiB of cells.
constexpr std::uint64_t kMaxCodedVertices = std::uint64_t(1) << 26;

// The vertex a face corner names ("7", "7/2", "7//3", "-1/2/3"), 0-based, given how many vertices
// came before the face; -1 for a corner that names none. A positive index is not checked against
// the file's count here: a face may name a vertex defined after it.
std::int64_t cornerVertex(std::string_view field, std::uint64_t verticesBefore)
{
    const std::string_view number = field.substr(0, field.find('/'));
    std::int64_t index = 0;
    const char* const end = number.data() + number.size();
    const auto [stop, ec] = std::from_chars(number.data(), end, index);
    if (ec != std::errc() || stop != end || index == 0)
        return -1;
    if (index > 0)
        return index - 1;
    if (index < -static_cast<std::int64_t>(std::min<std::uint64_t>(verticesBefore, INT64_MAX)))
        return -1;
    return static_cast<std::int64_t>(verticesBefore) + index;
}

// Calls `triangle(a, b, c)` for the triangles a face of `count` corners is drawn as, `side(a, b)`
// for its sides and `diagonal(a, b)` for a quad's split diagonal (corner positions, 0-based).
template <class Triangle, class Side, class Diagonal>
void triangulate(std::size_t count, Triangle triangle, Side side, Diagonal diagonal)
{
    if (count < 3)
        return;
    if (count == 4) {
        triangle(0, 1, 3);
        triangle(1, 2, 3);
        diagonal(1, 3);
    } else {
        for (std::size_t i = 1; i + 1 < count; ++i)
            triangle(0, i, i + 1);
    }
    for (std::size_t i = 0; i < count; ++i)
        side(i, (i + 1) % count);
}

std::uint64_t sideKey(std::uint32_t a, std::uint32_t b)
{
    return a < b ? (std::uint64_t(a) << 32) | b : (std::uint64_t(b) << 32) | a;
}

struct TriangleKey
{
    std::uint32_t v[3];
    bool operator==(const TriangleKey& o) const { return v[0] == o.v[0] && v[1] == o.v[1] && v[2] == o.v[2]; }
};
struct TriangleTraits
{
    static std::size_t hash(const TriangleKey& t)
    {
        return static_cast<std::size_t>(
            preview::mixBits((std::uint64_t(t.v[0]) << 32 | t.v[1]) ^ preview::mixBits(t.v[2])));
    }
};
// The same triangle whichever corner it starts at, its winding kept (it gives the face's side).
TriangleKey canonicalTriangle(std::uint32_t a, std::uint32_t b, std::uint32_t c)
{
    if (b < a && b < c)
        return {{b, c, a}};
    if (c < a && c < b)
        return {{c, a, b}};
    return {{a, b, c}};
}

struct NoValue
{
};
using TriangleSet = FlatMap<TriangleKey, TriangleTraits, NoValue>;
using SideSet = FlatMap<std::uint64_t, U64Traits, NoValue>;

class Cancelled
{
};

class Loader
{
public:
    Loader(const std::string& path, std::uint64_t budget,
           const std::function<bool(std::uint64_t, std::uint64_t)>& progress)
        : m_path(path), m_budget(std::max<std::uint64_t>(budget, 1)), m_progress(progress)
    {
    }

    PreviewLoad run()
    {
        PreviewLoad load;
        try {
            m_fd = openSourceFile(m_path, m_info);
            m_mesh = std::make_shared<PreviewMesh>();
            m_mesh->path = m_path;
            m_total = static_cast<std::uint64_t>(m_info.st_size);
            firstReading();
            if (m_keeping)
                finishKept();
            else
                reducedReading();
            load.mesh = std::move(m_mesh);
        } catch (const Cancelled&) {
            load.cancelled = true;
        } catch (const EngineError& error) {
            load.error = error.what();
        } catch (const std::bad_alloc&) {
            load.error = "There is not enough memory to show " + m_path + ".";
        } catch (const std::length_error&) {
            load.error = "There is not enough memory to show " + m_path + ".";
        }
        return load;
    }

private:
    void report(std::uint64_t done)
    {
        if (m_progress && !m_progress(done, m_total))
            throw Cancelled();
    }

    template <class Record>
    void readAll(std::uint64_t doneBefore, Record record)
    {
        WholeLinesReader reader(m_fd.get(), m_path, kPassChunkBytes);
        ChunkText text;
        std::uint64_t line = 0;
        while (reader.fill(text)) {
            report(doneBefore + text.fileOffset);
            for (LineSplitter split(text.data(), text.data() + text.size()); !split.atEnd();) {
                const std::string_view r = split.next();
                record(r, FirstWord(r), ++line);
            }
        }
        report(doneBefore + static_cast<std::uint64_t>(m_info.st_size));
    }

    void readVertex(std::string_view record, std::uint64_t line, double (&c)[3])
    {
        std::string_view texts[3];
        try {
            readCoordinates(record, "vertex", c, texts);
        } catch (const RecordFault& fault) {
            throw EngineError(lineMessage(m_path, line, fault.what()));
        }
    }

    // The counts and the box of the whole file, and while it stays within the budget, the whole
    // mesh: most files are read once.
    void firstReading()
    {
        PreviewMesh& mesh = *m_mesh;
        std::vector<std::int64_t> corners;
        readAll(0, [&](std::string_view record, std::string_view keyword, std::uint64_t line) {
            if (keyword == "v") {
                double c[3];
                readVertex(record, line, c);
                mesh.box.add(c);
                ++mesh.fileVertices;
                if (m_keeping && mesh.fileVertices > m_budget)
                    stopKeeping();
                if (m_keeping) {
                    mesh.positions.insert(mesh.positions.end(), c, c + 3);
                    mesh.recordText.append(record);
                    mesh.recordEnds.push_back(mesh.recordText.size());
                    mesh.recordLines.push_back(line);
                }
            } else if (keyword == "f") {
                ++mesh.fileFaces;
                FieldCursor fields(record);
                std::string_view field;
                fields.next(field); // the keyword
                corners.clear();
                while (fields.next(field))
                    corners.push_back(m_keeping ? cornerVertex(field, mesh.fileVertices) : 0);
                if (corners.size() >= 3)
                    mesh.fileTriangles += corners.size() - 2;
                if (m_keeping && mesh.fileTriangles > m_budget)
                    stopKeeping();
                if (m_keeping) {
                    for (const std::int64_t v : corners)
                        m_corners.push_back(v >= 0 && static_cast<std::uint64_t>(v) < m_budget
                                                ? static_cast<std::uint32_t>(v)
                                                : kNoVertex);
                    m_faceEnds.push_back(m_corners.size());
                }
            }
        });
    }

    void stopKeeping()
    {
        m_keeping = false;
        PreviewMesh& mesh = *m_mesh;
        std::vector<double>().swap(mesh.positions);
        std::string().swap(mesh.recordText);
        std::vector<std::uint64_t>().swap(mesh.recordEnds);
        std::vector<std::uint64_t>().swap(mesh.recordLines);
        std::vector<std::uint32_t>().swap(m_corners);
        std::vector<std::size_t>().swap(m_faceEnds);
    }

    void finishKept()
    {
        PreviewMesh& mesh = *m_mesh;
        SideSet sides;
        SideSet diagonals;
        std::size_t begin = 0;
        for (const std::size_t end : m_faceEnds) {
            const std::uint32_t* face = m_corners.data() + begin;
            const std::size_t count = end - begin;
            begin = end;
            if (std::any_of(face, face + count, [&](std::uint32_t v) { return v >= mesh.fileVertices; })) {
                ++mesh.skippedFaces;
                continue;
            }
            triangulate(
                count,
                [&](std::size_t a, std::size_t b, std::size_t c) {
                    mesh.triangles.insert(mesh.triangles.end(), {face[a], face[b], face[c]});
                },
                [&](std::size_t a, std::size_t b) {
                    if (face[a] != face[b])
                        sides.insert(sideKey(face[a], face[b]));
                },
                [&](std::size_t a, std::size_t b) {
                    if (face[a] != face[b])
                        diagonals.insert(sideKey(face[a], face[b]));
                });
        }
        std::vector<std::uint32_t>().swap(m_corners);
        std::vector<std::size_t>().swap(m_faceEnds);
        emitSides(sides, diagonals, [](std::uint32_t v) { return v; });
    }

    // The wireframe's lines; a diagonal that is also a polygon's side is drawn once, as the side.
    template <class Map>
    void emitSides(const SideSet& sides, const SideSet& diagonals, Map map)
    {
        PreviewMesh& mesh = *m_mesh;
        mesh.edges.reserve(sides.size() * 2);
        for (const std::uint64_t key : sides.keys())
            mesh.edges.insert(mesh.edges.end(), {map(std::uint32_t(key >> 32)), map(std::uint32_t(key))});
        for (const std::uint64_t key : diagonals.keys())
            if (sides.find(key) < 0)
                mesh.diagonals.insert(mesh.diagonals.end(),
                                      {map(std::uint32_t(key >> 32)), map(std::uint32_t(key))});
    }

    // The finest grid cell of a vertex: cubic cells over the whole file's box.
    std::uint32_t cellOf(const double (&c)[3]) const
    {
        std::uint32_t code = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double q = (c[axis] - m_mesh->box.min[axis]) * m_cellsPerUnit;
            std::uint32_t cell = 0;
            if (q >= 0 && q < kGridCells) // also false for NaN
                cell = static_cast<std::uint32_t>(q);
            else if (q >= kGridCells)
                cell = kGridCells - 1;
            code = (code << kGridBits) | cell;
        }
        return code;
    }

    // A cell of one level coarser: each axis's index halved.
    static std::uint32_t coarser(std::uint32_t code)
    {
        constexpr std::uint32_t kAxis = kGridCells - 1;
        const std::uint32_t x = (code >> (2 * kGridBits)) & kAxis, y = (code >> kGridBits) & kAxis,
                            z = code & kAxis;
        return ((x >> 1) << (2 * kGridBits)) | ((y >> 1) << kGridBits) | (z >> 1);
    }
    std::uint32_t atLevel(std::uint32_t code) const
    {
        for (int i = 0; i < m_coarsening; ++i)
            code = coarser(code);
        return code;
    }

    struct Representative
    {
        std::uint64_t vertex; // its index in the file
        std::uint64_t line;
        double c[3];
        std::size_t textBegin, textEnd; // in m_repText
    };

    void coarsen()
    {
        ++m_coarsening;
        // Cells: the earliest vertex of the merged cells stands for the coarse one.
        FlatMap<std::uint32_t, U64Traits, std::uint32_t> cells;
        std::vector<Representative> reps;
        std::string text;
        for (std::size_t i = 0; i < m_cells.size(); ++i) {
            const Representative& rep = m_reps[m_cells.values()[i]];
            bool inserted = false;
            const std::size_t at = cells.insert(coarser(m_cells.keys()[i]), std::uint32_t(reps.size()), inserted);
            if (inserted) {
                reps.push_back(rep);
            } else if (rep.vertex < reps[cells.values()[at]].vertex) {
                reps[cells.values()[at]] = rep;
            }
        }
        for (Representative& rep : reps) {
            const std::size_t begin = text.size();
            text.append(m_repText, rep.textBegin, rep.textEnd - rep.textBegin);
            rep.textBegin = begin;
            rep.textEnd = text.size();
        }
        m_cells = std::move(cells);
        m_reps = std::move(reps);
        m_repText = std::move(text);

        TriangleSet triangles;
        for (const TriangleKey& t : m_triangles.keys())
            addTriangle(triangles, coarser(t.v[0]), coarser(t.v[1]), coarser(t.v[2]));
        m_triangles = std::move(triangles);
        m_sides = coarserSides(m_sides);
        m_diagonals = coarserSides(m_diagonals);
    }
    static SideSet coarserSides(const SideSet& sides)
    {
        SideSet result;
        for (const std::uint64_t key : sides.keys())
            addSide(result, coarser(std::uint32_t(key >> 32)), coarser(std::uint32_t(key)));
        return result;
    }
    static void addTriangle(TriangleSet& set, std::uint32_t a, std::uint32_t b, std::uint32_t c)
    {
        if (a != b && b != c && a != c)
            set.insert(canonicalTriangle(a, b, c));
    }
    static void addSide(SideSet& set, std::uint32_t a, std::uint32_t b)
    {
        if (a != b)
            set.insert(sideKey(a, b));
    }
    void keepWithinBudget()
    {
        while (m_cells.size() > m_cellCap || m_triangles.size() > m_budget ||
               m_sides.size() + m_diagonals.size() > 3 * m_budget)
            coarsen();
    }

    // The second reading of a file beyond the budget: every vertex's cell, faces mapped to cells.
    void reducedReading()
    {
        PreviewMesh& mesh = *m_mesh;
        double largest = 0;
        for (int axis = 0; axis < 3; ++axis)
            largest = std::max(largest, mesh.box.max[axis] - mesh.box.min[axis]);
        m_cellsPerUnit = std::isfinite(largest) && largest > 0 ? kGridCells / largest : 0;
        m_cellCap = mesh.fileTriangles > 0 ? std::max<std::uint64_t>(m_budget / 2, 1) : m_budget;
        std::vector<std::uint32_t> codes(std::min(mesh.fileVertices, kMaxCodedVertices), kUncoded);

        const std::uint64_t firstSize = m_total;
        m_total *= 2;
        std::uint64_t vertices = 0;
        std::vector<std::uint32_t> face;
        readAll(firstSize, [&](std::string_view record, std::string_view keyword, std::uint64_t line) {
            if (keyword == "v") {
                double c[3];
                readVertex(record, line, c);
                const std::uint32_t code = cellOf(c);
                const std::uint64_t index = vertices++;
                if (index < codes.size())
                    codes[index] = code;
                bool inserted = false;
                m_cells.insert(atLevel(code), std::uint32_t(m_reps.size()), inserted);
                if (inserted) {
                    const std::size_t begin = m_repText.size();
                    m_repText.append(record);
                    m_reps.push_back({index, line, {c[0], c[1], c[2]}, begin, m_repText.size()});
                    keepWithinBudget();
                }
            } else if (keyword == "f") {
                FieldCursor fields(record);
                std::string_view field;
                fields.next(field);
                face.clear();
                bool skipped = false;
                bool shown = true;
                while (fields.next(field)) {
                    const std::int64_t v = cornerVertex(field, vertices);
                    if (v < 0 || static_cast<std::uint64_t>(v) >= mesh.fileVertices) {
                        skipped = true;
                    } else if (static_cast<std::uint64_t>(v) >= codes.size() ||
                               codes[std::size_t(v)] == kUncoded) {
                        shown = false;
                    } else if (shown && !skipped) {
                        face.push_back(atLevel(codes[std::size_t(v)]));
                    }
                }
                if (skipped) {
                    ++mesh.skippedFaces;
                    return;
                }
                if (!shown)
                    return;
                triangulate(
                    face.size(),
                    [&](std::size_t a, std::size_t b, std::size_t c) {
                        addTriangle(m_triangles, face[a], face[b], face[c]);
                    },
                    [&](std::size_t a, std::size_t b) { addSide(m_sides, face[a], face[b]); },
                    [&](std::size_t a, std::size_t b) { addSide(m_diagonals, face[a], face[b]); });
                keepWithinBudget();
            }
        });
        struct stat now
        {
        };
        if (::fstat(m_fd.get(), &now) != 0 || !unchangedSince(now, m_info) || vertices != mesh.fileVertices)
            throw EngineError("The source file " + m_path + " changed while it was read.");
        std::vector<std::uint32_t>().swap(codes);
        finishReduced();
    }

    void finishReduced()
    {
        PreviewMesh& mesh = *m_mesh;
        mesh.reduced = true;
        // The cells shown, in the file's order of their vertices: those of some line, or all
        // when the file has no faces.
        std::vector<char> used(m_cells.size(), m_triangles.size() == 0 && m_sides.size() == 0);
        const auto mark = [&](std::uint32_t cell) { used[std::size_t(m_cells.find(cell))] = 1; };
        for (const TriangleKey& t : m_triangles.keys())
            for (const std::uint32_t cell : t.v)
                mark(cell);
        for (const SideSet* set : {&m_sides, &m_diagonals})
            for (const std::uint64_t key : set->keys()) {
                mark(std::uint32_t(key >> 32));
                mark(std::uint32_t(key));
            }
        std::vector<std::uint32_t> order;
        for (std::uint32_t i = 0; i < m_cells.size(); ++i)
            if (used[i])
                order.push_back(i);
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return m_reps[m_cells.values()[a]].vertex < m_reps[m_cells.values()[b]].vertex;
        });
        std::vector<std::uint32_t> shownIndex(m_cells.size(), kNoVertex);
        for (std::uint32_t i = 0; i < order.size(); ++i) {
            shownIndex[order[i]] = i;
            const Representative& rep = m_reps[m_cells.values()[order[i]]];
            mesh.positions.insert(mesh.positions.end(), rep.c, rep.c + 3);
            mesh.recordText.append(m_repText, rep.textBegin, rep.textEnd - rep.textBegin);
            mesh.recordEnds.push_back(mesh.recordText.size());
            mesh.recordLines.push_back(rep.line);
        }
        const auto map = [&](std::uint32_t cell) { return shownIndex[std::size_t(m_cells.find(cell))]; };
        mesh.triangles.reserve(m_triangles.size() * 3);
        for (const TriangleKey& t : m_triangles.keys())
            mesh.triangles.insert(mesh.triangles.end(), {map(t.v[0]), map(t.v[1]), map(t.v[2])});
        emitSides(m_sides, m_diagonals, map);
    }

    const std::string& m_path;
    const std::uint64_t m_budget;
    const std::function<bool(std::uint64_t, std::uint64_t)>& m_progress;
    UniqueFd m_fd;
    struct stat m_info
    {
    };
    std::uint64_t m_total = 0;
    std::shared_ptr<PreviewMesh> m_mesh;

    // The first reading's faces while the file is within the budget.
    bool m_keeping = true;
    std::vector<std::uint32_t> m_corners; // kNoVertex for a corner that names no vertex
    std::vector<std::size_t> m_faceEnds;

    // The second reading's clustering.
    double m_cellsPerUnit = 0;
    std::uint64_t m_cellCap = 0;
    int m_coarsening = 0;
    FlatMap<std::uint32_t, U64Traits, std::uint32_t> m_cells; // cell -> index in m_reps
    std::vector<Representative> m_reps;
    std::string m_repText;
    TriangleSet m_triangles;
    SideSet m_sides;
    SideSet m_diagonals;
};

} // namespace

PreviewLoad loadPreviewMesh(const std::string& path, std::uint64_t triangleBudget,
                            const std::function<bool(std::uint64_t, std::uint64_t)>& progress)
{
    return Loader(path, triangleBudget, progress).run();
}

PreviewNoise noisePreviewMesh(const PreviewMesh& mesh, const PreviewSettings& settings)
{
    PreviewNoise result;
    result.positions = mesh.positions;
    result.amplitude = computeNoiseScale(mesh.box, settings.intensityText);
    if (result.amplitude.error) {
        result.error = result.amplitude.error;
        return result;
    }
    NoiseChoice choice;
    std::copy(settings.axes, settings.axes + 3, choice.axes);
    choice.algorithm = settings.algorithm;
    const double scale = result.amplitude.noiseScale;
    const std::uint64_t salt = daySalt(settings.daySeed);
    const std::size_t count = mesh.recordEnds.size();

    // Each vertex's noise is its own, so the vertices are shared out among threads; the first
    // fault in the file's order is the one reported.
    const auto work = [&](std::size_t from, std::size_t to, std::size_t& faulty, std::string& fault) {
        VertexNoise noise;
        for (std::size_t i = from; i < to; ++i) {
            const std::size_t begin = i == 0 ? 0 : mesh.recordEnds[i - 1];
            const std::string_view record(mesh.recordText.data() + begin, mesh.recordEnds[i] - begin);
            double c[3];
            try {
                noise.apply(record, false, choice, scale, salt, c);
            } catch (const RecordFault& error) {
                faulty = i;
                fault = error.what();
                return;
            }
            std::copy(c, c + 3, result.positions.begin() + std::ptrdiff_t(3 * i));
        }
    };
    constexpr std::size_t kPerThread = 20000;
    const std::size_t threads =
        std::clamp<std::size_t>(count / kPerThread, 1, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::size_t> faulty(threads, count);
    std::vector<std::string> faults(threads);
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < threads; ++t)
        helpers.emplace_back(work, count * t / threads, count * (t + 1) / threads, std::ref(faulty[t]),
                             std::ref(faults[t]));
    work(0, count / threads, faulty[0], faults[0]);
    for (std::thread& helper : helpers)
        helper.join();
    for (std::size_t t = 0; t < threads; ++t) {
        if (faulty[t] != count) {
            result.error = lineMessage(mesh.path, mesh.recordLines[faulty[t]], faults[t]);
            result.positions = mesh.positions;
            break;
        }
    }
    return result;
}

} // namespace jf
