// The chat document form: what a sender produces and what a receiver keeps, pinned by golden
// documents in golden/. Run with KIV_WRITE_GOLDEN=1 to write the golden files afresh after a
// deliberate change of the form, and read the difference before committing it.
#include "chat_document.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>
#include <cstdlib>

#include "emote/emote.h"
#include "qt_app.h"

namespace kiv::chat {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

QString GoldenPath(const char* name) {
  return QStringLiteral(KIV_CHAT_GOLDEN_DIR "/") + QString::fromLatin1(name);
}

void ExpectGolden(const char* name, const QString& actual) {
  if (std::getenv("KIV_WRITE_GOLDEN")) {
    QFile out(GoldenPath(name));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
    out.write(actual.toUtf8());
    return;
  }
  QFile in(GoldenPath(name));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << name;
  EXPECT_EQ(actual, QString::fromUtf8(in.readAll())) << name;
}

QString PngAddress(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

// A composed message: a font and colour, an emoticon, a link and a custom picture.
void Compose(QTextDocument& document, int emoticons = 1) {
  QTextCursor cursor(&document);
  QTextCharFormat styled;
  styled.setFontFamilies({QStringLiteral("Noto Sans")});
  styled.setFontPointSize(12);
  styled.setFontWeight(QFont::Bold);
  styled.setForeground(QColor(0x12, 0x34, 0x56));
  cursor.insertText(QStringLiteral("你好 "), styled);
  QImage face(16, 16, QImage::Format_RGB32);
  face.fill(Qt::yellow);
  document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("emote:smile")), face);
  for (int i = 0; i < emoticons; ++i) {
    QTextImageFormat emoticon;
    emoticon.setName(QStringLiteral("emote:smile"));
    emoticon.setProperty(kEmoteNameProperty, QStringLiteral("/:)"));
    cursor.insertImage(emoticon);
  }
  QTextCharFormat link;
  link.setAnchor(true);
  link.setAnchorHref(QStringLiteral("https://example.org/a?b=1"));
  cursor.insertText(QStringLiteral(" https://example.org/a?b=1"), link);
  cursor.insertBlock();
  QImage custom(3, 2, QImage::Format_RGB32);
  custom.fill(Qt::blue);
  document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("custom:1")), custom);
  QTextImageFormat picture;
  picture.setName(QStringLiteral("custom:1"));
  cursor.insertImage(picture);
}

TEST(ChatDocument, SenderFormTurnsEmoticonsIntoHotKeysAndEmbedsPictures) {
  QTextDocument document;
  Compose(document);
  const auto html = EncodeChatDocument(document);
  ASSERT_TRUE(html);
  ExpectGolden("composed.html", *html);
  EXPECT_TRUE(html->contains(QStringLiteral("/:)")));
  EXPECT_FALSE(html->contains(QStringLiteral("emote:")));
  EXPECT_FALSE(html->contains(QStringLiteral("custom:")));
  EXPECT_TRUE(html->contains(QStringLiteral("data:image/png;base64,")));
  // A receiver keeps the sender's form as it is.
  EXPECT_EQ(SanitiseChatDocument(*html).toStdString(), html->toStdString());
}

TEST(ChatDocument, APictureTooLargeToEmbedIsScaledUntilItFits) {
  // A photo of noise: its PNG at full size is far over what a message may embed.
  QImage photo(1500, 1000, QImage::Format_RGB32);
  std::uint32_t x = 7;
  for (int y = 0; y < photo.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(photo.scanLine(y));
    for (int i = 0; i < photo.width(); ++i) line[i] = 0xff000000u | ((x = x * 1664525u + 1013904223u) >> 8);
  }
  QTextDocument document;
  document.addResource(QTextDocument::ImageResource, QUrl(QStringLiteral("custom:photo")), photo);
  QTextImageFormat picture;
  picture.setName(QStringLiteral("custom:photo"));
  QTextCursor(&document).insertImage(picture);
  const auto html = EncodeChatDocument(document);
  ASSERT_TRUE(html);
  const qsizetype at = html->indexOf(QStringLiteral("data:image/png;base64,"));
  ASSERT_GE(at, 0) << "the picture was dropped, not scaled";
  const qsizetype end = html->indexOf(QLatin1Char('"'), at);
  const QByteArray png = QByteArray::fromBase64(html->mid(at + 22, end - at - 22).toLatin1());
  EXPECT_LE(png.size(), kMaxPictureBytes);
  const QImage sent = QImage::fromData(png, "PNG");
  ASSERT_FALSE(sent.isNull());
  EXPECT_LE(std::max(sent.width(), sent.height()), kMaxPictureSide);
  EXPECT_NEAR(static_cast<double>(sent.width()) / sent.height(), 1.5, 0.02);  // its proportions kept
  // A receiver keeps it.
  EXPECT_TRUE(SanitiseChatDocument(*html).contains(QStringLiteral("data:image/png;base64,")));
}

TEST(ChatDocument, TooManyEmoticonsAreRefused) {
  QTextDocument document;
  Compose(document, kMaxNamedPictures + 1);
  EXPECT_FALSE(EncodeChatDocument(document));
}

