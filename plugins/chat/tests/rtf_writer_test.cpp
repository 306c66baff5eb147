// The record export's writers: the RTF a document becomes (escapes, Unicode, fonts, colours,
// alignment, pictures), read back by unrtf where it is installed, and the wrapped plain text.
#include "rtf_writer.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QUrl>
#include <fstream>

#include "manager/qt_app.h"
#include "test_dir.h"

namespace kiv::chat {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What unrtf reads from the RTF, as plain text; nothing when unrtf is missing. Its text mode prints
// "?" for every character outside ASCII, so the HTML it writes (characters as numeric entities, a
// character outside the BMP as its two surrogates) is read by QTextDocument.
std::optional<QString> ReadBack(const std::string& rtf) {
  const QString unrtf = QStandardPaths::findExecutable(QStringLiteral("unrtf"));
  if (unrtf.isEmpty()) return std::nullopt;
  TestDir dir;
  const auto file = dir.path() / "doc.rtf";
  std::ofstream(file, std::ios::binary) << rtf;
  QProcess p;
  p.start(unrtf, {QStringLiteral("--html"), QString::fromStdString(file.string())});
  if (!p.waitForFinished(60000)) return QString();
  QTextDocument html;
  html.setHtml(QString::fromUtf8(p.readAllStandardOutput()));
  return html.toPlainText();
}

TEST(RtfWriter, EscapesTextAndWritesEveryUtf16UnitAsSignedValue) {
  struct Case {
    QString text;
    std::string rtf;    // what the body must hold
    QString read_back;  // what a reader gets back (empty: the text itself)
  };
  const std::vector<Case> cases = {
      {QStringLiteral("a\\b{c}d"), "a\\\\b\\{c\\}d", {}},
      {QStringLiteral("你好"), "\\u20320\\'3f\\u22909\\'3f", {}},
      // Digits and letters right after a character stay text, not part of its number.
      {QStringLiteral("消息9x"), "\\u28040\\'3f\\u24687\\'3f9x", {}},
      // Above U+7FFF the 16-bit value is negative.
      {QStringLiteral("龙"), "\\u-24679\\'3f", {}},
      // Outside the BMP: both surrogates, each signed.
      {QString::fromUtf8("笑\xF0\x9F\x98\x80"), "\\u31505\\'3f\\u-10179\\'3f\\u-8704\\'3f", {}},
      // A lone surrogate is no character: U+FFFD.
      {QString(QChar(0xD800)) + QStringLiteral("x"), "\\u-3\\'3fx", QString::fromUtf8("\xEF\xBF\xBDx")},
      // unrtf reads a tab as spaces.
      {QStringLiteral("a\tb"), "a\\tab b", QStringLiteral("a")},
      {QStringLiteral("é ü"), "\\u233\\'3f \\u252\\'3f", {}},
  };
  for (const Case& c : cases) {
    QTextDocument doc;
    QTextCursor(&doc).insertText(c.text);
    const std::string rtf = DocumentToRtf(doc);
    EXPECT_TRUE(Contains(rtf, c.rtf)) << c.text.toStdString() << "\n" << rtf;
    for (const unsigned char ch : rtf) EXPECT_LT(ch, 0x80) << "RTF is ASCII";
    if (const auto back = ReadBack(rtf)) {
      EXPECT_TRUE(back->contains(c.read_back.isEmpty() ? c.text : c.read_back))
          << c.text.toStdString() << " read back as " << back->toStdString();
    }
  }
}

TEST(RtfWriter, WritesTheHeaderFontsColoursAndAlignment) {
  QTextDocument doc;
  QTextCursor cursor(&doc);
  QTextCharFormat red;
  red.setFontFamilies({QStringLiteral("DejaVu Serif")});
  red.setFontPointSize(14);
  red.setFontWeight(QFont::Bold);
  red.setForeground(QColor(255, 0, 0));
  cursor.insertText(QStringLiteral("红色"), red);
  QTextCharFormat styled;
  styled.setFontItalic(true);
  styled.setFontUnderline(true);
  styled.setForeground(QColor(0, 0, 128));
  cursor.insertText(QStringLiteral("斜体"), styled);
  QTextBlockFormat centred;
  centred.setAlignment(Qt::AlignHCenter);
  cursor.insertBlock(centred);
  cursor.insertText(QStringLiteral("居中"), QTextCharFormat());
  QTextBlockFormat right;
  right.setAlignment(Qt::AlignRight);
  cursor.insertBlock(right);
  cursor.insertText(QStringLiteral("右"), red);
  cursor.insertText(QString(QChar::LineSeparator) + QStringLiteral("下一行"), QTextCharFormat());

  const std::string rtf = DocumentToRtf(doc);
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi\\ansicpg936", 0), 0u) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\fnil\\fcharset134 DejaVu Serif;}")) << rtf;
  // One table entry per colour, in first use; red is used twice.
  EXPECT_TRUE(Contains(rtf, "{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue128;}")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\fs28\\b\\cf1 \\u32418\\'3f\\u-32142\\'3f}")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\i\\ul\\cf2 \\u26012\\'3f\\u20307\\'3f}")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\pard\\ql ")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\pard\\qc ")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\pard\\qr ")) << rtf;
  EXPECT_TRUE(Contains(rtf, "\\line \\u19979\\'3f")) << rtf;
  // Three paragraphs: two breaks, and the groups balance.
  std::size_t pars = 0;
  for (std::size_t at = rtf.find("\\par"); at != std::string::npos; at = rtf.find("\\par", at + 1))
    if (rtf.compare(at, 5, "\\pard") != 0) ++pars;
  EXPECT_EQ(pars, 2u);
  int depth = 0, closed = 0;
  for (std::size_t i = 0; i < rtf.size(); ++i) {
    if (rtf[i] == '\\') {
      ++i;
      continue;
    }
    depth += rtf[i] == '{' ? 1 : rtf[i] == '}' ? -1 : 0;
    ASSERT_GE(depth, 0) << rtf;
    if (rtf[i] == '}' && depth == 0) ++closed;
  }
  EXPECT_EQ(depth, 0);
  EXPECT_EQ(closed, 1) << "one outer group";
  if (const auto back = ReadBack(rtf)) {
    EXPECT_TRUE(back->contains(QStringLiteral("红色斜体"))) << back->toStdString();
    EXPECT_TRUE(back->contains(QStringLiteral("居中"))) << back->toStdString();
    EXPECT_TRUE(back->contains(QStringLiteral("下一行"))) << back->toStdString();
  }
}

