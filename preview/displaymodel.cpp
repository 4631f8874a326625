#include "preview/displaymodel.h"

#include "engine/engineerror.h"
#include "engine/normalform.h"
#include "engine/phasefiles.h"
#include "engine/uniquefd.h"
#include "engine/wholelinesreader.h"
#include "preview/flathash.h"
#include "preview/parsedchunks.h"
#include "text/parser.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <sys/stat.h>
#include <thread>

namespace jf {

namespace {

using preview::FlatMap;
using preview::ParsedChunk;
using preview::ParsedChunks;
using preview::RecentKeys;
using preview::U64Traits;

constexpr std::uint32_t kNoVertex = 0xFFFFFFFFu;
// The most vertices whose cell is remembered for the faces that follow: 256 MiB of cells.
constexpr std::uint64_t kMaxCodedVertices = std::uint64_t(1) << 26;

// The vertex a face corner names, 0-based, given the number its text starts with (0 for none; see
// ParsedChunk) and how many vertices came before the face; -1 for a corner that names none. A
// positive index is not checked against the file's count here: a face may name a vertex defined
// after it.
std::int64_t cornerVertex(std::int64_t index, std::uint64_t verticesBefore)
{
    if (index == 0)
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

// The cells of the vertices read lately, one for each of a thousand hashes: a vertex is
// mostly in the cell of one a little before it.
class RecentCells
{
public:
    RecentCells() { clear(); }
    const std::uint32_t* find(std::uint64_t code) const
    {
        const Entry& entry = m_entries[slot(code)];
        return entry.code == code ? &entry.cell : nullptr;
    }
    void remember(std::uint64_t code, std::uint32_t cell) { m_entries[slot(code)] = {code, cell}; }
    void clear() { m_entries.assign(kSize, Entry{~std::uint64_t(0), 0}); }

private:
    static constexpr std::size_t kSize = 1024;
    static std::size_t slot(std::uint64_t code) { return std::size_t(preview::mixBits(code) >> 54); }
    struct Entry
    {
        std::uint64_t code;
        std::uint32_t cell;
    };
    std::vector<Entry> m_entries;
};

// The cells of every vertex read, 4 bytes each, in blocks: a growing file never needs a copy of
// them all at once.
class CellColumn
{
public:
    std::uint64_t size() const { return m_size; }
    void push(std::uint32_t cell)
    {
        if ((m_size & kBlockMask) == 0)
            m_blocks.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(kBlockMask + 1));
        m_blocks.back()[m_size & kBlockMask] = cell;
        ++m_size;
    }
    std::uint32_t operator[](std::uint64_t i) const { return m_blocks[i >> kBlockBits][i & kBlockMask]; }
    template <class F>
    void update(F f)
    {
        for (std::uint64_t i = 0; i < m_size; ++i) {
            std::uint32_t& cell = m_blocks[i >> kBlockBits][i & kBlockMask];
            cell = f(cell);
        }
    }

private:
    static constexpr int kBlockBits = 16;
    static constexpr std::uint64_t kBlockMask = (std::uint64_t(1) << kBlockBits) - 1;
    std::vector<std::unique_ptr<std::uint32_t[]>> m_blocks;
    std::uint64_t m_size = 0;
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
            read();
            if (m_keeping)
                finishKept();
            else
                finishReduced();
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
        if (m_progress && !m_progress(done, static_cast<std::uint64_t>(m_info.st_size)))
            throw Cancelled();
    }

