// Text that no exporter should write and some do: enormous lines, endless empty ones, NUL bytes and
// bytes that are not UTF-8 (awkward file names are the command-line test's; random bytes, UTF-16 and
// numbers beyond a double are the engine fuzz target's, held there against a reference). Each gives
// exactly the output expected, never a crash or a hang, and memory grows with the longest line only.

#include "reliability/harness.h"

#include "engine/convert.h"

#include <QTemporaryDir>
#include <QTest>

using namespace jf;
using namespace jf::test;

namespace {

constexpr qsizetype kHuge = 20 << 20;

// The flat box of these two vertices (its z extent is 0) gives a noise amplitude of 0, so every
// vertex prints exactly as it reads.
const QByteArray kFlat = "v 0 0 0\nv 1 1 0\n";
const QByteArray kFlatOut = "v  0  0  0 \r\nv  1  1  0 \r\n";

// A source and the output expected of it.
std::pair<QByteArray, QByteArray> build(const QString& recipe)
{
    const auto repeated = [](QByteArray text, const QByteArray& part) {
        text.reserve(kHuge + 16);
        while (text.size() < kHuge)
            text += part;
        return text;
    };
    if (recipe == "long comment") {
        const QByteArray line = "# " + QByteArray(kHuge, 'x');
        return {kFlat + line + "\nv 2 2 0\n", kFlatOut + line + "\r\nv  2  2  0 \r\n"};
    }
    if (recipe == "long last line") {
        const QByteArray line = "g " + QByteArray(kHuge, 'g');
        return {kFlat + line, kFlatOut + line + "\r\n"};
    }
    if (recipe == "long vertex") { // a further field of 10 MB, then millions of short ones
        const QByteArray fields = repeated(QByteArray(10 << 20, 'w'), " 0.5");
        return {kFlat + "v 3 3 0 " + fields + "\n", kFlatOut + "v  3  3  0 " + fields + "\r\n"};
    }
    if (recipe == "long face") {
        const QByteArray face = repeated("f", " 1");
        return {kFlat + face + " \n", kFlatOut + face + " \r\n"};
    }
    if (recipe == "million empty lines") {
        QByteArray empty;
        for (int i = 0; i < 1000000; ++i)
            empty += (i % 3 == 0 ? "\n" : i % 3 == 1 ? "\r\n" : " \t\r");
        return {"v 0 0 0\n" + empty + "v 1 1 0\n", kFlatOut};
    }
    if (recipe == "NUL bytes") // the number ends at the NUL; the record's text is kept
        return {kFlat + QByteArray("v 2\0 7 0\ng a\0b\n", 15),
                kFlatOut + QByteArray("v  2  7  0 \r\ng a\0b\r\n", 20)};
    if (recipe == "not UTF-8") { // stray, overlong, surrogate and beyond-Unicode sequences pass untouched
        const QByteArray text = "g \xff\xfe grp\n# \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80\n";
        return {kFlat + text + "v 2 2 0 \xff \x80\nv 3\xe9 3 0\n",
                kFlatOut + QByteArray(text).replace("\n", "\r\n") +
                    "v  2  2  0 \xff \x80\r\nv  3  3  0 \r\n"};
    }
    return {};
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    long m_baselineKb = 0;

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable("no command line at " + cliPath()));
        QVERIFY(writeAll(m_dir.filePath("small.obj"), "v 0 0 0\nv 1 1 1\n"));
        const ChildOutcome small = runCli({"-q", "small.obj"}, m_dir.path(), {std::nullopt, 120000, true});
        QCOMPARE(small.status, 0);
        m_baselineKb = small.peakKb;
    }

    void hostileRecords_data()
    {
        QTest::addColumn<QString>("recipe");
        for (const char* recipe : {"long comment", "long last line", "long vertex", "long face",
                                   "million empty lines", "NUL bytes", "not UTF-8"})
            QTest::newRow(recipe) << recipe;
    }
    // Every option on: the format check gives the normal form and the conversion exactly the output
    // expected.
    void hostileRecords()
    {
        QFETCH(QString, recipe);
        const auto [input, expected] = build(recipe);
        const QString source = m_dir.filePath("hostile.obj"), destination = m_dir.filePath("hostile_n.obj");
        QFile::remove(destination);
        QVERIFY(writeAll(source, input));
        Rig rig;
        rig.status.recordValues = false;
        rig.files(source, destination);
        rig.options.normals = rig.options.split = Checked;

        ::alarm(300); // a hang ends the test program rather than waiting for the suite's time-out
        const CheckResult check = CheckObjFormat(rig.host);
        const RunResult run = ConvertMesh(rig.host);
        ::alarm(0);
        QVERIFY2(!check.error, check.error ? check.error->c_str() : "");
        QCOMPARE(readAll(source), normalForm(input));
        QVERIFY(!rig.status.visible);
        QVERIFY2(!run.error, run.error ? run.error->c_str() : "");
        const QByteArray output = readAll(destination);
        QVERIFY2(output == expected,
                 qPrintable(QString("%1 bytes for %2").arg(output.size()).arg(expected.size())));
    }

    void memoryGrowsWithTheLongestLineOnly_data()
    {
        QTest::addColumn<QString>("recipe");
        QTest::addColumn<qint64>("longestLine");
        for (const char* recipe : {"long comment", "long vertex", "long face"})
            QTest::newRow(recipe) << recipe << qint64(kHuge);
        QTest::newRow("40 MB of ordinary records") << "ordinary" << qint64(0);
    }
    // Peak memory of the command line, every option on, beyond that of a two-line file: the reader's
    // buffer may grow to hold the longest line and the output may take it whole, each with room to
    // spare, and that is all. The source is kept: the format check's copy is not what is measured.
    void memoryGrowsWithTheLongestLineOnly()
    {
        QFETCH(QString, recipe);
        QFETCH(qint64, longestLine);
        if (kAddressSanitizer)
            QSKIP("the address sanitizer's own memory hides the program's");
        QVERIFY(writeAll(m_dir.filePath("memory.obj"),
                         recipe == "ordinary" ? meshOfSize(40 << 20) : build(recipe).first));
        QFile::remove(m_dir.filePath("memory_n.obj"));
        const ChildOutcome run = runCli({"-q", "-n", "-s", "--keep-source", "memory.obj"}, m_dir.path(),
                                        {std::nullopt, 120000, true});
        QVERIFY2(run.status == 0, run.err.constData());
        const qint64 allowedKb = 4 * longestLine / 1024 + 32 * 1024, grownKb = run.peakKb - m_baselineKb;
        QVERIFY2(grownKb <= allowedKb, qPrintable(QString("grew by %1 MB").arg(grownKb / 1024)));
    }
};

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_reliability_hostile.moc"
