#include "enginefakes.h"

#include "engine/convert.h"
#include "engine/generator.h"
#include "text/exactnumber.h"
#include "text/number.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <sys/stat.h>

using namespace jf;
using namespace jf::test;

class TestConvert : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void recordsAreWholeLines_data();
    void recordsAreWholeLines();
    void vertexForms_data();
    void vertexForms();
    void noiseScale_data();
    void noiseScale();
    void sharedAndSeparateNoise();
    void drawOrderFollowsTheCheckedAxes();
    void normals();
    void quadSplitting_data();
    void quadSplitting();
    void statusProtocol();
    void cancelDuringScan();
    void cancelDuringNoise();
    void optionChangedMidRun();
    void failures_data();
    void failures();
    void destinationCreatedLowerCase();
    void sameInputSameOutput();
    void threadsDoNotChangeTheOutput();
    void thirdPartyFilesKeepTheirRecords();

private:
    // Converts `input`; returns the destination's bytes, or the error text in `error`.
    QByteArray convert(const QByteArray& input, Rig& rig, QString* error = nullptr);
    QByteArray convert(const QByteArray& input, QString* error = nullptr)
    {
        Rig rig;
        return convert(input, rig, error);
    }
    QTemporaryDir m_dir;
    int m_run = 0;
    RunSummary m_summary;
};

void TestConvert::init()
{
    CancelRequested.store(kFalse);
}

QByteArray TestConvert::convert(const QByteArray& input, Rig& rig, QString* error)
{
    const QString source = m_dir.filePath(QString("src%1.obj").arg(++m_run));
    const QString destination = m_dir.filePath(QString("dst%1.obj").arg(m_run));
    if (!writeAll(source, input))
        return "cannot write the source";
    rig.options.source = bytes(source);
    rig.options.destination = bytes(destination);
    const RunResult result = ConvertMesh(rig.host);
    m_summary = result.summary;
    if (error)
        *error = result.error ? QString::fromStdString(*result.error) : QString();
    else if (result.error)
        qWarning("%s", result.error->c_str());
    return readAll(destination);
}

void TestConvert::recordsAreWholeLines_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("LF") << QByteArray("# a\nvt 1 2\n") << QByteArray("# a\r\nvt 1 2\r\n");
    QTest::newRow("CR LF") << QByteArray("# a\r\nvt 1 2\r\n") << QByteArray("# a\r\nvt 1 2\r\n");
    QTest::newRow("CR") << QByteArray("# a\rvt 1 2\r") << QByteArray("# a\r\nvt 1 2\r\n");
    QTest::newRow("LF CR is two line ends") << QByteArray("a\n\rb") << QByteArray("a\r\nb\r\n");
    QTest::newRow("no final line end") << QByteArray("g one\ng two") << QByteArray("g one\r\ng two\r\n");
    QTest::newRow("empty and blank lines dropped")
        << QByteArray("a\n\n  \n\t\nb\n") << QByteArray("a\r\nb\r\n");
    QTest::newRow("leading blanks and tabs skipped, trailing kept")
        << QByteArray("  \t usemtl red  \n") << QByteArray("usemtl red  \r\n");
    QTest::newRow("comma and quotes are text")
        << QByteArray("# exported, v 1 2 3 \"q\"\n") << QByteArray("# exported, v 1 2 3 \"q\"\r\n");
    QTest::newRow("upper-case V is copied") << QByteArray("V 1.000 2 3\n") << QByteArray("V 1.000 2 3\r\n");
    QTest::newRow("NUL and bytes that are not UTF-8")
        << QByteArray("g \0\xff\xfe x\n", 8) << QByteArray("g \0\xff\xfe x\r\n", 9);
    QTest::newRow("#IND replaced, #ind kept")
        << QByteArray("# 1.#IND #ind\n") << QByteArray("# 1.0 #ind\r\n");
    QTest::newRow("empty file") << QByteArray() << QByteArray();
}

void TestConvert::recordsAreWholeLines()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QCOMPARE(convert(input), output);
}

