#include "preview/displaymodel.h"
#include "preview/parsedchunks.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <unistd.h>

using namespace jf;

namespace {

std::string writeFile(const QTemporaryDir& dir, const char* name, const std::string& text)
{
    const std::string path = QDir(dir.path()).filePath(name).toStdString();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// The coordinates of every v record the command line wrote, in order.
std::vector<double> writtenVertices(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    std::vector<double> numbers;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields[0] != "v")
            continue;
        for (int i = 1; i <= 3; ++i) {
            double value = 0;
            const QByteArray& field = fields[i];
            std::from_chars(field.constData(), field.constData() + field.size(), value);
            numbers.push_back(value);
        }
    }
    return numbers;
}

// A height field of `side` x `side` vertices in quads, every vertex line first.
std::string gridMesh(int side)
{
    std::string text;
    text.reserve(std::size_t(side) * side * 48);
    char line[96];
    for (int z = 0; z < side; ++z)
        for (int x = 0; x < side; ++x) {
            std::snprintf(line, sizeof line, "v %d.25 %.3f %d.75\n", x, std::sin(x * 0.1) * std::cos(z * 0.07), z);
            text += line;
        }
    for (int z = 0; z + 1 < side; ++z)
        for (int x = 0; x + 1 < side; ++x) {
            const int a = z * side + x + 1;
            std::snprintf(line, sizeof line, "f %d %d %d %d\n", a, a + 1, a + side + 1, a + side);
            text += line;
        }
    return text;
}

long statusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// Everything the chunks of a file hold, in file order, with lines counted from the file's start.
struct Records
{
    std::vector<double> coordinates;
    std::vector<std::string> vertexRecords;
    std::vector<std::uint64_t> vertexLines;
    std::vector<std::int64_t> corners;
    std::vector<std::uint64_t> faceEnds, faceVertices;
    std::string fault;
    bool operator==(const Records&) const = default;
};

Records readRecords(const std::string& path, std::size_t chunkBytes, bool helper)
{
    Records all;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return all;
    {
        preview::ParsedChunks chunks(fd, path, chunkBytes, helper);
        std::uint64_t lineBase = 0, vertexBase = 0;
        while (const preview::ParsedChunk* chunk = chunks.next()) {
            all.coordinates.insert(all.coordinates.end(), chunk->coordinates.begin(), chunk->coordinates.end());
            for (std::size_t v = 0; v < chunk->vertexRecords.size(); ++v) {
                all.vertexRecords.emplace_back(chunk->vertexRecords[v]);
                all.vertexLines.push_back(lineBase + chunk->vertexLines[v]);
            }
            const std::uint64_t cornerBase = all.corners.size();
            all.corners.insert(all.corners.end(), chunk->corners.begin(), chunk->corners.end());
            for (std::size_t f = 0; f < chunk->faceEnds.size(); ++f) {
                all.faceEnds.push_back(cornerBase + chunk->faceEnds[f]);
                all.faceVertices.push_back(vertexBase + chunk->faceVertices[f]);
            }
            if (chunk->fault) {
                all.fault = std::to_string(lineBase + chunk->faultLine) + ": " + *chunk->fault;
                break;
            }
            lineBase += chunk->lines;
            vertexBase += chunk->vertexRecords.size();
        }
    }
    ::close(fd);
    return all;
}

} // namespace

