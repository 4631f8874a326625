#include "engine/host.h"
#include "ui/frmmain1.h"
#include "ui/frmstatus.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

using jf::frmMain1;
using jf::MessageBoxes;
using jf::testing::lower;
using jf::testing::PlainOptions;
using jf::testing::readFile;

namespace {

const QString kCheck = QStringLiteral("Checking OBJ file format ...");
const QString kScan = QStringLiteral("scan for extents ...");
const QString kNoise = QStringLiteral("adding noise to verticies ...");

QString phaseOf(const frmMain1& window)
{
    const jf::frmStatus* status = window.status();
    return status != nullptr && status->isVisible() ? QString::fromStdString(status->label()) : QString();
}

// Presses Convert with `action` called each time the run serves its events.
void convertWith(frmMain1& window, const std::function<void()>& action)
{
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, action);
    timer.start(0);
    window.cmdConvert->click();
}

QList<QByteArray> lines(const QByteArray& text)
{
    return text.split('\n').mid(0, text.count('\n'));
}

} // namespace

class TestConvert : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void messages_data();
    void messages();
    void completion_data();
    void completion();
    void overwrite_data();
    void overwrite();
    void wholeConversion_data();
    void wholeConversion();
    void checkBoxClearedMidRun();
    void stopInPhase_data();
    void stopInPhase();
    void duringRun();
    void failure_data();
    void failure();
    void eventsServedDuringRun();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    // Writes the source Cube.obj, and a copy in direct/ for the engine run without a window.
    void prepare(const QByteArray& mesh);
    std::unique_ptr<frmMain1> open();
    // The output of the same conversion run by the engine without a window, on the same day.
    QByteArray directOutput(PlainOptions options = {});

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<jf::testing::Fakes> m_fakes;
    QByteArray m_mesh;
};

void TestConvert::init()
{
    m_fakes = std::make_unique<jf::testing::Fakes>();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("direct")));
    jf::testing::isolateSettings(path(QStringLiteral("settings")));
    jf::CancelRequested.store(jf::kFalse);
}

void TestConvert::prepare(const QByteArray& mesh)
{
    m_mesh = mesh;
    QVERIFY(jf::testing::writeFile(path(QStringLiteral("Cube.obj")), mesh));
}

std::unique_ptr<frmMain1> TestConvert::open()
{
    auto window = std::make_unique<frmMain1>(m_fakes->services());
    window->setDayClock(jf::testing::fixedDay());
    window->txtSource->setText(lower(path(QStringLiteral("Cube.obj"))));
    window->txtDestination->setText(lower(path(QStringLiteral("Cube_n.obj"))));
    window->show();
    return window;
}

QByteArray TestConvert::directOutput(PlainOptions options)
{
    const QString source = path(QStringLiteral("direct/Cube.obj"));
    const QString destination = path(QStringLiteral("direct/cube_n.obj"));
    QFile::remove(source);
    QFile::remove(destination);
    jf::testing::writeFile(source, m_mesh);
    options.source = QFile::encodeName(source).toStdString();
    options.destination = QFile::encodeName(destination).toStdString();
    const jf::CommandOutcome outcome = jf::testing::convertDirectly(options, jf::testing::fixedDay());
    if (outcome.kind != jf::CommandOutcome::Kind::Done)
        qWarning("the direct run did not finish: %s", outcome.message.c_str());
    return readFile(destination);
}

