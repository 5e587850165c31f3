// What the session asks of the operator (boxes, file dialogs, the range window), and the
// window's own dialogs: finding a sensor, exporting the chart.
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <filesystem>

#include "app/qt/FindSensor.h"
#include "app/qt/WindowOperator.h"
#include "app/qt/WindowText.h"
#include "measure/qt/Oscilloscope.h"
#include "range/qt/Range.h"

namespace karvo {

namespace {

// A box or dialog of a handler that shows the wait cursor gets the normal one while the
// operator answers it.
class TArrowCursor {
 public:
  TArrowCursor() : busy_(QApplication::overrideCursor() != nullptr) {
    if (busy_) QApplication::setOverrideCursor(Qt::ArrowCursor);
  }
  ~TArrowCursor() {
    if (busy_) QApplication::restoreOverrideCursor();
  }
  TArrowCursor(const TArrowCursor&) = delete;
  TArrowCursor& operator=(const TArrowCursor&) = delete;

 private:
  bool busy_;
};

QMessageBox::Icon BoxIcon(TIcon icon) {
  switch (icon) {
    case TIcon::Stop:
      return QMessageBox::Critical;
    case TIcon::Exclamation:
    case TIcon::Warning:
      return QMessageBox::Warning;
    case TIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void TFormMain::TWindowOperator::Message(const std::string& text, const std::string& caption,
                                         TIcon icon) {
  Ask([&] {
    const TArrowCursor arrow;
    if (form_.dialogs_) return form_.dialogs_->Message(text, caption, icon);
    QMessageBox box(BoxIcon(icon), Decode(caption), MessageText(text), QMessageBox::Ok, &form_);
    box.exec();
  });
}

bool TFormMain::TWindowOperator::OkCancel(const std::string& text, const std::string& caption,
                                          bool ownQuestion) {
  return Ask([&] {
    const TArrowCursor arrow;
    if (form_.dialogs_) {
      return ownQuestion ? form_.dialogs_->Question(text, caption)
                         : form_.dialogs_->Confirm(text, caption);
    }
    QMessageBox box(ownQuestion ? QMessageBox::Question : QMessageBox::Warning, Decode(caption),
                    MessageText(text), QMessageBox::Ok | QMessageBox::Cancel, &form_);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok;
  });
}

bool TFormMain::TWindowOperator::Confirm(const std::string& text, const std::string& caption) {
  return OkCancel(text, caption, false);
}

bool TFormMain::TWindowOperator::Question(const std::string& text, const std::string& caption) {
  return OkCancel(text, caption, true);
}

bool TFormMain::TWindowOperator::RetryCancel(const std::string& text, const std::string& caption) {
  return Ask([&] {
    const TArrowCursor arrow;
    if (form_.dialogs_) return form_.dialogs_->RetryCancel(text, caption);
    QMessageBox box(QMessageBox::Critical, Decode(caption), MessageText(text),
                    QMessageBox::Retry | QMessageBox::Cancel, &form_);
    box.setDefaultButton(QMessageBox::Retry);
    return box.exec() == QMessageBox::Retry;
  });
}

std::optional<std::string> TFormMain::TWindowOperator::AskSaveFile(
    const std::string& suggestedName) {
  return Ask([&]() -> std::optional<std::string> {
    const TArrowCursor arrow;
    if (form_.dialogs_) return form_.dialogs_->AskSaveFile(suggestedName);
    const QString suggestion = Decode(suggestedName);
    const QString suffix = QFileInfo(suggestion).suffix();
    QString filter = "All files (*)";
    if (!suffix.isEmpty()) filter = QString("*.%1 files (*.%1);;").arg(suffix) + filter;
    // The session asks "Rewrite file?" itself.
    const QString name = QFileDialog::getSaveFileName(&form_, QString(), suggestion, filter,
                                                      nullptr, QFileDialog::DontConfirmOverwrite);
    if (name.isEmpty()) return std::nullopt;
    return QFile::encodeName(name).toStdString();
  });
}

std::optional<std::string> TFormMain::TWindowOperator::AskOpenFile() {
  return Ask([&]() -> std::optional<std::string> {
    const TArrowCursor arrow;
    if (form_.dialogs_) return form_.dialogs_->AskOpenFile();
    const QString name = QFileDialog::getOpenFileName(&form_, QString(), QString(),
                                                      "Parameter files (*.prm);;All files (*)");
    if (name.isEmpty()) return std::nullopt;
    return QFile::encodeName(name).toStdString();
  });
}

void TFormMain::TWindowOperator::Beep() {
  // A beep needs no answer: the key filter's work goes on at once.
  form_.RefreshWindow([this] {
    if (form_.dialogs_) return form_.dialogs_->Beep();
    QApplication::beep();
  });
}

void TFormMain::TWindowOperator::EditRange(int32_t& windowBegin, int32_t& windowEnd) {
  Ask([&] {
    const TArrowCursor arrow;
    form_.FormRange()->Edit(windowBegin, windowEnd);
  });
}

void TFormMain::TWindowOperator::Refresh() {
  form_.RefreshWindow([this] {
    if (form_.dialogs_) form_.dialogs_->Refresh();
  });
}

// ---- The window's own dialogs ----

void TFormMain::ExportChart(bool picture) {
  if (closed_) return;
  // The window's own copy of the chart: exporting waits for no operation.
  const std::optional<std::string> name = person_->AskSaveFile(
      Utf8ToCp1251(LabelSerNum->text().toStdString()) + (picture ? ".png" : ".csv"));
  if (!name) return;
  // A name the system refuses (too long, a folder that cannot be looked into) is told by the
  // write below, with its reason.
  std::error_code unknown;
  if (std::filesystem::exists(*name, unknown) && !person_->Confirm("Rewrite file?", CAPTION_DOT))
    return;
  std::string reason;
  const bool written = picture ? Chart1->WritePng(*name, reason) : Chart1->WriteCsv(*name, reason);
  if (!written)
    person_->Message("Error writing " + Utf8ToCp1251(*name) + "." + '\r' + Utf8ToCp1251(reason),
                     CAPTION, TIcon::Exclamation);
}

void TFormMain::FindSensor() {
  if (!Idle() || ButtonConnect->property("Tag").toInt() != 0) return;
  struct TWhere {
    std::string Port;
    uint32_t Baud = 0;
    uint8_t Address = 0;
  };
  // The scan needs the port to itself; the selectors' reopen holds it otherwise.
  const TWhere where = Inspect([](TSession& s) {
    s.CloseSensorPort();
    return TWhere{s.PortName(), s.LinkBaud(), s.DeviceAddress()};
  });
  bool picked = false;
  const std::optional<TFoundSensor> found =
      TFormFindSensor::Run(this, where.Port, where.Baud, where.Address, &picked);
  if (!found) return;
  const std::string question = "Sensor found at " + std::to_string(found->Baud) +
                               " baud, address " + std::to_string(found->Address) + " (type " +
                               std::to_string(found->Identity.DeviceType) + ", serial number " +
                               std::to_string(found->Identity.SerialNumber) + "). Connect now?";
  // A sensor picked from the line's list was the operator's answer already.
  if (!picked && !person_->Question(question, CAPTION_DOT)) return;
  ComboBoxWorkBaund->setCurrentText(QString::number(found->Baud));
  ComboBoxWorkCodeDev->setCurrentIndex(found->Address - 1);
  // Queued behind the two selector changes.
  SendClick(ButtonConnect, &TSession::ButtonConnectClick);
}

}  // namespace karvo