class TestPreviewModel : public QObject
{
    Q_OBJECT

private slots:
    // After's numbers are the ones Convert writes: every mesh of the shared collection, with
    // several choices of options, against the command line built beside this test.
    void sameNumbersAsConvert_data()
    {
        QTest::addColumn<QString>("mesh");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("intensity");
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QString>("axes");
        const QDir meshes(JF_MESH_DIR);
        if (!meshes.exists())
            QSKIP("the shared meshes are not there");
        struct Choice
        {
            const char* name;
            const char* intensity;
            int algorithm;
            const char* type;
            const char* axes;
        };
        const Choice choices[] = {{"default", "0.1", White, "white", "xyz"},
                                  {"cubic xz", "0.5", Cubic, "cubic", "xz"},
                                  {"squared y, typed text", "2,5e-2", Squared, "squared", "y"},
                                  {"no axis", "0.1", White, "white", "none"}};
        for (const QString& name : meshes.entryList({"*.obj"}, QDir::Files, QDir::Name))
            for (const Choice& c : choices)
                QTest::newRow(qPrintable(name + ", " + c.name))
                    << meshes.filePath(name)
                    << QStringList{"-i", c.intensity, "-t", c.type, "-a", c.axes} << QString(c.intensity)
                    << c.algorithm << QString(c.axes);
    }
    void sameNumbersAsConvert()
    {
        QFETCH(QString, mesh);
        QFETCH(QStringList, options);
        QFETCH(QString, intensity);
        QFETCH(int, algorithm);
        QFETCH(QString, axes);
        QTemporaryDir dir;
        const QString source = dir.filePath("in.obj"), written = dir.filePath("out.obj");
        QVERIFY(QFile::copy(mesh, source));

        QProcess cli;
        cli.start(JITTERFORM_CLI,
                  QStringList{"-q", "-f", "--keep-source", "--day", "46000"} + options + QStringList{source, written});
        QVERIFY(cli.waitForFinished(60000));
        const QByteArray said = cli.readAllStandardError();

        const PreviewLoad load = loadPreviewMesh(source.toStdString(), kDefaultTriangleBudget, {});
        QVERIFY(!load.cancelled);
        if (cli.exitCode() != 0) {
            // A record Convert cannot read fails the load with Convert's own words.
            QVERIFY2(load.error, said.constData());
            QVERIFY2(said.contains(QByteArray::fromStdString(*load.error)), load.error->c_str());
            return;
        }
        QVERIFY2(!load.error, load.error ? load.error->c_str() : "");
        PreviewSettings settings;
        settings.intensityText = intensity.toStdString();
        settings.algorithm = algorithm;
        for (int axis = 0; axis < 3; ++axis)
            settings.axes[axis] = axes.contains(QChar('x' + axis));
        settings.daySeed = 46000;
        const PreviewNoise noise = noisePreviewMesh(*load.mesh, settings);
        QVERIFY(!noise.error);

        const std::vector<double> expected = writtenVertices(written);
        QCOMPARE(load.mesh->fileVertices * 3, expected.size());
        QCOMPARE(noise.positions.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (noise.positions[i] != expected[i])
                QFAIL(qPrintable(QString("vertex %1, axis %2: %3 shown, %4 written")
                                     .arg(i / 3 + 1)
                                     .arg(i % 3)
                                     .arg(noise.positions[i], 0, 'g', 17)
                                     .arg(expected[i], 0, 'g', 17)));
    }

    // Faces as files have them, well formed or not: what is drawn, what is skipped and counted.
    void faces_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QList<uint>>("triangles");
        QTest::addColumn<int>("edges");
        QTest::addColumn<QList<uint>>("diagonals");
        QTest::addColumn<int>("skipped");
        const QByteArray four = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";
        const auto row = [](const char* name, const QByteArray& text, QList<uint> triangles, int edges,
                            QList<uint> diagonals = {}, int skipped = 0) {
            QTest::newRow(name) << text << triangles << edges << diagonals << skipped;
        };
        // A quad is cut where Split quads cuts it, so After shows the surface Convert writes.
        row("quad", four + "f 1 2 3 4\n", {0, 1, 3, 1, 2, 3}, 4, {1, 3});
        row("corner forms", four + "f 1/1 2/2 3/3\r\nf 1//1 3//1 4//1\rf 1/1/1 2/2/2 4/4/4\n",
            {0, 1, 2, 0, 2, 3, 0, 1, 3}, 6);
        row("relative", four + "f -4 -3 -2\n", {0, 1, 2}, 3);
        row("pentagon as a fan", four + "v 0 2 0\nf 1 2 3 5 4\n", {0, 1, 2, 0, 2, 4, 0, 4, 3}, 5);
        row("vertex defined after the face", "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 1 1 0\n", {0, 1, 2}, 3);
        row("index zero", four + "f 0 1 2\nf 1 2 3\n", {0, 1, 2}, 3, {}, 1);
        row("beyond the count", four + "f 1 2 5\n", {}, 0, {}, 1);
        row("relative beyond the start", four + "f -5 -2 -1\n", {}, 0, {}, 1);
        row("not a number", four + "f a b c\nf 1.5 2 3\nf 1 2 3x\n", {}, 0, {}, 3);
        row("lines, points, two corners", four + "l 1 2 3\np 1\nf 1 2\n", {}, 0);
        row("huge index", four + "f 1 2 99999999999999999999\nf 1 2 -99999999999999999999\n", {}, 0, {}, 2);
        // The text before a corner's first slash must be a whole number within 64 bits.
        row("corner numbers",
            four + "f 1/ 2// 3/x\nf 0000000000000000000001 002 -0000000000000000000002\nf +1 2 3\nf 1 2 -0\n"
                   "f 1 2 3x/1\nf 1 2 9223372036854775808\nf -9223372036854775808 1 2\n",
            {0, 1, 2, 0, 1, 2}, 3, {}, 5);
    }
    void faces()
    {
        QFETCH(QByteArray, text);
        QFETCH(QList<uint>, triangles);
        QFETCH(int, edges);
        QFETCH(QList<uint>, diagonals);
        QFETCH(int, skipped);
        QTemporaryDir dir;
        const PreviewLoad load = loadPreviewMesh(writeFile(dir, "faces.obj", text.toStdString()), 100, {});
        QVERIFY(load.mesh);
        QCOMPARE(QList<uint>(load.mesh->triangles.begin(), load.mesh->triangles.end()), triangles);
        QCOMPARE(int(load.mesh->edges.size() / 2), edges);
        QCOMPARE(QList<uint>(load.mesh->diagonals.begin(), load.mesh->diagonals.end()), diagonals);
        QCOMPARE(int(load.mesh->skippedFaces), skipped);
        QCOMPARE(load.mesh->pointsOnly(), triangles.isEmpty());
        QCOMPARE(load.mesh->positions.size(), 3 * load.mesh->fileVertices);
        QVERIFY(!load.mesh->reduced);
    }

