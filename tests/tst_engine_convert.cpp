// Before any Qt header: the reference reader names a local "emit", which Qt defines away.
#include "fuzz/fuzzsupport.h"

#include "bytes.h"
#include "enginefakes.h"

#include "engine/convert.h"
#include "engine/fileio.h"
#include "text/number.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <fcntl.h>
#include <random>

using namespace jf;
using namespace jf::test;

namespace {

QList<double> numbers(const QByteArray& line)
{
    QList<double> result;
    for (const QByteArray& field : line.simplified().split(' ').mid(1))
        result << textToNumber(field.toStdString()).value;
    return result;
}

} // namespace

// The records' exact forms over random input are the engine fuzz target's to check; these are the
// forms as a reader of the output sees them, and what the fuzz target cannot set up.
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
        rig.files(source, m_dir.filePath(QString("dst%1.obj").arg(m_run)));
        const RunResult result = ConvertMesh(rig.host);
        m_summary = result.summary;
        if (error)
            *error = result.error ? QString::fromStdString(*result.error) : QString();
        else if (result.error)
            qWarning("%s", result.error->c_str());
        return readAll(m_dir.filePath(QString("dst%1.obj").arg(m_run)));
    }
    QByteArray convert(const QByteArray& input)
    {
        Rig rig;
        return convert(input, rig);
    }

