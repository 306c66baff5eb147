#include "chat_document.h"

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QImageReader>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <cmath>
#include <memory>

#include "emote/emote.h"

namespace kiv::chat {
namespace {

const QLatin1String kPngDataPrefix("data:image/png;base64,");

// The PNG of an embedded picture address, when it is one and within the caps; the size is read from
// the header before anything is decoded.
std::optional<QImage> DecodeEmbeddedPicture(const QString& address) {
  if (!address.startsWith(kPngDataPrefix)) return std::nullopt;
  const QStringView encoded = QStringView(address).mid(kPngDataPrefix.size());
  if (encoded.size() > (kMaxPictureBytes + 2) / 3 * 4) return std::nullopt;
  const auto decoded =
      QByteArray::fromBase64Encoding(encoded.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded) return std::nullopt;
  QByteArray bytes = *decoded;
  QBuffer buffer(&bytes);
  QImageReader reader(&buffer, "png");
  reader.setDecideFormatFromContent(false);
  const QSize size = reader.size();
  if (!size.isValid() || size.width() > kMaxPictureSide || size.height() > kMaxPictureSide)
    return std::nullopt;
  QImage image = reader.read();
  if (image.isNull()) return std::nullopt;
  return image;
}

// Below this side a picture says nothing any more.
constexpr int kMinFittedSide = 16;

// `picture` scaled down, keeping its proportions, until it is within kMaxPictureSide and its PNG
// within kMaxPictureBytes; the PNG in `png`. Null when even a small one does not fit.
QImage FitPicture(const QImage& picture, QByteArray& png) {
  if (picture.isNull()) return {};
  QImage fitted = picture;
  if (fitted.width() > kMaxPictureSide || fitted.height() > kMaxPictureSide)
    fitted = fitted.scaled(kMaxPictureSide, kMaxPictureSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  for (;;) {
    png.clear();
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!fitted.save(&buffer, "PNG")) return {};
    if (png.size() <= kMaxPictureBytes) return fitted;
    // PNG size grows about with the area; aim a little below the limit.
    const double factor =
        std::sqrt(static_cast<double>(kMaxPictureBytes) / static_cast<double>(png.size())) * 0.9;
    const int width = static_cast<int>(fitted.width() * factor);
    const int height = static_cast<int>(fitted.height() * factor);
    if (std::min(width, height) < kMinFittedSide) return {};
    fitted = picture.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
}

QString EmbeddedPictureAddress(const QImage& picture) {
  QByteArray png;
  if (FitPicture(picture, png).isNull()) return {};
  return kPngDataPrefix + QString::fromLatin1(png.toBase64());
}

// A document that loads no resource by itself: only embedded pictures that pass the caps resolve,
// so parsing a received document never touches a file or the network.
class TClosedDocument : public QTextDocument {
 protected:
  QVariant loadResource(int type, const QUrl& name) override {
    if (type != QTextDocument::ImageResource) return {};
    const auto image = DecodeEmbeddedPicture(name.toString());
    return image ? QVariant(*image) : QVariant();
  }
};

void UseCanonicalDefaults(QTextDocument& document) {
  // toHtml writes the default font into the body; a fixed one keeps the form the same everywhere.
  document.setDefaultFont(QFont(QStringLiteral("SimSun"), 9));
  document.setDocumentMargin(4);
}

QTextCharFormat CleanCharFormat(const QTextCharFormat& format) {
  QTextCharFormat clean;
  if (format.hasProperty(QTextFormat::FontFamilies))
    clean.setFontFamilies(format.fontFamilies().toStringList());
  if (format.hasProperty(QTextFormat::FontPointSize)) {
    const qreal size = format.fontPointSize();
    if (size >= 1 && size <= 72) clean.setFontPointSize(size);
  }
  if (format.hasProperty(QTextFormat::FontWeight)) clean.setFontWeight(format.fontWeight());
  if (format.hasProperty(QTextFormat::FontItalic)) clean.setFontItalic(format.fontItalic());
  if (format.hasProperty(QTextFormat::TextUnderlineStyle) || format.hasProperty(QTextFormat::FontUnderline))
    clean.setFontUnderline(format.fontUnderline());
  if (format.hasProperty(QTextFormat::FontStrikeOut)) clean.setFontStrikeOut(format.fontStrikeOut());
  if (format.hasProperty(QTextFormat::ForegroundBrush)) {
    const QColor colour = format.foreground().color();
    if (format.foreground().style() == Qt::SolidPattern && colour.isValid()) clean.setForeground(colour);
  }
  if (format.isAnchor()) {
    // The parser gives every link its look (underlined, blue); the viewer does that itself, and a
    // dropped link must not keep looking like one. So links carry no look of their own.
    clean.clearProperty(QTextFormat::TextUnderlineStyle);
    clean.clearProperty(QTextFormat::FontUnderline);
    clean.clearForeground();
    if (const auto web = WebLinkTarget(format.anchorHref())) {
      clean.setAnchor(true);
      clean.setAnchorHref(web->toString());
    }
  }
  return clean;
}

// Copies what the header allows from `source` into `target`, block by block. `picture_address`
// gives the embedded address of a picture fragment, or an empty text to drop it.
template <typename PictureAddress>
void CopyAllowed(const QTextDocument& source, QTextDocument& target, PictureAddress picture_address) {
  QTextCursor cursor(&target);
  bool first = true;
  for (QTextBlock block = source.begin(); block.isValid(); block = block.next()) {
    QTextBlockFormat block_format;
    block_format.setAlignment(block.blockFormat().alignment());
    if (first) {
      cursor.setBlockFormat(block_format);
      first = false;
    } else {
      cursor.insertBlock(block_format);
    }
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.isValid()) continue;
      const QTextCharFormat format = fragment.charFormat();
      if (format.isImageFormat()) {
        const QTextImageFormat image = format.toImageFormat();
        // One picture per object character.
        for (qsizetype i = 0; i < fragment.text().size(); ++i) {
          const QString address = picture_address(image.name());
          if (address.isEmpty()) continue;
          QTextImageFormat clean;
          clean.setName(address);
          cursor.insertImage(clean);
        }
        continue;
      }
      QString text = fragment.text();
      text.remove(QChar::ObjectReplacementCharacter);
      if (!text.isEmpty()) cursor.insertText(text, CleanCharFormat(format));
    }
  }
}

}  // namespace