    // What fails a load, and what a Cancel leaves.
    void failures()
    {
        QTemporaryDir dir;
        const std::string broken = writeFile(dir, "broken.obj", "# two\nv 1 2 3\n  v 1 2\r\nf 1 2 3\n");
        PreviewLoad load = loadPreviewMesh(broken, 100, {});
        QVERIFY(!load.mesh);
        QCOMPARE(load.error.value_or(""),
                 broken + ", line 3: a vertex needs three coordinates, x, y and z; this one has 2.");

        load = loadPreviewMesh(dir.filePath("missing.obj").toStdString(), 100, {});
        QVERIFY(load.error && load.error->find("missing.obj") != std::string::npos);
        load = loadPreviewMesh(dir.path().toStdString(), 100, {});
        QVERIFY(load.error && load.error->find("is not a file") != std::string::npos);

        const std::string grid = writeFile(dir, "grid.obj", gridMesh(40));
        load = loadPreviewMesh(grid, 100, [](std::uint64_t, std::uint64_t) { return false; });
        QVERIFY(load.cancelled && !load.mesh && !load.error);
        // A cancel once the reading is under way, in a file beyond the budget.
        const std::string larger = writeFile(dir, "larger.obj", gridMesh(200));
        int reports = 0;
        load = loadPreviewMesh(larger, 100, [&](std::uint64_t done, std::uint64_t total) {
            ++reports;
            return done * 2 < total;
        });
        QVERIFY(load.cancelled && !load.mesh && reports > 2);

        // The intensity, read as Convert reads it, may be beyond a double.
        load = loadPreviewMesh(grid, 100000, {});
        PreviewSettings settings;
        settings.intensityText = "1e400";
        const PreviewNoise noise = noisePreviewMesh(*load.mesh, settings);
        QVERIFY(noise.error && noise.error->find("1e400") != std::string::npos);
        QCOMPARE(noise.positions, load.mesh->positions);

        // A vertex whose noise goes beyond a double fails After in Convert's words, at its line.
        std::string far = "v 0 0 0\n";
        for (int i = 1; i <= 9; ++i)
            far += "v 1.00000" + std::to_string(i) + "e308 -1e308 1e308\n";
        const std::string farPath = writeFile(dir, "far.obj", far);
        load = loadPreviewMesh(farPath, 100, {});
        settings.intensityText = "1";
        settings.daySeed = 46000;
        const PreviewNoise beyond = noisePreviewMesh(*load.mesh, settings);
        QVERIFY(beyond.error);
        QCOMPARE(beyond.positions, load.mesh->positions);
        QProcess cli;
        cli.start(JITTERFORM_CLI, {"-q", "-f", "--keep-source", "--day", "46000", "-i", "1", QString::fromStdString(farPath),
                                   dir.filePath("far-out.obj")});
        QVERIFY(cli.waitForFinished(60000));
        QVERIFY(cli.exitCode() != 0);
        QVERIFY2(cli.readAllStandardError().contains(QByteArray::fromStdString(*beyond.error)), beyond.error->c_str());
    }

