// The Convert button as a user presses it: messages, live controls, stopping in each phase, and a
// long working session in one window: conversions in a row, plain, cancelled in each phase, failing
// (missing folder, broken record, full disk, a name the window cannot hold) or refused. Whatever a
// run did, it gives back the files and threads it took, and the window still converts; the sanitizer
// build's leak check sees the end of the same process.

#include "tests/bytes.h"
#include "tests/ui/support.h"

#include <QElapsedTimer>

#include <csignal>
#include <sys/resource.h>

using jf::frmMain1;
using jf::MessageBoxes;
using namespace jf::testing;

namespace {

enum class Run {
    Plain,
    CancelCheck,
    CancelScan,
    CancelNoise,
    FolderMissing,
    BrokenRecord,
    DiskFull,
    Declined,
    SameFile,
    NotUtf8Name
};
constexpr int kKinds = 10;
constexpr int kWarmUp = 2 * kKinds, kRuns = 8 * kKinds;

int entriesIn(const char* folder)
{
    return int(QDir(QString::fromLatin1(folder)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

// What the process holds that a run could fail to give back.
struct Holdings
{
    int files = entriesIn("/proc/self/fd");
    int threads = entriesIn("/proc/self/task");
    bool within(const Holdings& limit) const { return files <= limit.files && threads <= limit.threads; }
    QString text() const { return QStringLiteral("%1 files, %2 threads").arg(files).arg(threads); }
};

} // namespace

class TestConvert : public WindowTest
{
    Q_OBJECT

    // A window set to convert a mesh of `vertices` vertices, serving its events at every yield, which
    // comes every line or two.
    // `crlf`: the source is in normal form already, so that the format check leaves it and the
    // conversion reads the scan itself, chunk by chunk (a rewritten source's scan runs during the
    // check and may be over before its phase is shown).
    std::unique_ptr<frmMain1> open(int vertices, bool crlf = false)
    {
        m_mesh = meshText(vertices);
        if (crlf)
            m_mesh.replace("\n", "\r\n");
        if (!writeAll(path(QStringLiteral("Cube.obj")), m_mesh))
            qWarning("cannot write the source");
        auto window = std::make_unique<frmMain1>(m_fakes->services());
        window->setDayClock(fixedDay());
        window->txtSource->setText(lower(path(QStringLiteral("Cube.obj"))));
        window->txtDestination->setText(lower(path(QStringLiteral("Cube_n.obj"))));
        window->events().setServeInterval(0);
        window->setChunkBytes(16);
        window->show();
        return window;
    }
    QByteArray directOutput(const jf::test::FakeOptions& options = {})
    {
        return jf::testing::directOutput(m_mesh, path(QStringLiteral("direct")), options);
    }
    QByteArray output() const { return readAll(path(QStringLiteral("cube_n.obj"))); }

    QByteArray m_mesh, m_plainOutput;

    // One run of the session; its checks fail the test through QVERIFY.
    void convert(frmMain1& window, Run run, const QString& what)
    {
        const QByteArray rawName = QFile::encodeName(m_dir->path()) + "/\xff\xfe.obj";
        const QString destination = path(run == Run::FolderMissing ? "nowhere/out.obj" : "out.obj");
        QFile::remove(path("out.obj"));
        // A full disk is to stop the destination, not the rewrite of the source.
        QVERIFY(writeAll(path("Mesh.obj"), run == Run::DiskFull ? jf::test::normalForm(m_mesh) : m_mesh));
        if (run == Run::Declined)
            QVERIFY(writeAll(destination, "old\n"));
        if (run == Run::NotUtf8Name)
            QVERIFY(jf::test::writeBytes(rawName, m_mesh));
        const QString source = lower(path(run == Run::BrokenRecord ? "Broken.obj" : "Mesh.obj"));
        window.txtSource->setText(run == Run::NotUtf8Name ? QFile::decodeName(rawName) : source);
        window.txtDestination->setText(run == Run::SameFile ? source.toUpper() : lower(destination));
        m_fakes->messages.answer = run != Run::Declined;

        const QString cancelIn = run == Run::CancelCheck   ? kCheck
                                 : run == Run::CancelScan  ? kScan
                                 : run == Run::CancelNoise ? kNoise
                                                           : QString();
        int servings = 0;
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        if (run == Run::DiskFull) { // as a full disk would, writes past 16 KiB fail (SIGXFSZ ignored)
            const rlimit full{16 * 1024, before.rlim_max};
            std::signal(SIGXFSZ, SIG_IGN);
            ::setrlimit(RLIMIT_FSIZE, &full);
        }
        convertWith(window, [&] {
            if (!cancelIn.isEmpty() && phaseOf(window) == cancelIn && ++servings == 3)
                window.status()->Command1->click();
        });
        ::setrlimit(RLIMIT_FSIZE, &before);
        QVERIFY2(!window.isRunning() && window.cmdConvert->isEnabled(), qPrintable(what));
        QVERIFY2(window.status() == nullptr || !window.status()->isVisible(), qPrintable(what));

        // The texts, and what each failure leaves on the disk, are the engine tests' and the ones
        // above; here a run need only end as it should and leave the window fit for more.
        const bool fails = run == Run::FolderMissing || run == Run::BrokenRecord || run == Run::DiskFull ||
                           run == Run::Declined || run == Run::SameFile;
        QList<FakeMessageBoxes::Shown>& shown = m_fakes->messages.shown;
        if (run == Run::NotUtf8Name) {
            // A QString cannot hold such a name: the window reaches the file or says that it cannot,
            // and the file is never harmed.
            const QByteArray after = jf::test::readBytes(rawName);
            QVERIFY2(::unlink(rawName.constData()) == 0, qPrintable(what));
            QVERIFY2(after == m_mesh || after == jf::test::normalForm(m_mesh), qPrintable(what));
        } else {
            const QString said = shown.isEmpty() ? QString() : shown.first().text;
            QVERIFY2(shown.size() == (fails ? 1 : 0), qPrintable(what + ": " + said));
        }
        shown.clear();
        if (run == Run::Plain || run == Run::CancelCheck)
            QVERIFY2(readAll(destination) == m_plainOutput, qPrintable(what));
    }

private slots:
    void init()
    {
        QVERIFY(fresh() && QDir(m_dir->path()).mkpath(QStringLiteral("direct")));
        jf::CancelRequested.store(jf::kFalse);
    }

    void messages_data()
    {
        QTest::addColumn<QString>("source");      // in the test's folder
        QTest::addColumn<QString>("destination"); // "%1" is the test's folder, lower-cased
        QTest::addColumn<int>("answer");          // -1: no old Cube_N.obj; else OK (1) or Cancel (0)
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("destinationAfter");

        const auto row = [](const char* name, const char* source, const char* destination, int answer,
                            const char* message, const char* focus, const char* after) {
            QTest::newRow(name) << QString(source) << QString(destination) << answer << QString(message)
                                << QString(focus) << QString(after);
        };
        const char* const exists = "The destination file %1/cube_n.obj exists. Overwrite?";
        row("missing source", "Missing.obj", "out.obj", -1, "Can't locate the source file %1/missing.obj",
            "txtSource", "out.obj");
        row("blank destination", "Cube.obj", "   ", -1, "You must specify a destination file.",
            "txtDestination", "   ");
        row("overwrite, OK", "Cube.obj", "CUBE_N", 1, exists, "cmdConvert", "%1/cube_n.obj");
        row("overwrite, Cancel", "Cube.obj", "CUBE_N", 0, exists, "cmdConvert", "%1/cube_n.obj");
    }

    void messages()
    {
        QFETCH(QString, source);
        QFETCH(QString, destination);
        QFETCH(int, answer);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(QString, destinationAfter);

        const auto window = open(50);
        const QString old = path(QStringLiteral("Cube_N.obj"));
        if (answer >= 0)
            QVERIFY(writeAll(old, "old\n"));
        const QString folder = lower(m_dir->path());
        window->txtSource->setText(lower(path(source)));
        window->txtDestination->setText(destination.replace(QLatin1String("%1"), folder));
        window->cmdConvert->setFocus();
        m_fakes->messages.answer = answer != 0;
        window->cmdConvert->click();

        QCOMPARE(m_fakes->messages.shown.size(), 1);
        const auto& shown = m_fakes->messages.shown.first();
        QCOMPARE(shown.title, QStringLiteral("Problem"));
        QCOMPARE(shown.text, message.replace(QLatin1String("%1"), folder));
        QVERIFY(shown.buttons == (answer >= 0 ? MessageBoxes::Buttons::OkCancel : MessageBoxes::Buttons::Ok));
        QWidget* target = window->findChild<QWidget*>(focus);
        if (answer < 0)
            QVERIFY2(shown.focus != target, "the focus moves only after the box has closed");
        QCOMPARE(window->focusWidget(), target);
        QCOMPARE(window->txtDestination->text(), destinationAfter.replace(QLatin1String("%1"), folder));
        // The old file, found whatever its letter case, is replaced by the lower-case name in the box.
        QCOMPARE(readAll(old), answer == 0 ? QByteArray("old\n") : QByteArray());
        QCOMPARE(QFileInfo::exists(old), answer == 0);
        QCOMPARE(output(), answer == 1 ? directOutput() : QByteArray());
        if (answer != 1) // nothing ran, so not even the format check touched the source
            QCOMPARE(readAll(path(QStringLiteral("Cube.obj"))), m_mesh);
    }

    void liveControls()
    {
        // Every control away from its default, X grayed (which counts as clear) and Y clear; the noise
        // pass reads the boxes as it goes, so clearing Z mid-run shows from the next record on. A second
        // Convert, by click or Alt+C, does nothing while the run goes.
        const auto window = open(400, true);
        window->txtIntensity->setText(QStringLiteral("2.5"));
        window->cmbAlgorithm->setCurrentIndex(jf::Squared);
        window->chkX->setCheckState(Qt::PartiallyChecked);
        window->chkY->setChecked(false);
        window->chkNormals->setChecked(true);
        window->chkSplit->setChecked(true);
        QStringList phases;
        QList<bool> seen; // Convert on, the rest on, the status closed, the status still shown
        int servings = 0;
        convertWith(*window, [&] {
            const QString phase = phaseOf(*window);
            if (!phase.isEmpty() && phases.value(phases.size() - 1) != phase)
                phases.append(phase);
            if (phase == kNoise && ++servings == 200)
                window->chkZ->setChecked(false);
            if (phase != kScan || !seen.isEmpty())
                return;
            seen = {window->cmdConvert->isEnabled(),
                    window->txtSource->isEnabled() && window->chkX->isEnabled(), window->status()->close(),
                    window->status()->isVisible()};
            window->cmdConvert->click();
            QTest::keyClick(window.get(), Qt::Key_C, Qt::AltModifier);
        });
        QCOMPARE(seen, (QList<bool>{false, true, false, true}));
        // A second run would have found the destination that the first one writes, and asked about it.
        QCOMPARE(m_fakes->messages.shown.size(), 0);
        QVERIFY(window->cmdConvert->isEnabled());
        QVERIFY2(phases == (QStringList{kCheck, kScan, kNoise}), qPrintable(phases.join(QStringLiteral(" | "))));
        QVERIFY2(!window->status()->isVisible(), "the status window is hidden after the run");
        QCOMPARE(window->status()->windowTitle(), QStringLiteral("Convert"));
        QCOMPARE(readAll(path(QStringLiteral("Cube.obj"))), m_mesh); // in normal form, so left as it was

        jf::test::FakeOptions options;
        options.intensity = "2.5";
        options.algorithm = jf::Squared;
        options.x = jf::Grayed, options.y = jf::Unchecked, options.normals = options.split = jf::Checked;
        const QList<QByteArray> before = directOutput(options).split('\n');
        options.z = jf::Unchecked;
        const QList<QByteArray> after = directOutput(options).split('\n');
        const QList<QByteArray> lines = output().split('\n');
        QCOMPARE(lines.size(), before.size());
        qsizetype change = 0;
        while (change < lines.size() && lines[change] == before[change])
            ++change;
        QVERIFY2(change > 10 && lines.mid(change) == after.mid(change),
                 qPrintable(QStringLiteral("changed at line %1 of %2").arg(change).arg(lines.size())));
    }

    void stopInPhase_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<bool>("closeWindow"); // else Cancel
        for (const bool close : {false, true}) {
            for (const QString& phase : {kCheck, kScan, kNoise})
                QTest::addRow("%s in %s", close ? "close" : "cancel", qPrintable(phase)) << phase << close;
        }
    }

    void stopInPhase()
    {
        QFETCH(QString, phase);
        QFETCH(bool, closeWindow);
        const auto window = open(2000, phase == kScan);
        int servings = 0;
        QString last, marked;
        bool closedAtOnce = false;
        convertWith(*window, [&] {
            const QString now = phaseOf(*window);
            last = now.isEmpty() ? last : now;
            if (now != phase || ++servings != 5)
                return;
            if (closeWindow)
                closedAtOnce = window->close();
            else if (phase == kScan) // Esc cancels as the button does
                QTest::keyClick(window->status(), Qt::Key_Escape);
            else
                window->status()->Command1->click();
            marked = phaseOf(*window);
        });

        QCOMPARE(m_fakes->messages.shown.size(), 0);
        QVERIFY(!window->status()->isVisible());
        const QByteArray full = directOutput();
        // A stopped check leaves the source as it was; once it has run, the source is in normal form.
        QCOMPARE(readAll(path(QStringLiteral("Cube.obj"))),
                 phase == kCheck || phase == kScan ? m_mesh : QByteArray(m_mesh).replace("\n", "\r\n"));
        if (closeWindow) {
            // The close waits for the run, which starts no later phase; then the window goes.
            QVERIFY(!closedAtOnce && !window->isVisible());
            QVERIFY(storedSettings().contains("Settings/MainLeft"));
            QCOMPARE(last, phase);
        } else {
            QVERIFY(window->isVisible());
            QCOMPARE(marked, phase + QStringLiteral("cancel")); // the user sees the press at once
            // A cancelled format check or scan does not stop the run: the noise pass still goes through.
            QCOMPARE(last, kNoise);
        }
        if (phase == kNoise) {
            QVERIFY2(!output().isEmpty() && output().size() < full.size() && output().endsWith("\r\n"),
                     "stopped early");
            QVERIFY2(full.startsWith(output()), "the destination holds the first records, whole");
        } else if (closeWindow) {
            QVERIFY(!QFileInfo::exists(path(QStringLiteral("cube_n.obj"))));
        } else {
            QCOMPARE(output().count('\n'), full.count('\n'));
            QCOMPARE(output() == full, phase == kCheck); // the scan's extents were cut short
        }
    }

    void session()
    {
        m_mesh = meshText(12000);
        QVERIFY(writeAll(path("Broken.obj"), "v 1 2 3\nv 4 5\nf 1 2 3\n"));
        m_plainOutput = directOutput();
        QVERIFY(m_plainOutput.size() > 64 * 1024);

        frmMain1 window(m_fakes->services());
        window.setDayClock(fixedDay());
        window.events().setServeInterval(0); // events served at every chunk: many servings in every phase
        window.setChunkBytes(4096);
        window.show();
        QElapsedTimer clock;
        clock.start();
        Holdings settled;
        for (int number = 1; number <= kRuns; ++number) {
            convert(window, Run((number - 1) % kKinds), QStringLiteral("run %1").arg(number));
            if (QTest::currentTestFailed())
                return;
            if (number == kWarmUp) {
                settled = Holdings();
            } else if (number > kWarmUp && number % kKinds == 0) {
                // A helper thread that was joined may stay listed for a moment while the kernel ends it.
                const bool givenBack = QTest::qWaitFor([&] { return Holdings().within(settled); }, 1000);
                QVERIFY2(givenBack, qPrintable(QStringLiteral("after run %1: %2; after run %3: %4")
                                                   .arg(kWarmUp)
                                                   .arg(settled.text())
                                                   .arg(number)
                                                   .arg(Holdings().text())));
            }
        }
        qInfo("%d runs in %lld ms; %s", kRuns, clock.elapsed(), qPrintable(settled.text()));
        QVERIFY(window.close());
    }
};

QTEST_MAIN(TestConvert)
#include "tst_ui_convert.moc"