TEST(RtfWriter, EmbedsPicturesAsPng) {
  QTextDocument doc;
  QImage picture(3, 2, QImage::Format_RGB32);
  picture.fill(Qt::green);
  doc.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("mem:pic")), picture);
  QTextCursor cursor(&doc);
  cursor.insertText(QStringLiteral("图"));
  QTextImageFormat image;
  image.setName(QStringLiteral("mem:pic"));
  cursor.insertImage(image);
  const std::string rtf = DocumentToRtf(doc);
  EXPECT_TRUE(Contains(rtf, "{\\pict\\pngblip\\picw3\\pich2\\picwgoal45\\pichgoal30\n89504e47")) << rtf;
  // A picture that cannot be loaded leaves nothing behind.
  QTextDocument missing;
  image.setName(QStringLiteral("mem:none"));
  QTextCursor(&missing).insertImage(image);
  EXPECT_FALSE(Contains(DocumentToRtf(missing), "\\pict"));
}

TEST(TextWriter, WrapsParagraphsAtTheLineWidth) {
  struct Case {
    QString text;
    int width;
    QString expected;
  };
  const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80");
  const std::vector<Case> cases = {
      {QStringLiteral("short"), 10, QStringLiteral("short\n")},
      {QStringLiteral("aaaa bbbb cccc"), 10, QStringLiteral("aaaa bbbb\ncccc\n")},
      {QStringLiteral("aaaa bbbbbb cc"), 10, QStringLiteral("aaaa\nbbbbbb cc\n")},
      {QStringLiteral("aaaa bbbbb cccc"), 10, QStringLiteral("aaaa bbbbb\ncccc\n")},
      {QStringLiteral("一二三四五六七八九十甲乙"), 5, QStringLiteral("一二三四五\n六七八九十\n甲乙\n")},
      // A character outside the BMP counts once and is never split.
      {smile + smile + smile, 2, smile + smile + QStringLiteral("\n") + smile + QStringLiteral("\n")},
      {QStringLiteral("x") + QChar(QChar::LineSeparator) + QStringLiteral("y"), 10, QStringLiteral("x\ny\n")},
  };
  for (const Case& c : cases) {
    QTextDocument doc;
    QTextCursor(&doc).insertText(c.text);
    EXPECT_EQ(DocumentToText(doc, c.width), c.expected) << c.text.toStdString();
  }
  QTextDocument two;
  QTextCursor cursor(&two);
  cursor.insertText(QStringLiteral("第一段"));
  cursor.insertBlock();
  QTextImageFormat emote;
  emote.setName(QStringLiteral("mem:smile"));
  emote.setProperty(QTextFormat::UserProperty, QStringLiteral("/:)"));
  cursor.insertText(QStringLiteral("第二段"));
  cursor.insertImage(emote);
  EXPECT_EQ(DocumentToText(two, 200), QStringLiteral("第一段\n第二段\n"));
  EXPECT_EQ(DocumentToText(
                two, 200,
                [](const QTextImageFormat& f) { return f.property(QTextFormat::UserProperty).toString(); }),
            QStringLiteral("第一段\n第二段/:)\n"));
}

}  // namespace
}  // namespace kiv::chat
