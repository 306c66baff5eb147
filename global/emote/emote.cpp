#include "emote/emote.h"

#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QUrl>
#include <array>
#include <vector>

namespace kiv {

namespace {

struct NamedPicture {
  int position;
  QString name;
  QTextCharFormat format;
};

// Every picture with a non-empty item name, in document order.
std::vector<NamedPicture> NamedPictures(const QTextDocument* document) {
  std::vector<NamedPicture> pictures;
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.isValid() || !fragment.charFormat().isImageFormat()) continue;
      const QString name = fragment.charFormat().property(kEmoteNameProperty).toString();
      if (name.isEmpty()) continue;
      // Neighbouring pictures of one format share a fragment, one character each.
      for (int i = 0; i < fragment.length(); ++i) {
        pictures.push_back({fragment.position() + i, name, fragment.charFormat()});
      }
    }
  }
  return pictures;
}

// The text format a picture's neighbours would have: the picture's format without the picture.
QTextCharFormat TextFormatOf(QTextCharFormat format) {
  for (int property : {static_cast<int>(QTextFormat::ImageName), static_cast<int>(QTextFormat::ImageWidth),
                       static_cast<int>(QTextFormat::ImageHeight), kEmoteNameProperty}) {
    format.clearProperty(property);
  }
  format.setObjectType(QTextFormat::NoObject);
  return format;
}

// The picture as a document resource, and the format that shows it; nothing when it does not load.
std::optional<QTextImageFormat> PictureFormat(QTextDocument* document, const QString& name,
                                              const QString& path) {
  if (path.isEmpty()) return std::nullopt;
  const QUrl url = QUrl::fromLocalFile(path);
  QImage picture;
  const QVariant known = document->resource(QTextDocument::ImageResource, url);
  if (known.canConvert<QImage>()) picture = known.value<QImage>();
  if (picture.isNull()) {
    if (!picture.load(path)) return std::nullopt;
    document->addResource(QTextDocument::ImageResource, url, picture);
  }
  QTextImageFormat format;
  format.setName(url.toString());
  format.setWidth(picture.width());
  format.setHeight(picture.height());
  format.setProperty(kEmoteNameProperty, name);
  return format;
}

QString PictureTag(const QString& path) {
  return QStringLiteral("<img src=\"") +
         QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toHtmlEscaped() + QStringLiteral("\">");
}

constexpr std::array<QLatin1StringView, 5> kAddressStarts = {
    QLatin1StringView("http://"), QLatin1StringView("https://"), QLatin1StringView("ftp://"),
    QLatin1StringView("www."), QLatin1StringView("ftp.")};

}  // namespace

std::optional<QString> PictureNameAt(const QTextDocument* document, int position) {
  QTextCursor cursor(const_cast<QTextDocument*>(document));
  if (position < 0 || position + 1 >= document->characterCount()) return std::nullopt;
  cursor.setPosition(position + 1);
  const QTextCharFormat format = cursor.charFormat();
  if (!format.isImageFormat() || document->characterAt(position) != QChar::ObjectReplacementCharacter) {
    return std::nullopt;
  }
  return format.property(kEmoteNameProperty).toString();
}

bool CoverPicToName(QTextEdit* edit) { return edit && CoverPicToName(edit->document()); }

bool CoverPicToName(QTextDocument* document) {
  if (!document) return false;
  const std::vector<NamedPicture> pictures = NamedPictures(document);
  if (pictures.size() > static_cast<std::size_t>(kMaxNamedPictures)) return false;
  QTextCursor cursor(document);
  cursor.beginEditBlock();
  for (auto it = pictures.rbegin(); it != pictures.rend(); ++it) {
    cursor.setPosition(it->position);
    cursor.setPosition(it->position + 1, QTextCursor::KeepAnchor);
    cursor.insertText(it->name, TextFormatOf(it->format));
  }
  cursor.endEditBlock();
  return true;
}

int CoverNameToPic(QTextEdit* edit, int position) {
  return edit ? CoverNameToPic(edit->document(), position, TEmoteTable::Current()) : 0;
}

