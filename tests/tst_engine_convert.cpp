#include "bytes.h"
#include "enginefakes.h"

#include "engine/command.h"
#include "engine/convert.h"
#include "engine/engineerror.h"
#include "engine/outputfile.h"
#include "engine/pipeline.h"
#include "engine/uniquefd.h"
#include "engine/wholelinesreader.h"
#include "text/number.h"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <random>
#include <thread>

using namespace jf;
using namespace jf::test;

using Kind = CommandOutcome::Kind;

namespace {

const QByteArray kCube = "v 0 0 0\nv 1 1 1\n";

QList<double> numbers(const QByteArray& line)
{
    QList<double> result;
    for (const QByteArray& field : line.simplified().split(' ').mid(1))
        result << textToNumber(field.toStdString()).value;
    return result;
}

} // namespace

// The engine as the Convert command runs it: the checks before a run, the format check and the
// conversion. The records' exact forms, and which bytes the format check changes, over random input
// and every third-party mesh are the engine fuzz target's to check; these are the forms as a reader
// of the output sees them, and what the fuzz target cannot set up.
class TestConvert : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_run = 0;
    RunSummary m_summary;

    // Converts `input`; returns the destination's bytes, or the error text in `error`.
    QByteArray convert(const QByteArray& input, Rig& rig, QString* error = nullptr)
    {
        const QString source = m_dir.filePath(QString("Src%1.obj").arg(++m_run));
        if (!writeAll(source, input))
            return "cannot write the source";
        rig.files(source, destination());
        const RunResult result = ConvertMesh(rig.host);
        m_summary = result.summary;
        if (error)
            *error = result.error ? QString::fromStdString(*result.error) : QString();
        else if (result.error)
            qWarning("%s", result.error->c_str());
        return readAll(destination());
    }
    QString destination() const { return m_dir.filePath(QString("dst%1.obj").arg(m_run)); }

    // The Convert command on Models/cube.obj holding `input`, to Models/result.obj.
    CommandOutcome command(Rig& rig, const QByteArray& input)
    {
        writeAll(cube(), input);
        QFile::remove(result());
        rig.status.recordValues = false;
        return rig.command(cube(), "result");
    }
    QString cube() const { return m_dir.filePath("Models/cube.obj"); }
    QString result() const { return m_dir.filePath("Models/result.obj"); }