void TestConvert::vertexForms_data()
{
    // A flat box (z extent 0) gives a noise amplitude of 0, so the forms are exact.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("print form") << QByteArray("v 0.5 -2 3\n") << QByteArray("v  0.5 -2  3 \r\n");
    QTest::newRow("numbers normalised")
        << QByteArray("v\t1.000000  -0.0 +2.50\n") << QByteArray("v  1  0  2.5 \r\n");
    QTest::newRow("further fields kept as they stood")
        << QByteArray("v 1 2 3 0.50 0.25  1\n") << QByteArray("v  1  2  3 0.50 0.25 1\r\n");
    QTest::newRow("fields that are no number read as 0")
        << QByteArray("v a 2 nan\n") << QByteArray("v  0  2  0 \r\n");
    QTest::newRow("#IND reads as a number") << QByteArray("v 1.#IND 2 3\n") << QByteArray("v  1  2  3 \r\n");
    QTest::newRow("tiny numbers read as 0") << QByteArray("v 1e-999 2 3\n") << QByteArray("v  0  2  3 \r\n");
}

void TestConvert::vertexForms()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    QCOMPARE(convert(input), output);
    QCOMPARE(m_summary.noiseScale, 0.0);
}

void TestConvert::noiseScale_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("intensity");
    QTest::addColumn<double>("scale");
    QTest::newRow("4 x 2 x 10 at 0.5") << QByteArray("v 0 0 0\nv 4 2 10\n") << "0.5" << 1.0;
    QTest::newRow("negative box") << QByteArray("v -3 -3 -3\nv -1 -1 -1\n") << "1" << 2.0;
    QTest::newRow("negative intensity mirrors") << QByteArray("v 0 0 0\nv 1 1 1\n") << "-2" << -2.0;
    QTest::newRow("intensity that is no number") << QByteArray("v 0 0 0\nv 1 1 1\n") << "abc" << 0.0;
    QTest::newRow("single vertex") << QByteArray("v 5 6 7\n") << "0.1" << 0.0;
    QTest::newRow("no vertex") << QByteArray("vn 1 2 3\nf 1 2 3\n") << "0.1" << 0.0;
    QTest::newRow("normals play no part") << QByteArray("v 0 0 0\nvn 9 9 9\nv 2 2 2\n") << "1" << 2.0;
}

void TestConvert::noiseScale()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, intensity);
    QFETCH(double, scale);
    Rig rig;
    rig.options.intensity = intensity.toStdString();
    convert(input, rig);
    QCOMPARE(m_summary.noiseScale, scale);
}

static QList<double> numbers(const QByteArray& line)
{
    QList<double> result;
    for (const QByteArray& field : line.simplified().split(' ').mid(1))
        result << jf::textToNumber(field.toStdString()).value;
    return result;
}

void TestConvert::sharedAndSeparateNoise()
{
    const QByteArray box = "v 0 0 0\nv 10 10 10\n";
    const QList<QByteArray> out = crlfLines(convert(box + "v 1.5 2.5 3.5\nv 1.5 2.5 3.5\nv -1.5 -2.5 3.5\n"
                                                          "v 1.25 2 3\nv 1.2500000000000000001 2 3\n"
                                                          "v 1.5E-3 2.5E-3 1\n"));
    QCOMPARE(out.size(), 8);
    QCOMPARE(out[2], out[3]); // copies of one line move together
    // Minus signs and letters e do not change the seed: the same displacement from each position.
    const QList<double> a = numbers(out[2]);
    const QList<double> b = numbers(out[4]);
    const double from[2][3] = {{1.5, 2.5, 3.5}, {-1.5, -2.5, 3.5}};
    for (int axis = 0; axis < 3; ++axis)
        QCOMPARE(a[axis] - from[0][axis], b[axis] - from[1][axis]);
    // Texts that differ only beyond a double's precision still get their own noise.
    QVERIFY(numbers(out[5])[1] != numbers(out[6])[1]);
    // A capital-E seed text reads beyond a double's range, and still works.
    QCOMPARE(numbers(out[7]).size(), 3);
    for (const QByteArray& line : out)
        for (double value : numbers(line))
            QVERIFY(std::isfinite(value));
}