    // Chunks of any size, read on one thread or two, hold the records one chunk of the whole file
    // holds: lines, "#IND", line ends of every kind and a faulty vertex fall across their edges.
    void chunkEdges_data()
    {
        QTest::addColumn<int>("chunkBytes");
        QTest::addColumn<bool>("helper");
        for (const int bytes : {1, 2, 7, 64, 4096})
            for (const bool helper : {false, true})
                QTest::newRow(qPrintable(QString("%1 bytes, %2").arg(bytes).arg(helper ? "two threads" : "one")))
                    << bytes << helper;
    }
    void chunkEdges()
    {
        QFETCH(int, chunkBytes);
        QFETCH(bool, helper);
        std::string text = "# a mesh\r\n  v 1 2 3\nv 1.#IND 2 -3e-2\rv 4 5 6 7\r\n\tf 1/1 -2//3 3/2/1 x\n";
        for (int i = 0; i < 40; ++i)
            text += "v " + std::to_string(i) + ".5 1.#IND " + std::to_string(-i) + (i % 3 ? "\n" : "\r\n") +
                    "f -1 " + std::to_string(i + 1) + " 99999999999999999999 +2\r";
        text += "vt 0 0\nv 1 2\nv 3 4 5\n";
        QTemporaryDir dir;
        const std::string path = writeFile(dir, "edges.obj", text);
        const Records whole = readRecords(path, text.size() + 1, false);
        QCOMPARE(whole.vertexRecords.size(), std::size_t(43));
        QCOMPARE(whole.vertexRecords[1], std::string("v 1.0 2 -3e-2"));
        QCOMPARE(whole.fault.substr(0, 4), std::string("87: "));
        QVERIFY(readRecords(path, std::size_t(chunkBytes), helper) == whole);
    }

