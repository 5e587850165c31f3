#include "app/qt/FindSensor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

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
  ListSensors = new QListWidget(this);
  ListSensors->setObjectName("ListSensors");
  ListSensors->hide();
  ButtonPick = new QPushButton("Connect", this);
  ButtonPick->setObjectName("ButtonPick");
  ButtonPick->hide();
  const auto pick = [this] {
    const int row = ListSensors->currentRow();
    if (row < 0 || row >= static_cast<int>(sensors_.size())) return;
    result_ = sensors_[static_cast<size_t>(row)];
    picked_ = true;
    accept();
  };
  connect(ButtonPick, &QPushButton::clicked, this, pick);
  connect(ListSensors, &QListWidget::itemActivated, this, pick);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ButtonPick);
  buttons->addWidget(ButtonCancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(LabelScan);
  layout->addWidget(ProgressBarScan);
  layout->addWidget(ListSensors);
  layout->addLayout(buttons);
}

TFormFindSensor::~TFormFindSensor() {
  {
    std::lock_guard lock(progressLock_);
    closing_ = true;
    if (active_) active_->Cancel();
  }
  if (scan_) scan_->Cancel();
  if (worker_.joinable()) worker_.join();
}

std::optional<TFoundSensor> TFormFindSensor::Run(QWidget* parent, const std::string& port,
                                                 uint32_t baud, uint8_t address, bool* picked) {
  TScanOptions options;
  options.Port = PortItemLink(port, baud);
  options.SelectedBaud = baud;
  options.SelectedAddress = address;
  TFormFindSensor form(options, parent);
  if (form.exec() != QDialog::Accepted) return std::nullopt;
  if (picked) *picked = form.Picked();
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
    TScanResult result = scan_->Run(*link_);
    if (!options_.All && result.Found.size() == 1 && !scan_->CancelRequested()) {
      // The rest of the line at the rate the first sensor answered at: sensors that share a
      // line share its rate.
      const TFoundSensor first = result.Found.front();
      TScanOptions rest = options_;
      rest.BaudRates = {first.Baud};
      rest.SelectedBaud = first.Baud;
      rest.SelectedAddress = first.Address;
      rest.All = true;
      TSensorScan more(rest);
      more.Progress = scan_->Progress;
      bool stopped = false;
      {
        std::lock_guard lock(progressLock_);
        stopped = closing_;
        if (!stopped) active_ = &more;
      }
      TScanResult line;
      if (!stopped) line = more.Run(*link_);
      {
        std::lock_guard lock(progressLock_);
        active_ = nullptr;
      }
      for (const TFoundSensor& f : line.Found) {
        // A late answer to the probe before (a loaded machine, a slow adapter) shows the same
        // sensor at the next address: its serial number gives it away.
        const bool known =
            std::any_of(result.Found.begin(), result.Found.end(), [&](const auto& k) {
              return k.Address == f.Address || k.Identity.SerialNumber == f.Identity.SerialNumber;
            });
        if (!known && f.Baud == first.Baud) result.Found.push_back(f);
      }
      result.Probes += line.Probes;
    }
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
  if (result.Found.size() > 1) {
    sensors_ = result.Found;
    for (const TFoundSensor& f : sensors_) {
      ListSensors->addItem(QString("Address %1, %2 baud, serial number %3")
                               .arg(f.Address)
                               .arg(f.Baud)
                               .arg(f.Identity.SerialNumber));
    }
    ListSensors->setCurrentRow(0);
    ListSensors->show();
    ButtonPick->show();
    ButtonPick->setDefault(true);
    LabelScan->setText(QString("%1 sensors found on the line: pick one.").arg(sensors_.size()));
    ButtonCancel->setText("Cancel");
    adjustSize();
    return;
  }
  if (!result.Found.empty()) {
    sensors_ = result.Found;
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
  {
    std::lock_guard lock(progressLock_);
    closing_ = true;
    if (active_) active_->Cancel();
  }
  scan_->Cancel();
  ButtonCancel->setEnabled(false);
  LabelScan->setText("Cancelling...");
}

}  // namespace karvo