// The displacement that a vertex line receives with the given checked axes, worked out from the
// generator: reset, reseed from the exact seed, then one draw per checked axis in x, y, z order.
static QList<double> expectedVertex(const QByteArray& record, const bool checked[3], double scale, int day)
{
    ExactNumberScanner seed;
    for (char c : record)
        if (c != 'v' && c != '.' && c != ' ' && c != '-' && c != 'e' && !seed.feed(c))
            break;
    Generator generator;
    generator.reset(-1);
    generator.reseed(seed.key(static_cast<std::uint64_t>(std::int64_t(day))));
    QList<double> result = numbers(record);
    for (int axis = 0; axis < 3; ++axis)
        if (checked[axis])
            result[axis] += scale * *NoiseValue(generator, White);
    return result;
}

void TestConvert::drawOrderFollowsTheCheckedAxes()
{
    const QByteArray input = "v 0 0 0\nv 2 2 2\nv 0.75 1.25 -0.5\n";
    const bool patterns[][3] = {
        {true, true, true}, {false, false, true}, {true, false, true}, {false, false, false}};
    for (const auto& pattern : patterns) {
        Rig rig;
        rig.options.x = pattern[0] ? Checked : Unchecked;
        rig.options.y = pattern[1] ? Checked : Grayed; // grayed counts as unchecked
        rig.options.z = pattern[2] ? Checked : Unchecked;
        const QList<QByteArray> out = crlfLines(convert(input, rig));
        QCOMPARE(out.size(), 3);
        QCOMPARE(numbers(out[2]), expectedVertex("v 0.75 1.25 -0.5", pattern, 0.2, 45000));
    }
}

void TestConvert::normals()
{
    const QByteArray input = "v 0 0 0\nv 1 1 1\nvn 0.0 -1.0 0.0\nvn 0 -0.5 1\nvn 0.0 1.0 0.0\n";
    QCOMPARE(crlfLines(convert(input)).mid(2),
             (QList<QByteArray>{"vn 0.0 -1.0 0.0", "vn 0 -0.5 1", "vn 0.0 1.0 0.0"}));
    Rig rig;
    rig.options.normals = Checked;
    const QList<QByteArray> out = crlfLines(convert(input, rig));
    QCOMPARE(m_summary.normals, std::uint64_t(3));
    QVERIFY(out[2].startsWith("vn "));
    // Both seed texts ("00-1000", "0-051") read as 0, so both normals get the same displacement.
    const QList<double> a = numbers(out[2]);
    const QList<double> b = numbers(out[3]);
    QCOMPARE(a[0] - 0.0, b[0] - 0.0);
    QCOMPARE(a[1] + 1.0, b[1] + 0.5);
    QVERIFY(numbers(out[4])[0] != a[0]); // "001000" reads as 1000
}

