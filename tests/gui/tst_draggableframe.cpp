#include "gui/draggableframe.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

// Rows dragged for real: QDrag runs Qt's own drag loop (the "minimal" platform has one; the
// offscreen platform drops every drag at once). The drag starts where the pointer is and
// is called off with Escape from inside the loop.
class tst_DraggableFrame : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void enteringAnotherRowMovesTheDraggedOne();
    void rowDraggedOverItselfEmitsNothing();

private:
    // Drags `dragged` with the pointer over `over`; the rows' drop reports are recorded.
    void drag(DraggableFrame *dragged, DraggableFrame *over);

    QWidget m_page;
    DraggableFrame *m_first = nullptr;
    DraggableFrame *m_second = nullptr;
    QList<std::pair<DraggableFrame *, DraggableFrame *>> m_drops;
};

void tst_DraggableFrame::initTestCase()
{
    auto *layout = new QHBoxLayout(&m_page);
    m_first = new DraggableFrame;
    m_second = new DraggableFrame;
    for (DraggableFrame *row : {m_first, m_second}) {
        row->setMinimumSize(120, 60);
        layout->addWidget(row);
        connect(row, &DraggableFrame::onFrameDropped, this,
                [this](DraggableFrame *original, DraggableFrame *target) { m_drops.append(std::make_pair(original, target)); });
    }
    m_page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_page));
}

void tst_DraggableFrame::drag(DraggableFrame *dragged, DraggableFrame *over)
{
    m_drops.clear();
    QWindow *window = m_page.windowHandle();
    QTest::mouseMove(window, over->mapTo(&m_page, over->rect().center()));
    QTimer::singleShot(0, window, [window] { QTest::keyClick(window, Qt::Key_Escape); });
    // The row itself logs every drag that enters it.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^DraggableFrame::drag "));
    dragged->startDraggingOperation();
}

void tst_DraggableFrame::enteringAnotherRowMovesTheDraggedOne()
{
    drag(m_first, m_second);
    QCOMPARE(m_drops.size(), 1);
    QCOMPARE(m_drops[0].first, m_first);
    QCOMPARE(m_drops[0].second, m_second);
    // The dragged row is shown faded only while the drag runs.
    QVERIFY(!m_first->graphicsEffect());
}

void tst_DraggableFrame::rowDraggedOverItselfEmitsNothing()
{
    drag(m_second, m_second);
    QCOMPARE(m_drops.size(), 0);
}

QTEST_MAIN(tst_DraggableFrame)
#include "tst_draggableframe.moc"
