#include "rtf_writer.h"

#include <QBuffer>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPixmap>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QUrl>
#include <QVariant>
#include <cmath>
#include <vector>

namespace kiv::chat {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
// The character a reader without Unicode shows instead ("?"), written as a hex escape: a literal "?"
// after the number is read by some readers as part of the control word and the next character is
// skipped in its place.
constexpr const char* kFallback = "\\'3f";
constexpr int kTwipsPerPixel = 15;  // at 96 dots per inch

// Appends `text` with RTF's escapes: control characters of the markup escaped, non-ASCII as \uN?.
void AppendText(std::string& out, QStringView text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    char16_t c = text[i].unicode();
    if (QChar::isHighSurrogate(c)) {
      if (i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode())) {
        // Both halves, each as its own \uN?.
        for (const char16_t half : {c, text[i + 1].unicode()})
          out += "\\u" + std::to_string(static_cast<std::int16_t>(half)) + kFallback;
        ++i;
        continue;
      }
      c = kReplacement;
    } else if (QChar::isLowSurrogate(c)) {
      c = kReplacement;
    }
    switch (c) {
      case u'\\':
        out += "\\\\";
        break;
      case u'{':
        out += "\\{";
        break;
      case u'}':
        out += "\\}";
        break;
      case u'\t':
        out += "\\tab ";
        break;
      case QChar::LineSeparator:
      case u'\n':
        out += "\\line ";
        break;
      case QChar::Nbsp:
        out += "\\~";
        break;
      case QChar::SoftHyphen:
        out += "\\-";
        break;
      default:
        if (c < 0x20 || c == 0x7F) break;  // other control characters carry nothing
        if (c < 0x80)
          out += static_cast<char>(c);
        else
          out += "\\u" + std::to_string(static_cast<std::int16_t>(c)) + kFallback;
    }
  }
}

// Indexes into the font and colour tables, built while the body is written.
class TTables {
 public:
  int Font(const QString& family) {
    for (std::size_t i = 0; i < fonts_.size(); ++i)
      if (fonts_[i] == family) return static_cast<int>(i);
    fonts_.push_back(family);
    return static_cast<int>(fonts_.size() - 1);
  }
  // 1 and up; 0 is the reader's automatic colour.
  int Colour(QRgb rgb) {
    for (std::size_t i = 0; i < colours_.size(); ++i)
      if (colours_[i] == rgb) return static_cast<int>(i + 1);
    colours_.push_back(rgb);
    return static_cast<int>(colours_.size());
  }
  std::string Header() const {
    std::string out = "{\\fonttbl";
    for (std::size_t i = 0; i < fonts_.size(); ++i) {
      out += "{\\f" + std::to_string(i) + "\\fnil\\fcharset134 ";
      AppendText(out, fonts_[i]);
      out += ";}";
    }
    out += "}\n{\\colortbl;";
    for (const QRgb rgb : colours_)
      out += "\\red" + std::to_string(qRed(rgb)) + "\\green" + std::to_string(qGreen(rgb)) + "\\blue" +
             std::to_string(qBlue(rgb)) + ';';
    out += "}\n";
    return out;
  }

 private:
  std::vector<QString> fonts_;
  std::vector<QRgb> colours_;
};

// The format's font with what it leaves open taken from the document's default font.
QFont ResolvedFont(const QTextCharFormat& format, const QFont& base) {
  QFont font = format.font().resolve(base);
  if (const QStringList families = format.fontFamilies().toStringList(); !families.isEmpty())
    font.setFamilies(families);
  return font;
}

int HalfPoints(const QFont& font) {
  double points = font.pointSizeF();
  if (points <= 0 && font.pixelSize() > 0) points = font.pixelSize() * 0.75;
  if (points <= 0) points = 9;
  return static_cast<int>(std::lround(points * 2));
}

QImage PictureOf(const QTextDocument& document, const QTextImageFormat& format) {
  const QVariant resource = document.resource(QTextDocument::ImageResource, QUrl(format.name()));
  if (resource.canConvert<QImage>()) return resource.value<QImage>();
  if (resource.canConvert<QPixmap>()) return resource.value<QPixmap>().toImage();
  if (resource.canConvert<QByteArray>()) return QImage::fromData(resource.toByteArray());
  return {};
}

