#include "property_page.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>
#include <cerrno>
#include <memory>

namespace kiv::video {

namespace {

int Ioctl(int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = ioctl(fd, request, argument);
  } while (result < 0 && errno == EINTR);
  return result;
}

// The device node, open while the window lives.
struct TDeviceNode {
  int fd = -1;
  ~TDeviceNode() {
    if (fd >= 0) close(fd);
  }
};

QString ControlName(const v4l2_queryctrl& control) {
  const char* name = reinterpret_cast<const char*>(control.name);
  return QString::fromUtf8(name, static_cast<qsizetype>(strnlen(name, sizeof(control.name))));
}

void SetControl(int fd, std::uint32_t id, int value) {
  v4l2_control setting{};
  setting.id = id;
  setting.value = value;
  Ioctl(fd, VIDIOC_S_CTRL, &setting);
}

QWidget* ControlEditor(const std::shared_ptr<TDeviceNode>& node, const v4l2_queryctrl& control,
                       QWidget* parent) {
  v4l2_control current{};
  current.id = control.id;
  const int value = Ioctl(node->fd, VIDIOC_G_CTRL, &current) == 0 ? current.value : control.default_value;
  const std::uint32_t id = control.id;
  switch (control.type) {
    case V4L2_CTRL_TYPE_INTEGER: {
      auto* slider = new QSlider(Qt::Horizontal, parent);
      slider->setRange(control.minimum, control.maximum);
      slider->setSingleStep(control.step > 0 ? control.step : 1);
      slider->setValue(value);
      QObject::connect(slider, &QSlider::valueChanged, slider,
                       [node, id](int v) { SetControl(node->fd, id, v); });
      return slider;
    }
    case V4L2_CTRL_TYPE_BOOLEAN: {
      auto* box = new QCheckBox(parent);
      box->setChecked(value != 0);
      QObject::connect(box, &QCheckBox::toggled, box,
                       [node, id](bool on) { SetControl(node->fd, id, on ? 1 : 0); });
      return box;
    }
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU: {
      auto* combo = new QComboBox(parent);
      for (int index = control.minimum; index <= control.maximum; ++index) {
        v4l2_querymenu item{};
        item.id = control.id;
        item.index = static_cast<std::uint32_t>(index);
        if (Ioctl(node->fd, VIDIOC_QUERYMENU, &item) != 0) continue;
        const QString text =
            control.type == V4L2_CTRL_TYPE_MENU
                ? QString::fromUtf8(reinterpret_cast<const char*>(item.name),
                                    static_cast<qsizetype>(
                                        strnlen(reinterpret_cast<const char*>(item.name), sizeof(item.name))))
                : QString::number(item.value);
        combo->addItem(text, index);
        if (index == value) combo->setCurrentIndex(combo->count() - 1);
      }
      QObject::connect(combo, &QComboBox::activated, combo, [node, id, combo](int row) {
        SetControl(node->fd, id, combo->itemData(row).toInt());
      });
      return combo;
    }
    default:
      return nullptr;
  }
}

}  // namespace

QDialog* CreateDevicePropertyPage(const TDevice& device, QWidget* parent) {
  auto* dialog = new QDialog(parent);
  dialog->setWindowTitle(QStringLiteral("视频"));
  auto* layout = new QVBoxLayout(dialog);
  auto* form = new QFormLayout;
  layout->addLayout(form);

  // The editors share the open device node; it closes with the last of them.
  auto node = std::make_shared<TDeviceNode>();
  if (!device.path.empty()) node->fd = open(device.path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (node->fd >= 0) {
    v4l2_queryctrl control{};
    control.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Ioctl(node->fd, VIDIOC_QUERYCTRL, &control) == 0) {
      if (!(control.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY))) {
        if (QWidget* editor = ControlEditor(node, control, dialog))
          form->addRow(ControlName(control), editor);
      }
      control.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
  }
  if (form->rowCount() == 0) {
    layout->insertWidget(0, new QLabel(QStringLiteral("此视频设备没有可以调整的属性。"), dialog));
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
  return dialog;
}

void ShowDevicePropertyPage(const TDevice& device, QWidget* parent) {
  std::unique_ptr<QDialog> dialog(CreateDevicePropertyPage(device, parent));
  dialog->exec();
}

}  // namespace kiv::video