    // One reading: the counts and the box of the whole file, and while the file stays within the
    // budget the whole mesh; beyond it, the mesh so far becomes the clustering's start.
    void read()
    {
        PreviewMesh& mesh = *m_mesh;
        // A small file gets a buffer of its size, not a whole chunk's, and no second thread. Two
        // threads hold a few chunks and their numbers at once: half a pass's chunk each keeps that
        // within what one thread's whole chunk took.
        const auto size = static_cast<std::uint64_t>(m_info.st_size);
        const bool helper = size > kPassChunkBytes && std::thread::hardware_concurrency() > 1;
        const std::size_t chunkBytes = static_cast<std::size_t>(
            std::clamp<std::uint64_t>(size, 4096, helper ? kPassChunkBytes / 2 : kPassChunkBytes));
        reserveKept(size);
        ParsedChunks chunks(m_fd.get(), m_path, chunkBytes, helper);
        std::uint64_t lineBase = 0;
        std::vector<std::int64_t> corners;
        while (const ParsedChunk* chunk = chunks.next()) {
            report(chunk->fileOffset);
            if (chunk->fault)
                throw EngineError(lineMessage(m_path, lineBase + chunk->faultLine, *chunk->fault));
            // Vertices and faces in the order the file has them: each face after the vertices
            // before it.
            const std::size_t vertices = chunk->vertexRecords.size();
            std::size_t v = 0;
            std::size_t cornerBegin = 0;
            for (std::size_t face = 0; face <= chunk->faceEnds.size(); ++face) {
                const std::size_t until = face < chunk->faceEnds.size() ? chunk->faceVertices[face] : vertices;
                for (; v < until; ++v) {
                    const double c[3] = {chunk->coordinates[3 * v], chunk->coordinates[3 * v + 1],
                                         chunk->coordinates[3 * v + 2]};
                    addFileVertex(chunk->vertexRecords[v], lineBase + chunk->vertexLines[v], c);
                }
                if (face == chunk->faceEnds.size())
                    break;
                const std::size_t cornerEnd = chunk->faceEnds[face];
                corners.clear();
                for (std::size_t i = cornerBegin; i < cornerEnd; ++i)
                    corners.push_back(cornerVertex(chunk->corners[i], mesh.fileVertices));
                cornerBegin = cornerEnd;
                addFileFace(corners);
            }
            lineBase += chunk->lines;
        }
        report(static_cast<std::uint64_t>(m_info.st_size));
        struct stat now
        {
        };
        if (::fstat(m_fd.get(), &now) != 0 || !unchangedSince(now, m_info))
            throw EngineError("The source file " + m_path + " changed while it was read.");
        // Faces that named vertices after them: those beyond the file's count name none.
        for (const std::uint64_t last : m_forward)
            mesh.skippedFaces += last >= mesh.fileVertices;
        mesh.skippedFaces += m_forwardUncounted;
    }

    void addFileVertex(std::string_view record, std::uint64_t line, const double (&c)[3])
    {
        PreviewMesh& mesh = *m_mesh;
        mesh.box.add(c);
        ++mesh.fileVertices;
        if (m_keeping && mesh.fileVertices > m_budget)
            startClustering();
        if (m_keeping) {
            mesh.positions.insert(mesh.positions.end(), c, c + 3);
            mesh.recordText.append(record);
            mesh.recordEnds.push_back(mesh.recordText.size());
            mesh.recordLines.push_back(line);
        } else {
            addVertex(record, line, c);
        }
    }

    void addFileFace(const std::vector<std::int64_t>& corners)
    {
        PreviewMesh& mesh = *m_mesh;
        ++mesh.fileFaces;
        if (corners.size() >= 3)
            mesh.fileTriangles += corners.size() - 2;
        if (m_keeping && mesh.fileTriangles > m_budget)
            startClustering();
        if (m_keeping) {
            m_corners.insert(m_corners.end(), corners.begin(), corners.end());
            m_faceEnds.push_back(m_corners.size());
            m_faceVertices.push_back(mesh.fileVertices);
        } else {
            addFace(corners);
        }
    }

