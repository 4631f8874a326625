#include "reliability/harness.h"

#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace jf::test;

namespace {

// A bumpy sheet of quads: enough faces that noise visibly moves its shading.
QByteArray sheet()
{
    QByteArray text = "# a sheet\n";
    constexpr int kSide = 24;
    for (int j = 0; j <= kSide; ++j)
        for (int i = 0; i <= kSide; ++i)
            text += "v " + QByteArray::number(i) + " " + QByteArray::number(j) + " " +
                    QByteArray::number((i * 7 + j * 3) % 5 * 0.1) + "\n";
    for (int j = 0; j < kSide; ++j)
        for (int i = 0; i < kSide; ++i) {
            const int a = j * (kSide + 1) + i + 1;
            text += "f " + QByteArray::number(a) + " " + QByteArray::number(a + 1) + " " +
                    QByteArray::number(a + kSide + 2) + " " + QByteArray::number(a + kSide + 1) + "\n";
        }
    return text;
}

// Pixels of `half` (0 left, 1 right) that differ from the background, as the bottom-right corner has it.
int meshPixels(const QImage& picture, int half)
{
    const QRgb background = picture.pixel(picture.width() - 1, picture.height() - 1);
    int count = 0;
    const int width = picture.width() / 2;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = half * width; x < (half + 1) * width; ++x)
            count += picture.pixel(x, y) != background;
    return count;
}

struct Stamp
{
    QByteArray bytes;
    timespec modified{};
};

Stamp stamp(const QString& path)
{
    struct stat info{};
    ::stat(QFile::encodeName(path).constData(), &info);
    return {readAll(path), info.st_mtim};
}

} // namespace

// The preview picture as a script makes it: the real executable on a machine without a display.
class TestCliPreview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QTemporaryDir probe;
        QVERIFY(writeAll(probe.filePath("s.obj"), sheet()));
        const ChildOutcome run = runCli({"--preview", "p.png", "--size", "64x32", "s.obj"}, probe.path());
        if (run.status == 1 && run.err.contains("No OpenGL renderer"))
            QSKIP("this machine has no OpenGL renderer without a display (Mesa's EGL)");
    }

    // The picture: its size, the mesh in both halves, After unlike Before with noise, and the same
    // bytes for the same inputs. The source is only read.
    void rendersBeforeAndAfter_data()
    {
        QTest::addColumn<QList<QByteArray>>("options");
        QTest::addColumn<bool>("noised");
        QTest::newRow("default") << QList<QByteArray>{} << true;
        QTest::newRow("split, cubic") << QList<QByteArray>{"-s", "-t", "cubic", "-i", "0.05"} << true;
        QTest::newRow("intensity 0") << QList<QByteArray>{"-i", "0"} << false;
        QTest::newRow("no axis") << QList<QByteArray>{"-a", "none"} << false;
    }
    void rendersBeforeAndAfter()
    {
        QFETCH(QList<QByteArray>, options);
        QFETCH(bool, noised);
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("sheet.obj"), sheet()));
        ::chmod(QFile::encodeName(dir.filePath("sheet.obj")).constData(), 0644);
        const Stamp before = stamp(dir.filePath("sheet.obj"));
        const QList<QByteArray> common = QList<QByteArray>{"--day", "45000", "--size", "320x160"} + options;

        const ChildOutcome first = runCli(common + QList<QByteArray>{"--preview", "a.png", "sheet.obj"}, dir.path());
        QVERIFY2(first.status == 0, first.err.constData());
        const ChildOutcome second = runCli(common + QList<QByteArray>{"--preview", "b.png", "sheet.obj"}, dir.path());
        QVERIFY2(second.status == 0, second.err.constData());

        const QImage picture(dir.filePath("a.png"));
        QCOMPARE(picture.size(), QSize(320, 160));
        QVERIFY2(meshPixels(picture, 0) > 1000 && meshPixels(picture, 1) > 1000, "a half shows no mesh");
        QCOMPARE(readAll(dir.filePath("b.png")), readAll(dir.filePath("a.png")));
        const QImage left = picture.copy(0, 0, 160, 160);
        const QImage right = picture.copy(160, 0, 160, 160);
        // The labels differ ("Before", "After"), so compare below them.
        const QRect body(0, 40, 160, 120);
        QCOMPARE(left.copy(body) != right.copy(body), noised);

        const Stamp after = stamp(dir.filePath("sheet.obj"));
        QCOMPARE(after.bytes, before.bytes);
        QCOMPARE(after.modified.tv_sec, before.modified.tv_sec);
        QCOMPARE(after.modified.tv_nsec, before.modified.tv_nsec);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
                 (QStringList{"a.png", "b.png", "sheet.obj"}));
    }

    // What is refused or fails leaves every file as it was and writes no picture.
    void refusals_data()
    {
        QTest::addColumn<QList<QByteArray>>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("said");
        QTest::addColumn<QByteArray>("environment"); // NAME=VALUE set for the run
        const auto row = [](const char* name, const QList<QByteArray>& arguments, int status, const QByteArray& said,
                            const QByteArray& environment = {}) {
            QTest::newRow(name) << arguments << status << said << environment;
        };
        row("no renderer", {"--preview", "p.png", "sheet.obj"}, 1, "No OpenGL renderer", "JITTERFORM_NO_OPENGL=1");
        row("bad size", {"--preview", "p.png", "--size", "10x", "sheet.obj"}, 2, "10x");
        row("size too large", {"--preview", "p.png", "--size", "9000x10", "sheet.obj"}, 2, "9000x10");
        row("two sources", {"--preview", "p.png", "sheet.obj", "other.obj"}, 2, "one SOURCE");
        row("existing picture", {"--preview", "old.png", "sheet.obj"}, 1, "already exists");
        row("picture is the source", {"-f", "--preview", "sheet.obj", "sheet.obj"}, 1, "would replace the source");
        row("unreadable source", {"--preview", "p.png", "bad.obj"}, 1, "bad.obj, line 2");
        row("missing source", {"--preview", "p.png", "none.obj"}, 1, "none.obj");
    }
    void refusals()
    {
        QFETCH(QList<QByteArray>, arguments);
        QFETCH(int, status);
        QFETCH(QByteArray, said);
        QFETCH(QByteArray, environment);
        QTemporaryDir dir;
        QVERIFY(writeAll(dir.filePath("sheet.obj"), sheet()) && writeAll(dir.filePath("old.png"), "mine") &&
                writeAll(dir.filePath("bad.obj"), "v 0 0 0\nv 1 2\n"));
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);
        const QByteArray name = environment.left(environment.indexOf('='));
        if (!environment.isEmpty())
            qputenv(name.constData(), environment.mid(name.size() + 1));
        const ChildOutcome run = runCli(arguments, dir.path());
        if (!environment.isEmpty())
            qunsetenv(name.constData());
        QVERIFY2(run.status == status, run.err.constData());
        QVERIFY2(run.err.contains(said), run.err.constData());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), files);
        QCOMPARE(readAll(dir.filePath("sheet.obj")), sheet());
        QCOMPARE(readAll(dir.filePath("old.png")), QByteArray("mine"));
    }
};

QTEST_GUILESS_MAIN(TestCliPreview)
#include "tst_cli_preview.moc"