void AppendPicture(std::string& out, const QTextDocument& document, const QTextImageFormat& format) {
  const QImage picture = PictureOf(document, format);
  if (picture.isNull()) return;
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!picture.save(&buffer, "PNG")) return;
  const int width = format.width() > 0 ? static_cast<int>(format.width()) : picture.width();
  const int height = format.height() > 0 ? static_cast<int>(format.height()) : picture.height();
  out += "{\\pict\\pngblip\\picw" + std::to_string(picture.width()) + "\\pich" +
         std::to_string(picture.height()) + "\\picwgoal" + std::to_string(width * kTwipsPerPixel) +
         "\\pichgoal" + std::to_string(height * kTwipsPerPixel) + '\n';
  const QByteArray hex = png.toHex();
  for (qsizetype i = 0; i < hex.size(); i += 128) {
    out.append(hex.constData() + i, static_cast<std::size_t>(std::min<qsizetype>(128, hex.size() - i)));
    out += '\n';
  }
  out += '}';
}

const char* AlignmentWord(Qt::Alignment alignment) {
  const Qt::Alignment horizontal = alignment & Qt::AlignHorizontal_Mask;
  if (horizontal & Qt::AlignHCenter) return "\\qc";
  if (horizontal & Qt::AlignJustify) return "\\qj";
  if (horizontal & Qt::AlignRight) return "\\qr";
  return "\\ql";
}

// Splits `line` into pieces of at most `width` characters, breaking after the last space within the
// width where there is one; a surrogate pair counts as one character and is never split.
void AppendWrapped(QString& out, QStringView line, int width) {
  while (true) {
    qsizetype units = 0, chars = 0, last_space = -1;
    while (units < line.size() && chars < width) {
      if (line[units] == u' ') last_space = units;
      units += QChar::isHighSurrogate(line[units].unicode()) && units + 1 < line.size() ? 2 : 1;
      ++chars;
    }
    if (units >= line.size()) {
      out += line;
      out += u'\n';
      return;
    }
    if (line[units] == u' ') last_space = units;
    if (last_space > 0) {
      out += line.left(last_space);
      out += u'\n';
      line = line.mid(last_space + 1);
    } else {
      out += line.left(units);
      out += u'\n';
      line = line.mid(units);
    }
  }
}

}  // namespace

std::string DocumentToRtf(const QTextDocument& document) {
  TTables tables;
  const QFont base = document.defaultFont();
  tables.Font(base.family());
  std::string body;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    body += "\\pard";
    body += AlignmentWord(block.blockFormat().alignment());
    body += ' ';
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.isValid()) continue;
      const QTextCharFormat format = fragment.charFormat();
      if (format.isImageFormat()) {
        // One fragment per picture character.
        for (qsizetype n = 0; n < fragment.text().size(); ++n)
          AppendPicture(body, document, format.toImageFormat());
        continue;
      }
      const QFont font = ResolvedFont(format, base);
      body += "{\\f" + std::to_string(tables.Font(font.family())) + "\\fs" + std::to_string(HalfPoints(font));
      if (font.bold()) body += "\\b";
      if (font.italic()) body += "\\i";
      if (font.underline()) body += "\\ul";
      if (font.strikeOut()) body += "\\strike";
      if (format.foreground().style() != Qt::NoBrush)
        body += "\\cf" + std::to_string(tables.Colour(format.foreground().color().rgb()));
      body += ' ';
      QString text = fragment.text();
      text.remove(QChar::ObjectReplacementCharacter);
      AppendText(body, text);
      body += '}';
    }
    if (block.next().isValid()) body += "\\par";
    body += '\n';
  }
  return "{\\rtf1\\ansi\\ansicpg936\\deff0\\uc1\n" + tables.Header() + body + "}\n";
}

QString DocumentToText(const QTextDocument& document, int line_width, const TPictureText& picture_text) {
  const int width = std::max(line_width, 1);
  QString out;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    QString paragraph;
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.isValid()) continue;
      if (fragment.charFormat().isImageFormat()) {
        if (picture_text)
          for (qsizetype n = 0; n < fragment.text().size(); ++n)
            paragraph += picture_text(fragment.charFormat().toImageFormat());
        continue;
      }
      QString text = fragment.text();
      text.remove(QChar::ObjectReplacementCharacter);
      text.replace(QChar::Nbsp, u' ');
      paragraph += text;
    }
    for (const QStringView line : QStringView(paragraph).split(QChar::LineSeparator))
      AppendWrapped(out, line, width);
  }
  return out;
}

}  // namespace kiv::chat