    // Room for what is kept while the file stays within the budget, taken once: growing it by
    // copies would cost more than reading the numbers. Only the part used is ever touched, so a
    // smaller file costs no more memory for it.
    void reserveKept(std::uint64_t size)
    {
        PreviewMesh& mesh = *m_mesh;
        // The shortest vertex record is "v 0 0 0" and its line end; a face of three corners takes as
        // many bytes. Faces of fewer corners may go beyond this, and are rare.
        const std::uint64_t records = std::min(m_budget, size / 8) + 1;
        mesh.positions.reserve(3 * records);
        mesh.recordEnds.reserve(records);
        mesh.recordLines.reserve(records);
        mesh.recordText.reserve(std::min<std::uint64_t>(size, records * 40));
        m_corners.reserve(3 * records);
        m_faceEnds.reserve(records);
        m_faceVertices.reserve(records);
    }

    void finishKept()
    {
        PreviewMesh& mesh = *m_mesh;
        SideSet sides;
        SideSet diagonals;
        std::size_t begin = 0;
        std::vector<std::uint32_t> face;
        for (const std::size_t end : m_faceEnds) {
            face.clear();
            for (std::size_t i = begin; i < end; ++i) {
                const std::int64_t v = m_corners[i];
                if (v < 0 || static_cast<std::uint64_t>(v) >= mesh.fileVertices)
                    break;
                face.push_back(static_cast<std::uint32_t>(v));
            }
            const std::size_t count = end - begin;
            begin = end;
            if (face.size() != count) {
                ++mesh.skippedFaces;
                continue;
            }
            triangulate(
                count,
                [&](std::size_t a, std::size_t b, std::size_t c) {
                    mesh.triangles.insert(mesh.triangles.end(), {face[a], face[b], face[c]});
                },
                [&](std::size_t a, std::size_t b) { addSide(sides, face[a], face[b]); },
                [&](std::size_t a, std::size_t b) { addSide(diagonals, face[a], face[b]); });
        }
        std::vector<std::int64_t>().swap(m_corners);
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

    // The clustering's grid: cubic cells, 1024 across the box of the vertices read before the file
    // went beyond the budget, and room for a million times as many beyond them on every side;
    // coarser by half at each level. A vertex further out than that shares the outermost cell.
    static constexpr int kAxisBits = 21;
    static constexpr std::int64_t kAxisHalf = std::int64_t(1) << (kAxisBits - 1);
    std::uint64_t cellCode(const double (&c)[3]) const
    {
        std::uint64_t code = 0;
        for (int axis = 0; axis < 3; ++axis) {
            const double q = std::floor((c[axis] - m_origin[axis]) * m_cellsPerUnit);
            std::int64_t cell = 0; // also for NaN
            if (q >= double(kAxisHalf))
                cell = kAxisHalf - 1;
            else if (q < -double(kAxisHalf))
                cell = -kAxisHalf;
            else if (q == q)
                cell = static_cast<std::int64_t>(q);
            code = (code << kAxisBits) | (static_cast<std::uint64_t>(cell + kAxisHalf) >> m_level);
        }
        return code;
    }
    static std::uint64_t coarser(std::uint64_t code)
    {
        constexpr std::uint64_t kAxis = (std::uint64_t(1) << kAxisBits) - 1;
        const std::uint64_t x = (code >> (2 * kAxisBits)) & kAxis, y = (code >> kAxisBits) & kAxis,
                            z = code & kAxis;
        return ((x >> 1) << (2 * kAxisBits)) | ((y >> 1) << kAxisBits) | (z >> 1);
    }

    void startClustering()
    {
        m_keeping = false;
        PreviewMesh& mesh = *m_mesh;
        const Extents& box = mesh.box;
        double largest = 0;
        for (int axis = 0; axis < 3; ++axis) {
            m_origin[axis] = box.empty || !std::isfinite(box.min[axis]) ? 0.0 : box.min[axis];
            const double extent = box.max[axis] - box.min[axis];
            if (std::isfinite(extent))
                largest = std::max(largest, extent);
        }
        m_cellsPerUnit = largest > 0 && std::isfinite(1024 / largest) ? 1024 / largest : 1.0;
        m_cellCap = std::max<std::uint64_t>(m_budget / 2, 1);

        // The mesh kept so far enters the clustering as if it had been read now.
        const std::vector<double> positions = std::move(mesh.positions);
        const std::string recordText = std::move(mesh.recordText);
        const std::vector<std::uint64_t> ends = std::move(mesh.recordEnds);
        const std::vector<std::uint64_t> lines = std::move(mesh.recordLines);
        mesh.positions = {};
        mesh.recordText = {};
        mesh.recordEnds = {};
        mesh.recordLines = {};
        const std::uint64_t vertices = ends.size();
        // A surface's vertices fill a quarter as many cells a level up: the grid starts where those
        // read so far fill a quarter of the cells allowed, rather than coarsening its way there.
        while ((vertices >> (2 * m_level)) > m_cellCap / 4 && m_level < 10)
            ++m_level;
        std::size_t begin = 0;
        std::size_t face = 0;
        std::vector<std::int64_t> corners;
        for (std::uint64_t v = 0; v <= vertices; ++v) {
            // Faces in the order they came: each before the vertices after it.
            const std::int64_t read = static_cast<std::int64_t>(v);
            for (; face < m_faceEnds.size(); ++face) {
                const std::size_t faceBegin = face == 0 ? 0 : m_faceEnds[face - 1];
                if (m_faceVertices[face] > static_cast<std::uint64_t>(read))
                    break;
                corners.assign(m_corners.begin() + std::ptrdiff_t(faceBegin),
                               m_corners.begin() + std::ptrdiff_t(m_faceEnds[face]));
                addFace(corners);
            }
            if (v == vertices)
                break;
            const double c[3] = {positions[3 * v], positions[3 * v + 1], positions[3 * v + 2]};
            addVertex(std::string_view(recordText).substr(begin, ends[v] - begin), lines[v], c);
            begin = ends[v];
        }
        std::vector<std::int64_t>().swap(m_corners);
        std::vector<std::size_t>().swap(m_faceEnds);
        std::vector<std::uint64_t>().swap(m_faceVertices);
    }

    void addVertex(std::string_view record, std::uint64_t line, const double (&c)[3])
    {
        const std::uint64_t index = m_cellOfVertex.size();
        if (index >= kMaxCodedVertices)
            return;
        const std::uint64_t code = cellCode(c);
        if (const std::uint32_t* recent = m_recentCells.find(code)) {
            m_cellOfVertex.push(*recent);
            return;
        }
        bool inserted = false;
        const auto cell = static_cast<std::uint32_t>(m_cells.insert(code, NoValue(), inserted));
        m_cellOfVertex.push(cell);
        m_recentCells.remember(code, cell);
        if (inserted) {
            const std::size_t begin = m_repText.size();
            m_repText.append(record);
            m_reps.push_back({index, line, {c[0], c[1], c[2]}, begin, m_repText.size()});
            keepWithinBudget();
        }
    }

    void addFace(const std::vector<std::int64_t>& corners)
    {
        PreviewMesh& mesh = *m_mesh;
        const std::uint64_t read = m_cellOfVertex.size();
        std::uint64_t last = 0;
        for (const std::int64_t v : corners) {
            if (v < 0) {
                ++mesh.skippedFaces;
                return;
            }
            last = std::max(last, static_cast<std::uint64_t>(v));
        }
        if (last >= read) {
            // Not drawn; whether it is skipped is known at the end of the file.
            if (mesh.fileVertices >= kMaxCodedVertices && last < mesh.fileVertices)
                return;
            if (m_forward.size() < kMaxForwardFaces)
                m_forward.push_back(last);
            else
                ++m_forwardUncounted;
            return;
        }
        m_face.clear();
        for (const std::int64_t v : corners)
            m_face.push_back(m_cellOfVertex[static_cast<std::uint64_t>(v)]);
        const std::vector<std::uint32_t>& face = m_face;
        triangulate(
            face.size(),
            [&](std::size_t a, std::size_t b, std::size_t c) { addRecentTriangle(face[a], face[b], face[c]); },
            [&](std::size_t a, std::size_t b) { addRecentSide(m_sides, m_recentSides, face[a], face[b]); },
            [&](std::size_t a, std::size_t b) { addRecentSide(m_diagonals, m_recentDiagonals, face[a], face[b]); });
        keepWithinBudget();
    }

    struct Representative
    {
        std::uint64_t vertex; // its index in the file
        std::uint64_t line;
        double c[3];
        std::size_t textBegin, textEnd; // in m_repText
    };

    // One level coarser: the earliest vertex of the merged cells stands for the coarse one, and
    // every cell number given out so far is renumbered.
    void coarsen()
    {
        ++m_level;
        m_recentCells.clear();
        m_recentTriangles.clear();
        m_recentSides.clear();
        m_recentDiagonals.clear();
        FlatMap<std::uint64_t, U64Traits, NoValue> cells;
        std::vector<Representative> reps;
        std::vector<std::uint32_t> renumber(m_cells.size());
        for (std::size_t i = 0; i < m_cells.size(); ++i) {
            const Representative& rep = m_reps[i];
            bool inserted = false;
            const std::size_t at = cells.insert(coarser(m_cells.keys()[i]), NoValue(), inserted);
            renumber[i] = static_cast<std::uint32_t>(at);
            if (inserted)
                reps.push_back(rep);
            else if (rep.vertex < reps[at].vertex)
                reps[at] = rep;
        }
        std::string text;
        for (Representative& rep : reps) {
            const std::size_t begin = text.size();
            text.append(m_repText, rep.textBegin, rep.textEnd - rep.textBegin);
            rep.textBegin = begin;
            rep.textEnd = text.size();
        }
        m_cells = std::move(cells);
        m_reps = std::move(reps);
        m_repText = std::move(text);
        m_cellOfVertex.update([&](std::uint32_t cell) { return renumber[cell]; });

        TriangleSet triangles;
        for (const TriangleKey& t : m_triangles.keys())
            addTriangle(triangles, renumber[t.v[0]], renumber[t.v[1]], renumber[t.v[2]]);
        m_triangles = std::move(triangles);
        for (SideSet* set : {&m_sides, &m_diagonals}) {
            SideSet result;
            for (const std::uint64_t key : set->keys())
                addSide(result, renumber[key >> 32], renumber[key & 0xFFFFFFFFu]);
            *set = std::move(result);
        }
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
    void addRecentTriangle(std::uint32_t a, std::uint32_t b, std::uint32_t c)
    {
        if (a == b || b == c || a == c)
            return;
        const TriangleKey key = canonicalTriangle(a, b, c);
        if (!m_recentTriangles.seen(key))
            m_triangles.insert(key);
    }
    static void addRecentSide(SideSet& set, RecentKeys<std::uint64_t, U64Traits>& recent, std::uint32_t a,
                              std::uint32_t b)
    {
        if (a == b)
            return;
        const std::uint64_t key = sideKey(a, b);
        if (!recent.seen(key))
            set.insert(key);
    }
    void keepWithinBudget()
    {
        while (m_cells.size() > m_cellCap || m_triangles.size() > m_budget ||
               m_sides.size() + m_diagonals.size() > 3 * m_budget)
            coarsen();
    }

    void finishReduced()
    {
        PreviewMesh& mesh = *m_mesh;
        mesh.reduced = true;
        // The cells shown, in the file's order of their vertices: those of some line, or all
        // when nothing is drawn but points.
        std::vector<char> used(m_cells.size(), m_triangles.size() == 0 && m_sides.size() == 0);
        for (const TriangleKey& t : m_triangles.keys())
            for (const std::uint32_t cell : t.v)
                used[cell] = 1;
        for (const SideSet* set : {&m_sides, &m_diagonals})
            for (const std::uint64_t key : set->keys()) {
                used[key >> 32] = 1;
                used[key & 0xFFFFFFFFu] = 1;
            }
        std::vector<std::uint32_t> order;
        for (std::uint32_t i = 0; i < m_cells.size(); ++i)
            if (used[i])
                order.push_back(i);
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return m_reps[a].vertex < m_reps[b].vertex; });
        std::vector<std::uint32_t> shownIndex(m_cells.size(), kNoVertex);
        for (std::uint32_t i = 0; i < order.size(); ++i) {
            shownIndex[order[i]] = i;
            const Representative& rep = m_reps[order[i]];
            mesh.positions.insert(mesh.positions.end(), rep.c, rep.c + 3);
            mesh.recordText.append(m_repText, rep.textBegin, rep.textEnd - rep.textBegin);
            mesh.recordEnds.push_back(mesh.recordText.size());
            mesh.recordLines.push_back(rep.line);
        }
        const auto map = [&](std::uint32_t cell) { return shownIndex[cell]; };
        mesh.triangles.reserve(m_triangles.size() * 3);
        for (const TriangleKey& t : m_triangles.keys())
            mesh.triangles.insert(mesh.triangles.end(), {map(t.v[0]), map(t.v[1]), map(t.v[2])});
        emitSides(m_sides, m_diagonals, map);
    }

