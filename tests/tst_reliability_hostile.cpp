// Text that no exporter should write and some do: enormous lines, endless empty ones, NUL bytes,
// random bytes, UTF-16, numbers beyond any double, and file names with every awkward character.
// Each gives valid output or a clear failure, never a crash or a hang, and memory grows with the
// longest line only.

#include "reliability/harness.h"
#include "reliability/hookedrig.h"

#include "engine/convert.h"
#include "text/number.h"

#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace jf;
using namespace jf::test;

namespace {

constexpr qsizetype kHuge = 20 << 20;

// The output of a source whose records are all copied: each line without its line end and leading
// blanks and tabs, empty ones dropped, "#IND" as "0", each ended by CR LF.
QByteArray copiedAsIs(const QByteArray& input)
{
    QByteArray normal = input;
    normal.replace("\r\n", "\n").replace('\r', '\n').replace("#IND", "0");
    QByteArray out;
    for (QByteArray line : normal.split('\n')) {
        qsizetype first = 0;
        while (first < line.size() && (line[first] == ' ' || line[first] == '\t'))
            ++first;
        if (first < line.size())
            out += line.mid(first) + "\r\n";
    }
    return out;
}

// The flat box of these two vertices (its z extent is 0) gives a noise amplitude of 0, so every
// vertex prints exactly as it reads.
const QByteArray kFlat = "v 0 0 0\nv 1 1 0\n";
const QByteArray kFlatOut = "v  0  0  0 \r\nv  1  1  0 \r\n";

struct Case
{
    QByteArray input;
    QByteArray output; // expected bytes; empty: only that the run succeeds and its lines are whole
};

Case build(const QString& recipe)
{
    if (recipe == "long comment")
        return {kFlat + "# " + QByteArray(kHuge, 'x') + "\nv 2 2 0\n", kFlatOut + "# " + QByteArray(kHuge, 'x') + "\r\nv  2  2  0 \r\n"};
    if (recipe == "long last line") {
        const QByteArray line = "g " + QByteArray(kHuge, 'g');
        return {kFlat + line, kFlatOut + line + "\r\n"};
    }
    if (recipe == "long vertex") {
        QByteArray fields;
        fields.reserve(kHuge + 16);
        while (fields.size() < kHuge)
            fields += " 0.5";
        return {kFlat + "v 3 3 0" + fields + "\n", kFlatOut + "v  3  3  0 " + fields.mid(1) + "\r\n"};
    }
    if (recipe == "long face") {
        QByteArray face = "f";
        face.reserve(kHuge + 16);
        while (face.size() < kHuge)
            face += " 1";
        return {kFlat + face + " \n", kFlatOut + face + " \r\n"};
    }
    if (recipe == "million empty lines") {
        QByteArray empty;
        for (int i = 0; i < 1000000; ++i)
            empty += (i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : " \t\r");
        return {"v 0 0 0\n" + empty + "v 1 1 0\n", kFlatOut};
    }
    if (recipe == "NUL in a coordinate") // the number ends at the NUL; the record's text is kept
        return {kFlat + QByteArray("v 2\0 7 0\ng a\0b\n", 15), kFlatOut + QByteArray("v  2  7  0 \r\ng a\0b\r\n", 20)};
    if (recipe == "not UTF-8") // stray, overlong, surrogate and beyond-Unicode sequences pass untouched
        return {kFlat + "g \xff\xfe grp\nusemtl \xc3\x28 \xc0\xaf\n# \xed\xa0\x80 \xf4\x90\x80\x80\n"
                        "v 2 2 0 \xff \x80\nv 3\xe9 3 0\n",
                kFlatOut + "g \xff\xfe grp\r\nusemtl \xc3\x28 \xc0\xaf\r\n# \xed\xa0\x80 \xf4\x90\x80\x80\r\n"
                           "v  2  2  0 \xff \x80\r\nv  3  3  0 \r\n"};
    if (recipe == "UTF-16") {
        const QString text = "# Würfel\r\nv 0 0 0\r\nv 1 2 3\r\nf 1 2 3\r\n";
        QByteArray utf16("\xff\xfe");
        for (const QChar c : text)
            utf16 += QByteArray(1, char(c.unicode() & 0xff)) + QByteArray(1, char(c.unicode() >> 8));
        return {utf16, copiedAsIs(utf16)};
    }
    if (recipe == "random bytes") {
        QRandomGenerator random(20240607);
        QByteArray bytes(1 << 20, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        return {bytes, {}};
    }
    if (recipe == "numbers at the edges") // "-0" is 0; "inf" and "nan" are no numbers; 1e-999 is 0
        return {kFlat + "v -0 inf 1e-99999999999999999999\nv 1e-999 -0.0e-0 " + QByteArray(1000, '0') + "\n",
                kFlatOut + "v  0  0  0 \r\nv  0  0  0 \r\n"};
    if (recipe == "1,000-digit fraction")
        return {kFlat + "v 0." + QByteArray(999, '3') + " 0 0\n", kFlatOut + "v  0.3333333333333333  0  0 \r\n"};
    if (recipe == "beyond a double, not read")
        return {kFlat + "vn 1e999 1 0\nvt 1e999 2\n", kFlatOut + "vn 1e999 1 0\r\nvt 1e999 2\r\n"};
    return {};
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void hostileRecords_data();
    void hostileRecords();
    void seedsWithHugeExponents();
    void memoryGrowsWithTheLongestLineOnly_data();
    void memoryGrowsWithTheLongestLineOnly();
    void awkwardNames_data();
    void awkwardNames();
    void namesThatDifferInLetterCaseOnly_data();
    void namesThatDifferInLetterCaseOnly();

private:
    QTemporaryDir m_dir;
    long m_baselineKb = 0;
};

void TestHostile::initTestCase()
{
    QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable("no command line at " + cliPath()));
    QVERIFY(writeAll(m_dir.filePath("small.obj"), "v 0 0 0\nv 1 1 1\n"));
    ChildLimits watched;
    watched.watchMemory = true;
    const ChildOutcome small = runCli({"-q", "small.obj"}, m_dir.path(), watched);
    QCOMPARE(small.status, 0);
    m_baselineKb = small.peakKb;
}

void TestHostile::init()
{
    CancelRequested.store(kFalse);
}

void TestHostile::hostileRecords_data()
{
    QTest::addColumn<QString>("recipe");
    QTest::addColumn<int>("normals");
    QTest::addColumn<int>("split");
    QTest::addColumn<QString>("fault"); // the failure expected, after "<source>, line <n>: "
    QTest::newRow("20 MB comment line") << "long comment" << int(Unchecked) << int(Unchecked) << "";
    QTest::newRow("20 MB last line without a line end") << "long last line" << int(Unchecked) << int(Unchecked) << "";
    QTest::newRow("20 MB vertex line of further fields") << "long vertex" << int(Unchecked) << int(Unchecked) << "";
    QTest::newRow("20 MB face line, quads split") << "long face" << int(Unchecked) << int(Checked) << "";
    QTest::newRow("a million empty lines") << "million empty lines" << int(Unchecked) << int(Unchecked) << "";
    QTest::newRow("NUL bytes in a vertex and a group") << "NUL in a coordinate" << int(Unchecked) << int(Unchecked)
                                                       << "";
    QTest::newRow("bytes that are not UTF-8 in records") << "not UTF-8" << int(Checked) << int(Checked) << "";
    QTest::newRow("UTF-16 text with its byte order mark") << "UTF-16" << int(Checked) << int(Checked) << "";
    QTest::newRow("a megabyte of random bytes") << "random bytes" << int(Checked) << int(Checked) << "?";
    QTest::newRow("-0, inf, nan, 1e-999, twenty-digit exponents") << "numbers at the edges" << int(Unchecked)
                                                                   << int(Unchecked) << "";
    QTest::newRow("1,000-digit fraction") << "1,000-digit fraction" << int(Unchecked) << int(Unchecked) << "";
    QTest::newRow("1e999 where no number is read") << "beyond a double, not read" << int(Unchecked)
                                                   << int(Unchecked) << "";
    QTest::newRow("1e999 in a normal that gets noise")
        << "beyond a double, not read" << int(Checked) << int(Unchecked) << "line 3: the number \"1e999\" is beyond";
}

void TestHostile::hostileRecords()
{
    QFETCH(QString, recipe);
    QFETCH(int, normals);
    QFETCH(int, split);
    QFETCH(QString, fault);
    const Case c = build(recipe);
    QVERIFY(!c.input.isEmpty());
    const QString source = m_dir.filePath("hostile.obj");
    const QString destination = m_dir.filePath("hostile_n.obj");
    QFile::remove(destination);
    QVERIFY(writeAll(source, c.input));
    HookedRig rig;
    rig.options.source = QFile::encodeName(source).toStdString();
    rig.options.destination = QFile::encodeName(destination).toStdString();
    rig.options.normals = normals;
    rig.options.split = split;

    ::alarm(300); // a hang ends the test program rather than waiting for the suite's time-out
    const CheckResult check = CheckObjFormat(rig.host);
    const RunResult run = ConvertMesh(rig.host);
    ::alarm(0);
    QVERIFY2(!check.error, check.error ? check.error->c_str() : "");
    QCOMPARE(readAll(source), normalForm(c.input));
    QVERIFY(!rig.status.visible);
    const QByteArray output = readAll(destination);
    if (fault == "?" && run.error) {
        // Random bytes may hold a "v" record without its numbers: then a clear failure, nothing written.
        QVERIFY2(QString::fromStdString(*run.error).contains(QRegularExpression(
                     "^" + QRegularExpression::escape(source) +
                     ", line \\d+: (a (vertex|normal) needs three coordinates|the number \".*\" is beyond)")),
                 run.error->c_str());
        QVERIFY(!QFile::exists(destination));
        return;
    }
    if (!fault.isEmpty() && fault != "?") {
        QVERIFY2(run.error && run.error->find(fault.toStdString()) != std::string::npos,
                 run.error ? run.error->c_str() : "the run succeeded");
        QVERIFY(!QFile::exists(destination));
        return;
    }
    QVERIFY2(!run.error, run.error->c_str());
    if (!c.output.isEmpty()) {
        QCOMPARE(output.size(), c.output.size());
        QVERIFY(output == c.output);
    } else {
        QVERIFY(!crlfLines(output).isEmpty() || output.isEmpty());
    }
}

// A seed text with a twenty-digit exponent ("vn 1e-17 1234567890 1234567890" reads as the seed
// 1e-1712345678901234567890) neither fails nor overflows, and one digit more or less in it is
// another seed, as it is another number.
void TestHostile::seedsWithHugeExponents()
{
    const QByteArray input = "v 0 0 0\nv 1 1 1\n"
                             "vn 8.7120189e-17 0.85 0.51\n"
                             "vn 1e-17 1234567890 1234567890\nvn 1e-17 1234567890 1234567891\n"
                             "vn 1e-17 1234567890 1234567890\n";
    const QString source = m_dir.filePath("seeds.obj");
    QVERIFY(writeAll(source, input));
    HookedRig rig;
    rig.options.source = QFile::encodeName(source).toStdString();
    rig.options.destination = QFile::encodeName(m_dir.filePath("seeds_n.obj")).toStdString();
    rig.options.normals = Checked;
    const RunResult run = ConvertMesh(rig.host);
    QVERIFY2(!run.error, run.error ? run.error->c_str() : "");
    const QList<QByteArray> out = crlfLines(readAll(m_dir.filePath("seeds_n.obj")));
    QCOMPARE(out.size(), 6);
    const auto displacement = [&](int line, const QList<double>& from) {
        QList<double> d;
        const QList<QByteArray> fields = out[line].simplified().split(' ');
        for (int axis = 0; axis < 3; ++axis) {
            const double value = textToNumber(fields[axis + 1].toStdString()).value;
            [&] { QVERIFY(std::isfinite(value)); }();
            d << value - from[axis];
        }
        return d;
    };
    const QList<double> a = displacement(3, {1e-17, 1234567890, 1234567890});
    const QList<double> b = displacement(4, {1e-17, 1234567890, 1234567891});
    QVERIFY(a != b);
    QCOMPARE(out[5], out[3]);
    for (double d : displacement(2, {8.7120189e-17, 0.85, 0.51}))
        QVERIFY(std::fabs(d) <= 0.1);
}

void TestHostile::memoryGrowsWithTheLongestLineOnly_data()
{
    QTest::addColumn<QString>("recipe");
    QTest::addColumn<QList<QByteArray>>("options");
    QTest::addColumn<qint64>("longestLine");
    QTest::newRow("20 MB comment line") << "long comment" << QList<QByteArray>{} << qint64(kHuge);
    QTest::newRow("20 MB vertex line of further fields") << "long vertex" << QList<QByteArray>{} << qint64(kHuge);
    QTest::newRow("20 MB face line, quads split") << "long face" << QList<QByteArray>{"-s"} << qint64(kHuge);
    QTest::newRow("a million empty lines") << "million empty lines" << QList<QByteArray>{} << qint64(0);
    QTest::newRow("40 MB of ordinary records") << "ordinary" << QList<QByteArray>{"-n", "-s"} << qint64(0);
}

// Peak memory of the command line beyond that of a two-line file: the reader's buffer may grow to
// hold the longest line and the output may take it whole, each with room to spare, and that is all.
void TestHostile::memoryGrowsWithTheLongestLineOnly()
{
    QFETCH(QString, recipe);
    QFETCH(QList<QByteArray>, options);
    QFETCH(qint64, longestLine);
    if (kAddressSanitizer)
        QSKIP("the address sanitizer's own memory hides the program's");
    const QByteArray input = recipe == "ordinary" ? meshOfSize(40 << 20) : build(recipe).input;
    const QString name = "memory.obj";
    QVERIFY(writeAll(m_dir.filePath(name), input));
    QFile::remove(m_dir.filePath("memory_n.obj"));
    ChildLimits watched;
    watched.watchMemory = true;
    const ChildOutcome run =
        runCli(options + QList<QByteArray>{"-q", "--keep-source", name.toUtf8()}, m_dir.path(), watched);
    QVERIFY2(run.status == 0, run.err.constData());
    const qint64 allowedKb = 4 * longestLine / 1024 + 32 * 1024;
    const qint64 grownKb = run.peakKb - m_baselineKb;
    qInfo("peak %ld KB, %lld KB above a two-line file (allowed %lld KB)", run.peakKb, grownKb, allowedKb);
    QVERIFY2(grownKb <= allowedKb, qPrintable(QString("grew by %1 MB").arg(grownKb / 1024)));
}

void TestHostile::awkwardNames_data()
{
    QTest::addColumn<QByteArray>("name");        // of the source, made in a fresh folder
    QTest::addColumn<QByteArray>("destination"); // the default destination's name on disk; empty: refused
    QTest::newRow("blanks") << QByteArray("my mesh.obj") << QByteArray("my mesh_n.obj");
    QTest::newRow("quotes") << QByteArray("it's \"done\".obj") << QByteArray("it's \"done\"_n.obj");
    QTest::newRow("wildcards") << QByteArray("st*r?[a].obj") << QByteArray("st*r?[a]_n.obj");
    QTest::newRow("a newline") << QByteArray("two\nlines.obj") << QByteArray("two\nlines_n.obj");
    QTest::newRow("a leading dash") << QByteArray("-n.obj") << QByteArray("-n_n.obj");
    QTest::newRow("non-ASCII letters") << QByteArray("Würfel Ägäis.obj") << QByteArray("würfel ägäis_n.obj");
    // Upper case of "ß" is "SS": the name the destination gets is the lower case of that.
    QTest::newRow("a letter whose upper case is two") << QByteArray("Straße.obj") << QByteArray("strasse_n.obj");
    QTest::newRow("bytes that are not UTF-8") << QByteArray("\xff\xfe\x80.obj") << QByteArray("\xff\xfe\x80_n.obj");
    QTest::newRow("a folder of non-ASCII letters and blanks") << QByteArray("Mes Modèles/Cube.OBJ")
                                                              << QByteArray("Mes Modèles/cube_n.obj");
    // The parts of a path are kept without their surrounding blanks: such a name cannot be reached.
    QTest::newRow("a leading blank, refused") << QByteArray(" lead.obj") << QByteArray();
}

void TestHostile::awkwardNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, destination);
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray path = folder + "/" + name;
    if (name.contains('/'))
        QVERIFY(::mkdir((folder + "/" + name.left(name.lastIndexOf('/'))).constData(), 0755) == 0);
    const QByteArray mesh = "v 0 0 0\nv 1 2 3\n";
    QVERIFY(writeBytes(path, mesh));
    const ChildOutcome run = runCli({"-q", "--day", "45000", "--", name}, dir.path());
    if (destination.isEmpty()) {
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.startsWith("Problem: Can't locate the source file "), run.err.constData());
        QCOMPARE(readBytes(path), mesh);
        return;
    }
    QVERIFY2(run.status == 0, run.err.constData());
    QCOMPARE(crlfLines(readBytes(folder + "/" + destination)).size(), 2);
    QCOMPARE(readBytes(path), normalForm(mesh));
    const QByteArray where = path.left(path.lastIndexOf('/'));
    QCOMPARE(rawEntries(where).size(), 2);
    for (const QByteArray& entry : rawEntries(where)) // names that QTemporaryDir could not remove
        ::unlink((where + "/" + entry).constData());
}

