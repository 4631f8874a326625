#include "reliability/harness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace jf::test;

namespace {

// The JSON objects on stdout by source, checking that each line holds exactly one.
QMap<QString, QJsonObject> jsonBySource(const QByteArray& out)
{
    QMap<QString, QJsonObject> objects;
    for (const QByteArray& line : out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return {};
        objects.insert(document.object().value("source").toString(), document.object());
    }
    return objects;
}

} // namespace

// Many files in one call of the command line: what stops a batch before any work, how one file's
// fate leaves the others' alone, and what the batch reports for each.
class TestCliBatch : public QObject
{
    Q_OBJECT

private slots:
    // Each refusal comes before any work: nothing is created, removed or rewritten.
    void refusals_data()
    {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<QByteArray>("said");
        const auto row = [](const char* name, const QList<QByteArray>& arguments, const char* said) {
            QTest::newRow(name) << arguments << QByteArray(said);
        };
        row("a source named twice", {"a.obj", "b.obj", "a.obj"}, "named twice");
        row("a source under a second name", {"a.obj", "b.obj", "./a.obj"}, "are the same file");
        row("a source through a link", {"link.obj", "b.obj", "a.obj"}, "are the same file");
        // The Convert command finds a file whatever the letter case of its name.
        row("a source in other letters", {"a.obj", "b.obj", "A.OBJ"}, "are the same file");
        row("two sources, one destination", {"-o", "out", "a.obj", "sub/a.obj"}, "would both be written to");
        row("a destination that is another source", {"b.obj", "a.obj", "a_n.obj"}, "is another source");
        row("no such output folder", {"-o", "nowhere", "a.obj"}, "nowhere");
        row("no jobs", {"-j", "0", "a.obj", "b.obj", "a_n.obj"}, "jobs");
    }
    void refusals()
    {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(QByteArray, said);
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path()), mesh = "v 0 0 0\nv 1 2 3\n";
        QVERIFY(::mkdir(folder + "/out", 0755) == 0 && ::mkdir(folder + "/sub", 0755) == 0);
        for (const QByteArray name : {"a.obj", "b.obj", "a_n.obj", "sub/a.obj"})
            QVERIFY(writeBytes(folder + "/" + name, mesh));
        QVERIFY(::symlink("a.obj", folder + "/link.obj") == 0);
        const QList<QByteArray> before = rawEntries(folder);