    // Faces that name a vertex after them, remembered by their last vertex up to this many.
    static constexpr std::size_t kMaxForwardFaces = std::size_t(1) << 20;

    const std::string& m_path;
    const std::uint64_t m_budget;
    const std::function<bool(std::uint64_t, std::uint64_t)>& m_progress;
    UniqueFd m_fd;
    struct stat m_info
    {
    };
    std::shared_ptr<PreviewMesh> m_mesh;

    // The faces while the file is within the budget: corners (-1 names no vertex), and how many
    // vertices came before each face.
    bool m_keeping = true;
    std::vector<std::int64_t> m_corners;
    std::vector<std::size_t> m_faceEnds;
    std::vector<std::uint64_t> m_faceVertices;

    // The clustering beyond the budget.
    double m_origin[3] = {0, 0, 0};
    double m_cellsPerUnit = 1;
    int m_level = 0;
    std::uint64_t m_cellCap = 0;
    FlatMap<std::uint64_t, U64Traits, NoValue> m_cells; // a cell's number is its index here
    std::vector<Representative> m_reps;                 // by cell number
    std::string m_repText;
    CellColumn m_cellOfVertex;
    std::vector<std::uint32_t> m_face;
    TriangleSet m_triangles;
    SideSet m_sides;
    SideSet m_diagonals;
    std::vector<std::uint64_t> m_forward;
    std::uint64_t m_forwardUncounted = 0;
    RecentCells m_recentCells;
    RecentKeys<TriangleKey, TriangleTraits> m_recentTriangles{TriangleKey{{kNoVertex, kNoVertex, kNoVertex}}};
    RecentKeys<std::uint64_t, U64Traits> m_recentSides{~std::uint64_t(0)};
    RecentKeys<std::uint64_t, U64Traits> m_recentDiagonals{~std::uint64_t(0)};
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
            // The coordinates are those the record reads as, read at the load: only the noise is new.
            double c[3] = {mesh.positions[3 * i], mesh.positions[3 * i + 1], mesh.positions[3 * i + 2]};
            if (noise.applyKey(VertexNoise::recordKey(record, false, salt), choice, scale, c) >= 0) {
                try {
                    noise.apply(record, false, choice, scale, salt, c); // for Convert's own words
                } catch (const RecordFault& error) {
                    faulty = i;
                    fault = error.what();
                    return;
                }
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