private slots:
    void init() { CancelRequested.store(kFalse); }

    // Line ends, #IND and the forms of copied records are the golden file's and the format check's to
    // pin; here what they leave out. With at most one vertex the noise amplitude is 0, so the printed
    // forms are exact. A failure names the file as given, the line and the fault, and removes the
    // partial destination.
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
        Rig rig;
        QFETCH(int, split);
        QFETCH(int, normals);
        rig.options.split = split;
        rig.options.normals = normals;
        QString error;
        const QByteArray written = convert(input, rig, &error);
        if (output.endsWith("\r\n")) {
            QVERIFY2(error.isEmpty(), qPrintable(error));
            QCOMPARE(written, output);
        } else {
            QVERIFY2(error.contains(QString("Src%1.obj, line ").arg(m_run) + output), qPrintable(error));
            QVERIFY(!QFile::exists(m_dir.filePath(QString("dst%1.obj").arg(m_run))));
        }
        QVERIFY(!rig.status.visible);
    }

    // The noise of a line is seeded from the exact value of its text, so copies of a line move together.
    void exactSeeds()
    {
        const QByteArray input =
            "v 0 0 0\nv 10 10 10\n"
            "v 1.5 2.5 3.5\nv 1.5 2.5 3.5\nv -1.5 -2.5 3.5\n"
            "v 1.25 2 3\nv 1.2500000000000000001 2 3\nv 1.5E-3 2.5E-3 1\n"
            "vn 0.0 -1.0 0.0\nvn 0 -0.5 1\nvn 0.0 1.0 0.0\nvn 1e-17 1234567890 1234567890\n";
        QCOMPARE(crlfLines(convert(input)).mid(8).first(), QByteArray("vn 0.0 -1.0 0.0")); // unless ticked
        Rig rig;
        rig.options.normals = Checked;
        const QList<QByteArray> out = crlfLines(convert(input, rig));
        QCOMPARE(out.size(), 12);
        QCOMPARE(m_summary.normals, std::uint64_t(4));
        QCOMPARE(out[2], out[3]);
        const auto moved = [&](int line, const QList<double>& from) {
            QList<double> by = numbers(out[line]);
            for (int axis = 0; axis < 3; ++axis)
                by[axis] -= from[axis];
            return by;
        };
        // Minus signs and letters e are not part of the seed text.
        QCOMPARE(moved(2, {1.5, 2.5, 3.5}), moved(4, {-1.5, -2.5, 3.5}));
        // Texts that differ only beyond a double's precision still get their own noise.
        QVERIFY(numbers(out[5])[1] != numbers(out[6])[1]);
        // Seed texts beyond a double's range (capital E, a twenty-digit exponent) still work.
        for (const QByteArray& line : out)
            for (double value : numbers(line))
                QVERIFY(std::isfinite(value));
        // Both seed texts ("00-1000", "0-051") read as 0, so both normals get the same displacement
        // (compared where adding it is exact); "001000" reads as 1000.
        QCOMPARE(moved(8, {0, -1, 0}).first(2), moved(9, {0, -0.5, 1}).first(2));
        QVERIFY(numbers(out[10])[0] != numbers(out[8])[0]);
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

    // Set first to 1, then before each record to the offset of its first byte. That there is one yield
    // a record, the fuzz target counts and the helper-thread test relies on.
    void statusProtocol()
    {
        Rig rig;
        const QByteArray input = "v 0 0 0\n\nv 1 1 1\r\n";
        convert(input, rig);
        QCOMPARE(rig.status.caption, std::string("Convert"));
        QCOMPARE(rig.status.labels, (std::vector<std::string>{kScanLabel, kNoiseLabel}));
        QVERIFY(rig.status.shows == 2 && rig.status.hides == 1 && !rig.status.visible);
        QVERIFY(rig.status.min == 1.0f && rig.status.max == float(input.size()));
        QCOMPARE(rig.status.values, (std::vector<float>{1, 9, 10}));
    }

    // Records are handed to helper threads in chunks; options changed and Cancel pressed at given
    // records must still act on exactly those records, and the output must not depend on the threads.
    void threadsDoNotChangeTheOutput()
    {
        QByteArray input;
        for (int i = 0; input.size() < (3 << 20); ++i) {
            input += "v " + QByteArray::number(i * 0.37) + " " + QByteArray::number(i % 101) + " -" +
                     QByteArray::number(i % 7) + "\nvn 0." + QByteArray::number(i % 10) + " 1 0\n";
            if (i % 3 == 0)
                input += "f 1 2 3 4\n# comment " + QByteArray::number(i) + "\n";
        }
        const auto runWith = [&](int workers, long cancelAt, QString* error = nullptr) {
            Rig rig;
            rig.host.workers = workers;
            rig.options.normals = rig.options.split = Checked;
            rig.status.recordValues = false;
            rig.events.onYield = [&](long n) {
                if (n % 20011 == 0)
                    rig.options.x = rig.options.x == Checked ? Unchecked : Checked;
                if (n % 30011 == 0)
                    rig.options.split = rig.options.split == Checked ? Unchecked : Checked;
                if (n % 40009 == 0)
                    rig.options.algorithm = (rig.options.algorithm + 1) % 4;
                if (n == cancelAt)
                    pressCancel(rig.status);
            };
            return convert(input, rig, error);
        };
        const QByteArray single = runWith(0, -1);
        QVERIFY(single.size() > input.size());
        QCOMPARE(runWith(1, -1), single);
        QCOMPARE(runWith(3, -1), single);
        const long records = input.count('\n');
        const QByteArray cancelled = runWith(0, records + records / 2);
        QVERIFY(cancelled.size() < single.size() && single.startsWith(cancelled));
        QCOMPARE(runWith(1, records + records / 2), cancelled);
        QCOMPARE(runWith(1, records / 3), runWith(0, records / 3)); // a cancel in the scan

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

    void outputFile_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("a new file, written directly where the file system allows") << "file";
        QTest::newRow("a file whose writes go through the page cache") << "appended";
        QTest::newRow("a device that is full") << "/dev/full";
    }
    // Blocks wait for the disk several at a time: they must reach the file whole and in order, and
    // a write that fails must be reported, not waited for.
    void outputFile()
    {
        QFETCH(QString, target);
        std::mt19937 random(7);
        std::string expected;
        const QString path = target.startsWith('/') ? target : m_dir.filePath("output-" + target);
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        if (target == "appended") {
            expected = "x"; // a file at an offset off the disk's blocks is never written directly
            QCOMPARE(::write(fd, expected.data(), 1), ssize_t(1));
        }
        QString failure;
        try {
            OutputFile out(fd, "the output " + path.toStdString());
            // Pieces from a byte to more than a block, some crossing several blocks at once.
            while (expected.size() < 9 * OutputFile::kBlocks * OutputFile::kBufferSize / 2) {
                const std::size_t size =
                    random() % 4 == 0 ? random() % (3 * OutputFile::kBufferSize) : random() % 200;
                std::string piece(size, '\0');
                for (char& c : piece)
                    c = char('a' + random() % 26);
                out.append(piece);
                expected += piece;
            }
            out.close();
        } catch (const EngineError& error) {
            failure = error.what();
        }
        if (target == "/dev/full") {
            QCOMPARE(failure, "Cannot write the output /dev/full: No space left on device.");
            return;
        }
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY(readAll(path) == QByteArray::fromStdString(expected));
    }

    // Every third-party file, with every option on: records that are not rewritten come out byte for
    // byte and in order, and every rewritten coordinate stays within the amplitude of its input.
    void thirdPartyFilesKeepTheirRecords()
    {
        QDirIterator files(TEST_DATA_DIR "/thirdparty", {"*.obj"});
        int checked = 0;
        while (files.hasNext()) {
            const QString path = files.next();
            const QByteArray input = readAll(path);
            Rig rig;
            rig.options.normals = rig.options.split = Checked;
            QString error;
            const QList<QByteArray> out = crlfLines(convert(input, rig, &error));
            if (path.endsWith("line_continuation_multiple_breaks.obj")) {
                // Records are lines: a vertex continued on the next line has too few coordinates.
                QVERIFY2(error.contains(", line 3: a vertex needs three coordinates"), qPrintable(error));
                continue;
            }
            QVERIFY2(error.isEmpty(), qPrintable(path + ": " + error));
            const double scale = std::fabs(m_summary.noiseScale);
            qsizetype next = 0;
            for (const fuzz::ReferenceRecord& record : fuzz::referenceRecords(view(input))) {
                if (record.text.empty())
                    continue;
                const std::vector<std::string_view> fields = fuzz::referenceFields(record.text);
                QVERIFY2(next < out.size(), qPrintable(path));
                if (fields[0] == "v" || fields[0] == "vn") {
                    const QList<double> before = numbers(qb(record.text)), after = numbers(out[next++]);
                    for (int axis = 0; axis < 3; ++axis)
                        QVERIFY2(std::fabs(after[axis] - before[axis]) <= scale * (1 + 1e-12) + 1e-12,
                                 qPrintable(path + ": " + out[next - 1]));
                } else if (fields[0] == "f" && fields.size() == 5) {
                    next += 2;
                } else {
                    QCOMPARE(out[next++], qb(record.text));
                }
            }
            QCOMPARE(next, out.size());
            ++checked;
        }
        QVERIFY(checked >= 20);
    }
};

QTEST_GUILESS_MAIN(TestConvert)
#include "tst_engine_convert.moc"