void TestHostile::namesThatDifferInLetterCaseOnly_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<QString>("chosen");
    // A path's parts are held in upper case, so the name as typed is not known any more: a name
    // that is the upper-case form comes first, then the all-lower-case one, then the first in byte order.
    QTest::newRow("the upper-case name exists") << QStringList{"Cube.obj", "cube.obj", "CUBE.OBJ"}
                                                << QByteArray("Cube.obj") << "CUBE.OBJ";
    QTest::newRow("the lower-case name exists") << QStringList{"Cube.obj", "cube.obj"} << QByteArray("Cube.obj")
                                                << "cube.obj";
    QTest::newRow("neither") << QStringList{"Cube.obj", "CUbe.obj"} << QByteArray("cube.obj") << "CUbe.obj";
}

// Files whose names differ only in letter case: the resolver's rule picks one, and the format check,
// the conversion and the same-file test all act on that one and leave the others as they were.
void TestHostile::namesThatDifferInLetterCaseOnly()
{
    QFETCH(QStringList, files);
    QFETCH(QByteArray, typed);
    QFETCH(QString, chosen);
    QTemporaryDir dir;
    QMap<QString, QByteArray> contents;
    for (int i = 0; i < files.size(); ++i) {
        QByteArray mesh;
        for (int k = 0; k <= i; ++k) // i + 1 vertices tell the files apart in the summary
            mesh += "v " + QByteArray::number(k) + " " + QByteArray::number(k * k) + " 1\n";
        contents[files[i]] = mesh;
        QVERIFY(writeAll(dir.filePath(files[i]), mesh));
    }
    const ChildOutcome run = runCli({"--day", "45000", typed}, dir.path());
    QVERIFY2(run.status == 0, run.err.constData());
    const QByteArray vertices = QByteArray::number(files.indexOf(chosen) + 1) + " vertices";
    QVERIFY2(run.out.contains("/cube_n.obj: " + vertices), run.out.constData());
    for (const QString& name : files)
        QCOMPARE(readAll(dir.filePath(name)), name == chosen ? normalForm(contents[name]) : contents[name]);

    const ChildOutcome same = runCli({typed, files.first().toUpper().toUtf8()}, dir.path());
    QCOMPARE(same.status, 1);
    QVERIFY2(same.err.contains("The source and destination files are the same."), same.err.constData());
    QCOMPARE(entries(dir.path()).size(), files.size() + 1);
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_reliability_hostile.moc"