void TestConvert::messages_data()
{
    QTest::addColumn<QString>("source");      // in the test's folder; empty for an empty box
    QTest::addColumn<QString>("destination"); // "%1" is the test's folder, lower-cased
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("destinationAfter");

    const QString same = QStringLiteral(
        "The source and destination files are the same. Choose another name for the destination file.");
    QTest::newRow("missing source") << "Missing.obj"
                                    << "out.obj"
                                    << "Can't locate the source file %1/missing.obj"
                                    << "txtSource"
                                    << "out.obj";
    QTest::newRow("empty source") << ""
                                  << "out.obj"
                                  << "Can't locate the source file "
                                  << "txtSource"
                                  << "out.obj";
    QTest::newRow("blank destination") << "Cube.obj"
                                       << "   "
                                       << "You must specify a destination file."
                                       << "txtDestination"
                                       << "   ";
    QTest::newRow("completed to the source") << "Cube.obj"
                                             << "CUBE" << same << "txtDestination"
                                             << "%1/cube.obj";
    QTest::newRow("source in another case") << "Cube.obj"
                                            << "%1/CUBE.OBJ" << same << "txtDestination"
                                            << "%1/cube.obj";
    QTest::newRow("another name of the source") << "Cube.obj"
                                                << "%1/link.obj" << same << "txtDestination"
                                                << "%1/link.obj";
}

void TestConvert::messages()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    QFETCH(QString, destinationAfter);

    prepare(jf::testing::meshText(20));
    QVERIFY(QFile::link(path(QStringLiteral("Cube.obj")), path(QStringLiteral("Link.obj"))));
    const QString folder = lower(m_dir->path());
    const auto window = open();
    window->txtSource->setText(source.isEmpty() ? QString() : lower(path(source)));
    window->txtDestination->setText(destination.replace(QLatin1String("%1"), folder));
    window->cmdConvert->click();

    QCOMPARE(m_fakes->messages.shown.size(), 1);
    const auto& shown = m_fakes->messages.shown.first();
    QCOMPARE(shown.title, QStringLiteral("Problem"));
    QCOMPARE(shown.text, message.replace(QLatin1String("%1"), folder));
    QVERIFY(shown.buttons == MessageBoxes::Buttons::Ok);
    QWidget* target = window->findChild<QWidget*>(focus);
    QVERIFY2(shown.focus != target, "the focus moves only after the box has closed");
    QCOMPARE(window->focusWidget(), target);
    QCOMPARE(window->txtDestination->text(), destinationAfter.replace(QLatin1String("%1"), folder));
    QCOMPARE(readFile(path(QStringLiteral("Cube.obj"))), m_mesh);
    QVERIFY(window->cmdConvert->isEnabled());
}

void TestConvert::completion_data()
{
    QTest::addColumn<QString>("typed");    // "%1" is the test's folder, lower-cased
    QTest::addColumn<QString>("expected"); // the box afterwards
    QTest::addColumn<QString>("onDisk");   // the file written, in the test's folder

    QTest::newRow("name only") << "  Result  "
                               << "%1/result.obj"
                               << "result.obj";
    QTest::newRow("own folder, another case") << "%1/OTHER/Out.Obj"
                                              << "%1/other/out.obj"
                                              << "Other/out.obj";
}

void TestConvert::completion()
{
    QFETCH(QString, typed);
    QFETCH(QString, expected);
    QFETCH(QString, onDisk);

    prepare(jf::testing::meshText(20));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("Other")));
    const QString folder = lower(m_dir->path());
    const auto window = open();
    window->txtDestination->setText(typed.replace(QLatin1String("%1"), folder));
    window->cmdConvert->click();
    QVERIFY2(m_fakes->messages.shown.isEmpty(), qPrintable(m_fakes->messages.shown.value(0).text));
    QCOMPARE(window->txtDestination->text(), expected.replace(QLatin1String("%1"), folder));
    QCOMPARE(readFile(path(onDisk)), directOutput());
}

void TestConvert::overwrite_data()
{
    QTest::addColumn<bool>("ok");
    QTest::newRow("OK replaces it") << true;
    QTest::newRow("Cancel keeps it") << false;
}