    // A file of many chunks, read on two threads: the same mesh whatever falls where, relative
    // corners and "#IND" included, After's numbers those Convert writes, and the first faulty
    // line named in a late chunk.
    void manyChunks_data()
    {
        QTest::addColumn<QByteArray>("lineEnd");
        QTest::addColumn<bool>("relative");
        QTest::addColumn<quint64>("budget");
        QTest::newRow("LF, absolute, whole") << QByteArray("\n") << false << quint64(10'000'000);
        QTest::newRow("CR LF, relative, whole") << QByteArray("\r\n") << true << quint64(10'000'000);
        QTest::newRow("CR, relative, reduced") << QByteArray("\r") << true << quint64(5000);
    }
    void manyChunks()
    {
        QFETCH(QByteArray, lineEnd);
        QFETCH(bool, relative);
        QFETCH(quint64, budget);
        // Rows of vertices, each followed by the quads it closes, a long comment now and then: every
        // chunk ends somewhere else in a record's pattern.
        constexpr int kSide = 260;
        std::string text;
        const std::string end = lineEnd.toStdString();
        char record[128];
        for (int z = 0; z < kSide; ++z) {
            for (int x = 0; x < kSide; ++x) {
                if ((x * 7 + z) % 61 == 0)
                    std::snprintf(record, sizeof record, "v %d.5 1.#IND %d%s", x, z, end.c_str());
                else
                    std::snprintf(record, sizeof record, "\tv %d.5 %.4f %d%s", x, std::sin(x * 0.3 + z), z, end.c_str());
                text += record;
            }
            for (int x = 0; z > 0 && x + 1 < kSide; ++x) {
                const int a = (z - 1) * kSide + x + 1, b = a + kSide;
                if (relative) {
                    const int count = (z + 1) * kSide; // vertices before the face: -1 is the last
                    std::snprintf(record, sizeof record, "f %d/1 %d/2/3 %d//4 %d%s", a - 1 - count, a - count,
                                  b - count, b - 1 - count, end.c_str());
                } else {
                    std::snprintf(record, sizeof record, "f %d/1 %d/2/3 %d//4 %d%s", a, a + 1, b + 1, b, end.c_str());
                }
                text += record;
            }
            if (z % 50 == 7)
                text += "# " + std::string(300000, 'x') + end;
        }
        QTemporaryDir dir;
        const std::string path = writeFile(dir, "chunks.obj", text);
        const PreviewLoad load = loadPreviewMesh(path, budget, {});
        QVERIFY2(load.mesh, load.error.value_or("cancelled").c_str());
        const PreviewMesh& mesh = *load.mesh;
        QCOMPARE(mesh.fileVertices, std::uint64_t(kSide) * kSide);
        QCOMPARE(mesh.fileFaces, std::uint64_t(kSide - 1) * (kSide - 1));
        QCOMPARE(mesh.skippedFaces, std::uint64_t(0));
        QCOMPARE(mesh.reduced, budget < mesh.fileTriangles);
        if (!mesh.reduced) {
            // Every quad of the grid, in the file's order, split on its second corner.
            std::vector<std::uint32_t> expected;
            for (std::uint32_t z = 1; z < kSide; ++z)
                for (std::uint32_t x = 0; x + 1 < kSide; ++x) {
                    const std::uint32_t a = (z - 1) * kSide + x, b = a + kSide;
                    expected.insert(expected.end(), {a, a + 1, b, a + 1, b + 1, b});
                }
            QVERIFY(mesh.triangles == expected);
        }

        QProcess cli;
        const QString written = dir.filePath("out.obj");
        cli.start(JITTERFORM_CLI, {"-q", "-f", "--keep-source", "--day", "45000", QString::fromStdString(path), written});
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        const std::vector<double> convert = writtenVertices(written);
        PreviewSettings settings;
        settings.daySeed = 45000;
        const PreviewNoise noise = noisePreviewMesh(mesh, settings);
        QVERIFY(!noise.error);
        // The line of vertex n: the vertex lines before it, its row's faces and comments.
        const auto lineOf = [&](std::uint64_t n) {
            const std::uint64_t z = n / kSide;
            return n + 1 + (z == 0 ? 0 : (z - 1) * (kSide - 1)) + (z > 7 ? (z - 8) / 50 + 1 : 0);
        };
        for (std::size_t i = 0; i < mesh.recordLines.size(); ++i) {
            const std::uint64_t line = mesh.recordLines[i];
            std::uint64_t n = 0;
            while (lineOf(n) < line)
                ++n;
            QCOMPARE(lineOf(n), line);
            for (int axis = 0; axis < 3; ++axis)
                QCOMPARE(noise.positions[3 * i + axis], convert[3 * n + axis]);
        }

        // The first faulty vertex is named, however late, even when a later one fails too.
        std::string faulty = text;
        faulty.insert(text.find(end, text.size() - 200) + end.size(), "v 1 2" + end);
        const std::size_t at = text.find(end, text.size() * 4 / 5) + end.size();
        faulty.insert(at, "v 1" + end);
        const std::uint64_t faultLine = 1 + std::uint64_t(std::count(faulty.begin(), faulty.begin() + std::ptrdiff_t(at), end.back()));
        const std::string broken = writeFile(dir, "broken.obj", faulty);
        const PreviewLoad failed = loadPreviewMesh(broken, budget, {});
        QCOMPARE(failed.error.value_or(""), broken + ", line " + std::to_string(faultLine) +
                                                ": a vertex needs three coordinates, x, y and z; this one has 1.");
    }

