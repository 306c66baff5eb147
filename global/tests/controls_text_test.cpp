// Long texts in the frame bar end in an ellipsis; input limits count GBK bytes.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "controls/frame_bar.h"
#include "controls/gbk_limit.h"

namespace kiv {
namespace {

TEST(FrameBarTextTest, LongCaptionsAreElidedAndFlagsFollowTheRightEdge) {
  TKivFrameBar bar;
  bar.resize(160, 300);
  bar.show();
  const QString long_name = QStringLiteral("一个名字非常非常非常非常长的好友分组[3/20]");
  TKivFrameBarItem* item = bar.AddItem(long_name, QPixmap(), 4);
  EXPECT_EQ(item->CaptionText(), long_name);
  EXPECT_NE(item->Caption()->text(), long_name);
  EXPECT_TRUE(item->Caption()->text().endsWith(QChar(0x2026)));
  EXPECT_EQ(item->Caption()->toolTip(), long_name);
  TKivButton* row = item->AddButton(QStringLiteral("小明"), nullptr, 0, 10001);
  row->SetDetail(QStringLiteral("签名"));
  EXPECT_EQ(row->Detail(), QStringLiteral("签名"));
  QPixmap glyph(16, 16);
  glyph.fill(Qt::green);
  TKivButton* flag = item->AddFlag(row, glyph, 16, 16, 4, -22, 10001);
  EXPECT_EQ(flag->x(), item->width() - 22);
  bar.resize(260, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(flag->x(), item->width() - 22);
  EXPECT_EQ(item->Caption()->text(), long_name.left(item->Caption()->text().size() - 1) + QChar(0x2026));
}

TEST(GbkLimitTest, LimitsCountGbkBytes) {
  struct Case {
    QString text;
    std::size_t limit;
    QString kept;
  };
  for (const Case& c : {Case{QStringLiteral("abcdef"), 4, QStringLiteral("abcd")},
                        Case{QStringLiteral("中文字符"), 5, QStringLiteral("中文")},
                        Case{QStringLiteral("a中文"), 4, QStringLiteral("a中")},
                        Case{QStringLiteral("短"), 10, QStringLiteral("短")}}) {
    EXPECT_EQ(CutToGbkLength(c.text, c.limit), c.kept) << c.text.toStdString();
    QLineEdit line;
    LimitGbkLength(&line, c.limit);
    line.insert(c.text);
    EXPECT_EQ(line.text(), c.kept) << c.text.toStdString();
    QPlainTextEdit box;
    LimitGbkLength(&box, c.limit);
    box.insertPlainText(c.text);
    EXPECT_EQ(box.toPlainText(), c.kept) << c.text.toStdString();
  }
  EXPECT_EQ(GbkLength(QString(20, QChar(0x597D))), 40u);
}

}  // namespace
}  // namespace kiv
