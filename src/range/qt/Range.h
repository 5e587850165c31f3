// The analog output range window: a scale from 0 to 100 % with the output window drawn as a
// hatched band between a red begin marker and a blue end marker. The left mouse button moves
// the begin marker, the right one the end marker; closing the window accepts the values.
#pragma once

#include <QDialog>
#include <QImage>
#include <cstdint>
#include <optional>

class QFrame;
class QLabel;

namespace karvo {

class TFormRange : public QDialog {
  Q_OBJECT

 public:
  explicit TFormRange(QWidget* owner = nullptr);

  // Which marker follows the mouse: the platform's button code.
  enum : uint8_t { DRAG_BEGIN = 0, DRAG_END = 1, DRAG_NONE = 2 };

  int32_t WindowBegin = 0;
  int32_t WindowEnd = 100;
  int32_t FullScale = 100;
  uint8_t DragMarker = DRAG_NONE;

  // The picture of the scale; exists only while the window is shown.
  std::optional<QImage> RangeBitmap;

  QFrame* PanelRange = nullptr;
  QLabel* Label9 = nullptr;
  QLabel* LabelBgn = nullptr;
  QLabel* LabelRang = nullptr;
  QLabel* LabelEnd = nullptr;

  void DrawRange(int32_t begin, int32_t end, int32_t full);

  void FormCreate();
  void FormShow();
  void FormClose();
  void FormMouseDown(Qt::MouseButton button, int x);
  void FormMouseMove(int x, int y);
  void FormMouseUp();

  // Shows the window modally with the two values and takes back what the person set.
  void Edit(int32_t& windowBegin, int32_t& windowEnd);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void MoveMarker(uint8_t marker, int x);
  // Centred on the main window, and wholly on its screen.
  void PlaceOverOwner();
};

}  // namespace karvo