TEST(ChatDocument, ReceiverDropsWhatIsNotAllowed) {
  const QString hostile =
      QStringLiteral(
          "<html><head><style>p { color: red }</style><script>alert(1)</script></head><body>"
          "<p align=\"center\"><span style=\"background-color:#ff0000; color:#00ff00; font-size:14pt;\">"
          "green</span><script>steal()</script>"
          "<a href=\"javascript:steal()\">js</a> <a href=\"file:///etc/passwd\">file</a> "
          "<a name=\"anchor\">named</a> <a href=\"#top\">hot</a> <a href=\"ftp://host/f\">ftp</a>"
          "<img src=\"file:///etc/hostname\"><img src=\"http://example.org/x.png\"><img src=\"x.png\">"
          "<img src=\"") +
      PngAddress(2000, 1) + QStringLiteral("\"><img src=\"") + PngAddress(2, 2) +
      QStringLiteral("\"></p><table><tr><td>cell</td></tr></table></body></html>");
  const QString clean = SanitiseChatDocument(hostile);
  ExpectGolden("hostile_sanitised.html", clean);
  for (const char* banned : {"script", "steal", "alert", "javascript", "file:", "http://example.org", "x.png",
                             "background", "#top", "name=\"anchor\"", "<table"})
    EXPECT_FALSE(clean.contains(QString::fromLatin1(banned))) << banned;
  EXPECT_TRUE(clean.contains(QStringLiteral("ftp://host/f")));
  EXPECT_TRUE(clean.contains(PngAddress(2, 2)));
  EXPECT_FALSE(clean.contains(PngAddress(2000, 1)));
  EXPECT_EQ(SanitiseChatDocument(clean), clean);
}

TEST(ChatDocument, DamagedOrOversizedPicturesAreDropped) {
  const QString garbage = QStringLiteral("<img src=\"data:image/png;base64,!!!!\">");
  const QString not_png = QStringLiteral("<img src=\"data:image/png;base64,") +
                          QString::fromLatin1(QByteArray("GIF89a not a png").toBase64()) +
                          QStringLiteral("\">");
  const QString huge = QStringLiteral("<img src=\"data:image/png;base64,") +
                       QString(kMaxPictureBytes / 3 * 4 + 8, QLatin1Char('A')) + QStringLiteral("\">");
  for (const QString& html : {garbage, not_png, huge}) {
    const QString clean = SanitiseChatDocument(html);
    EXPECT_FALSE(clean.contains(QStringLiteral("<img"))) << clean.left(200).toStdString();
  }
}

// Which link targets a click opens, and as what address.
TEST(ChatDocument, OnlyWebLinksOpenAndWwwGetsHttpInFront) {
  const struct {
    const char* href;
    const char* opens;  // nullptr: the click opens nothing
  } kCases[] = {
      {"http://example.com/a", "http://example.com/a"},
      {"HTTPS://Example.org/b?x=1", "https://example.org/b?x=1"},
      {"ftp://files.example.net/f.zip", "ftp://files.example.net/f.zip"},
      {"www.example.com/page", "http://www.example.com/page"},
      {"WWW.example.com", "http://WWW.example.com"},
      {"ftp.example.net/pub", "ftp://ftp.example.net/pub"},
      {"  http://example.com  ", "http://example.com"},
      {"file:///etc/passwd", nullptr},
      {"javascript:alert(1)", nullptr},
      {"mailto:a@example.com", nullptr},
      {"op:110001:1:yes", nullptr},
      {"file:5:yes", nullptr},
      {"data:text/html,<b>x</b>", nullptr},
      {"http://", nullptr},
      {"http:///nohost", nullptr},
      {"example.com", nullptr},
      {"", nullptr},
  };
  for (const auto& c : kCases) {
    const auto target = WebLinkTarget(QString::fromUtf8(c.href));
    if (!c.opens) {
      EXPECT_FALSE(target) << c.href << " -> " << target->toString().toStdString();
      continue;
    }
    ASSERT_TRUE(target) << c.href;
    EXPECT_EQ(target->toString(), QUrl(QString::fromUtf8(c.opens)).toString()) << c.href;
  }
}

// The window's hot links ("op:", "file:") act on operations; a received document never carries one,
// while a "www." address the sender's input marked stays a link, completed.
TEST(ChatDocument, ReceivedDocumentsCarryNoHotLinks) {
  const QString received = QStringLiteral(
      "<p><a href=\"op:110001:2:yes\">$Yes$</a> <a href=\"op:110001:2:no\">$No$</a> "
      "<a href=\"file:110002:yes\">接收</a> <a href=\"file:110002:save\">另存为</a> "
      "<a href=\"www.example.com\">www.example.com</a></p>");
  const QString clean = SanitiseChatDocument(received);
  for (const char* banned : {"href=\"op:", "href=\"file:", "href=\"www."})
    EXPECT_FALSE(clean.contains(QLatin1String(banned))) << banned;
  EXPECT_TRUE(clean.contains(QStringLiteral("$Yes$"))) << "the text stays, without the link";
  EXPECT_TRUE(clean.contains(QStringLiteral("href=\"http://www.example.com\""))) << clean.toStdString();

  // What the sender's own input makes of a typed "www." address survives the encoding too.
  QTextDocument typed;
  QTextCursor(&typed).insertText(QStringLiteral("看 www.example.com/x 吧"));
  CheckURL(&typed);
  const auto encoded = EncodeChatDocument(typed);
  ASSERT_TRUE(encoded);
  EXPECT_TRUE(encoded->contains(QStringLiteral("href=\"http://www.example.com/x\"")))
      << encoded->toStdString();
}

}  // namespace
}  // namespace kiv::chat
