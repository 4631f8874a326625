#include "enginefakes.h"

#include "engine/command.h"
#include "engine/generator.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <unistd.h>

using namespace jf;
using namespace jf::test;

using Kind = CommandOutcome::Kind;

class TestCommand : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void checksInTheirOrder_data();
    void checksInTheirOrder();
    void oneFileUnderTwoNames_data();
    void oneFileUnderTwoNames();
    void overwrite();
    void failuresAreReported();
    void cancelledCheckStillConverts();
    void generatorProperties();
    void noiseShapes();
    void daySeedRounding_data();
    void daySeedRounding();

private:
    QString lower(const QString& path) const { return path.toLower(); }
    QTemporaryDir m_dir;
};

void TestCommand::init()
{
    CancelRequested.store(kFalse);
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.filePath("Models"));
    writeAll(m_dir.filePath("Models/cube.obj"), "v 0 0 0\nv 1 1 1\n");
}

void TestCommand::checksInTheirOrder_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("destinationAfter");
    const QString dir = m_dir.path().toLower();
    QTest::newRow("missing source") << "Models/gone.obj"
                                    << "x" << int(Kind::Refused)
                                    << "Can't locate the source file " + dir + "/models/gone.obj"
                                    << "txtSource"
                                    << "x";
    QTest::newRow("empty source box") << ""
                                      << "x" << int(Kind::Refused) << "Can't locate the source file "
                                      << "txtSource"
                                      << "x";
    QTest::newRow("blank destination")
        << "Models/cube.obj"
        << "   " << int(Kind::Refused) << "You must specify a destination file."
        << "txtDestination"
        << "   ";
    QTest::newRow("bare name completed from the source") << "Models/cube.obj"
                                                         << "Result" << int(Kind::Done) << ""
                                                         << "" << dir + "/models/result.obj";
    QTest::newRow("own folder kept") << "Models/cube.obj"
                                     << "@/out/Cube2.OBJ" << int(Kind::Done) << ""
                                     << "" << dir + "/out/cube2.obj";
    QTest::newRow("a folder is no destination file")
        << "Models/cube.obj"
        << "@/out/" << int(Kind::Refused) << "You must specify a destination file."
        << "txtDestination" << dir + "/out//.obj";
    QTest::newRow("completed name equals the source")
        << "Models/cube.obj"
        << "CUBE" << int(Kind::Refused)
        << "The source and destination files are the same. Choose another name for the destination file."
        << "txtDestination" << dir + "/models/cube.obj";
    QTest::newRow("letter case only")
        << "Models/cube.obj"
        << "@/MODELS/Cube.OBJ" << int(Kind::Refused)
        << "The source and destination files are the same. Choose another name for "
           "the destination file."
        << "txtDestination" << dir + "/models/cube.obj";
}

void TestCommand::checksInTheirOrder()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    QFETCH(QString, destinationAfter);
    QDir().mkpath(m_dir.filePath("out"));
    Rig rig;
    FakePrompts prompts;
    rig.options.source = source.isEmpty() ? "" : bytes(m_dir.filePath(source));
    rig.options.destination = destination.replace("@", m_dir.path()).toStdString();
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), kind);
    QCOMPARE(prompts.problems, message.isEmpty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{message.toStdString()});
    QCOMPARE(prompts.focus,
             focus.isEmpty() ? std::vector<std::string>{} : std::vector<std::string>{focus.toStdString()});
    QCOMPARE(QString::fromStdString(rig.options.destination), destinationAfter.replace("@", m_dir.path()));
    QVERIFY(prompts.questions.empty());
    if (kind == int(Kind::Done))
        QVERIFY(QFile::exists(QString::fromStdString(outcome.summary.destination)));
}

void TestCommand::oneFileUnderTwoNames_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("symbolic link") << "symlink";
    QTest::newRow("hard link") << "hardlink";
    QTest::newRow("linked folder") << "folder";
}

void TestCommand::oneFileUnderTwoNames()
{
    QFETCH(QString, how);
    const QString source = m_dir.filePath("Models/cube.obj");
    QString other = m_dir.filePath("other.obj");
    if (how == "symlink")
        QVERIFY(QFile::link(source, other));
    else if (how == "hardlink")
        QCOMPARE(::link(QFile::encodeName(source).constData(), QFile::encodeName(other).constData()), 0);
    else {
        QVERIFY(QFile::link(m_dir.filePath("Models"), m_dir.filePath("alias")));
        other = m_dir.filePath("alias/cube.obj");
    }
    const QByteArray before = readAll(source);
    Rig rig;
    FakePrompts prompts;
    rig.options.source = bytes(source);
    rig.options.destination = bytes(other);
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), int(Kind::Refused));
    QCOMPARE(prompts.problems.size(), std::size_t(1));
    QVERIFY(prompts.questions.empty()); // refused before anyone is asked to overwrite the source
    QCOMPARE(readAll(source), before);
}

void TestCommand::overwrite()
{
    const QString existing = m_dir.filePath("Models/Cube_N.obj");
    QVERIFY(writeAll(existing, "old"));
    Rig rig;
    FakePrompts prompts;
    prompts.answer = false;
    rig.options.source = bytes(m_dir.filePath("Models/cube.obj"));
    rig.options.destination = "Cube_N";
    QCOMPARE(int(runConvertCommand(rig.host, prompts).kind), int(Kind::Declined));
    const std::string shown = (m_dir.path().toLower() + "/models/cube_n.obj").toStdString();
    QCOMPARE(prompts.questions,
             std::vector<std::string>{"The destination file " + shown + " exists. Overwrite?"});
    QCOMPARE(readAll(existing), QByteArray("old"));
    QCOMPARE(rig.options.destination, shown);
    QVERIFY(prompts.focus.empty());

    prompts.answer = true;
    QCOMPARE(int(runConvertCommand(rig.host, prompts).kind), int(Kind::Done));
    QVERIFY(!QFile::exists(existing));
    QCOMPARE(crlfLines(readAll(m_dir.filePath("Models/cube_n.obj"))).size(), 2);
}