private slots:
    void init()
    {
        CancelRequested.store(kFalse);
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.filePath("Models"));
        QDir().mkpath(m_dir.filePath("out"));
        writeAll(cube(), kCube);
    }

    // Line ends, #IND and the forms of copied records are the golden file's to pin; here what it
    // leaves out. With at most one vertex the noise amplitude is 0, so the printed forms are exact.
    // A failure names the file as given, the line and the fault, and removes the partial destination.
    void records_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output"); // or, after "<source>, line ", the failure
        QTest::addColumn<int>("split");
        QTest::addColumn<int>("normals");
        const auto row = [](const char* name, const QByteArray& input, const QByteArray& output,
                            int split = Checked, int normals = Unchecked) {
            QTest::newRow(name) << input << output << split << normals;
        };
        row("fields that are no number read as 0", "v a 2 nan\n", "v  0  2  0 \r\n");
        // A quad becomes two triangles whose corners sit in 14-column print zones.
        row("13-character corner keeps one blank", "f 1234567890123 2//7\t3/3 4\n",
            "f             1234567890123 2//7          4\r\nf             2//7          3/3           4\r\n");
        row("14-character corner pushes to the next zone", "f 12345678901234 2 3 4\n",
            "f             12345678901234              2             4\r\n"
            "f             2             3             4\r\n");
        row("grayed is not ticked", "f 1 2  3 4\n", "f 1 2  3 4\r\n", Grayed);
        row("vertex with two coordinates", "# a\nv 1 2\n",
            "2: a vertex needs three coordinates, x, y and z; this one has 2.");
        row("coordinate beyond a double", "v 1 2 3\nv 1e999 2 3\n", "2: the number \"1e999\" is beyond");
        row("noised normal with two coordinates", "v 1 2 3\nvn 1 2\n", "2: a normal needs three", Checked,
            Checked);
    }
    void records()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, output);
        QFETCH(int, split);
        QFETCH(int, normals);
        Rig rig;
        rig.options.split = split;
        rig.options.normals = normals;
        QString error;
        const QByteArray written = convert(input, rig, &error);
        if (output.endsWith("\r\n")) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(written, output);
        } else {
            QVERIFY2(error.contains(QString("Src%1.obj, line ").arg(m_run) + output), qPrintable(error));
            QVERIFY(!QFile::exists(destination()));
        }
        QVERIFY(!rig.status.visible);
    }

    // The noise of a line is seeded from the exact value of its text (which characters that text
    // leaves out, the golden file pins): texts that a double would merge still get their own noise,
    // and seeds beyond a double's range (capital E, a long exponent) still give finite coordinates.
    void exactSeeds()
    {
        Rig rig;
        rig.options.normals = Checked;
        const QList<QByteArray> out =
            crlfLines(convert("v 0 0 0\nv 10 10 10\nv 1.25 2 3\nv 1.2500000000000000001 2 3\n"
                              "v 1.5E-3 2.5E-3 1\nvn 1e-17 1234567890 1234567890\n",
                              rig));
        QCOMPARE(out.size(), 6);
        QVERIFY(numbers(out[2])[1] != numbers(out[3])[1]);
        for (const QByteArray& line : out)
            for (double value : numbers(line))
                QVERIFY(std::isfinite(value));
    }

    // A vertex's noise: reseeded from the exact seed of its text and the day, then one draw per
    // checked axis in x, y, z order, bent by the shape; a grayed box counts as unchecked, and an index
    // that names no shape gives no noise. The lines were worked out by data/golden/worked_vertex.py.
    void noiseShapes_data()
    {
        QTest::addColumn<int>("algorithm");
        QTest::addColumn<QByteArray>("axes"); // x, y, z: checked (c), unchecked (u) or grayed (g)
        QTest::addColumn<QByteArray>("line");
        const auto row = [](const char* name, int algorithm, const char* axes, const char* line) {
            QTest::newRow(name) << algorithm << QByteArray(axes) << QByteArray(line);
        };
        row("white", White, "ccc", "v  0.7361153602600098  1.258254837989807 -0.5655439853668213 ");
        row("z only: it takes the first draw", White, "uuc", "v  0.75  1.25 -0.5138846397399902 ");
        row("grayed y", White, "cgc", "v  0.7361153602600098  1.25 -0.49174516201019286 ");
        row("squared", Squared, "ccc", "v  0.7490360838964534  1.2503407117511898 -0.5214800700888305 ");
        row("cubic", Cubic, "ccc", "v  0.7499330818608134  1.2500140626015366 -0.5070394469979029 ");
        row("no selection", -1, "ccc", "v  0.75  1.25 -0.5 ");
        row("no such shape", 3, "ccc", "v  0.75  1.25 -0.5 ");
    }
    void noiseShapes()
    {
        QFETCH(int, algorithm);
        QFETCH(QByteArray, axes);
        Rig rig;
        rig.options.algorithm = algorithm;
        int* const boxes[] = {&rig.options.x, &rig.options.y, &rig.options.z};
        for (int axis = 0; axis < 3; ++axis)
            *boxes[axis] = axes[axis] == 'c' ? Checked : axes[axis] == 'g' ? Grayed : Unchecked;
        QTEST(crlfLines(convert("v 0 0 0\nv 2 2 2\nv 0.75 1.25 -0.5\n", rig)).value(2), "line");
    }

    // Most vertex records are digits, blanks, periods and minus signs, and their seed is read from
    // the run of their digits in one piece; every other record byte by byte. Both must seed alike:
    // here each record and the same one with 100 blanks after it, which takes the other way.
    void plainVerticesSeedAsAnyOther()
    {
        const QByteArray records[] = {"v 0.75 1.25 -0.5",   "v\t1\t2\t3",        "v -0.0 0 0",
                                      "v 0 0 0.000100",     "v 1e-5 2e3 -3.5e+2", "v 12345678901234567890.5 2 3",
                                      "v 100 200 300 0.5", "v 1 2 3 # note"};
        QByteArray input = "v -9 -9 -9\nv 9 9 9\n";
        for (const QByteArray& record : records)
            input += record + "\n" + record + QByteArray(100, ' ') + "\n";
        Rig rig;
        const QList<QByteArray> lines = crlfLines(convert(input, rig));
        QCOMPARE(lines.size(), 2 + 2 * qsizetype(std::size(records)));
        for (qsizetype i = 2; i < lines.size(); i += 2) {
            QCOMPARE(lines[i], lines[i + 1]);
            QVERIFY2(numbers(lines[i]).mid(0, 3) != numbers(records[i / 2 - 1]).mid(0, 3), lines[i].constData());
        }
    }

    // Set first to 1, then before each chunk of lines to the offset of its first byte. A chunk of one
    // byte holds a single line, so that there is one step a record, as the fuzz target relies on.
    void statusProtocol()
    {
        const QByteArray input = "v 0 0 0\n\nv 1 1 1\r\n";
        for (const std::size_t chunkBytes : {std::size_t(1), kPassChunkBytes}) {
            Rig rig;
            rig.host.chunkBytes = chunkBytes;
            convert(input, rig);
            QCOMPARE(rig.status.caption, std::string("Convert"));
            QCOMPARE(rig.status.labels, (std::vector<std::string>{kScanLabel, kNoiseLabel}));
            QVERIFY(rig.status.shows == 2 && rig.status.hides == 1 && !rig.status.visible);
            QVERIFY(rig.status.min == 1.0f && rig.status.max == float(input.size()));
            const std::vector<float> expected =
                chunkBytes == 1 ? std::vector<float>{1, 9, 10} : std::vector<float>{1};
            QCOMPARE(rig.status.values, expected);
            QCOMPARE(rig.events.yields, chunkBytes == 1 ? 6 : 2);
        }
    }

    // Chunks end after a line end, wherever it falls in a read: a CR LF split between two reads, a
    // lone CR as the last byte read, a line longer than a chunk. The output must not depend on where
    // they end, nor on the threads.
    void chunksMeetAnywhere_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("line ends of every kind")
            << QByteArray("v 1 2 3\r\nvn 0 0 1\rf 1 2 3 4\n\r\n\n\rv 4 5 6");
        QTest::newRow("a lone CR last") << QByteArray("v 1 2 3\nf 1 2 3 4\r");
        QTest::newRow("#IND, blanks and tabs before records")
            << QByteArray(" \tv 1.#IND 2 3\r\n\t# #IND\r\n  f 1 2 3 4\r\nvn #IND 1 0\r\n");
        QByteArray mesh;
        for (int i = 0; i < 3000; ++i)
            mesh += "v " + QByteArray::number(i * 0.37) + " 1 2" +
                    (i % 3   ? "\r\n"
                     : i % 2 ? "\r"
                             : "\n") +
                    "f 1 2 3 4\r\n# " + QByteArray(i % 97, 'c') + "\n";
        QTest::newRow("a mesh") << mesh;
        QTest::newRow("a fault named by its line") << mesh + "v 1 2\r\n";
        QTest::newRow("a line longer than a chunk")
            << "v 1 2 3\n# " + QByteArray(kPassChunkBytes + 99, 'c') + "\r\nv 4 5 6\r\n" + mesh;
    }
    void chunksMeetAnywhere()
    {
        QFETCH(QByteArray, input);
        const auto run = [&](std::size_t chunkBytes, int workers) {
            Rig rig;
            rig.host.chunkBytes = chunkBytes;
            rig.host.workers = workers;
            rig.options.normals = rig.options.split = Checked;
            rig.status.recordValues = false;
            QString error;
            QByteArray output = convert(input, rig, &error);
            const RunSummary& s = m_summary;
            return output + QByteArray::number(qulonglong(s.vertices)) + ' ' +
                   QByteArray::number(qulonglong(s.normals)) + ' ' +
                   QByteArray::number(qulonglong(s.quadsSplit)) + error.mid(error.indexOf(", line")).toUtf8();
        };
        const QByteArray whole = run(kPassChunkBytes, 0);
        QVERIFY(whole.size() > input.size() / 2 || whole.contains(", line 9001: a vertex needs"));
        for (const std::size_t chunkBytes : {1, 2, 3, 7, 64, 4096})
            for (const int workers : {0, 1})
                QVERIFY2(run(chunkBytes, workers) == whole,
                         qPrintable(QString("chunks of %1 bytes, %2 helpers").arg(chunkBytes).arg(workers)));
    }

    // Options changed and Cancel pressed at given yields must act on exactly the chunks after them,
    // no record may be lost or doubled where chunks meet, and the output must not depend on the
    // threads.
    void threadsDoNotChangeTheOutput()
    {
        QByteArray input;
        qsizetype quads = 0;
        for (int i = 0; input.size() < (3 << 20); ++i) {
            input += "v " + QByteArray::number(i * 0.37) + " " + QByteArray::number(i % 101) + " -" +
                     QByteArray::number(i % 7) + "\nvn 0." + QByteArray::number(i % 10) + " 1 0\n";
            if (i % 3 == 0)
                input += "f 1 2 3 4\n# comment " + QByteArray::number(i) + "\n", ++quads;
        }
        long yields = 0; // of both passes
        const auto runWith = [&](int workers, long cancelAt, QString* error = nullptr, bool toggle = true,
                                 HelperStart start = {}) {
            Rig rig;
            rig.host.workers = workers;
            rig.host.chunkBytes = 1000;
            rig.host.startHelper = std::move(start);
            rig.options.normals = rig.options.split = Checked;
            rig.status.recordValues = false;
            rig.events.onYield = [&](long n) {
                if (toggle && n % 211 == 0)
                    rig.options.x = rig.options.x == Checked ? Unchecked : Checked;
                if (toggle && n % 307 == 0)
                    rig.options.split = rig.options.split == Checked ? Unchecked : Checked;
                if (toggle && n % 401 == 0)
                    rig.options.algorithm = (rig.options.algorithm + 1) % 4;
                if (n == cancelAt)
                    pressCancel(rig.status);
            };
            const QByteArray output = convert(input, rig, error);
            yields = rig.events.yields;
            return output;
        };
        QCOMPARE(runWith(3, -1, nullptr, false).count('\n'), input.count('\n') + quads);
        const QByteArray single = runWith(0, -1);
        QVERIFY(single.size() > input.size() && yields > 6000);
        QCOMPARE(runWith(1, -1), single);
        QCOMPARE(runWith(3, -1), single);
        // Helpers that the host starts, here each on a thread that the engine does not join.
        std::atomic<int> started = 0;
        const HelperStart detached = [&](std::function<void()> work) {
            ++started;
            std::thread(std::move(work)).detach();
        };
        QCOMPARE(runWith(3, -1, nullptr, true, detached), single);
        QCOMPARE(started.load(), 7); // three in each pass, and the destination's writer
        const long chunks = yields / 2;
        const QByteArray cancelled = runWith(0, chunks + chunks / 2);
        QVERIFY(cancelled.size() < single.size() && single.startsWith(cancelled));
        QCOMPARE(runWith(1, chunks + chunks / 2), cancelled);
        QCOMPARE(runWith(1, chunks / 3), runWith(0, chunks / 3)); // a cancel in the scan

        // The first faulty record is the one reported, however far the reading ran ahead: the scan's,
        // the vertex, though the normal before it is faulty too.
        input.insert(input.indexOf("\n", input.size() / 2) + 1, "vn 1 2\nv 1\n");
        const qsizetype line = input.left(input.indexOf("vn 1 2\n")).count('\n') + 2;
        for (int workers : {0, 1}) {
            QString error;
            runWith(workers, -1, &error);
            QVERIFY2(error.contains(QString(", line %1: a vertex needs").arg(line)), qPrintable(error));
        }
    }

    // Helpers that run out of small chunks look for the next one a while before they sleep, and are
    // woken only for chunks beyond what the looking ones take: whichever side is slower, and whether
    // a helper is looking, sleeping or between the two when a chunk comes, every chunk is delivered
    // once, in order, and the helpers take chunks whenever the reader leaves them time to.
    void pipelineHandOver_data()
    {
        QTest::addColumn<int>("helpers");
        QTest::addColumn<int>("chunkBytes");
        QTest::addColumn<int>("readerPause"); // microseconds, every third chunk
        QTest::addColumn<int>("helperPause"); // microseconds, every fifth chunk
        for (const int helpers : {1, 3}) {
            const auto row = [&](const char* name, int bytes, int readerPause, int helperPause) {
                QTest::addRow("%s, %d helpers", name, helpers) << helpers << bytes << readerPause << helperPause;
            };
            row("a line a chunk", 20, 0, 0);
            row("the reader slower than a helper looks", 20, 200, 0);
            row("helpers slower than the reader", 20, 0, 200);
            row("both pause", 20, 70, 90);
            row("chunks too large to look for", 20000, 30, 0);
        }
    }
    void pipelineHandOver()
    {
        QFETCH(int, helpers);
        QFETCH(int, chunkBytes);
        QFETCH(int, readerPause);
        QFETCH(int, helperPause);
        constexpr int kChunks = 3000;
        const std::thread::id caller = std::this_thread::get_id();
        std::vector<int> delivered;
        std::atomic<int> byHelpers = 0;
        {
            ChunkPipeline pipeline(
                unsigned(helpers),
                [&](Chunk& chunk, RecordFormatter&) {
                    chunk.out.assign(chunk.text.data(), 8);
                    const int index = std::stoi(chunk.out);
                    if (std::this_thread::get_id() != caller)
                        ++byHelpers;
                    if (helperPause && index % 5 == 0)
                        std::this_thread::sleep_for(std::chrono::microseconds(helperPause));
                },
                [&](Chunk& chunk) { delivered.push_back(std::stoi(chunk.out)); });
            for (int i = 0; i < kChunks; ++i) {
                ChunkText& text = pipeline.current().text;
                text.buffer.assign(std::size_t(chunkBytes), '\n');
                std::snprintf(text.buffer.data(), 9, "%08d", i);
                text.begin = 0;
                text.end = std::size_t(chunkBytes);
                pipeline.submit();
                if (readerPause && i % 3 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(readerPause));
            }
            pipeline.finish();
        }
        QCOMPARE(int(delivered.size()), kChunks);
        for (int i = 0; i < kChunks; ++i)
            QCOMPARE(delivered[std::size_t(i)], i);
        if (readerPause) // where the reader never waits, it may well do all the work itself
            QVERIFY2(byHelpers > 0, "the helpers took no chunk");
    }

    // Small chunks come from a read-ahead block: where a block ends may not change where a chunk
    // ends, so a file's chunks are those of a socket that hands over exactly one chunk's bytes per
    // read; a pipe's arrive whole and in order; a line longer than a block is one chunk, and the
    // buffer shrinks back after it.
    void readerChunks_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("chunkBytes");
        constexpr qsizetype kBlock = 16 * 1024; // the reader's read-ahead
        QByteArray lines;
        for (int i = 0; lines.size() < kBlock + 4096; ++i)
            lines += "v " + QByteArray::number(i) + (i % 3 ? "\r\n" : i % 2 ? "\r" : "\n");
        const auto at = [](qsizetype offset, const QByteArray& text) {
            return QByteArray(offset, 'c') + text + "# after\r\nv 1 2 3\n";
        };
        for (const int chunk : {1, 3, 7, 129, 1024, 4096}) {
            const QByteArray n = QByteArray::number(chunk);
            QTest::newRow("lines of every ending, chunks of " + n) << lines << chunk;
            QTest::newRow("a CR LF across blocks, chunks of " + n) << at(kBlock - 1, "\r\n") << chunk;
            QTest::newRow("a lone CR ending a block, chunks of " + n) << at(kBlock - 1, "\rv\n") << chunk;
            QTest::newRow("a line longer than a block, chunks of " + n)
                << "v 0\n" + at(2 * kBlock + 5, "\r\n") + lines.left(999) << chunk;
        }
        QTest::newRow("no line end at all") << QByteArray(kBlock + 3, 'c') << 1;
        QTest::newRow("a CR last") << QByteArray("v 1\nv 2\r") << 1;
    }
    void readerChunks()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, chunkBytes);
        using Chunks = QList<QByteArray>;
        const auto readAll = [&](int fd, int rounds) {
            WholeLinesReader reader(fd, "the input", std::size_t(chunkBytes));
            Chunks chunks;
            ChunkText text;
            for (int round = 0; round < rounds; ++round, reader.rewind()) {
                while (reader.fill(text)) {
                    chunks << QByteArray(text.data(), qsizetype(text.size()));
                    if (text.buffer.size() >
                        std::size_t(4 * chunkBytes + 512) + (chunks.last().size() + 1) * 2)
                        chunks << "(a buffer that did not shrink)";
                }
            }
            return chunks;
        };
        const auto feed = [&](int type, int piece) {
            int pair[2];
            if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, pair) != 0)
                return Chunks{"no socket"};
            std::thread writer([&] {
                for (qsizetype at = 0; at < input.size(); at += piece)
                    if (::send(pair[1], input.constData() + at,
                               std::size_t(std::min<qsizetype>(piece, input.size() - at)), MSG_NOSIGNAL) < 0)
                        break;
                ::close(pair[1]);
            });
            const Chunks chunks = readAll(pair[0], 1);
            writer.join();
            ::close(pair[0]);
            return chunks;
        };

        const QString path = m_dir.filePath("chunks.obj");
        QVERIFY(writeAll(path, input));
        const UniqueFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(file.valid());
        const Chunks fromFile = readAll(file.get(), 2);
        QCOMPARE(fromFile.mid(0, fromFile.size() / 2), fromFile.mid(fromFile.size() / 2));
        const Chunks chunks = fromFile.mid(0, fromFile.size() / 2);
        QCOMPARE(chunks.join(), input);
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            const QByteArray& chunk = chunks[i];
            const bool last = i + 1 == chunks.size();
            QVERIFY2(last || chunk.endsWith('\n') ||
                         (chunk.endsWith('\r') && !chunks[i + 1].startsWith('\n')),
                     qPrintable(QString("chunk %1 ends inside a line").arg(i + 1)));
            if (chunkBytes == 1) // a line each, which events at an exact record rely on
                QVERIFY2(!chunk.chopped(1).contains('\n') &&
                             !chunk.chopped(chunk.endsWith("\r\n") ? 2 : 1).contains('\r'),
                         qPrintable(QString("chunk %1 holds more than a line").arg(i + 1)));
        }
        QCOMPARE(feed(SOCK_SEQPACKET, chunkBytes), chunks);
        QCOMPARE(feed(SOCK_STREAM, 1000).join(), input);
    }

    void outputFile_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("blockBytes"); // as asked for; 0: the default
        QTest::newRow("a new file, written directly where the file system allows") << "file" << 0;
        QTest::newRow("a file whose writes go through the page cache") << "appended" << 0;
        QTest::newRow("a device that is full") << "/dev/full" << 0;
        QTest::newRow("blocks of one disk block, written directly") << "file" << 4096;
        QTest::newRow("blocks of two disk blocks asked for in 5,000 bytes") << "file" << 5000;
        QTest::newRow("small blocks through the page cache") << "appended" << 4096;
    }
    // Blocks wait for the disk several at a time: they must reach the file whole and in order, and
    // a write that fails must be reported, not waited for.
    void outputFile()
    {
        QFETCH(QString, target);
        QFETCH(int, blockBytes);
        const std::size_t block =
            blockBytes ? (std::size_t(blockBytes) + 4095) / 4096 * 4096 : OutputFile::kBufferSize;
        std::mt19937 random(7);
        const QString path = target.startsWith('/') ? target : m_dir.filePath("output-" + target);
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // A file at an offset off the disk's blocks is never written directly.
        std::string expected = target == "appended" ? "x" : "";
        QVERIFY(fd >= 0 && (expected.empty() || ::write(fd, "x", 1) == 1));
        QString failure;
        try {
            OutputFile out(fd, "the output " + path.toStdString(), std::size_t(blockBytes));
            // Pieces from a byte to more than a block, some crossing several blocks at once.
            while (expected.size() < 9 * OutputFile::kBlocks * block / 2) {
                std::string piece(random() % 4 == 0 ? random() % (3 * block) : random() % 200, '\0');
                for (char& c : piece)
                    c = char('a' + random() % 26);
                out.append(piece);
                expected += piece;
            }
            out.close();
        } catch (const EngineError& error) {
            failure = error.what();
        }
        if (target == "/dev/full")
            QCOMPARE(failure, "Cannot write the output /dev/full: No space left on device.");
        else
            QVERIFY2(failure.isEmpty() && readAll(path) == qb(expected), qPrintable(failure));
    }

    // A disk that stalls must not stall the window: the thread that waits for a block to be
    // written, or for a helper that waits so, serves the window meanwhile. Here only the serving
    // ends each wait, by draining the pipe or by letting the helper go; a watchdog ends a wait
    // that is not served, so that the test fails instead of hanging.
    void waitsServeTheWindow()
    {
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0 && ::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0);
        UniqueFd readEnd(ends[0]);
        std::string received;
        const auto drain = [&] {
            char buffer[65536];
            for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, std::size_t(n));
        };
        std::atomic<bool> finished = false, rescued = false, released = false, helperWaits = false;
        std::thread watchdog([&] {
            for (int i = 0; i < 1000 && !finished; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (finished)
                return;
            rescued = released = true;
            ::fcntl(ends[0], F_SETFL, 0);
            char buffer[65536];
            while (::read(ends[0], buffer, sizeof buffer) > 0) {
            }
        });
        FakeEvents events;
        events.onServe = drain;
        const std::string expected(OutputFile::kBlocks * OutputFile::kBufferSize + 12345, 'v');
        {
            OutputFile out(ends[1], "the pipe");
            out.serveWhileWaiting(events);
            out.append(expected);
            out.close();
        }
        const bool fileServed = !rescued && events.servings > 0;
        drain();

        const std::thread::id caller = std::this_thread::get_id();
        events.onServe = [&] { released = released || helperWaits; };
        std::vector<std::size_t> delivered;
        {
            ChunkPipeline pipeline(
                1,
                [&](Chunk& chunk, RecordFormatter&) {
                    chunk.out.assign(chunk.text.data(), chunk.text.size());
                    if (std::this_thread::get_id() == caller)
                        return;
                    helperWaits = true;
                    while (!released)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                },
                [&](Chunk& chunk) { delivered.push_back(chunk.out.size()); });
            pipeline.serveWhileWaiting(events);
            for (int chunk = 0; !helperWaits && chunk < 1000; ++chunk) {
                ChunkText& text = pipeline.current().text;
                text.buffer.assign(kPassChunkBytes, 'c');
                text.begin = 0;
                text.end = kPassChunkBytes;
                pipeline.submit();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            pipeline.finish();
        }
        finished = true;
        watchdog.join();
        QVERIFY2(fileServed, "a write that waits for the disk does not serve the window");
        QCOMPARE(received.size(), expected.size());
        QVERIFY2(!rescued && helperWaits, "a wait for a helper does not serve the window");
        QVERIFY(!delivered.empty() && std::all_of(delivered.begin(), delivered.end(),
                                                  [](std::size_t size) { return size == kPassChunkBytes; }));
    }

    // The format check's normal form, where it straddles the check's chunks of 4,096 bytes (the last
    // up to 4,097), and what a Cancel leaves. Nothing is made at the destination or beside the source.
    void normalForm_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("cancelAt"); // the yield at which Cancel is pressed; 0: none
        const auto row = [](const QString& name, const QByteArray& input, const QByteArray& output,
                            int cancelAt = 0) {
            QTest::newRow(qPrintable(name)) << input << output << cancelAt;
        };
        row("line ends", "a\n\rb\r\r\nc\rd", "a\r\n\r\nb\r\n\r\nc\r\nd");
        row("#IND, #ind and overlapping #", "v 1.#IND 0 #ind\n##IND#IN#\n", "v 1.0 0 #ind\r\n#0#IN#\r\n");
        row("empty", "", "");
        const QByteArray x(4094, 'x'), y(4000, 'y');
        row("CR LF across chunks", x + "x\r\n" + y, x + "x\r\n" + y);
        row("#IND across chunks", x + "#IND" + y, x + "0" + y);
        row("CR at the very end of one chunk of 4,097", x + "xx\r", x + "xx\r\n");
        // A source in normal form is passed over 64 and then 16 bytes a step: a lone line end, an
        // "#IND" or a pair split by a step is found wherever it lies.
        const QByteArray pairs = QByteArray("xy\r\n").repeated(40);
        row("CR LF pairs, some across a step", "z" + pairs, "z" + pairs);
        for (const int at : {0, 14, 15, 16, 17, 47, 63, 64, 65, 127})
            for (const char* odd : {"\n", "\r", "#IND"}) {
                const QByteArray input = pairs.left(at) + odd + pairs.mid(at);
                row(QString("%1 at %2 among pairs").arg(QByteArray(odd).toPercentEncoding()).arg(at), input,
                    test::normalForm(input));
            }
        const QByteArray late = QByteArray(3 * 4096, 'x') + "\n#IND\n";
        row("a Cancel leaves the source as it was", late, late, 2);
    }
    void normalForm()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, cancelAt);
        // Read and copied in blocks of a megabyte, and of a single chunk, where every chunk ends a block.
        for (const std::size_t blockBytes : {std::size_t(0), std::size_t(4096)}) {
            QTemporaryDir dir;
            const QString source = dir.filePath("cube.obj");
            QVERIFY(writeAll(source, input));
            Rig rig;
            rig.host.blockBytes = blockBytes;
            rig.files(source, dir.filePath("cube_n.obj"));
            if (cancelAt)
                rig.cancelAt(cancelAt);
            const CheckResult result = CheckObjFormat(rig.host);
            QVERIFY(!result.error && result.cancelled == (cancelAt > 0));
            QTEST(readAll(source), "output");
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"cube.obj"});
            QVERIFY(!rig.status.visible);
            if (!input.isEmpty()) {
                QCOMPARE(rig.status.labels.back(), kCheckLabel + (cancelAt ? "cancel" : ""));
                QVERIFY(rig.status.caption == "Convert" && rig.status.min == 1.0f &&
                        rig.status.max == float(input.size()));
            }
        }
    }

    void sources_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason"); // why it was kept; empty: replaced by its normal form
        QTest::newRow("already in normal form") << "normal"
                                                << "";
        QTest::newRow("no write bits") << "read-only"
                                       << "the source file is read-only";
        QTest::newRow("read-only folder") << "folder"
                                          << "the source file's folder is read-only";
        // A replacement would leave the other name with the old file.
        QTest::newRow("second hard link")
            << "link"
            << "the source file has further hard links, which a replacement would cut off";
        // The file the link points to is replaced, in its folder and under its name as on disk.
        QTest::newRow("symbolic link, named in other letter case") << "symlink"
                                                                   << "";
    }
    // A source that is not rewritten is not touched at all, and converts to what its normal form
    // gives, its copied records too, also one whose #IND is replaced amid CR LF lines; one that is
    // rewritten keeps its name, its mode and the links to it.
    void sources()
    {
        QFETCH(QString, how);
        const QByteArray normal = "# a\r\n  # x 1.0 #ind\r\nv 1.0 2 3\r\nv 4 5 6\r\n\r\nf 1 2 3 4";
        const QByteArray input =
            how == "normal" ? normal
                            : QByteArray("# a\r\n  # x 1.#IND #ind\r\nv 1.#IND 2 3\rv 4 5 6\n\nf 1 2 3 4");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("In"));
        const QString source = dir.filePath("In/Cube.Obj");
        const QByteArray folder = QFile::encodeName(dir.filePath("In")), path = QFile::encodeName(source);
        QVERIFY(writeAll(source, input));
        if (how == "link")
            QCOMPARE(::link(path, folder + "/hard.obj"), 0);
        if (how == "symlink")
            QVERIFY(QFile::link(source, dir.filePath("link.obj")));
        QCOMPARE(::chmod(path, how == "read-only" ? 0444 : 0640), 0);
        QCOMPARE(::chmod(folder, how == "folder" ? 0555 : 0755), 0);
        struct stat before = {}, after = {};
        QCOMPARE(::stat(path, &before), 0);
        Rig rig;
        rig.options.split = Checked;
        rig.files(how == "symlink" ? dir.filePath("LINK.OBJ") : source, dir.filePath("out.obj"));
        const CheckResult result = CheckObjFormat(rig.host);
        ::chmod(folder, 0755);
        QVERIFY(!result.error && result.rewritten == (how == "symlink"));
        QTEST(QString::fromStdString(result.keptReason), "reason");
        QCOMPARE(::stat(path, &after), 0);
        QCOMPARE(int(after.st_mode & 07777), how == "read-only" ? 0444 : 0640);
        QCOMPARE(QDir(dir.filePath("In")).entryList(QDir::Files | QDir::Hidden),
                 how == "link" ? QStringList({"Cube.Obj", "hard.obj"}) : QStringList({"Cube.Obj"}));
        if (how == "symlink") {
            QVERIFY(QFileInfo(dir.filePath("link.obj")).isSymLink());
            QCOMPARE(readAll(source), normal);
            return;
        }
        QCOMPARE(readAll(source), input);
        QVERIFY(after.st_ino == before.st_ino && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
        QVERIFY(!ConvertMesh(rig.host).error);
        QVERIFY(writeAll(dir.filePath("normal.obj"), normal));
        rig.files(dir.filePath("normal.obj"), dir.filePath("reference.obj"));
        QVERIFY(!ConvertMesh(rig.host).error);
        QCOMPARE(readAll(dir.filePath("out.obj")), readAll(dir.filePath("reference.obj")));
    }

    void checksInTheirOrder_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("destination"); // @ is the test's folder, % its name in lower case
        QTest::addColumn<QString>("link");        // what the destination is made first, if anything
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("destinationAfter");
        const auto row = [](const char* name, const char* source, const char* destination, const char* link,
                            Kind kind, const char* message, const char* after) {
            QTest::newRow(name) << source << destination << link << int(kind) << message << after;
        };
        const char* const cube = "Models/cube.obj";
        const char* const same =
            "The source and destination files are the same. Choose another name for the destination file.";
        const char* const noDestination = "You must specify a destination file.";
        row("missing source", "Models/gone.obj", "x", "", Kind::Refused,
            "Can't locate the source file %/models/gone.obj", "x");
        row("empty source box, before a blank destination", "", "   ", "", Kind::Refused,
            "Can't locate the source file ", "   ");
        row("blank destination", cube, "   ", "", Kind::Refused, noDestination, "   ");
        row("bare name completed from the source", cube, "Result", "", Kind::Done, "", "%/models/result.obj");
        row("own folder kept", cube, "@/out/Cube2.OBJ", "", Kind::Done, "", "%/out/cube2.obj");
        row("a folder is no destination file", cube, "@/out/", "", Kind::Refused, noDestination,
            "%/out//.obj");
        row("completed name equals the source", cube, "CUBE", "", Kind::Refused, same, "%/models/cube.obj");
        row("letter case only", cube, "@/MODELS/Cube.OBJ", "", Kind::Refused, same, "%/models/cube.obj");
        // One file under two names is refused before anyone is asked to overwrite it.
        row("symbolic link", cube, "@/other.obj", "symlink", Kind::Refused, same, "%/other.obj");
        row("hard link", cube, "@/other.obj", "hardlink", Kind::Refused, same, "%/other.obj");
        row("linked folder", cube, "@/alias/cube.obj", "folder", Kind::Refused, same, "%/alias/cube.obj");
    }
    void checksInTheirOrder()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(QString, link);
        QFETCH(int, kind);
        QFETCH(QString, message);
        QFETCH(QString, destinationAfter);
        if (link == "symlink")
            QVERIFY(QFile::link(cube(), m_dir.filePath("other.obj")));
        if (link == "hardlink")
            QCOMPARE(::link(QFile::encodeName(cube()), QFile::encodeName(m_dir.filePath("other.obj"))), 0);
        if (link == "folder")
            QVERIFY(QFile::link(m_dir.filePath("Models"), m_dir.filePath("alias")));
        for (QString* text : {&destination, &message, &destinationAfter})
            text->replace("@", m_dir.path()).replace("%", m_dir.path().toLower());
        Rig rig;
        const CommandOutcome outcome =
            rig.command(source.isEmpty() ? "" : m_dir.filePath(source), destination);
        QCOMPARE(int(outcome.kind), kind);
        const auto listed = [](const QString& text) {
            return text.isEmpty() ? std::vector<std::string>{} : std::vector<std::string>{text.toStdString()};
        };
        QCOMPARE(rig.prompts.problems, listed(message));
        // A refusal puts the focus in the box whose text was at fault.
        QCOMPARE(rig.prompts.focus, listed(kind != int(Kind::Refused)           ? ""
                                           : message.startsWith("Can't locate") ? "txtSource"
                                                                                : "txtDestination"));
        QCOMPARE(QString::fromStdString(rig.options.destination), destinationAfter);
        QVERIFY(rig.prompts.questions.empty());
        QVERIFY(!rig.status.visible);
        if (kind == int(Kind::Done)) { // a new file is made under the lower-case form of its name
            const QFileInfo made(QString::fromStdString(outcome.summary.destination));
            QVERIFY(made.exists() && made.fileName() == QFileInfo(destinationAfter).fileName());
        } else {
            QCOMPARE(readAll(cube()), kCube);
            QVERIFY(!QFile::exists(result()));
        }
    }

    // The command line's interrupt, which also cancels the running phase, ends the command once that
    // phase is over: after the format check, nothing is converted.
    void interruptAfterTheCheck()
    {
        Rig rig;
        rig.events.stop = true;
        rig.cancelAt(1);
        QCOMPARE(int(command(rig, QByteArray(20000, '#') + "\nv 1 2 3\n").kind), int(Kind::Interrupted));
        QVERIFY(!QFile::exists(result()));
    }

    // A rewritten source's scan runs beside the format check, on a thread of its own. Whatever the
    // file holds, the command must end exactly as when the conversion reads the scan itself.
    void scanBesideTheCheck_data()
    {
        QTest::addColumn<QByteArray>("input");
        QByteArray mesh;
        for (int i = 0; i < 20000; ++i)
            mesh += "v " + QByteArray::number(i * 0.37) + " " + QByteArray::number(i % 101) + " -" +
                    QByteArray::number(i % 7) + "\nf 1 2 3\n";
        QTest::newRow("mesh") << mesh;
        QTest::newRow("faulty vertex near the end") << mesh + "v 1 2\nv 3 4 5\n";
        QTest::newRow("number beyond a double first") << "v 1e999 0 0\n" + mesh;
        QTest::newRow("#IND and lone CRs") << QByteArray("v #IND 1 2\rv 3 #IND 5\r#IND\rv 1 1 1\r");
        QTest::newRow("no vertex") << QByteArray("# nothing\ng a\nf 1 2 3\n");
        QTest::newRow("last vertex without its line end") << mesh + "v 900 -9 9";
    }
    void scanBesideTheCheck()
    {
        QFETCH(QByteArray, input);
        // How the command ended, what it said and showed, and what it left on disk.
        const auto runWith = [&](int workers) {
            Rig rig;
            rig.host.workers = workers;
            const CommandOutcome outcome = command(rig, input);
            [&] { QVERIFY(outcome.check.rewritten); }();
            QByteArrayList run{QByteArray::number(int(outcome.kind)), readAll(result()), readAll(cube()),
                               QByteArray::number(outcome.summary.smallestExtent, 'g', 17)};
            for (const std::string& text : rig.prompts.problems)
                run << "problem: " + QByteArray::fromStdString(text);
            for (const std::string& text : rig.status.labels)
                run << "label: " + QByteArray::fromStdString(text);
            return run;
        };
        QCOMPARE(runWith(1), runWith(0));
    }

    // A Cancel while the conversion waits for that scan ends it with the box measured so far, as in
    // a scan read by the conversion; the noise pass still writes every record. Whether the scan is
    // still running by then depends on the machine, so either ending must hold.
    void cancelWhileTheScanRunsBeside()
    {
        QByteArray input;
        for (int i = 0; input.size() < (8 << 20); ++i)
            input += "v " + QByteArray::number(i) + " " + QByteArray::number(i * 0.5) + " " + // the box grows
                     QByteArray::number(i * 2) + "\n";
        const auto runWith = [&](bool cancel) {
            Rig rig;
            rig.status.onValue = [&](float) {
                if (cancel && rig.status.labelText == kScanLabel)
                    pressCancel(rig.status);
            };
            const CommandOutcome outcome = command(rig, input);
            [&] { QCOMPARE(int(outcome.kind), int(Kind::Done)); }();
            return std::pair(outcome.summary, readAll(result()));
        };
        const auto [full, fullOutput] = runWith(false);
        const auto [cut, cutOutput] = runWith(true);
        QVERIFY(!full.scanCancelled && !cut.noiseCancelled);
        QCOMPARE(cutOutput.count('\n'), fullOutput.count('\n'));
        // The scan beside the check may have read the whole file by the time the Cancel is seen;
        // its box is then the whole file's, and so is the output.
        if (cut.scanCancelled && cut.smallestExtent != full.smallestExtent)
            QVERIFY(cut.smallestExtent < full.smallestExtent);
        else
            QCOMPARE(cutOutput, fullOutput);
    }

    // The day of the date, noon to the even day; the real clock gives a date between 2000 and 2100.
    void daySeed()
    {
        const std::pair<double, int> dates[] = {
            {45000.4999999, 45000}, {45000.5, 45000}, {45001.5, 45002}, {45000.5000001, 45001}};
        for (const auto& [date, day] : dates)
            QCOMPARE(DaySeed([date = date] { return date; }), day);
        QVERIFY(systemOleDate() > 36526 && systemOleDate() < 73051);
    }
};

QTEST_GUILESS_MAIN(TestConvert)
#include "tst_engine_convert.moc"