void TestConvert::overwrite()
{
    QFETCH(bool, ok);
    prepare(jf::testing::meshText(50));
    QVERIFY(jf::testing::writeFile(path(QStringLiteral("cube_n.obj")), "old\n"));
    const auto window = open();
    window->txtDestination->setText(QStringLiteral("CUBE_N"));
    window->cmdConvert->setFocus();
    m_fakes->messages.answer = ok;
    window->cmdConvert->click();

    QCOMPARE(m_fakes->messages.shown.size(), 1);
    const auto& shown = m_fakes->messages.shown.first();
    const QString destination = lower(path(QStringLiteral("cube_n.obj")));
    QCOMPARE(shown.title, QStringLiteral("Problem"));
    QCOMPARE(shown.text, QStringLiteral("The destination file %1 exists. Overwrite?").arg(destination));
    QVERIFY(shown.buttons == MessageBoxes::Buttons::OkCancel);
    QCOMPARE(window->txtDestination->text(), destination);
    QCOMPARE(window->focusWidget(), window->cmdConvert);
    QCOMPARE(readFile(path(QStringLiteral("cube_n.obj"))), ok ? directOutput() : QByteArray("old\n"));
    if (!ok)
        QCOMPARE(readFile(path(QStringLiteral("Cube.obj"))), m_mesh);
}

void TestConvert::wholeConversion_data()
{
    QTest::addColumn<QString>("intensity");
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<QList<int>>("checks"); // X, Y, Z, normals, split as Qt::CheckState

    QTest::newRow("designed defaults") << "0.1" << 0 << QList<int>{2, 2, 2, 0, 0};
    QTest::newRow("squared, no Y, normals, quads split") << "2.5" << 1 << QList<int>{2, 0, 2, 2, 2};
    QTest::newRow("cubic, X grayed") << "1" << 2 << QList<int>{1, 2, 2, 0, 2};
    QTest::newRow("leading number of a text") << "3 percent" << 0 << QList<int>{2, 2, 0, 2, 0};
}

void TestConvert::wholeConversion()
{
    QFETCH(QString, intensity);
    QFETCH(int, algorithm);
    QFETCH(QList<int>, checks);

    prepare(jf::testing::meshText(300));
    const auto window = open();
    window->events().setThrottle(1, 0);
    window->txtIntensity->setText(intensity);
    window->cmbAlgorithm->setCurrentIndex(algorithm);
    const QList<QCheckBox*> boxes = {window->chkX, window->chkY, window->chkZ, window->chkNormals,
                                     window->chkSplit};
    for (qsizetype i = 0; i < boxes.size(); ++i)
        boxes[i]->setCheckState(Qt::CheckState(checks[i]));

    QStringList phases;
    convertWith(*window, [&] {
        const QString phase = phaseOf(*window);
        if (!phase.isEmpty() && phases.value(phases.size() - 1) != phase)
            phases.append(phase);
    });
    QCOMPARE(m_fakes->messages.shown.size(), 0);
    QCOMPARE(phases, (QStringList{kCheck, kScan, kNoise}));
    QVERIFY2(!window->status()->isVisible(), "the status window is hidden after the run");
    QCOMPARE(window->status()->windowTitle(), QStringLiteral("Convert"));

    const auto value = [](int state) {
        return state == 2 ? jf::Checked : state == 1 ? jf::Grayed : jf::Unchecked;
    };
    PlainOptions options;
    options.intensity = intensity.toStdString();
    options.algorithm = algorithm;
    options.x = value(checks[0]);
    options.y = value(checks[1]);
    options.z = value(checks[2]);
    options.normals = value(checks[3]);
    options.split = value(checks[4]);
    const QByteArray output = readFile(path(QStringLiteral("cube_n.obj")));
    QVERIFY(output.count("\r\nv ") >= 299);
    QVERIFY2(output == directOutput(options), "the window's conversion differs from the engine's");
    QCOMPARE(readFile(path(QStringLiteral("Cube.obj"))), QByteArray(m_mesh).replace("\n", "\r\n"));
}

