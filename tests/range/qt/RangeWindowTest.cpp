// The range window: the markers and labels following the mouse, the panel keeping the mouse
// to itself, and the picture. The scale's arithmetic is tested on its own; the modal exchange
// with the grid in the grid's test.
#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QtTest>
#include <tuple>

#include "range/qt/Range.h"

using karvo::TFormRange;

namespace {

void Mouse(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
  QMouseEvent event(type, QPointF(pos), w->mapToGlobal(QPointF(pos)),
                    type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
  QApplication::sendEvent(w, &event);
}

QRgb Pixel(const TFormRange& form, int x, int y) {
  return form.RangeBitmap->pixel(x, y) & 0xFFFFFF;
}

}  // namespace

class RangeWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void thePictureAndTheMarkersFollowTheMouse() {
    TFormRange form;
    form.WindowBegin = 20;
    form.WindowEnd = 70;
    form.show();
    QCOMPARE(Pixel(form, 143, 30), 0xFF0000u);      // begin marker at 668 * 20 / 100 + 10
    QCOMPARE(Pixel(form, 477, 30), 0x0000FFu);      // end marker at 668 * 70 / 100 + 10
    QCOMPARE(Pixel(form, 3, 30), 0u);               // black ground left of the scale
    QCOMPARE(Pixel(form, 600, 30) & 0x00FF00, 0u);  // no hatching beyond the end
    const auto columnHas = [&](int x, QRgb colour) {
      for (int y = 0; y <= 64; ++y)
        if (Pixel(form, x, y) == colour) return true;
      return false;
    };
    QVERIFY(columnHas(300, 0x008000));  // the band is hatched green
    QVERIFY(columnHas(76, 0x808080));   // the 10 % tick, dotted grey
    QVERIFY(!columnHas(75, 0x808080));

    const auto P = QEvent::MouseButtonPress, M = QEvent::MouseMove, R = QEvent::MouseButtonRelease;
    const Qt::MouseButton L = Qt::LeftButton;
    const std::tuple<QEvent::Type, Qt::MouseButton, QPoint, int, int, int> steps[] = {
        {P, L, {344, 40}, 50, 70, TFormRange::DRAG_BEGIN},
        {P, Qt::MiddleButton, {500, 40}, 50, 70, TFormRange::DRAG_NONE},  // ends the drag
        {M, L, {400, 30}, 50, 70, TFormRange::DRAG_NONE},
        {P, L, {750, 30}, 100, 70, TFormRange::DRAG_BEGIN},  // past the end: 100
        {M, L, {-100, 10}, 0, 70, TFormRange::DRAG_BEGIN},   // before the start: 0
        {M, L, {200, 83}, 28, 70, TFormRange::DRAG_BEGIN},
        {M, L, {600, 84}, 28, 70, TFormRange::DRAG_BEGIN},  // over the panel: nothing
        {R, L, {600, 84}, 28, 70, TFormRange::DRAG_NONE},
        {P, Qt::RightButton, {16, 30}, 28, 0, TFormRange::DRAG_END},  // the end may pass the begin
    };
    // Event, button, where; then begin, end and the marker dragged.
    for (const auto& [type, button, pos, begin, end, marker] : steps) {
      Mouse(&form, type, pos, button);
      QCOMPARE(form.WindowBegin, begin);
      QCOMPARE(form.WindowEnd, end);
      QCOMPARE(int(form.DragMarker), marker);
    }
    QCOMPARE(Pixel(form, 10, 30), 0x0000FFu);  // a drag redraws at once: the end at 0
    QCOMPARE(form.LabelBgn->text() + "|" + form.LabelRang->text() + "|" + form.LabelEnd->text(),
             QString("28 %|-28 %|0 %"));
    form.hide();
    QVERIFY(!form.RangeBitmap);
  }

  // Over the middle of its main window, and pushed back onto the screen when that is near an
  // edge.
  void opensCentredOnItsOwnerAndWhollyOnTheScreen() {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint places[] = {screen.center() - QPoint(100, 50),
                             screen.bottomRight() - QPoint(40, 20)};
    for (const QPoint& place : places) {
      QWidget owner;
      owner.setGeometry(QRect(place, QSize(200, 100)));
      owner.show();
      TFormRange form(&owner);
      form.show();
      const QRect frame = form.frameGeometry();
      QVERIFY(screen.contains(frame));
      if (screen.contains(owner.frameGeometry()))
        QVERIFY((frame.center() - owner.frameGeometry().center()).manhattanLength() <= 2);
    }
  }

  void panelAndLabelsEndADragButNeverStartOne() {
    TFormRange form;
    // The caption must end before the begin value, whatever font stands in.
    QVERIFY(form.Label9->geometry().right() < form.LabelBgn->x());
    form.show();
    for (QWidget* w : std::initializer_list<QWidget*>{form.PanelRange, form.Label9, form.LabelBgn,
                                                      form.LabelRang, form.LabelEnd}) {
      Mouse(&form, QEvent::MouseButtonPress, {344, 30}, Qt::RightButton);
      Mouse(w, QEvent::MouseButtonRelease, {2, 2}, Qt::RightButton);
      QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_NONE));
      Mouse(w, QEvent::MouseButtonPress, {3, 3}, Qt::LeftButton);
      Mouse(w, QEvent::MouseMove, {300, 3}, Qt::LeftButton);
      QCOMPARE(form.WindowBegin, 0);
      QCOMPARE(int(form.DragMarker), int(TFormRange::DRAG_NONE));
    }
  }
};

QTEST_MAIN(RangeWindowTest)
#include "RangeWindowTest.moc"