        const ChildOutcome run = runCli(arguments, dir.path());
        QVERIFY2(run.status == 2, run.err.constData());
        QVERIFY2(run.err.contains(said), run.err.constData());
        QVERIFY(run.out.isEmpty());
        QCOMPARE(rawEntries(folder), before);
        QVERIFY(rawEntries(folder + "/out").isEmpty());
        for (const QByteArray name : {"a.obj", "b.obj", "a_n.obj", "sub/a.obj"})
            QCOMPARE(readBytes(folder + "/" + name), mesh);
    }

    // Failures amid successes: every file is reported in its JSON line, the failures also on stderr
    // with their file, and each converted file holds exactly what a run of it alone writes, beside
    // its source or in the output folder, with one file at a time or several.
    void failuresAmidSuccesses_data()
    {
        QTest::addColumn<QList<QByteArray>>("options");
        QTest::addColumn<QByteArray>("into"); // the destinations' folder, relative
        QTest::newRow("one at a time") << QList<QByteArray>{"-j", "1"} << QByteArray(".");
        QTest::newRow("three at a time") << QList<QByteArray>{"-j", "3"} << QByteArray(".");
        QTest::newRow("into a folder") << QList<QByteArray>{"-o", "out"} << QByteArray("out");
    }
    void failuresAmidSuccesses()
    {
        QFETCH(QList<QByteArray>, options);
        QFETCH(QByteArray, into);
        QTemporaryDir dir, alone;
        const QByteArray folder = QFile::encodeName(dir.path());
        QVERIFY(::mkdir(folder + "/out", 0755) == 0);
        const QByteArray golden = readAll(TEST_DATA_DIR "/golden/every_record.obj");
        // Large enough for many chunks and for files to overlap in time.
        const QByteArray big = meshOfSize(3 << 20), other = meshOfSize(2 << 20, "\r\n");
        const QList<QPair<QByteArray, QByteArray>> good{
            {"every_record.obj", golden}, {"big.obj", big}, {"other.obj", other}};
        for (const auto& [name, bytes] : good) {
            QVERIFY(writeBytes(folder + "/" + name, bytes));
            QVERIFY(writeBytes(QFile::encodeName(alone.path()) + "/" + name, bytes));
        }
        QVERIFY(writeBytes(folder + "/bad.obj", "v 1 2\n"));
        QVERIFY(writeBytes(folder + "/kept.obj", "v 1 2 3\n") &&
                writeBytes(folder + "/" + into + "/kept_n.obj", "mine"));

        const QList<QByteArray> common{"--day", "45000", "-n", "-s", "--json"};
        const QList<QByteArray> sources{"every_record.obj", "bad.obj",  "big.obj",
                                        "missing.obj",      "kept.obj", "other.obj"};
        const ChildOutcome run = runCli(common + options + sources, dir.path());
        QVERIFY2(run.status == 1, run.err.constData());
        const QMap<QString, QJsonObject> json = jsonBySource(run.out);
        QCOMPARE(json.size(), sources.size());

        for (const auto& [name, bytes] : good) {
            const ChildOutcome single = runCli(common + QList<QByteArray>{name}, alone.path());
            QVERIFY2(single.status == 0, single.err.constData());
            QVERIFY2(readBytes(folder + "/" + into + "/" + name.chopped(4) + "_n.obj") ==
                         readBytes(QFile::encodeName(alone.path()) + "/" + name.chopped(4) + "_n.obj"),
                     name.constData());
            // The report is the one that a run of the file alone gives, but for the places and time.
            QJsonObject fromBatch = json.value(dir.filePath(name)),
                        fromSingle = jsonBySource(single.out).first();
            QCOMPARE(fromBatch.value("status").toString(), QStringLiteral("done"));
            QCOMPARE(fromBatch.value("destination").toString(),
                     QDir::cleanPath(dir.filePath(into + "/" + name.chopped(4) + "_n.obj")));
            for (const char* key : {"source", "destination", "seconds"}) {
                fromBatch.remove(key);
                fromSingle.remove(key);
            }
            QCOMPARE(fromBatch, fromSingle);
        }

        const QJsonObject every = json.value(dir.filePath("every_record.obj"));
        const QList<QPair<const char*, QJsonValue>> expected{
            {"error", QJsonValue()}, {"vertices", 6},    {"normals", 2}, {"quadsSplit", 2},
            {"smallestExtent", 3},   {"intensity", 0.1}, {"day", 45000}, {"amplitude", 0.30000000000000004}};
        for (const auto& [key, value] : expected)
            QVERIFY2(every.value(key) == value, key);
        QVERIFY(every.value("seconds").toDouble() > 0);

        // Failures carry their text, and no figures that the run did not reach.
        const QList<QPair<QByteArray, QByteArray>> failures{
            {"bad.obj", "bad.obj, line 1: a vertex needs three coordinates"},
            {"missing.obj", "Can't locate the source file"},
            {"kept.obj", "exists and was not replaced"}};
        for (const auto& [name, fault] : failures) {
            const QJsonObject object = json.value(dir.filePath(name));
            QCOMPARE(object.value("status").toString(), QStringLiteral("failed"));
            QVERIFY2(object.value("error").toString().contains(fault),
                     qPrintable(object.value("error").toString()));
            QVERIFY(object.value("vertices").isNull() && object.value("amplitude").isNull());
            QVERIFY2(run.err.contains("Problem with " + folder + "/" + name + ": "), run.err.constData());
        }
        QCOMPARE(readBytes(folder + "/" + into + "/kept_n.obj"), QByteArray("mine"));
        QVERIFY(!QFile::exists(dir.filePath(into + "/bad_n.obj")));
        QVERIFY2(run.err.contains("3 of 6 files done, 3 failed, 0 cancelled, 0 not started"),
                 run.err.constData());
    }

    // Ctrl-C or SIGTERM in a batch: the running files end as a Cancel would, no other file starts,
    // and the summary names each file's fate; exit status 130.
    void interrupt_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QByteArray>("jobs");
        QTest::newRow("Ctrl-C, one at a time") << SIGINT << QByteArray("1");
        QTest::newRow("SIGTERM, two at a time") << SIGTERM << QByteArray("2");
    }
    void interrupt()
    {
        QFETCH(int, signal);
        QFETCH(QByteArray, jobs);
        QTemporaryDir dir;
        // In normal form already, so that the sources stay as they are.
        const QByteArray input = meshOfSize(40 << 20, "\r\n");
        const QStringList names{"one.obj", "two.obj", "three.obj", "four.obj"};
        for (const QString& name : names)
            QVERIFY(writeAll(dir.filePath(name), input));
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(cliPath(),
                      QStringList{"--json", "--day", "1", "-j", QString::fromLatin1(jobs)} + names);
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo(dir.filePath("one_n.obj")).size() > 0 || process.state() != QProcess::Running, 30000);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(30000));
        if (process.exitCode() == 0)
            QSKIP("the batch finished before the interrupt arrived");
        QCOMPARE(process.exitCode(), 130);

        const QMap<QString, QJsonObject> json = jsonBySource(process.readAllStandardOutput());
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(json.size(), names.size());
        QMap<QString, int> fates;
        QByteArray full; // the complete output of a source, made when a cancelled one is to be judged
        for (const QString& name : names) {
            const QString status = json.value(dir.filePath(name)).value("status").toString();
            ++fates[status];
            const QByteArray out = readAll(dir.filePath(QString(name).replace(".obj", "_n.obj")));
            if (status == QLatin1String("not started")) {
                QVERIFY2(!QFile::exists(dir.filePath(QString(name).replace(".obj", "_n.obj"))),
                         qPrintable(name));
                QVERIFY2(err.contains("Not started: " + QFile::encodeName(dir.filePath(name))),
                         err.constData());
            } else if (status == QLatin1String("cancelled")) {
                // Noised lines are longer than the source's, so a cancelled output is told by being
                // a proper prefix, in whole lines, of the complete one.
                if (!out.isEmpty() && full.isEmpty()) {
                    QCOMPARE(runCli({"-q", "--keep-source", "--day", "1", "one.obj", "full.obj"}, dir.path()).status, 0);
                    full = readAll(dir.filePath("full.obj"));
                }
                QVERIFY2(out.isEmpty() || (out.endsWith("\r\n") && out.size() < full.size() && full.startsWith(out)),
                         qPrintable(name));
                QVERIFY2(err.contains("Cancelled: " + QFile::encodeName(dir.filePath(name))),
                         err.constData());
            } else {
                QCOMPARE(status, QStringLiteral("done"));
            }
            QVERIFY2(readAll(dir.filePath(name)) == input, qPrintable(name));
        }
        QVERIFY2(fates.value("cancelled") >= 1 && fates.value("not started") >= 1, err.constData());
        QVERIFY2(err.contains(QByteArray::number(fates.value("done")) + " of 4 files done, 0 failed, " +
                              QByteArray::number(fates.value("cancelled")) + " cancelled, " +
                              QByteArray::number(fates.value("not started")) + " not started"),
                 err.constData());
    }

    // Each file in a batch runs in the memory of a run of its own; files side by side add theirs.
    void memoryPerFile()
    {
        if (kAddressSanitizer)
            QSKIP("the address sanitizer's own memory hides the program's");
        QTemporaryDir dir;
        const QByteArray input = meshOfSize(48 << 20, "\r\n");
        for (const char* name : {"one.obj", "two.obj"})
            QVERIFY(writeAll(dir.filePath(QString::fromLatin1(name)), input));
        ChildLimits limits;
        limits.watchMemory = true;
        const ChildOutcome run =
            runCli({"-q", "-j", "2", "-o", ".", "one.obj", "two.obj"}, dir.path(), limits);
        QVERIFY2(run.status == 0, run.err.constData());
        if (run.peakKb == 0)
            QSKIP("the batch ended before its memory was ever read: the machine gave this test no time");
        QVERIFY2(run.peakKb <= 2 * 32 * 1024,
                 qPrintable(QString::number(run.peakKb) + " KiB"));
    }
};

QTEST_GUILESS_MAIN(TestCliBatch)
#include "tst_cli_batch.moc"
