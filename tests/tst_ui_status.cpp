#include "ui/testing/support.h"

using jf::frmStatus;

class TestStatus : public QObject
{
    Q_OBJECT

private slots:
    void bar_data()
    {
        QTest::addColumn<float>("max");
        QTest::addColumn<float>("value");
        QTest::addColumn<int>("steps");
        QTest::newRow("half way") << 1001.0f << 501.0f << frmStatus::kBarSteps / 2;
        // Sizes past what a 32-bit bar can hold are scaled, not wrapped.
        QTest::newRow("over 2 GiB") << 3.0e9f << 1.5e9f << frmStatus::kBarSteps / 2;
        QTest::newRow("over 4 GiB, near the end") << 6.0e9f << 5.97e9f << 9950;
        // A maximum not above the minimum (an empty or one-byte source) shows an empty bar.
        QTest::newRow("empty source") << 0.0f << 1.0f << 0;
        QTest::newRow("one-byte source") << 1.0f << 1.0f << 0;
        QTest::newRow("beyond the maximum") << 100.0f << 500.0f << frmStatus::kBarSteps;
    }
    void bar()
    {
        QFETCH(float, max);
        QFETCH(float, value);
        QFETCH(int, steps);
        QWidget owner;
        frmStatus status(&owner);
        status.setMin(1.0f);
        status.setMax(max);
        status.setValue(1.0f);
        status.show();
        status.setValue(value);
        QVERIFY2(status.ProgressBar1->value() == 0, "the value waits for the next refresh");
        status.refresh();
        QCOMPARE(status.ProgressBar1->value(), steps);
    }
};

QTEST_MAIN(TestStatus)
#include "tst_ui_status.moc"
