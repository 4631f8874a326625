#include "enginefakes.h"

#include "engine/command.h"

#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace jf;
using namespace jf::test;

using Kind = CommandOutcome::Kind;

const QByteArray kCube = "v 0 0 0\nv 1 1 1\n";

class TestCommand : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        CancelRequested.store(kFalse);
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.filePath("Models"));
        QDir().mkpath(m_dir.filePath("out"));
        writeAll(source(), kCube);
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
            QVERIFY(QFile::link(this->source(), m_dir.filePath("other.obj")));
        if (link == "hardlink")
            QCOMPARE(
                ::link(QFile::encodeName(this->source()), QFile::encodeName(m_dir.filePath("other.obj"))), 0);
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
            QCOMPARE(readAll(this->source()), kCube);
            QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
        }
    }

    // The command line's interrupt, which also cancels the running phase, ends the command once that
    // phase is over: after the format check, nothing is converted.
    void interruptAfterTheCheck()
    {
        writeAll(source(), QByteArray(20000, '#') + "\nv 1 2 3\n");
        Rig rig;
        rig.events.stop = true;
        rig.cancelAt(1);
        QCOMPARE(int(rig.command(source(), "result").kind), int(Kind::Interrupted));
        QVERIFY(!QFile::exists(m_dir.filePath("Models/result.obj")));
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
        struct Run
        {
            int kind;
            std::vector<std::string> problems, labels;
            QByteArray output, sourceAfter;
            double extent;
        };
        const auto runWith = [&](int workers) {
            writeAll(source(), input);
            QFile::remove(m_dir.filePath("Models/result.obj"));
            Rig rig;
            rig.host.workers = workers;
            rig.status.recordValues = false;
            const CommandOutcome outcome = rig.command(source(), "result");
            [&] { QVERIFY(outcome.check.rewritten); }();
            return Run{int(outcome.kind), rig.prompts.problems,
                       rig.status.labels, readAll(m_dir.filePath("Models/result.obj")),
                       readAll(source()), outcome.summary.smallestExtent};
        };
        const Run alone = runWith(0), beside = runWith(1);
        QCOMPARE(beside.kind, alone.kind);
        QCOMPARE(beside.problems, alone.problems);
        QCOMPARE(beside.labels, alone.labels);
        QCOMPARE(beside.output, alone.output);
        QCOMPARE(beside.sourceAfter, alone.sourceAfter);
        QCOMPARE(beside.extent, alone.extent);
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
            writeAll(source(), input);
            QFile::remove(m_dir.filePath("Models/result.obj"));
            Rig rig;
            rig.status.recordValues = false;
            rig.status.onValue = [&](float) {
                if (cancel && rig.status.labelText == kScanLabel)
                    pressCancel(rig.status);
            };
            const CommandOutcome outcome = rig.command(source(), "result");
            [&] { QCOMPARE(int(outcome.kind), int(Kind::Done)); }();
            return std::pair(outcome.summary, readAll(m_dir.filePath("Models/result.obj")));
        };
        const auto [full, fullOutput] = runWith(false);
        const auto [cut, cutOutput] = runWith(true);
        QVERIFY(!full.scanCancelled && !cut.noiseCancelled);
        QCOMPARE(cutOutput.count('\n'), fullOutput.count('\n'));
        if (cut.scanCancelled)
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

private:
    QString source() const { return m_dir.filePath("Models/cube.obj"); }
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestCommand)
#include "tst_engine_command.moc"