void TestConvert::quadSplitting_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("split");
    QTest::addColumn<QByteArray>("output");
    QTest::newRow("quad") << QByteArray("f 1 2 3 4\n") << int(Checked)
                          << QByteArray("f             1             2             4\r\n"
                                        "f             2             3             4\r\n");
    QTest::newRow("corners as they stand") << QByteArray("  f -4/1/2 2//7\t3/3 4\n") << int(Checked)
                                           << QByteArray("f             -4/1/2        2//7          4\r\n"
                                                         "f             2//7          3/3           4\r\n");
    QTest::newRow("13-character corner keeps one blank")
        << QByteArray("f 1234567890123 2 3 4\n") << int(Checked)
        << QByteArray("f             1234567890123 2             4\r\n"
                      "f             2             3             4\r\n");
    QTest::newRow("14-character corner pushes to the next zone")
        << QByteArray("f 12345678901234 2 3 4\n") << int(Checked)
        << QByteArray("f             12345678901234              2             4\r\n"
                      "f             2             3             4\r\n");
    QTest::newRow("not ticked") << QByteArray("f 1 2  3 4\n") << int(Unchecked)
                                << QByteArray("f 1 2  3 4\r\n");
    QTest::newRow("grayed") << QByteArray("f 1 2 3 4\n") << int(Grayed) << QByteArray("f 1 2 3 4\r\n");
    QTest::newRow("triangle") << QByteArray("f 1 2 3\n") << int(Checked) << QByteArray("f 1 2 3\r\n");
    QTest::newRow("pentagon") << QByteArray("f 1 2 3 4 5\n") << int(Checked) << QByteArray("f 1 2 3 4 5\r\n");
    QTest::newRow("quad with a comment")
        << QByteArray("f 1 2 3 4 # q\n") << int(Checked) << QByteArray("f 1 2 3 4 # q\r\n");
    QTest::newRow("other keyword") << QByteArray("fo 1 2 3 4\n") << int(Checked)
                                   << QByteArray("fo 1 2 3 4\r\n");
}

void TestConvert::quadSplitting()
{
    QFETCH(QByteArray, input);
    QFETCH(int, split);
    QFETCH(QByteArray, output);
    Rig rig;
    rig.options.split = split;
    QCOMPARE(convert(input, rig), output);
}

void TestConvert::statusProtocol()
{
    Rig rig;
    const QByteArray input = "v 0 0 0\n\nv 1 1 1\r\n";
    convert(input, rig);
    QCOMPARE(rig.status.caption, std::string("Convert"));
    QCOMPARE(rig.status.labels,
             (std::vector<std::string>{"scan for extents ...", "adding noise to verticies ..."}));
    QCOMPARE(rig.status.shows, 2);
    QCOMPARE(rig.status.hides, 1);
    QVERIFY(!rig.status.visible);
    QCOMPARE(rig.status.min, 1.0f);
    QCOMPARE(rig.status.max, float(input.size()));
    // Set first to 1, then before each record to the offset of its first byte.
    QCOMPARE(rig.status.values, (std::vector<float>{1, 9, 10}));
    QCOMPARE(rig.events.yields, 6L);
}

void TestConvert::cancelDuringScan()
{
    Rig rig;
    rig.events.onYield = [&](long n) {
        if (n == 2)
            pressCancel(rig.status);
    };
    const QByteArray out = convert("v 0 0 0\nv 1 2 3\nv 10 10 10\ng x\n", rig);
    // The record read after the yield is still measured; the scan stops at the next test.
    QCOMPARE(m_summary.noiseScale, 0.1);
    QVERIFY(m_summary.scanCancelled);
    QVERIFY(!m_summary.noiseCancelled);
    QCOMPARE(crlfLines(out).size(), 4);
    QCOMPARE(rig.status.labels.front(), std::string("scan for extents ..."));
}

void TestConvert::cancelDuringNoise()
{
    QByteArray input;
    for (int i = 0; i < 1000; ++i)
        input += "v " + QByteArray::number(i) + " 1 " + QByteArray::number(i % 7) + "\n# comment\n";
    const QByteArray full = convert(input);
    Rig rig;
    rig.events.onYield = [&](long n) {
        if (n == 2000 + 500)
            pressCancel(rig.status);
    };
    const QByteArray out = convert(input, rig);
    QVERIFY(m_summary.noiseCancelled);
    QCOMPARE(crlfLines(out).size(), 500);
    QVERIFY(full.startsWith(out));
    QVERIFY(out.endsWith("\r\n"));
    QCOMPARE(rig.status.labelText, std::string("adding noise to verticies ...cancel"));
    QVERIFY(!rig.status.visible);
}