void TestCommand::failuresAreReported()
{
    writeAll(m_dir.filePath("Models/cube.obj"), "v 1 2\n");
    Rig rig;
    FakePrompts prompts;
    rig.options.source = bytes(m_dir.filePath("Models/cube.obj"));
    rig.options.destination = "result";
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), int(Kind::Failed));
    QCOMPARE(prompts.problems.size(), std::size_t(1));
    QVERIFY2(prompts.problems[0].find("cube.obj, line 1: a vertex needs three coordinates") !=
                 std::string::npos,
             prompts.problems[0].c_str());
    QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
    QVERIFY(!rig.status.visible);
}

void TestCommand::cancelledCheckStillConverts()
{
    writeAll(m_dir.filePath("Models/cube.obj"), QByteArray(20000, '#') + "\nv 1 2 3\n");
    Rig rig;
    FakePrompts prompts;
    rig.events.onYield = [&](long n) {
        if (n == 1)
            pressCancel(rig.status);
    };
    rig.options.source = bytes(m_dir.filePath("Models/cube.obj"));
    rig.options.destination = "result";
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), int(Kind::Done));
    QVERIFY(outcome.checkCancelled);
    QCOMPARE(readAll(m_dir.filePath("Models/cube.obj")), QByteArray(20000, '#') + "\nv 1 2 3\n");
    QCOMPARE(crlfLines(readAll(m_dir.filePath("Models/result.obj"))).size(), 2);

    // The command line's interrupt ends the command after the running phase.
    QFile::remove(m_dir.filePath("Models/result.obj"));
    rig.events.yields = 0;
    rig.events.onYield = [&](long n) {
        if (n == 1) {
            rig.events.stop = true;
            pressCancel(rig.status);
        }
    };
    QCOMPARE(int(runConvertCommand(rig.host, prompts).kind), int(Kind::Interrupted));
    QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
}

void TestCommand::generatorProperties()
{
    Generator a;
    Generator b;
    a.reset(-1);
    a.reseed(42);
    b.reset(-1);
    b.reseed(42);
    double sum = 0;
    int bins[16] = {};
    constexpr int kDraws = 160000;
    for (int i = 0; i < kDraws; ++i) {
        const float u = a.next();
        QCOMPARE(u, b.next());
        QVERIFY(u >= 0.0f && u < 1.0f);
        QCOMPARE(std::floor(double(u) * 16777216.0), double(u) * 16777216.0); // 24 bits
        sum += u;
        ++bins[int(u * 16)];
    }
    QVERIFY(std::fabs(sum / kDraws - 0.5) < 0.005);
    double chiSquare = 0;
    for (int count : bins)
        chiSquare += (count - kDraws / 16.0) * (count - kDraws / 16.0) / (kDraws / 16.0);
    QVERIFY2(chiSquare < 40, qPrintable(QString::number(chiSquare))); // 15 degrees of freedom

    // The state after reset and reseed depends on the key alone, not on what was drawn before.
    b.reset(-1);
    b.reseed(43);
    const float other = b.next();
    a.reset(-1);
    a.reseed(43);
    QCOMPARE(a.next(), other);
    a.reset(-1);
    a.reseed(42);
    QVERIFY(a.next() != other);
}

void TestCommand::noiseShapes()
{
    for (std::uint64_t key = 1; key < 200; ++key) {
        Generator g;
        g.reset(-1);
        g.reseed(key);
        const double r = (double(g.next()) - 0.5) * 2;
        const double second = (double(g.next()) - 0.5) * 2;
        const auto sample = [&](int algorithm) {
            Generator h;
            h.reset(-1);
            h.reseed(key);
            const std::optional<double> value = NoiseValue(h, algorithm);
            // Every call draws exactly one number, whatever the shape.
            [&] { QCOMPARE((double(h.next()) - 0.5) * 2, second); }();
            return value;
        };
        QCOMPARE(*sample(White), r);
        QCOMPARE(*sample(Squared), r * r * (r > 0 ? 1.0 : r < 0 ? -1.0 : 0.0));
        QCOMPARE(*sample(Cubic), r * r * r);
        QVERIFY(!sample(-1));
        QVERIFY(!sample(3));
        QVERIFY(r >= -1.0 && r < 1.0);
    }
}

void TestCommand::daySeedRounding_data()
{
    QTest::addColumn<double>("date");
    QTest::addColumn<int>("day");
    QTest::newRow("morning") << 45000.25 << 45000;
    QTest::newRow("just before noon") << 45000.4999999 << 45000;
    QTest::newRow("noon, to the even day") << 45000.5 << 45000;
    QTest::newRow("noon, odd day goes up") << 45001.5 << 45002;
    QTest::newRow("afternoon") << 45000.5000001 << 45001;
    QTest::newRow("midnight") << 45000.0 << 45000;
}

void TestCommand::daySeedRounding()
{
    QFETCH(double, date);
    QFETCH(int, day);
    QCOMPARE(DaySeed([date] { return date; }), day);
    // The real clock gives a date between 2000 and 2100.
    QVERIFY(systemOleDate() > 36526 && systemOleDate() < 73051);
}

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_engine_command.moc"