void TestConvert::checkBoxClearedMidRun()
{
    prepare(jf::testing::meshText(400));
    const auto window = open();
    window->events().setThrottle(1, 0);
    int servings = 0;
    convertWith(*window, [&] {
        if (phaseOf(*window) == kNoise && ++servings == 200)
            window->chkX->setChecked(false);
    });
    PlainOptions withoutX;
    withoutX.x = jf::Unchecked;
    const QList<QByteArray> output = lines(readFile(path(QStringLiteral("cube_n.obj"))));
    const QList<QByteArray> before = lines(directOutput());
    const QList<QByteArray> after = lines(directOutput(withoutX));
    QCOMPARE(output.size(), before.size());
    qsizetype change = 0;
    while (change < output.size() && output[change] == before[change])
        ++change;
    QVERIFY2(
        change > 10 && output.mid(change) == after.mid(change),
        qPrintable(QStringLiteral("the records changed at line %1 of %2").arg(change).arg(output.size())));
}

void TestConvert::stopInPhase_data()
{
    QTest::addColumn<QString>("phase");
    QTest::addColumn<bool>("closeWindow"); // else Cancel
    for (const bool close : {false, true}) {
        for (const QString& phase : {kCheck, kScan, kNoise})
            QTest::addRow("%s in %s", close ? "close" : "cancel", qPrintable(phase)) << phase << close;
    }
}

void TestConvert::stopInPhase()
{
    QFETCH(QString, phase);
    QFETCH(bool, closeWindow);
    prepare(jf::testing::meshText(2000));
    const auto window = open();
    window->events().setThrottle(1, 0);
    QSignalSpy unloaded(window.get(), &frmMain1::unloaded);
    int servings = 0;
    QStringList phases;
    QString marked;
    bool closedAtOnce = false;
    convertWith(*window, [&] {
        const QString now = phaseOf(*window);
        if (!now.isEmpty() && phases.value(phases.size() - 1) != now)
            phases.append(now);
        if (now != phase || ++servings != 5)
            return;
        if (closeWindow) {
            closedAtOnce = window->close();
        } else {
            window->status()->Command1->click();
            marked = phaseOf(*window);
        }
    });

    QCOMPARE(m_fakes->messages.shown.size(), 0);
    QVERIFY(!window->status()->isVisible());
    const QByteArray output = readFile(path(QStringLiteral("cube_n.obj")));
    const QByteArray full = directOutput();
    if (phase == kCheck)
        QCOMPARE(readFile(path(QStringLiteral("Cube.obj"))), m_mesh);
    if (closeWindow) {
        // The close waits for the run, which starts no later phase; then the window goes.
        QVERIFY(!closedAtOnce);
        QVERIFY(!window->isVisible());
        QCOMPARE(unloaded.count(), 1);
        QVERIFY(QSettings(QStringLiteral("Jitterform"), QStringLiteral("Jitterform"))
                    .contains("Settings/MainLeft"));
        if (phase != kNoise)
            QVERIFY(!QFileInfo::exists(path(QStringLiteral("cube_n.obj"))));
    } else {
        QCOMPARE(marked, phase + QStringLiteral("cancel"));
        QVERIFY(window->isVisible());
        // A cancelled format check or scan does not stop the run: the noise pass still goes through.
        QCOMPARE(phases.last(), kNoise);
    }
    if (phase == kNoise) {
        QVERIFY2(!output.isEmpty() && output.size() < full.size() && output.endsWith("\r\n"),
                 "stopped early");
        QVERIFY2(full.startsWith(output), "the destination holds the first records, whole");
    } else if (!closeWindow) {
        QCOMPARE(lines(output).size(), lines(full).size());
        QCOMPARE(output == full, phase == kCheck); // the scan's extents were cut short
    }
}

void TestConvert::duringRun()
{
    prepare(jf::testing::meshText(500));
    const auto window = open();
    window->events().setThrottle(1, 0);
    QList<bool> seen; // Convert on, the rest on, the status closed, the status still shown
    convertWith(*window, [&] {
        if (!seen.isEmpty() || phaseOf(*window) != kScan)
            return;
        seen = {window->cmdConvert->isEnabled(), window->txtSource->isEnabled() && window->chkX->isEnabled(),
                window->status()->close(), window->status()->isVisible()};
        window->cmdConvert->click();
        QTest::keyClick(window.get(), Qt::Key_C, Qt::AltModifier);
    });
    QCOMPARE(seen, (QList<bool>{false, true, false, true}));
    // A second run would have found the destination that the first one writes, and asked about it.
    QCOMPARE(m_fakes->messages.shown.size(), 0);
    QVERIFY(window->cmdConvert->isEnabled());
    QCOMPARE(readFile(path(QStringLiteral("cube_n.obj"))), directOutput());
}