void TestConvert::optionChangedMidRun()
{
    QByteArray input = "v 0 0 0\nv 10 10 10\n";
    for (int i = 0; i < 10; ++i)
        input += "v 1 2 " + QByteArray::number(i) + "\nf 1 2 3 4\n";
    Rig rig;
    rig.options.split = Checked;
    // Yields 1-22 are the scan; in the noise pass the yield before record k is 22 + k.
    rig.events.onYield = [&](long n) {
        if (n == 22 + 11) {
            rig.options.x = Unchecked;
            rig.options.split = Unchecked;
        }
    };
    const QList<QByteArray> out = crlfLines(convert(input, rig));
    // Records 3-10 (4 vertices, 4 quads: 12 lines) as before; from record 11 on x and quads stay.
    QCOMPARE(out.size(), 2 + 12 + 6 + 6);
    QVERIFY(numbers(out[11])[0] != 1.0);
    QCOMPARE(out[12], QByteArray("f             1             2             4"));
    QCOMPARE(numbers(out[14])[0], 1.0);
    QCOMPARE(out[15], QByteArray("f 1 2 3 4"));
}

void TestConvert::failures_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("normals");
    QTest::addColumn<QString>("fault");
    QTest::newRow("vertex with two coordinates")
        << QByteArray("# a\nv 1 2\n") << int(Unchecked) << ", line 2: a vertex needs three coordinates";
    QTest::newRow("lone v") << QByteArray("v 1 2 3\r\nv\r\n") << int(Unchecked) << ", line 2: a vertex needs";
    QTest::newRow("coordinate beyond a double") << QByteArray("v 1 2 3\nv 1e999 2 3\n") << int(Unchecked)
                                                << ", line 2: the number \"1e999\" is beyond";
    QTest::newRow("noised normal with two coordinates")
        << QByteArray("v 1 2 3\nvn 1 2\n") << int(Checked) << ", line 2: a normal needs three coordinates";
}

void TestConvert::failures()
{
    QFETCH(QByteArray, input);
    QFETCH(int, normals);
    QFETCH(QString, fault);
    Rig rig;
    rig.options.normals = normals;
    QString error;
    convert(input, rig, &error);
    QVERIFY2(error.contains(QString("src%1.obj").arg(m_run) + fault), qPrintable(error));
    QVERIFY2(!QFile::exists(m_dir.filePath(QString("dst%1.obj").arg(m_run))),
             "the partial destination is removed");
    QVERIFY(!rig.status.visible);
}

void TestConvert::destinationCreatedLowerCase()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("Models"));
    QVERIFY(writeAll(dir.filePath("Models/Cube.OBJ"), "v 1 2 3\n"));
    Rig rig;
    rig.options.source = bytes(dir.filePath("MODELS/CUBE.OBJ"));
    rig.options.destination = bytes(dir.filePath("models/Result_N.Obj"));
    const RunResult result = ConvertMesh(rig.host);
    QVERIFY2(!result.error, result.error ? result.error->c_str() : "");
    QVERIFY(QFile::exists(dir.filePath("Models/result_n.obj")));
    QVERIFY(QFile::exists(dir.filePath("Models/Cube.OBJ")));

    // Failures name the file and the fault; nothing is created.
    rig.options.destination = bytes(dir.filePath("missing/out.obj"));
    QString error = QString::fromStdString(ConvertMesh(rig.host).error.value_or(""));
    QVERIFY2(error.contains("missing/out.obj does not exist"), qPrintable(error));
    rig.options.source = bytes(dir.filePath("gone.obj"));
    rig.options.destination = bytes(dir.filePath("out.obj"));
    error = QString::fromStdString(ConvertMesh(rig.host).error.value_or(""));
    QVERIFY2(error.startsWith("Cannot open the source file") && error.contains("No such file"),
             qPrintable(error));
    QVERIFY(!QFile::exists(dir.filePath("out.obj")));
}

void TestConvert::sameInputSameOutput()
{
    const QByteArray input = readAll(TEST_DATA_DIR "/thirdparty/teapot.obj");
    QVERIFY(!input.isEmpty());
    Rig one;
    one.options.normals = Checked;
    const QByteArray first = convert(input, one);
    Rig two;
    two.options.normals = Checked;
    QCOMPARE(convert(input, two), first);
    Rig nextDay;
    nextDay.host.clock = [] { return 45000.5 + 1; }; // rounds to 45002
    QVERIFY(convert(input, nextDay) != first);
    QCOMPARE(m_summary.daySeed, 45002);
}