int CoverNameToPic(QTextDocument* document, int position, const TEmoteTable& table) {
  if (!document || table.empty()) return 0;
  // The raw text has one character per document position, pictures and block ends included.
  QString text = document->toRawText();
  QTextCursor cursor(document);
  cursor.beginEditBlock();
  int inserted = 0;
  qsizetype at = std::max(0, position);
  while (inserted < kMaxInsertedPictures) {
    const auto match = table.FindNext(text, at);
    if (!match) break;
    at = match->position + match->length;
    const auto picture = table.Lookup(match->hot_key);
    if (!picture) continue;
    const auto format = PictureFormat(document, picture->custom ? QString() : match->hot_key, picture->path);
    if (!format) continue;
    cursor.setPosition(static_cast<int>(match->position));
    cursor.setPosition(static_cast<int>(at), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.insertImage(*format);
    text.replace(match->position, match->length, QChar(QChar::ObjectReplacementCharacter));
    at = match->position + 1;
    ++inserted;
  }
  cursor.endEditBlock();
  return inserted;
}

void CoverIM(QTextEdit* edit) {
  if (edit) CoverIM(edit, TEmoteTable::Current());
}

void CoverIM(QTextEdit* edit, const TEmoteTable& table) {
  if (!edit || table.empty()) return;
  QTextDocument* document = edit->document();
  if (!table.Contains(document->toRawText())) return;
  const QTextCursor caret = edit->textCursor();
  const QTextBlock block = caret.block();
  const int from = table.Contains(block.text()) ? block.position() : caret.position();
  // The edit's own cursor follows the changes, so the caret keeps its place in the text.
  CoverNameToPic(document, from, table);
}

void CoverNameToURL(const QString& text, QString& result) {
  result = CoverNameToURL(text, TEmoteTable::Current());
}

QString CoverNameToURL(const QString& text, const TEmoteTable& table) {
  QString html;
  qsizetype at = 0;
  while (at < text.size()) {
    const auto match = table.FindNext(text, at);
    const qsizetype end = match ? match->position : text.size();
    html += text.mid(at, end - at).toHtmlEscaped();
    if (!match) break;
    const auto picture = table.Lookup(match->hot_key);
    html += picture ? PictureTag(picture->path) : match->hot_key.toHtmlEscaped();
    at = match->position + match->length;
  }
  return html;
}

std::optional<TWebAddress> FindWebAddress(const QString& text) {
  std::optional<qsizetype> start;
  for (const QLatin1StringView prefix : kAddressStarts) {
    qsizetype from = 0;
    while (true) {
      const qsizetype found = text.indexOf(prefix, from, Qt::CaseInsensitive);
      if (found < 0) break;
      const qsizetype after = found + prefix.size();
      if (after < text.size() && !text.at(after).isSpace()) {
        if (!start || found < *start) start = found;
        break;
      }
      from = found + 1;
    }
  }
  if (!start) return std::nullopt;
  qsizetype end = *start;
  while (end < text.size() && !text.at(end).isSpace()) ++end;
  return TWebAddress{*start, end - *start};
}

void CheckURL(QTextEdit* edit) {
  if (edit) CheckURL(edit->document());
}

void CheckURL(QTextDocument* document) {
  if (!document) return;
  QTextCursor cursor(document);
  cursor.beginEditBlock();
  // Each link made splits its item, so the scan starts again; a link already made is left alone,
  // and every pass makes one, so the passes end.
  for (int pass = 0; pass <= document->characterCount(); ++pass) {
    bool changed = false;
    for (QTextBlock block = document->begin(); block.isValid() && !changed; block = block.next()) {
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (!fragment.isValid() || fragment.charFormat().isImageFormat()) continue;
        const QString text = fragment.text();
        const auto address = FindWebAddress(text);
        if (!address) continue;
        const QTextCharFormat format = fragment.charFormat();
        const QString target = text.mid(address->start, address->length);
        if (format.isAnchor() && address->length == text.size()) continue;
        QTextCharFormat link = format;
        link.setAnchor(true);
        link.setAnchorHref(target);
        link.setFontUnderline(false);
        link.setForeground(QGuiApplication::palette().link());
        cursor.setPosition(fragment.position() + static_cast<int>(address->start));
        cursor.setPosition(fragment.position() + static_cast<int>(address->start + address->length),
                           QTextCursor::KeepAnchor);
        cursor.insertText(target, link);
        changed = true;
        break;
      }
    }
    if (!changed) break;
  }
  cursor.endEditBlock();
}

bool OnEmoteClick(QTextEdit* edit, const QString& name, const QString& picture_path) {
  if (!edit) return false;
  QTextCursor cursor = edit->textCursor();
  if (!InsertEmotePicture(cursor, name, picture_path)) return false;
  edit->setTextCursor(cursor);
  return true;
}

bool InsertEmotePicture(QTextCursor& cursor, const QString& name, const QString& picture_path) {
  QTextDocument* document = cursor.document();
  if (!document) return false;
  const auto format = PictureFormat(document, name, picture_path);
  if (!format) return false;
  cursor.insertImage(*format);
  return true;
}

}  // namespace kiv