void TestConvert::failure_data()
{
    QTest::addColumn<QByteArray>("mesh");
    QTest::addColumn<QString>("destination"); // in the test's folder
    QTest::addColumn<QString>("fault");       // a part of the message

    QTest::newRow("destination folder missing") << jf::testing::meshText(20) << "nofolder/out.obj"
                                                << "does not exist";
    QTest::newRow("vertex without z") << QByteArray("v 1 2 3\nv 4 5\n") << "out.obj"
                                      << "needs three coordinates";
}

void TestConvert::failure()
{
    QFETCH(QByteArray, mesh);
    QFETCH(QString, destination);
    QFETCH(QString, fault);

    prepare(mesh);
    const auto window = open();
    window->txtDestination->setText(lower(path(destination)));
    window->cmdConvert->click();
    QCOMPARE(m_fakes->messages.shown.size(), 1);
    QCOMPARE(m_fakes->messages.shown.first().title, QStringLiteral("Problem"));
    QVERIFY2(m_fakes->messages.shown.first().text.contains(fault),
             qPrintable(m_fakes->messages.shown.first().text));
    QVERIFY(!window->status()->isVisible());
    QVERIFY(!QFileInfo::exists(path(destination)));

    // The window stays usable.
    QVERIFY(jf::testing::writeFile(path(QStringLiteral("Cube.obj")), jf::testing::meshText(20)));
    window->txtDestination->setText(lower(path(QStringLiteral("fine.obj"))));
    window->cmdConvert->click();
    QCOMPARE(m_fakes->messages.shown.size(), 1);
    QVERIFY(QFileInfo(path(QStringLiteral("fine.obj"))).size() > 0);
}

void TestConvert::eventsServedDuringRun()
{
    // Big enough for each phase to serve the events many times at the yield's own pace.
    prepare(jf::testing::meshText(150000));
    const auto window = open();
    QElapsedTimer clock;
    clock.start();
    QList<std::pair<qint64, QString>> firings;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (window->isRunning())
            firings.append({clock.elapsed(), phaseOf(*window)});
    });
    ticker.start(2);
    window->cmdConvert->click();
    ticker.stop();
    // Within a phase; between the format check and the scan the engine makes the rewritten source
    // durable (fsync) outside any yield.
    qint64 longestGap = 0;
    for (qsizetype i = 1; i < firings.size(); ++i) {
        if (firings[i].second == firings[i - 1].second)
            longestGap = std::max(longestGap, firings[i].first - firings[i - 1].first);
        if (firings[i].first - firings[i - 1].first > 30)
            qDebug() << firings[i - 1].first << firings[i].first << firings[i - 1].second << firings[i].second;
    }
    QVERIFY2(firings.size() >= 5 && longestGap < 50,
             qPrintable(
                 QStringLiteral("served %1 times, %2 ms apart at most").arg(firings.size()).arg(longestGap)));

    // Cancel takes effect at once: the noise pass ends and the run returns.
    qint64 pressed = -1;
    QTimer canceller;
    QObject::connect(&canceller, &QTimer::timeout, [&] {
        if (pressed < 0 && phaseOf(*window) == kNoise) {
            window->status()->Command1->click();
            pressed = clock.elapsed();
        }
    });
    canceller.start(1);
    window->cmdConvert->click(); // the fake answers OK to the overwrite question
    const qint64 returned = clock.elapsed();
    QVERIFY2(pressed >= 0 && returned - pressed < 50,
             qPrintable(QStringLiteral("%1 ms").arg(returned - pressed)));
}

QTEST_MAIN(TestConvert)
#include "tst_ui_convert.moc"