    // Above the budget: at most that many triangles and vertices, every one a real vertex of the
    // file with its own record's noise, and memory that does not follow the file.
    void reduction()
    {
        constexpr int kSide = 700; // about a million triangles, 40 MB
        constexpr std::uint64_t kBudget = 20000;
        QTemporaryDir dir;
        const std::string path = writeFile(dir, "grid.obj", gridMesh(kSide));

        std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from here
        const long before = statusKb("VmRSS:");
        const PreviewLoad load = loadPreviewMesh(path, kBudget, {});
        const long grown = statusKb("VmHWM:") - before;
        QVERIFY(load.mesh);
        const PreviewMesh& mesh = *load.mesh;
        QCOMPARE(mesh.fileVertices, std::uint64_t(kSide) * kSide);
        QCOMPARE(mesh.fileTriangles, 2 * std::uint64_t(kSide - 1) * (kSide - 1));
        QVERIFY(mesh.reduced);
        QVERIFY2(mesh.shownTriangles() <= kBudget && mesh.shownTriangles() > kBudget / 8,
                 qPrintable(QString::number(mesh.shownTriangles())));
        QVERIFY(mesh.positions.size() / 3 <= kBudget);
        // The whole mesh would take more than 100 MB; cells of every vertex take 2 MB.
        QVERIFY2(grown < 24 * 1024, qPrintable(QString::number(grown) + " kB"));

        // Vertex n is on line n: every shown vertex is that line's vertex, with its noise.
        QProcess cli;
        const QString written = dir.filePath("out.obj");
        cli.start(JITTERFORM_CLI, {"-q", "-f", "--keep-source", "--day", "-7", "-t", "cubic",
                                   QString::fromStdString(path), written});
        QVERIFY(cli.waitForFinished(120000));
        QCOMPARE(cli.exitCode(), 0);
        const std::vector<double> expected = writtenVertices(written);
        PreviewSettings settings;
        settings.algorithm = Cubic;
        settings.daySeed = -7;
        const PreviewNoise noise = noisePreviewMesh(mesh, settings);
        QVERIFY(!noise.error);
        std::set<std::uint64_t> lines;
        for (std::size_t i = 0; i < mesh.recordLines.size(); ++i) {
            const std::uint64_t line = mesh.recordLines[i];
            QVERIFY(lines.insert(line).second);
            for (int axis = 0; axis < 3; ++axis)
                QCOMPARE(noise.positions[3 * i + axis], expected[3 * (line - 1) + axis]);
        }
        for (const std::uint32_t v : mesh.triangles)
            QVERIFY(v < mesh.positions.size() / 3);
    }
};

QTEST_GUILESS_MAIN(TestPreviewModel)
#include "tst_preview_model.moc"
