#include "engine/host.h"
#include "ui/frmmain1.h"
#include "ui/frmstatus.h"
#include "ui/testing/fakes.h"
#include "ui/testing/support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using jf::frmMain1;
using jf::MessageBoxes;
using namespace jf::testing;

namespace {

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
    void wholeConversion_data();
    void wholeConversion();
    void checkBoxClearedMidRun();
    void stopInPhase_data();
    void stopInPhase();
    void duringRun();

private:
    QString path(const QString& name) const { return m_dir->filePath(name); }
    void prepare(int vertices);
    std::unique_ptr<frmMain1> open(int throttle = 0);
    // The output of the same conversion run by the engine without a window, on the same day.
    QByteArray directOutput(const PlainOptions& options = {})
    {
        return jf::testing::directOutput(m_mesh, path(QStringLiteral("direct")), options);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Fakes> m_fakes;
    QByteArray m_mesh;
};

void TestConvert::init()
{
    m_fakes = std::make_unique<Fakes>();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid() && QDir(m_dir->path()).mkpath(QStringLiteral("direct")));
    isolateSettings(path(QStringLiteral("settings")));
    jf::CancelRequested.store(jf::kFalse);
}

void TestConvert::prepare(int vertices)
{
    m_mesh = meshText(vertices);
    QVERIFY(writeFile(path(QStringLiteral("Cube.obj")), m_mesh));
}

std::unique_ptr<frmMain1> TestConvert::open(int throttle)
{
    auto window = std::make_unique<frmMain1>(m_fakes->services());
    window->setDayClock(fixedDay());
    window->txtSource->setText(lower(path(QStringLiteral("Cube.obj"))));
    window->txtDestination->setText(lower(path(QStringLiteral("Cube_n.obj"))));
    if (throttle > 0)
        window->events().setThrottle(throttle, 0);
    window->show();
    return window;
}

void TestConvert::messages_data()
{
    QTest::addColumn<QString>("source");      // in the test's folder; empty for an empty box
    QTest::addColumn<QString>("destination"); // "%1" is the test's folder, lower-cased
    QTest::addColumn<int>("answer");          // -1: no old destination; else OK (1) or Cancel (0)
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("destinationAfter");

    const QString same = QStringLiteral(
        "The source and destination files are the same. Choose another name for the destination file.");
    const QString exists = QStringLiteral("The destination file %1/cube_n.obj exists. Overwrite?");
    QTest::newRow("missing source") << "Missing.obj" << "out.obj" << -1
                                    << "Can't locate the source file %1/missing.obj" << "txtSource"
                                    << "out.obj";
    QTest::newRow("empty source") << "" << "out.obj" << -1 << "Can't locate the source file "
                                  << "txtSource" << "out.obj";
    QTest::newRow("blank destination") << "Cube.obj" << "   " << -1
                                       << "You must specify a destination file." << "txtDestination"
                                       << "   ";
    // A bare name is completed in the source's folder, and then it is the source.
    QTest::newRow("completed to the source") << "Cube.obj" << "CUBE" << -1 << same << "txtDestination"
                                             << "%1/cube.obj";
    QTest::newRow("source in another case") << "Cube.obj" << "%1/CUBE.OBJ" << -1 << same
                                            << "txtDestination" << "%1/cube.obj";
    QTest::newRow("a link to the source") << "Cube.obj" << "%1/link.obj" << -1 << same << "txtDestination"
                                          << "%1/link.obj";
    QTest::newRow("overwrite, OK") << "Cube.obj" << "CUBE_N" << 1 << exists << "cmdConvert"
                                   << "%1/cube_n.obj";
    QTest::newRow("overwrite, Cancel") << "Cube.obj" << "CUBE_N" << 0 << exists << "cmdConvert"
                                       << "%1/cube_n.obj";
}

void TestConvert::messages()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(int, answer);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    QFETCH(QString, destinationAfter);

    prepare(50);
    QVERIFY(QFile::link(path(QStringLiteral("Cube.obj")), path(QStringLiteral("Link.obj"))));
    if (answer >= 0)
        QVERIFY(writeFile(path(QStringLiteral("cube_n.obj")), "old\n"));
    const QString folder = lower(m_dir->path());
    const auto window = open();
    window->txtSource->setText(source.isEmpty() ? QString() : lower(path(source)));
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
    QCOMPARE(readFile(path(QStringLiteral("cube_n.obj"))),
             answer == 1 ? directOutput() : answer == 0 ? QByteArray("old\n") : QByteArray());
    if (answer != 1) // nothing ran, so not even the format check touched the source
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

    prepare(300);
    const auto window = open(1);
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

    const auto value = [&checks](int i) {
        return checks[i] == 2 ? jf::Checked : checks[i] == 1 ? jf::Grayed : jf::Unchecked;
    };
    PlainOptions options;
    options.intensity = intensity.toStdString();
    options.algorithm = algorithm;
    options.x = value(0), options.y = value(1), options.z = value(2);
    options.normals = value(3), options.split = value(4);
    const QByteArray output = readFile(path(QStringLiteral("cube_n.obj")));
    QVERIFY(output.count("\r\nv ") >= 299);
    QVERIFY2(output == directOutput(options), "the window's conversion differs from the engine's");
    QCOMPARE(readFile(path(QStringLiteral("Cube.obj"))), QByteArray(m_mesh).replace("\n", "\r\n"));
}

void TestConvert::checkBoxClearedMidRun()
{
    // The noise pass reads the boxes as it goes, so a change shows from the next yield on.
    prepare(400);
    const auto window = open(1);
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
    QVERIFY2(change > 10 && output.mid(change) == after.mid(change),
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
    prepare(2000);
    const auto window = open(1);
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
        QVERIFY(storedSettings().contains("Settings/MainLeft"));
        if (phase != kNoise)
            QVERIFY(!QFileInfo::exists(path(QStringLiteral("cube_n.obj"))));
    } else {
        QCOMPARE(marked, phase + QStringLiteral("cancel"));
        QVERIFY(window->isVisible());
        // A cancelled format check or scan does not stop the run: the noise pass still goes through.
        QCOMPARE(phases.last(), kNoise);
    }
    if (phase == kNoise) {
        QVERIFY2(!output.isEmpty() && output.size() < full.size() && output.endsWith("\r\n"), "stopped early");
        QVERIFY2(full.startsWith(output), "the destination holds the first records, whole");
    } else if (!closeWindow) {
        QCOMPARE(lines(output).size(), lines(full).size());
        QCOMPARE(output == full, phase == kCheck); // the scan's extents were cut short
    }
}

void TestConvert::duringRun()
{
    prepare(500);
    const auto window = open(1);
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

QTEST_MAIN(TestConvert)
#include "tst_ui_convert.moc"
