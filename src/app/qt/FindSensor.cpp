#include "app/qt/FindSensor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace karvo {

namespace {

QString Combination(const TScanProbe& probe) {
  return QString("%1 baud, address %2").arg(probe.Baud).arg(probe.Address);
}

}  // namespace

TFormFindSensor::TFormFindSensor(TScanOptions options, QWidget* parent)
    : QDialog(parent), options_(std::move(options)), link_(std::make_unique<TKARVOInterface>()) {
  setWindowTitle("Find sensor");
  setModal(true);
  LabelScan = new QLabel("Looking for a sensor...", this);
  LabelScan->setMinimumWidth(360);
  ProgressBarScan = new QProgressBar(this);
  ProgressBarScan->setRange(0, 1);
  ProgressBarScan->setValue(0);
  ButtonCancel = new QPushButton("Cancel", this);
  connect(ButtonCancel, &QPushButton::clicked, this, &TFormFindSensor::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(LabelScan);
  layout->addWidget(ProgressBarScan);
  layout->addLayout(buttons);
}

TFormFindSensor::~TFormFindSensor() {
  if (scan_) scan_->Cancel();
  if (worker_.joinable()) worker_.join();
}

std::optional<TFoundSensor> TFormFindSensor::Run(QWidget* parent, const std::string& port,
                                                 uint32_t baud, uint8_t address) {
  TScanOptions options;
  options.Port = PortItemLink(port, baud);
  options.SelectedBaud = baud;
  options.SelectedAddress = address;
  TFormFindSensor form(options, parent);
  if (form.exec() != QDialog::Accepted) return std::nullopt;
  return form.Result();
}

void TFormFindSensor::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  Start();
}

void TFormFindSensor::Start() {
  if (started_) return;
  started_ = true;
  scan_ = std::make_unique<TSensorScan>(options_);
  scan_->Progress = [this](const TScanProgress& p) {
    {
      std::lock_guard lock(progressLock_);
      progress_ = p;
    }
    // At a few hundred probes a second, one pending call is enough to keep the bar current.
    if (!progressQueued_.exchange(true)) {
      QMetaObject::invokeMethod(this, "ShowProgress", Qt::QueuedConnection);
    }
  };
  worker_ = std::thread([this] {
    const TScanResult result = scan_->Run(*link_);
    {
      std::lock_guard lock(progressLock_);
      finished_ = result;
    }
    QMetaObject::invokeMethod(this, "TakeScanResult", Qt::QueuedConnection);
  });
}

void TFormFindSensor::ShowProgress() {
  TScanProgress p;
  {
    std::lock_guard lock(progressLock_);
    p = progress_;
    progressQueued_ = false;
  }
  if (closing_ || !Running()) return;
  ProgressBarScan->setRange(0, static_cast<int>(p.Total));
  ProgressBarScan->setValue(static_cast<int>(p.Done));
  LabelScan->setText(
      QString("Trying %1 (%2 of %3)").arg(Combination(p.Probe)).arg(p.Done + 1).arg(p.Total));
}

void TFormFindSensor::TakeScanResult() {
  TScanResult result;
  {
    std::lock_guard lock(progressLock_);
    result = finished_;
  }
  ScanFinished(result);
}

void TFormFindSensor::ScanFinished(const TScanResult& result) {
  // The worker has posted its last call; the port is closed.
  if (worker_.joinable()) worker_.join();
  ProgressBarScan->setRange(0, 1);
  ProgressBarScan->setValue(result.Found.empty() ? 0 : 1);
  if (closing_) {
    QDialog::reject();
    return;
  }
  if (!result.Found.empty()) {
    result_ = result.Found.front();
    const IdentityRecord& id = result_->Identity;
    LabelScan->setText(QString("Found at %1: type %2, serial number %3")
                           .arg(Combination({result_->Baud, result_->Address}))
                           .arg(id.DeviceType)
                           .arg(id.SerialNumber));
    accept();
    return;
  }
  if (result.Status != ST_OK) {
    QString why = result.Status == ST_NOT_OPEN
                      ? QString("Cannot open %1: %2")
                            .arg(QString::fromStdString(options_.Port.Name),
                                 QString::fromStdString(result.Reason.empty() ? "not available"
                                                                              : result.Reason))
                      : QString("The port failed: %1").arg(StatusText(result.Status));
    LabelScan->setText(why);
  } else {
    LabelScan->setText(QString("No sensor found (%1 combinations of baud rate and address tried).")
                           .arg(result.Probes));
  }
  ButtonCancel->setText("Close");
}

void TFormFindSensor::reject() {
  if (!Running()) {
    QDialog::reject();
    return;
  }
  // The probe under way ends within its short time-out; the dialog closes when it has.
  closing_ = true;
  scan_->Cancel();
  ButtonCancel->setEnabled(false);
  LabelScan->setText("Cancelling...");
}

}  // namespace karvo
