#include "range/qt/Range.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>

#include "range/RangeGeometry.h"

namespace karvo {

namespace {

constexpr int CLIENT_WIDTH = 689;
constexpr int CLIENT_HEIGHT = 117;
constexpr int PANEL_HEIGHT = 33;
constexpr int PANEL_LABEL_PX = 16;
constexpr int CANVAS_FONT_PX = 11;

QFont SansFont(int pixelSize, bool bold = false) {
  QFont font;
  font.setFamilies(
      {"MS Sans Serif", "Microsoft Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

QLabel* PanelLabel(QWidget* panel, const char* name, const QString& text, int left, bool bold,
                   const QColor& colour) {
  auto* label = new QLabel(text, panel);
  label->setObjectName(name);
  label->setFont(SansFont(PANEL_LABEL_PX, bold));
  if (colour.isValid()) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
  }
  label->move(left, 5);
  label->adjustSize();
  return label;
}

}  // namespace

TFormRange::TFormRange(QWidget* owner) : QDialog(owner) {
  setObjectName("FormRange");
  setWindowTitle("Output Range Settings.");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(CLIENT_WIDTH, CLIENT_HEIGHT);
  setFont(SansFont(CANVAS_FONT_PX));
  // The picture covers the whole area above the panel; nothing needs erasing under it.
  setAttribute(Qt::WA_OpaquePaintEvent);

  PanelRange = new QFrame(this);
  PanelRange->setObjectName("PanelRange");
  PanelRange->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  PanelRange->setLineWidth(1);
  PanelRange->setAutoFillBackground(true);
  PanelRange->setGeometry(0, CLIENT_HEIGHT - PANEL_HEIGHT, CLIENT_WIDTH, PANEL_HEIGHT);

  Label9 = PanelLabel(PanelRange, "Label9", "Measuring range for analog output:", 5, false, {});
  LabelBgn = PanelLabel(PanelRange, "LabelBgn", "none mm", 267, true, QColor(255, 0, 0));
  LabelRang = PanelLabel(PanelRange, "LabelRang", "none mm", 427, true, QColor(0, 128, 0));
  LabelEnd = PanelLabel(PanelRange, "LabelEnd", "none mm", 571, true, QColor(0, 0, 255));
  // A wide substitute font must not run the caption into the begin value.
  for (int px = PANEL_LABEL_PX; px > 11 && Label9->sizeHint().width() > 267 - 5 - 4; --px) {
    Label9->setFont(SansFont(px - 1));
    Label9->adjustSize();
  }

  // A button released over the panel or its labels ends a drag like one over the form.
  for (QWidget* w : {static_cast<QWidget*>(PanelRange), static_cast<QWidget*>(Label9),
                     static_cast<QWidget*>(LabelBgn), static_cast<QWidget*>(LabelRang),
                     static_cast<QWidget*>(LabelEnd)})
    w->installEventFilter(this);

  FormCreate();
}

void TFormRange::FormCreate() {
  DragMarker = DRAG_NONE;
  WindowBegin = 0;
  WindowEnd = 100;
  FullScale = 100;
}

void TFormRange::FormShow() {
  RangeBitmap.emplace(width(), height() - PanelRange->height(), QImage::Format_RGB32);
  DrawRange(WindowBegin, WindowEnd, FullScale);
}

void TFormRange::FormClose() {
  RangeBitmap.reset();
  DragMarker = DRAG_NONE;
}

void TFormRange::DrawRange(int32_t begin, int32_t end, int32_t full) {
  if (RangeBitmap) {
    QImage& image = *RangeBitmap;
    const TRangeGeometry g{image.width(), image.height(), full};
    const int bottom = g.AreaBottom();
    QPainter p(&image);

    p.setPen(Qt::black);
    p.setBrush(Qt::black);
    p.drawRect(0, 0, image.width() - 1, image.height() - 1);

    QPen dotted(QColor(128, 128, 128), 1, Qt::DotLine);
    p.setPen(dotted);
    p.setFont(SansFont(CANVAS_FONT_PX));
    const QFontMetrics metrics(p.font());
    for (int i = 0; i <= RANGE_TICKS; ++i) {
      const int tx = g.TickX(i);
      p.drawLine(tx, 0, tx, bottom);
      const QString text = QString::number(g.TickLabel(i));
      const int textWidth = metrics.horizontalAdvance(text);
      p.save();
      p.setPen(Qt::white);
      p.drawText(QRect(g.TickLabelX(i, textWidth), g.LabelY(), textWidth + 1, metrics.height()),
                 Qt::AlignLeft | Qt::AlignTop, text);
      p.restore();
    }
    p.drawLine(RANGE_SCALE_LEFT, bottom, image.width() - 11, bottom);

    const QColor green(0, 128, 0);
    dotted.setColor(green);
    p.setPen(dotted);
    p.setBrush(QBrush(green, Qt::DiagCrossPattern));
    const int xb = g.X(begin);
    const int xe = g.X(end);
    p.drawRect(QRect(QPoint(std::min(xb, xe), 0), QPoint(std::max(xb, xe), bottom)));

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 0, 0), 3, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(xb, 0, xb, bottom);
    p.setPen(QPen(QColor(0, 0, 255), 3, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(xe, 0, xe, bottom);
    p.end();
    if (isVisible()) repaint(0, 0, image.width(), image.height());
  }

  LabelBgn->setText(QString::number(begin) + " %");
  LabelEnd->setText(QString::number(end) + " %");
  LabelRang->setText(QString::number(int64_t{end} - begin) + " %");
  // The values follow the mouse during a drag, so each label is redrawn now.
  for (QLabel* label : {LabelBgn, LabelEnd, LabelRang}) {
    label->adjustSize();
    if (label->isVisible()) label->repaint();
  }
}

void TFormRange::MoveMarker(uint8_t marker, int x) {
  const TRangeGeometry g{RangeBitmap ? RangeBitmap->width() : width(), 0, FullScale};
  if (marker == DRAG_BEGIN) {
    WindowBegin = g.ClampedValue(x);
  } else if (marker == DRAG_END) {
    WindowEnd = g.ClampedValue(x);
  } else {
    return;
  }
  DrawRange(WindowBegin, WindowEnd, FullScale);
}

void TFormRange::FormMouseDown(Qt::MouseButton button, int x) {
  switch (button) {
    case Qt::LeftButton:
      DragMarker = DRAG_BEGIN;
      break;
    case Qt::RightButton:
      DragMarker = DRAG_END;
      break;
    default:
      DragMarker = DRAG_NONE;
      break;
  }
  MoveMarker(DragMarker, x);
}

void TFormRange::FormMouseMove(int x, int y) {
  if (y >= PanelRange->y()) return;
  MoveMarker(DragMarker, x);
}

void TFormRange::FormMouseUp() {
  DragMarker = DRAG_NONE;
}

void TFormRange::Edit(int32_t& windowBegin, int32_t& windowEnd) {
  WindowBegin = windowBegin;
  WindowEnd = windowEnd;
  exec();
  windowBegin = WindowBegin;
  windowEnd = WindowEnd;
}

void TFormRange::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  PlaceOverOwner();
  FormShow();
}

void TFormRange::PlaceOverOwner() {
  QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  if (!owner) return;
  const QRect ownerFrame = owner->frameGeometry();
  QRect frame = frameGeometry();
  frame.moveCenter(ownerFrame.center());
  // A main window near the screen's edge must not push the window partly off it.
  const QScreen* screen = QGuiApplication::screenAt(ownerFrame.center());
  if (!screen) screen = owner->screen();
  if (screen) {
    const QRect area = screen->availableGeometry();
    frame.moveLeft(std::clamp(frame.left(), area.left(),
                              std::max(area.left(), area.right() + 1 - frame.width())));
    frame.moveTop(std::clamp(frame.top(), area.top(),
                             std::max(area.top(), area.bottom() + 1 - frame.height())));
  }
  move(frame.topLeft());
}

void TFormRange::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (!event->spontaneous()) FormClose();
}

void TFormRange::paintEvent(QPaintEvent*) {
  QPainter p(this);
  if (RangeBitmap) {
    p.drawImage(0, 0, *RangeBitmap);
  } else {
    p.fillRect(rect(), Qt::black);
  }
}

void TFormRange::mousePressEvent(QMouseEvent* event) {
  FormMouseDown(event->button(), event->position().toPoint().x());
}

void TFormRange::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  FormMouseMove(pos.x(), pos.y());
}

void TFormRange::mouseReleaseEvent(QMouseEvent*) {
  FormMouseUp();
}

bool TFormRange::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonRelease:
      FormMouseUp();
      return true;
    // The panel has no mouse handling of its own; keep its presses and moves from reaching
    // the form, where they would move a marker.
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
      return true;
    default:
      return QDialog::eventFilter(watched, event);
  }
}

}  // namespace karvo
