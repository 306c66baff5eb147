// The chat document: the one form a chat message takes on the wire and in the record files. It is
// Qt's HTML subset in UTF-8 as QTextDocument::toHtml writes it, with emoticons as their hot keys
// and every other picture embedded as a "data:image/png;base64," address.
//
// Received documents are rebuilt from a parse that loads nothing: only text, fonts (family, size,
// weight, italic, underline, strike-out), text colours, paragraph alignment, http/https/ftp links
// ("www." and "ftp." addresses completed to them)
// and embedded PNG pictures within kMaxPictureBytes and kMaxPictureSide survive. Scripts, styles
// beyond those, local or remote picture sources, other links and anchors are dropped.
//
// Main thread (QTextDocument); a QGuiApplication must exist.
#pragma once

#include <QImage>
#include <QString>
#include <QUrl>
#include <optional>

class QTextDocument;

namespace kiv::chat {

// The largest document a chat message carries.
inline constexpr qsizetype kMaxChatDocumentBytes = 409600;
// The largest embedded picture, as PNG bytes and as width or height in pixels.
inline constexpr qsizetype kMaxPictureBytes = 256 * 1024;
inline constexpr int kMaxPictureSide = 1024;

// The canonical document of what the user composed in `source`: emoticons become their hot keys,
// other pictures (loaded through `source`'s resources) are embedded, larger ones scaled down by
// FitPictureForChat. Nothing when the document holds more named emoticons than a message may carry,
// or when the result exceeds kMaxChatDocumentBytes.
std::optional<QString> EncodeChatDocument(const QTextDocument& source);

// `picture` as a message may carry it: scaled down, keeping its proportions, until it is within
// kMaxPictureSide and its PNG within kMaxPictureBytes. Null when even a small one does not fit.
// EncodeChatDocument does this to every picture it embeds; a sender that shows the picture first
// (a screen capture) does it beforehand, so the user sees what the friend will get.
QImage FitPictureForChat(const QImage& picture);

// The canonical form of a document that came from the network or a record file, sanitised as the
// header describes.
QString SanitiseChatDocument(const QString& html);

// The web address a link target stands for, when it is one a click may open: http, https or ftp
// with a host. "www." and "ftp." addresses (as the input marks them) get "http://" and "ftp://" in
// front. Nothing for every other target, the window's own hot links among them.
std::optional<QUrl> WebLinkTarget(const QString& href);

}  // namespace kiv::chat
