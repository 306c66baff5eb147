#include "file_window.h"
#include "system/path_text.h"

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>

#include "chat_form.h"
#include "chat_manager.h"
#include "manager/global_manager.h"
#include "udp_interface.h"

namespace kiv::chat {

namespace {

QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }

QString Href(std::uint32_t id, const char* action) {
  return QStringLiteral("file:%1:%2").arg(id).arg(QLatin1String(action));
}

}  // namespace

TFileWindow::TFileWindow(TChatForm& form, std::uint32_t own_code) : QObject(&form), form_(form) {
  TFileManager::TConfig config;
  config.own_code = own_code;
  config.friend_code = form.FriendCode();
  if (const TFriend* person = GlobalManager->GetFriendInfo(form.FriendCode()))
    config.friend_nickname = person->nickname.str();
  config.receive_folder = GlobalManager->ReceiveFolder();
  TChatForm* f = &form;
  config.next_operate_id = [f] { return f->next_operation_id++; };
  files_ = std::make_unique<TFileManager>(std::move(config), *this, *this);
  form.Input()->installEventFilter(this);
  form.Input()->viewport()->installEventFilter(this);
  form.Input()->setAcceptDrops(true);
}

TFileWindow::~TFileWindow() {
  // The send threads stop before the window's objects they report to go away.
  files_.reset();
}

// ---- link to the friend -------------------------------------------------------------------------

std::uint16_t TFileWindow::Remote() {
  const TFriend* person = GlobalManager->GetFriendInfo(form_.FriendCode());
  const std::uint16_t remote = person ? static_cast<std::uint16_t>(person->remote & 0xFFFF) : 0;
  if (remote != 0) remote_seen_ = remote;
  return remote;
}

void TFileWindow::ConnectionLost(std::uint16_t remote) {
  if (remote == 0 || remote != remote_seen_) return;
  remote_seen_ = 0;
  files_->ConnectionLost();
}

bool TFileWindow::Send(std::uint16_t remote, std::uint8_t channel, std::span<const std::uint8_t> message) {
  return UDPSendData(remote, message.data(), static_cast<std::uint32_t>(message.size()), channel, 0, 0);
}

std::uint64_t TFileWindow::Queued(std::uint16_t remote, std::uint8_t channel) {
  return UDPGetSendChannelSize(remote, channel);
}

// ---- offering -----------------------------------------------------------------------------------

void TFileWindow::ChooseAndSend() {
  const QStringList chosen = QFileDialog::getOpenFileNames(&form_, QStringLiteral("选择要发送的文件"));
  for (const QString& file : chosen) files_->ReadySendFile(PathOfText(file));
}

bool TFileWindow::OfferUrls(const QList<QUrl>& urls) {
  bool any = false;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    any = true;
    files_->ReadySendFile(PathOfText(url.toLocalFile()));
  }
  return any;
}

bool TFileWindow::OfferMime(const QMimeData* mime) {
  return mime && mime->hasUrls() && OfferUrls(mime->urls());
}

bool TFileWindow::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::DragEnter: {
      auto* e = static_cast<QDragEnterEvent*>(event);
      if (e->mimeData()->hasUrls()) {
        e->acceptProposedAction();
        return true;
      }
      break;
    }
    case QEvent::DragMove: {
      auto* e = static_cast<QDragMoveEvent*>(event);
      if (e->mimeData()->hasUrls()) {
        e->acceptProposedAction();
        return true;
      }
      break;
    }
    case QEvent::Drop: {
      auto* e = static_cast<QDropEvent*>(event);
      if (OfferMime(e->mimeData())) {
        e->acceptProposedAction();
        return true;
      }
      break;
    }
    case QEvent::KeyPress: {
      auto* e = static_cast<QKeyEvent*>(event);
      // Files copied in a file manager arrive as URLs; text and pictures stay with the input.
      if (e->matches(QKeySequence::Paste) && OfferMime(QApplication::clipboard()->mimeData())) return true;
      break;
    }
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

// ---- links --------------------------------------------------------------------------------------

bool TFileWindow::Link(const QUrl& link) {
  const QStringList parts = link.toString().split(QLatin1Char(':'));
  if (parts.size() != 3 || parts[0] != QLatin1String("file")) return false;
  bool ok = false;
  const std::uint32_t id = parts[1].toUInt(&ok);
  if (!ok) return true;
  const QString& action = parts[2];
  if (action == QLatin1String("yes")) {
    files_->Accept(id);
  } else if (action == QLatin1String("save")) {
    QString proposed;
    for (const auto& t : files_->Transfers())
      if (t.operate_id == id && t.role == kFileRoleOffered) proposed = Q(t.name);
    const QString folder = QString::fromStdString(GlobalManager->ReceiveFolder().string());
    // An existing file is not replaced by the dialog's word: the manager asks whether to resume it.
    const QString chosen =
        QFileDialog::getSaveFileName(&form_, QStringLiteral("接收文件"), folder + QLatin1Char('/') + proposed,
                                     QString(), nullptr, QFileDialog::DontConfirmOverwrite);
    if (!chosen.isEmpty()) files_->AcceptAs(id, PathOfText(chosen));
  } else if (action == QLatin1String("refuse")) {
    files_->Refuse(id);
  } else if (action == QLatin1String("withdraw")) {
    files_->Withdraw(id);
  } else if (action == QLatin1String("cancel")) {
    files_->Abort(id);
  } else if (action == QLatin1String("open")) {
    files_->Open(id, false);
  } else if (action == QLatin1String("opendir")) {
    files_->Open(id, true);
  }
  return true;
}

