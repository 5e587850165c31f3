// The range window: its layout, the markers following the mouse, the labels, the picture,
// and the modal exchange.
#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QtTest>

#include "range/RangeGeometry.h"
#include "range/qt/Range.h"

using karvo::TFormRange;

namespace {

void SendMouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
               Qt::MouseButtons held) {
  QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)), button, held, Qt::NoModifier);
  QApplication::sendEvent(w, &event);
}

void Press(QWidget* w, Qt::MouseButton button, QPoint pos) {
  SendMouse(w, QEvent::MouseButtonPress, pos, button, button);
}
void Move(QWidget* w, QPoint pos, Qt::MouseButtons held) {
  SendMouse(w, QEvent::MouseMove, pos, Qt::NoButton, held);
}
void Release(QWidget* w, Qt::MouseButton button, QPoint pos) {
  SendMouse(w, QEvent::MouseButtonRelease, pos, button, Qt::NoButton);
}

QRgb Pixel(const TFormRange& form, int x, int y) {
  return form.RangeBitmap->pixel(x, y) & 0xFFFFFF;
}

}  // namespace

class RangeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void createdLikeItsDescription() {
    TFormRange form;
    QCOMPARE(form.windowTitle(), QString("Output Range Settings."));
    QCOMPARE(form.size(), QSize(689, 117));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(form.windowFlags() & Qt::WindowMinimizeButtonHint));
    QCOMPARE(form.PanelRange->geometry(), QRect(0, 84, 689, 33));
    QCOMPARE(form.Label9->text(), QString("Measuring range for analog output:"));
    for (QLabel* label : {form.LabelBgn, form.LabelRang, form.LabelEnd}) {
      QCOMPARE(label->text(), QString("none mm"));
      QVERIFY(label->font().bold());
      QCOMPARE(label->font().pixelSize(), 16);
    }
    QCOMPARE(form.LabelBgn->pos(), QPoint(267, 5));
    QCOMPARE(form.LabelRang->pos(), QPoint(427, 5));
    QCOMPARE(form.LabelEnd->pos(), QPoint(571, 5));
    // The caption must end before the begin value, whatever font stands in.
    QVERIFY(form.Label9->geometry().right() < form.LabelBgn->x());
    QCOMPARE(form.WindowBegin, 0);
    QCOMPARE(form.WindowEnd, 100);
    QCOMPARE(form.FullScale, 100);
    QCOMPARE(form.DragMarker, uint8_t{TFormRange::DRAG_NONE});
    QVERIFY(!form.RangeBitmap);
  }

  void clicksMoveTheMarkers_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("x");
    QTest::addColumn<int>("begin");
    QTest::addColumn<int>("end");
    QTest::addColumn<int>("marker");
    QTest::newRow("left at the scale's start") << int(Qt::LeftButton) << 10 << 0 << 90 << 0;
    QTest::newRow("left at its end") << int(Qt::LeftButton) << 678 << 100 << 90 << 0;
    QTest::newRow("left in the middle") << int(Qt::LeftButton) << 344 << 50 << 90 << 0;
    QTest::newRow("left truncates") << int(Qt::LeftButton) << 16 << 0 << 90 << 0;
    QTest::newRow("left of the scale") << int(Qt::LeftButton) << 5 << 0 << 90 << 0;
    QTest::newRow("right of the scale") << int(Qt::LeftButton) << 688 << 100 << 90 << 0;
    QTest::newRow("right button sets the end") << int(Qt::RightButton) << 200 << 10 << 28 << 1;
    QTest::newRow("middle button does nothing") << int(Qt::MiddleButton) << 344 << 10 << 90 << 2;
  }
  void clicksMoveTheMarkers() {
    QFETCH(int, button);
    QFETCH(int, x);
    QFETCH(int, begin);
    QFETCH(int, end);
    QFETCH(int, marker);
    TFormRange form;
    form.WindowBegin = 10;
    form.WindowEnd = 90;
    form.show();
    Press(&form, Qt::MouseButton(button), QPoint(x, 40));
    QCOMPARE(form.WindowBegin, begin);
    QCOMPARE(form.WindowEnd, end);
    QCOMPARE(int(form.DragMarker), marker);
    if (marker != TFormRange::DRAG_NONE) {
      QCOMPARE(form.LabelBgn->text(), QString("%1 %").arg(begin));
      QCOMPARE(form.LabelEnd->text(), QString("%1 %").arg(end));
      QCOMPARE(form.LabelRang->text(), QString("%1 %").arg(end - begin));
    }
    Release(&form, Qt::MouseButton(button), QPoint(x, 40));
    QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_NONE));
  }

  void dragFollowsTheMouseWithinTheScale() {
    TFormRange form;
    form.show();
    Press(&form, Qt::LeftButton, QPoint(344, 30));
    QCOMPARE(form.WindowBegin, 50);
    const struct {
      QPoint pos;
      int begin;
    } steps[] = {
        {{500, 30}, 73}, {{750, 30}, 100},  // past the right end: lowered to 100
        {{-100, 10}, 0}, {{200, 83}, 28},   // past the left end: raised to 0
        {{600, 84}, 28}, {{600, 110}, 28},  // over the panel: nothing changes
    };
    for (const auto& step : steps) {
      Move(&form, step.pos, Qt::LeftButton);
      QCOMPARE(form.WindowBegin, step.begin);
      QCOMPARE(form.WindowEnd, 100);
    }
    Release(&form, Qt::LeftButton, QPoint(600, 110));
    Move(&form, QPoint(400, 30), Qt::NoButton);
    QCOMPARE(form.WindowBegin, 28);
  }

  void beginMayPassTheEnd() {
    TFormRange form;
    form.show();
    Press(&form, Qt::RightButton, QPoint(279, 30));  // 269 * 100 / 668 = 40
    Release(&form, Qt::RightButton, QPoint(279, 30));
    Press(&form, Qt::LeftButton, QPoint(412, 30));  // 402 * 100 / 668 = 60
    QCOMPARE(form.WindowBegin, 60);
    QCOMPARE(form.WindowEnd, 40);
    QCOMPARE(form.LabelRang->text(), QString("-20 %"));
  }

  void panelAndLabelsEndADragButNeverStartOne() {
    TFormRange form;
    form.show();
    for (QWidget* w : std::initializer_list<QWidget*>{form.PanelRange, form.Label9, form.LabelBgn,
                                                      form.LabelRang, form.LabelEnd}) {
      Press(&form, Qt::RightButton, QPoint(344, 30));
      QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_END));
      Release(w, Qt::RightButton, QPoint(2, 2));
      QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_NONE));

      // A press that starts on the panel does not reach the form.
      form.WindowBegin = 0;
      Press(w, Qt::LeftButton, QPoint(3, 3));
      Move(w, QPoint(300, 3), Qt::LeftButton);
      QCOMPARE(form.WindowBegin, 0);
      QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_NONE));
      Release(w, Qt::LeftButton, QPoint(300, 3));
    }
  }

  void drawsTheScaleTheBandAndTheMarkers() {
    TFormRange form;
    form.WindowBegin = 20;
    form.WindowEnd = 70;
    form.show();
    QVERIFY(form.RangeBitmap);
    QCOMPARE(form.RangeBitmap->size(), QSize(689, 84));
    const int xb = 668 * 20 / 100 + 10;  // 143
    const int xe = 668 * 70 / 100 + 10;  // 477
    QCOMPARE(Pixel(form, xb, 30), qRgb(255, 0, 0) & 0xFFFFFF);
    QCOMPARE(Pixel(form, xe, 30), qRgb(0, 0, 255) & 0xFFFFFF);
    QCOMPARE(Pixel(form, 3, 30), 0u);               // black ground left of the scale
    QCOMPARE(Pixel(form, 600, 30) & 0x00FF00, 0u);  // no hatching beyond the end
    const auto columnHas = [&](int x, QRgb colour) {
      for (int y = 0; y <= 64; ++y)
        if (Pixel(form, x, y) == (colour & 0xFFFFFF)) return true;
      return false;
    };
    // The band between the markers is hatched green, the ticks dotted grey, the 10 % tick
    // at x 76.
    QVERIFY(columnHas(300, qRgb(0, 128, 0)));
    QVERIFY(columnHas(76, qRgb(128, 128, 128)));
    QVERIFY(!columnHas(75, qRgb(128, 128, 128)));
    // White tick labels below the base line.
    bool white = false;
    for (int x = 0; x < 689 && !white; ++x)
      for (int y = 67; y < 84 && !white; ++y) white = Pixel(form, x, y) == 0xFFFFFF;
    QVERIFY(white);

    // Dragging the end marker redraws at once.
    Press(&form, Qt::RightButton, QPoint(611, 30));  // 601 * 100 / 668 = 89
    QCOMPARE(Pixel(form, 668 * 89 / 100 + 10, 30), qRgb(0, 0, 255) & 0xFFFFFF);
    QCOMPARE(form.LabelEnd->text(), QString("89 %"));

    form.hide();
    QVERIFY(!form.RangeBitmap);
  }

  void editIsModalAndHandsBackWhatWasSet() {
    QWidget owner;
    owner.resize(639, 716);
    owner.show();
    TFormRange form(&owner);
    QTimer::singleShot(50, &form, [&form] {
      QVERIFY(form.isModal() || QApplication::activeModalWidget() == &form);
      Press(&form, Qt::LeftButton, QPoint(178, 30));  // 25
      Release(&form, Qt::LeftButton, QPoint(178, 30));
      Press(&form, Qt::RightButton, QPoint(511, 30));  // 75
      Release(&form, Qt::RightButton, QPoint(511, 30));
      form.close();
    });
    int32_t begin = 5, end = 95;
    form.Edit(begin, end);
    QCOMPARE(begin, 25);
    QCOMPARE(end, 75);
    QCOMPARE(karvo::PercentToScaleCode(begin), 4096);
    QCOMPARE(karvo::PercentToScaleCode(end), 12288);
    QVERIFY(!form.isVisible());
    QVERIFY(!form.RangeBitmap);

    // Shown again, it starts from the values handed in and draws afresh.
    QTimer::singleShot(50, &form, [&form] {
      QCOMPARE(form.LabelBgn->text(), QString("0 %"));
      QVERIFY(form.RangeBitmap);
      form.close();
    });
    begin = 0;
    end = 100;
    form.Edit(begin, end);
    QCOMPARE(begin, 0);
    QCOMPARE(end, 100);
  }
};

QTEST_MAIN(RangeWindowTest)
#include "RangeWindowTest.moc"
