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
    void overwrite();
    void cancelledCheckStillConverts();
    void generatorProperties();
    void noiseShapes();
    void daySeedRounding_data();
    void daySeedRounding();

private:
    QString source() const { return m_dir.filePath("Models/cube.obj"); }
    QTemporaryDir m_dir;
};

const QByteArray kCube = "v 0 0 0\nv 1 1 1\n";

void TestCommand::init()
{
    CancelRequested.store(kFalse);
    QDir(m_dir.path()).removeRecursively();
    QDir().mkpath(m_dir.filePath("Models"));
    QDir().mkpath(m_dir.filePath("out"));
    writeAll(source(), kCube);
    writeAll(m_dir.filePath("Models/bad.obj"), "v 1 2\n");
}

void TestCommand::checksInTheirOrder_data()
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
    row("a folder is no destination file", cube, "@/out/", "", Kind::Refused, noDestination, "%/out//.obj");
    row("completed name equals the source", cube, "CUBE", "", Kind::Refused, same, "%/models/cube.obj");
    row("letter case only", cube, "@/MODELS/Cube.OBJ", "", Kind::Refused, same, "%/models/cube.obj");
    // One file under two names is refused before anyone is asked to overwrite it.
    row("symbolic link", cube, "@/other.obj", "symlink", Kind::Refused, same, "%/other.obj");
    row("hard link", cube, "@/other.obj", "hardlink", Kind::Refused, same, "%/other.obj");
    row("linked folder", cube, "@/alias/cube.obj", "folder", Kind::Refused, same, "%/alias/cube.obj");
    // A failure names the file, the line and the fault, and leaves no destination behind.
    row("a record fault", "Models/bad.obj", "result", "", Kind::Failed,
        "@/Models/bad.obj, line 1: a vertex needs three coordinates, x, y and z; this one has 2.",
        "%/models/result.obj");
}

void TestCommand::checksInTheirOrder()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, link);
    QFETCH(int, kind);
    QFETCH(QString, message);
    QFETCH(QString, destinationAfter);
    if (link == "symlink")
        QVERIFY(QFile::link(this->source(), m_dir.filePath("other.obj")));
    if (link == "hardlink")
        QCOMPARE(::link(QFile::encodeName(this->source()), QFile::encodeName(m_dir.filePath("other.obj"))),
                 0);
    if (link == "folder")
        QVERIFY(QFile::link(m_dir.filePath("Models"), m_dir.filePath("alias")));
    for (QString* text : {&destination, &message, &destinationAfter})
        text->replace("@", m_dir.path()).replace("%", m_dir.path().toLower());
    Rig rig;
    FakePrompts prompts;
    rig.options.source = source.isEmpty() ? "" : bytes(m_dir.filePath(source));
    rig.options.destination = destination.toStdString();
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), kind);
    const auto listed = [](const QString& text) {
        return text.isEmpty() ? std::vector<std::string>{} : std::vector<std::string>{text.toStdString()};
    };
    QCOMPARE(prompts.problems, listed(message));
    // A refusal puts the focus in the box whose text was at fault.
    QCOMPARE(prompts.focus, listed(kind != int(Kind::Refused)           ? ""
                                   : message.startsWith("Can't locate") ? "txtSource"
                                                                        : "txtDestination"));
    QCOMPARE(QString::fromStdString(rig.options.destination), destinationAfter);
    QVERIFY(prompts.questions.empty());
    QVERIFY(!rig.status.visible);
    if (kind == int(Kind::Done)) { // a new file is made under the lower-case form of its name
        const QFileInfo made(QString::fromStdString(outcome.summary.destination));
        QVERIFY(made.exists() && made.fileName() == QFileInfo(destinationAfter).fileName());
    } else {
        QCOMPARE(readAll(this->source()), kCube);
        QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
    }
}

void TestCommand::overwrite()
{
    const QString existing = m_dir.filePath("Models/Cube_N.obj");
    QVERIFY(writeAll(existing, "old"));
    Rig rig;
    FakePrompts prompts;
    prompts.answer = false;
    rig.options.source = bytes(source());
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

void TestCommand::cancelledCheckStillConverts()
{
    const QByteArray input = QByteArray(20000, '#') + "\nv 1 2 3\n";
    writeAll(source(), input);
    Rig rig;
    FakePrompts prompts;
    rig.cancelAt(1);
    rig.files(source(), "result");
    const CommandOutcome outcome = runConvertCommand(rig.host, prompts);
    QCOMPARE(int(outcome.kind), int(Kind::Done));
    QVERIFY(outcome.checkCancelled);
    QCOMPARE(readAll(source()), input);
    QCOMPARE(crlfLines(readAll(m_dir.filePath("Models/result.obj"))).size(), 2);

    // The command line's interrupt ends the command after the running phase.
    QFile::remove(m_dir.filePath("Models/result.obj"));
    rig.events.yields = 0;
    rig.events.stop = true;
    rig.cancelAt(1);
    QCOMPARE(int(runConvertCommand(rig.host, prompts).kind), int(Kind::Interrupted));
    QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
}

static Generator seeded(std::uint64_t key)
{
    Generator g;
    g.reset(-1);
    g.reseed(key);
    return g;
}

void TestCommand::generatorProperties()
{
    Generator a = seeded(42), b = seeded(42);
    double sum = 0, chiSquare = 0;
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
    for (int count : bins)
        chiSquare += (count - kDraws / 16.0) * (count - kDraws / 16.0) / (kDraws / 16.0);
    QVERIFY2(chiSquare < 40, qPrintable(QString::number(chiSquare))); // 15 degrees of freedom
    // After reset and reseed the sequence depends on the key alone, not on what was drawn before.
    b.reset(-1);
    b.reseed(43);
    const float other = b.next();
    QCOMPARE(seeded(43).next(), other);
    QVERIFY(seeded(42).next() != other);
}

void TestCommand::noiseShapes()
{
    for (std::uint64_t key = 1; key < 200; ++key) {
        Generator g = seeded(key);
        const double r = (double(g.next()) - 0.5) * 2, second = (double(g.next()) - 0.5) * 2;
        QVERIFY(r >= -1.0 && r < 1.0);
        const double shaped[] = {r, r * r * (r > 0 ? 1.0 : r < 0 ? -1.0 : 0.0), r * r * r};
        for (int algorithm = -1; algorithm <= 3; ++algorithm) {
            g = seeded(key);
            const std::optional<double> value = NoiseValue(g, algorithm);
            QCOMPARE(value.has_value(), algorithm >= White && algorithm <= Cubic);
            if (value)
                QCOMPARE(*value, shaped[algorithm]);
            QCOMPARE((double(g.next()) - 0.5) * 2, second); // every shape draws exactly one number
        }
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
