#include "engine/host.h"
#include "ui/eventyield.h"
#include "ui/frmstatus.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using jf::EventYield;
using jf::frmStatus;

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void init() { jf::CancelRequested.store(jf::kFalse); }
    void bar_data();
    void bar();
    void cancel_data();
    void cancel();
    void closeIsRefused();
    void yieldPace();
};

void TestStatus::bar_data()
{
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("steps");

    QTest::newRow("half way") << 1.0f << 1001.0f << 501.0f << frmStatus::kBarSteps / 2;
    // Sizes past what a 32-bit bar can hold are scaled, not wrapped.
    QTest::newRow("over 2 GiB") << 1.0f << 3.0e9f << 1.5e9f << frmStatus::kBarSteps / 2;
    QTest::newRow("over 4 GiB, near the end") << 1.0f << 6.0e9f << 5.97e9f << 9950;
    // A maximum not above the minimum (empty or one-byte source) shows an empty bar.
    QTest::newRow("empty source") << 1.0f << 0.0f << 1.0f << 0;
    QTest::newRow("one-byte source") << 1.0f << 1.0f << 1.0f << 0;
    QTest::newRow("beyond the maximum") << 1.0f << 100.0f << 500.0f << frmStatus::kBarSteps;
}

void TestStatus::bar()
{
    QFETCH(float, min);
    QFETCH(float, max);
    QFETCH(float, value);
    QFETCH(int, steps);

    QWidget owner;
    frmStatus status(&owner);
    status.setMin(min);
    status.setMax(max);
    status.setValue(min);
    status.show();
    status.setValue(value);
    QVERIFY2(status.ProgressBar1->value() == 0, "the value waits for the next refresh");
    status.refresh();
    QCOMPARE(status.ProgressBar1->value(), steps);
}

void TestStatus::cancel_data()
{
    QTest::addColumn<bool>("byEsc");
    QTest::newRow("button") << false;
    QTest::newRow("Esc") << true;
}

void TestStatus::cancel()
{
    QFETCH(bool, byEsc);
    QWidget owner;
    frmStatus status(&owner);
    status.setLabel("Checking OBJ file format ...");
    status.show();
    for (const char* expected :
         {"Checking OBJ file format ...cancel", "Checking OBJ file format ...cancelcancel"}) {
        if (byEsc)
            QTest::keyClick(&status, Qt::Key_Escape);
        else
            status.Command1->click();
        QCOMPARE(status.label(), std::string(expected));
        QCOMPARE(jf::CancelRequested.load(), jf::kTrue);
        QVERIFY2(status.isVisible(), "hiding the window is the run's business");
    }
}

void TestStatus::closeIsRefused()
{
    QWidget owner;
    frmStatus status(&owner);
    status.show();
    QVERIFY(QTest::qWaitForWindowExposed(&status));
    // The frame's close button and Alt+F4 both arrive as this close request.
    QVERIFY(!status.close());
    QCoreApplication::processEvents();
    QVERIFY(status.isVisible());
    QCOMPARE(jf::CancelRequested.load(), jf::kFalse);
}

void TestStatus::yieldPace()
{
    // The window stays live during a run, yet the yield costs next to nothing at each record.
    EventYield events;
    events.start();
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longestGap = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    timer.start(1);
    long long calls = 0;
    for (; clock.elapsed() < 300; ++calls)
        events.yield();
    QVERIFY2(last > 250 && longestGap < 50, qPrintable(QStringLiteral("a gap of %1 ms").arg(longestGap)));
    QVERIFY2(calls > 100000 && events.servings() <= 300 / EventYield::kServeIntervalMs + 2,
             qPrintable(QStringLiteral("%1 calls, served %2 times").arg(calls).arg(events.servings())));
}

QTEST_MAIN(TestStatus)
#include "tst_ui_status.moc"
