// Opens a chat-like edit holding text, emoticons and a link, and the emoticon picker on one tab, for
// a person to look at (screenshots under Xvfb).
//
//   kivemote_preview <application folder> <tab 0-4> [milliseconds]
//
// The folder needs EmoteInfo/; custom emoticons of user 1000 show on the custom tabs.
#include <QApplication>
#include <QCursor>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>
#include <string>

#include "emote/emote.h"
#include "emote_manager.h"
#include "manager/global_manager.h"

using namespace kiv;

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: kivemote_preview <application folder> <tab 0-4> [milliseconds]\n");
    return 2;
  }
  TGlobalManager global{std::filesystem::path(argv[1])};
  global.Me->SetUserCode(1000);
  GlobalManager = &global;
  emote::TEmoteModel& model = emote::Manager().Model();

  QWidget chat;
  chat.setWindowTitle(QStringLiteral("与 小雨 聊天中"));
  auto* layout = new QVBoxLayout(&chat);
  auto* edit = new QTextEdit(&chat);
  layout->addWidget(edit);
  QTextCursor cursor = edit->textCursor();
  auto put = [&](const char* key) {
    if (const TEmoteInfo* info = model.FindByHotKey(key)) {
      InsertEmotePicture(cursor, QString::fromUtf8(key),
                         QString::fromStdString(model.PicturePath(*info).string()));
    }
  };
  cursor.insertText(QStringLiteral("晚上好！今天的演出太精彩了 "));
  put("/dx");
  put("/se");
  cursor.insertText(QStringLiteral("\n照片在这里：www.kivora.example/photos 快去看看 "));
  put("/zy");
  cursor.insertText(QStringLiteral("\n明天见，早点休息 "));
  put("/zj");
  put("/ax");
  put("/yl");
  CheckURL(edit);
  chat.resize(460, 220);
  chat.move(20, 20);
  chat.show();

  emote::Manager().CreateForm();
  QCursor::setPos(520, 60);
  emote::Manager().DealMessage(kiv::kMsgShowEmotePicker, static_cast<QWidget*>(edit), 0);
  emote::Manager().Form()->Tabs()->setCurrentIndex(std::stoi(argv[2]));
  QTimer::singleShot(argc > 3 ? std::stoi(argv[3]) : 4000, &app, &QApplication::quit);
  const int result = app.exec();
  emote::Manager().FreeForm();
  GlobalManager = nullptr;
  return result;
}