QImage FitPictureForChat(const QImage& picture) {
  QByteArray png;
  return FitPicture(picture, png);
}

std::optional<QString> EncodeChatDocument(const QTextDocument& source) {
  std::unique_ptr<QTextDocument> composed(source.clone());
  if (!CoverPicToName(composed.get())) return std::nullopt;
  TClosedDocument canonical;
  UseCanonicalDefaults(canonical);
  CopyAllowed(*composed, canonical, [&source](const QString& name) {
    if (name.startsWith(kPngDataPrefix)) return DecodeEmbeddedPicture(name) ? name : QString();
    const QVariant value = source.resource(QTextDocument::ImageResource, QUrl(name));
    QImage image;
    if (value.userType() == QMetaType::QByteArray)
      image = QImage::fromData(value.toByteArray());
    else if (value.canConvert<QImage>())
      image = value.value<QImage>();
    return image.isNull() ? QString() : EmbeddedPictureAddress(image);
  });
  QString html = canonical.toHtml();
  if (html.toUtf8().size() > kMaxChatDocumentBytes) return std::nullopt;
  return html;
}

std::optional<QUrl> WebLinkTarget(const QString& href) {
  QString address = href.trimmed();
  if (address.startsWith(QLatin1String("www."), Qt::CaseInsensitive))
    address.prepend(QLatin1String("http://"));
  else if (address.startsWith(QLatin1String("ftp."), Qt::CaseInsensitive))
    address.prepend(QLatin1String("ftp://"));
  const QUrl url(address, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || url.host().isEmpty() ||
      (scheme != QLatin1String("http") && scheme != QLatin1String("https") && scheme != QLatin1String("ftp")))
    return std::nullopt;
  return url;
}

QString SanitiseChatDocument(const QString& html) {
  TClosedDocument received;
  UseCanonicalDefaults(received);
  received.setHtml(html);
  TClosedDocument canonical;
  UseCanonicalDefaults(canonical);
  CopyAllowed(received, canonical,
              [](const QString& name) { return DecodeEmbeddedPicture(name) ? name : QString(); });
  return canonical.toHtml();
}

}  // namespace kiv::chat