// Records are handed to helper threads in chunks; options changed and Cancel pressed at given
// records must still act on exactly those records, and the output must not depend on the threads.
void TestConvert::threadsDoNotChangeTheOutput()
{
    QByteArray input;
    for (int i = 0; input.size() < (3 << 20); ++i) {
        input += "v " + QByteArray::number(i * 0.37) + " " + QByteArray::number(i % 101) + " -" +
                 QByteArray::number(i % 7) + "\n";
        input += "vn 0." + QByteArray::number(i % 10) + " 1 0\n";
        if (i % 3 == 0)
            input += "f 1 2 3 4\n# comment " + QByteArray::number(i) + "\n";
    }
    const auto runWith = [&](int workers, long cancelAt) {
        Rig rig;
        rig.host.workers = workers;
        rig.options.normals = Checked;
        rig.options.split = Checked;
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
        return convert(input, rig);
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

    // The first faulty record of the file is the one reported, however far the reading ran ahead.
    input.insert(input.indexOf("\n", input.size() / 2) + 1, "vn 1 2\nv 1\n");
    for (int workers : {0, 1}) {
        QString error;
        Rig rig;
        rig.host.workers = workers;
        rig.options.normals = Checked;
        convert(input, rig, &error);
        const qsizetype line = input.left(input.indexOf("vn 1 2\n")).count('\n') + 1;
        QVERIFY2(error.contains(QString(", line %1: a vertex needs").arg(line + 1)), qPrintable(error));
        rig.options.normals = Unchecked;
    }
}

// Every third-party file, with every option on: records that are not rewritten come out byte for
// byte and in order, and every rewritten coordinate stays within the amplitude of its input.
void TestConvert::thirdPartyFilesKeepTheirRecords()
{
    QDirIterator files(TEST_DATA_DIR "/thirdparty", {"*.obj"});
    int checked = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        const QByteArray input = readAll(path);
        Rig rig;
        rig.options.normals = Checked;
        rig.options.split = Checked;
        QString error;
        const QList<QByteArray> out = crlfLines(convert(input, rig, &error));
        if (path.endsWith("line_continuation_multiple_breaks.obj")) {
            // Records are lines: a vertex continued on the next line has too few coordinates.
            QVERIFY2(error.contains(", line 3: a vertex needs three coordinates"), qPrintable(error));
            continue;
        }
        QVERIFY2(error.isEmpty(), qPrintable(path + ": " + error));
        const double scale = std::fabs(m_summary.noiseScale);

        QByteArray normalised = input;
        normalised.replace("\r\n", "\n").replace('\r', '\n').replace("#IND", "0");
        qsizetype next = 0;
        for (QByteArray record : normalised.split('\n')) {
            while (!record.isEmpty() && (record[0] == ' ' || record[0] == '\t'))
                record.remove(0, 1);
            if (record.isEmpty())
                continue;
            const QByteArray keyword = record.split(' ').first().split('\t').first();
            QVERIFY2(next < out.size(), qPrintable(path));
            if (keyword == "v" || keyword == "vn") {
                const QList<double> before = numbers(record);
                const QList<double> after = numbers(out[next]);
                for (int axis = 0; axis < 3; ++axis)
                    QVERIFY2(std::fabs(after[axis] - before[axis]) <= scale * (1 + 1e-12) + 1e-12,
                             qPrintable(path + ": " + out[next]));
                ++next;
            } else if (keyword == "f" && record.simplified().split(' ').size() == 5) {
                next += 2;
            } else {
                QCOMPARE(out[next], record);
                ++next;
            }
        }
        QCOMPARE(next, out.size());
        ++checked;
    }
    QVERIFY(checked >= 20);
}

QTEST_GUILESS_MAIN(TestConvert)
#include "tst_engine_convert.moc"
