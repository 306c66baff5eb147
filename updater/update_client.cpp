#include "update_client.h"

#include <QPointer>

#include "base/socket.h"
#include "udp_kivudp.h"
#include "udp_qt_main_thread.h"

namespace kiv::update {

TUpdateClient::TUpdateClient(TReceiverOptions options, TUpdateTimings timings, QObject* parent)
    : QObject(parent), requested_(options.requested), receiver_(std::move(options)), timings_(timings) {
  inactivity_.setSingleShot(true);
  inactivity_.setInterval(timings_.inactivity_ms);
  connect(&inactivity_, &QTimer::timeout, this, &TUpdateClient::OnLost);
  settle_.setSingleShot(true);
  settle_.setInterval(timings_.settle_ms);
  connect(&settle_, &QTimer::timeout, this, [this] {
    if (done_ || receiver_.State() != TUpdateReceiver::TState::kStaged) return;
    done_ = true;
    emit Staged();
  });
}

TUpdateClient::~TUpdateClient() { Stop(); }

bool TUpdateClient::Start(const std::string& address, std::uint16_t port) {
  main_thread_ = std::make_unique<TQtMainThread>();
  TEngineOptions options;
  options.constants = TEngineConstants::Updater();
  options.main_thread = main_thread_.get();
  udp_ = std::make_unique<TKivUDP>(options);
  main_thread_->Attach(udp_.get());
  QPointer<TUpdateClient> self(this);
  udp_->SetCallbacks(
      [self](std::uint16_t, const std::uint8_t* data, std::uint32_t length) {
        Bytes message(data, data + length);
        QMetaObject::invokeMethod(
            self,
            [self, message = std::move(message)] {
              if (self) self->OnMessage(message);
            },
            Qt::QueuedConnection);
      },
      [self](std::uint16_t, std::uint8_t) {
        QMetaObject::invokeMethod(
            self,
            [self] {
              if (self) self->OnLost();
            },
            Qt::QueuedConnection);
      });
  const int local_port = GetFreePort(timings_.first_port, false);
  if (local_port <= 0 || !udp_->Start(static_cast<std::uint16_t>(local_port), 0)) return false;
  server_ = udp_->Connect(address, port, static_cast<std::uint32_t>(timings_.connect_timeout_ms));
  if (server_ == 0) return false;
  if (!udp_->SendData(server_, BuildRequest(requested_), 0, 0, 0)) return false;
  inactivity_.start();
  return true;
}

void TUpdateClient::Stop() {
  inactivity_.stop();
  settle_.stop();
  if (udp_ && udp_->Started()) udp_->Stop();
}

bool TUpdateClient::Running() const { return !done_ && server_ != 0; }

void TUpdateClient::OnMessage(const Bytes& message) {
  if (!Running()) return;
  const auto before = receiver_.State();
  const std::uint32_t finished_before = receiver_.Finished();
  const auto state = receiver_.OnMessage(message);
  using S = TUpdateReceiver::TState;
  if (state == S::kReceiving || state == S::kWaiting) inactivity_.start();
  if (before == S::kWaiting && (state == S::kReceiving || state == S::kStaged)) emit Announced();
  switch (state) {
    case S::kNothing:
      done_ = true;
      inactivity_.stop();
      emit NothingToGive();
      break;
    case S::kStaged:
      inactivity_.stop();
      if (before != S::kStaged) settle_.start();
      break;
    case S::kFailed:
      done_ = true;
      inactivity_.stop();
      settle_.stop();
      emit Failed(QString::fromStdString(receiver_.Error()));
      break;
    default:
      if (receiver_.Finished() != finished_before ||
          (message.size() >= 4 && LoadU32(message.data()) == kCodePiece))
        emit Progressed();
      break;
  }
}

void TUpdateClient::OnLost() {
  // Every file is here: the settle timer installs them.
  if (!Running() || receiver_.State() == TUpdateReceiver::TState::kStaged) return;
  done_ = true;
  inactivity_.stop();
  receiver_.Abandon("the update server went away");
  emit ServerLost();
}

}  // namespace kiv::update