void TFileWindow::AddLinks(std::uint32_t id,
                           std::initializer_list<std::pair<const char*, const char*>> links) {
  QTextCursor cursor(form_.View()->document());
  cursor.movePosition(QTextCursor::End);
  for (const auto& [action, caption] : links) {
    QTextCharFormat f;
    f.setAnchor(true);
    f.setAnchorHref(Href(id, action));
    f.setForeground(QColor(0, 0, 0xCC));
    f.setFontUnderline(true);
    cursor.insertText(QStringLiteral(" "), QTextCharFormat());
    cursor.insertText(QLatin1String(caption), f);
  }
  form_.ScrollToEnd();
}

void TFileWindow::RemoveItems(std::uint32_t id) {
  form_.RemoveLinks(QStringLiteral("file:%1:").arg(id));
  auto it = progress_.find(id);
  if (it == progress_.end()) return;
  // A transfer that ended takes its two lines with it ("…正在传输..." and the progress line), so
  // no figure of a finished transfer stays behind.
  const QTextBlock line = it->second.block();
  const QTextBlock started = line.previous().isValid() ? line.previous() : line;
  int from = started.position();
  int to = line.position() + line.length() - 1;
  if (started.previous().isValid())
    --from;  // with the break before them
  else if (line.next().isValid())
    ++to;  // or, at the top, the break after them
  QTextCursor c(form_.View()->document());
  c.setPosition(from);
  c.setPosition(to, QTextCursor::KeepAnchor);
  c.removeSelectedText();
  progress_.erase(it);
}

// ---- events -------------------------------------------------------------------------------------

void TFileWindow::Note(const TFileNote& note) {
  const std::uint32_t id = note.operate_id;
  form_.SetHint(Q(note.hint));
  switch (note.kind) {
    case TFileNoteKind::kOffered: {
      form_.AddLine(Q(note.line));
      AddLinks(id, {{"withdraw", "$No$"}});
      // A friend who is connected but not shown online (hidden, away) may not answer.
      const TFriend* person = GlobalManager->GetFriendInfo(form_.FriendCode());
      if (Manager && person && person->state != kStateOnline) Manager->ShowError(form_, 11);
      break;
    }
    case TFileNoteKind::kOfferReceived: {
      form_.AddLine(Q(note.line));
      AddLinks(id, {{"yes", "$Yes$"}, {"refuse", "$No$"}, {"save", "$Save$"}});
      // A desktop notice only while the user is not looking at this conversation.
      if (!form_.isActiveWindow()) {
        QApplication::alert(&form_);
        const TFriend* person = GlobalManager->GetFriendInfo(form_.FriendCode());
        if (Manager && person) Manager->PostHint(*person, QStringLiteral("文件传输请求"), Q(note.notice));
      }
      break;
    }
    case TFileNoteKind::kStarted: {
      RemoveItems(id);
      form_.AddLine(Q(note.line));
      AddLinks(id, {{"cancel", "$Cancel$"}});
      form_.AddLine(QStringLiteral("已经传送..."));
      QTextCursor line(form_.View()->document());
      line.movePosition(QTextCursor::End);
      progress_[id] = line;
      break;
    }
    case TFileNoteKind::kReceiveComplete: {
      RemoveItems(id);
      const QStringList lines = Q(note.line).split(QLatin1Char('\n'));
      for (const QString& l : lines) form_.AddLine(l);
      AddLinks(id, {{"open", "$Open$"}, {"opendir", "$OpenDir$"}});
      break;
    }
    case TFileNoteKind::kError:
      form_.AddLine(Q(note.line));
      break;
    default:
      RemoveItems(id);
      form_.AddLine(Q(note.line));
      break;
  }
}

void TFileWindow::Progress(std::uint32_t operate_id, const std::string& line) {
  auto it = progress_.find(operate_id);
  if (it == progress_.end()) return;
  // The kept cursor stays inside its line whatever the conversation adds around it.
  QTextCursor c(it->second.block());
  c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
  c.insertText(QStringLiteral("已经传送") + Q(line));
}

TExistingFileAnswer TFileWindow::AskExisting(const std::string& question) {
  // 是 resumes, 否 overwrites; closing the box (or 取消) answers nothing and keeps the offer.
  QMessageBox box(QMessageBox::Question, QStringLiteral("接收文件"), Q(question), QMessageBox::NoButton,
                  &form_);
  QPushButton* resume = box.addButton(QStringLiteral("是"), QMessageBox::YesRole);
  resume->setObjectName(QStringLiteral("YesButton"));
  QPushButton* overwrite = box.addButton(QStringLiteral("否"), QMessageBox::NoRole);
  overwrite->setObjectName(QStringLiteral("NoButton"));
  QPushButton* cancel = box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
  cancel->setObjectName(QStringLiteral("CancelButton"));
  box.setDefaultButton(resume);
  box.setEscapeButton(cancel);
  GlobalManager->UpdateFormSkin(&box);
  box.exec();
  if (box.clickedButton() == resume) return TExistingFileAnswer::kResume;
  if (box.clickedButton() == overwrite) return TExistingFileAnswer::kOverwrite;
  return TExistingFileAnswer::kCancel;
}

}  // namespace kiv::chat
