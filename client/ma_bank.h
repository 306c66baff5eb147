// MA_Bank: the currency transfer window ("$MONEY赠送").
//
// The user names a recipient and an amount; the window checks them against the own code and the
// balance (the fee at the server's rate included), asks for confirmation and the pay password in
// `TConfirmPayForm`, then sends the transfer request 0x80008 to the home server and stays locked
// until the transfer result arrives (`DealTransferResult`, called by the session manager) or the
// 10-second time-out passes. After a time-out the user cannot know whether money moved, so the
// window says so and asks the server for the own profile (0x30012), which carries the balance.
//
// Ownership: created by the session manager on first use, freed when closed; owns its
// confirmation window while that is open.
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "base/money.h"
#include "base/wire.h"
#include "ma_confirm_pay.h"

namespace kiv {

// The server's transfer fee rate in percent (0 until the server's parameters arrived).
std::uint32_t TransferFeeRate();

class TBankForm : public QWidget {
  Q_OBJECT

 public:
  // `send_to_home` sends a whole message on the home-server connection.
  explicit TBankForm(std::function<void(const Bytes&)> send_to_home, int timeout_ms = 10000);

  // The answer to the request arrived: unlock the window.
  void DealTransferResult();
  bool Locked() const { return timeout_.isActive(); }

  QLineEdit* RecipientBox() const { return recipient_; }
  QLineEdit* AmountBox() const { return amount_; }
  QLabel* FeeRateLabel() const { return fee_rate_; }
  QLabel* StatusLabel() const { return status_; }
  QPushButton* GiveButton() const { return give_; }
  QPushButton* CloseButton() const { return close_; }
  TConfirmPayForm* ConfirmForm() const { return confirm_.data(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Give();
  void Send(std::uint32_t recipient, std::uint32_t amount, const QString& pay_password);
  void Unlock();
  void TimedOut();
  void ShowFeeRate();

  std::function<void(const Bytes&)> send_to_home_;
  QLineEdit* recipient_;
  QLineEdit* amount_;
  QLabel* fee_rate_;
  QLabel* status_;
  QPushButton* give_;
  QPushButton* close_;
  QTimer timeout_;
  QPointer<TConfirmPayForm> confirm_;
};

}  // namespace kiv
